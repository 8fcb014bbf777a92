#include "fake_host.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>

struct mxArray_tag {
    const char* className = "double";
    bool complex = false;
    bool sparse = false;
    bool created = false;
    std::vector<std::size_t> dims;
    std::vector<double> data;
};

namespace fakehost {
namespace {

std::vector<std::unique_ptr<mxArray>> arrays;
std::vector<Warning> warningLog;
std::vector<void (*)()> exitHandlers;
ErrorMode errorMode = ErrorMode::throwError;
std::jmp_buf* jumpTarget = nullptr;
int errors = 0;
char errorId[256];
char errorMessage[8192];

mxArray* keep(std::unique_ptr<mxArray> array) {
    arrays.push_back(std::move(array));
    return arrays.back().get();
}

std::size_t elementCount(const std::vector<std::size_t>& dims) {
    return std::accumulate(dims.begin(), dims.end(), std::size_t{1}, std::multiplies<>());
}

}  // namespace

void setErrorMode(ErrorMode mode, std::jmp_buf* target) {
    errorMode = mode;
    jumpTarget = target;
}

mxArray* doubleArray(std::vector<std::size_t> dims, const std::vector<double>& values) {
    auto a = std::make_unique<mxArray>();
    a->dims = std::move(dims);
    a->data.assign(elementCount(a->dims), 0.0);
    std::copy_n(values.begin(), std::min(values.size(), a->data.size()), a->data.begin());
    return keep(std::move(a));
}

mxArray* otherArray(const char* className, std::vector<std::size_t> dims, bool complex, bool sparse) {
    auto a = std::make_unique<mxArray>();
    a->className = className;
    a->complex = complex;
    a->sparse = sparse;
    a->dims = std::move(dims);
    a->data.assign(elementCount(a->dims) * (complex ? 2 : 1), 0.0);
    return keep(std::move(a));
}

std::vector<std::size_t> dimensions(const mxArray* array) { return array->dims; }
std::vector<double> values(const mxArray* array) { return array->data; }

int createdCount() {
    return static_cast<int>(std::count_if(arrays.begin(), arrays.end(), [](const auto& a) { return a->created; }));
}

void releaseCreated() {
    std::erase_if(arrays, [](const auto& a) { return a->created; });
}

const std::vector<Warning>& warnings() { return warningLog; }
int errorCount() { return errors; }
const char* lastErrorId() { return errorId; }
const char* lastErrorMessage() { return errorMessage; }

void clearModule() {
    const auto handlers = exitHandlers;
    exitHandlers.clear();
    for (auto* h : handlers) h();
}

void reset() {
    arrays.clear();
    warningLog.clear();
    errors = 0;
    errorId[0] = '\0';
    errorMessage[0] = '\0';
    errorMode = ErrorMode::throwError;
    jumpTarget = nullptr;
}

}  // namespace fakehost

using fakehost::ErrorMode;

extern "C" {

size_t mxGetM(const mxArray* array) { return array->dims.empty() ? 0 : array->dims[0]; }

size_t mxGetN(const mxArray* array) {
    std::size_t n = 1;
    for (std::size_t i = 1; i < array->dims.size(); ++i) n *= array->dims[i];
    return array->dims.size() < 2 ? 0 : n;
}

mwSize mxGetNumberOfDimensions(const mxArray* array) { return array->dims.size(); }
double* mxGetPr(const mxArray* array) { return const_cast<double*>(array->data.data()); }
bool mxIsDouble(const mxArray* array) { return std::string(array->className) == "double"; }
bool mxIsComplex(const mxArray* array) { return array->complex; }
bool mxIsSparse(const mxArray* array) { return array->sparse; }
const char* mxGetClassName(const mxArray* array) { return array->className; }

mxArray* mxCreateDoubleMatrix(mwSize rows, mwSize columns, mxComplexity complexity) {
    mxArray* a = fakehost::otherArray("double", {rows, columns}, complexity == mxCOMPLEX, false);
    a->created = true;
    return a;
}

void mxDestroyArray(mxArray* array) {
    std::erase_if(fakehost::arrays, [array](const auto& a) { return a.get() == array; });
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
    std::snprintf(fakehost::errorId, sizeof fakehost::errorId, "%s", id);
    va_list args;
    va_start(args, format);
    std::vsnprintf(fakehost::errorMessage, sizeof fakehost::errorMessage, format, args);
    va_end(args);
    ++fakehost::errors;
    if (fakehost::errorMode == ErrorMode::longJump) std::longjmp(*fakehost::jumpTarget, 1);
    throw fakehost::HostError{fakehost::errorId, fakehost::errorMessage};
}

void mexWarnMsgIdAndTxt(const char* id, const char* format, ...) {
    char text[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fakehost::warningLog.push_back({id, text});
}

int mexAtExit(void (*function)(void)) {
    fakehost::exitHandlers.push_back(function);
    return 0;
}

}  // extern "C"
