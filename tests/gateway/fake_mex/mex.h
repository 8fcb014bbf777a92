/* A stand-in for the host's mex.h: the part of the MEX and matrix API the
 * gateway uses, implemented by a recording fake host (fake_host.hpp). */
#pragma once

#include <stddef.h>

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

#ifdef __cplusplus
extern "C" {
#endif

size_t mxGetM(const mxArray* array);
size_t mxGetN(const mxArray* array);
mwSize mxGetNumberOfDimensions(const mxArray* array);
double* mxGetPr(const mxArray* array);
bool mxIsDouble(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
const char* mxGetClassName(const mxArray* array);
mxArray* mxCreateDoubleMatrix(mwSize rows, mwSize columns, mxComplexity complexity);
void mxDestroyArray(mxArray* array);

void mexErrMsgIdAndTxt(const char* id, const char* format, ...);
void mexWarnMsgIdAndTxt(const char* id, const char* format, ...);
int mexAtExit(void (*function)(void));

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#ifdef __cplusplus
}
#endif
