// The module's host entry: checks the two inputs, copies them, runs one
// evaluation (or a batch of them) and fills the outputs.
//
// Compiled against the host's mex.h: MATLAB's or Octave's in the module, a
// recording fake in the gateway tests.
#pragma once

#include "mex.h"
#include "objective/objective.hpp"

namespace calvenor::gateway {

// Error and warning identifiers raised to the host.
inline constexpr const char* wrongCountId = "MATLAB:InputTooBig";
inline constexpr const char* badInputId = "Calvenor:badInput";
inline constexpr const char* loadFailedId = "Calvenor:loadFailed";
inline constexpr const char* reportFailedId = "Calvenor:reportFailed";
inline constexpr const char* dataWarningId = "Calvenor:dataWarning";
inline constexpr const char* badEnvironmentId = "Calvenor:badEnvironment";
inline constexpr const char* outOfMemoryId = "Calvenor:outOfMemory";
inline constexpr const char* internalId = "Calvenor:internal";

// The wrong-input-count message: UTF-8, or the GBK (code page 936) bytes
// when built with CALVENOR_GBK_MESSAGES.
extern const char wrongCountMessage[];

// Longest message handed to the host; longer texts are cut.
inline constexpr int messageCapacity = 2048;
// Warnings (about the data a load read, then report failures) raised one by
// one; further ones are summed up in one more warning.
inline constexpr int warningCapacity = 8;

// One host call against `evaluator`.
//
// Inputs: prhs[0] the parameters, prhs[1] the switches, both real, full,
// two-dimensional double arrays. A row or column vector of at least 9 values
// is one parameter set; a K x N matrix (K >= 2, N >= 9) holds K sets, one
// per row, evaluated as K consecutive calls. The switches are a vector of at
// least 3 values.
//
// Outputs: plhs[0] the K x 1 error values; plhs[1] the K x 11 diagnostics,
// created when the caller asks for two outputs (the host's output array has
// room for max(nlhs, 1) entries).
//
// Errors go to the host through mexErrMsgIdAndTxt, which may not return
// (it throws or jumps); it is called only once every object owning memory
// has been destroyed, and no C++ exception leaves this function except one
// thrown by the host itself.
void call(Evaluator& evaluator, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // namespace calvenor::gateway
