// A recording fake of the MEX host behind tests/gateway/fake_mex/mex.h:
// arrays made by the test or created by the gateway, the errors and warnings
// raised, the exit handlers registered. Errors either throw HostError (as a
// host that unwinds) or longjmp to a target (as a host that does not return).
#pragma once

#include <csetjmp>
#include <cstddef>
#include <string>
#include <vector>

#include "mex.h"

namespace fakehost {

struct HostError {
    std::string id;
    std::string message;
};

struct Warning {
    std::string id;
    std::string message;
};

enum class ErrorMode { throwError, longJump };

// longJump needs the target to jump to.
void setErrorMode(ErrorMode mode, std::jmp_buf* target = nullptr);

// A real double array with the given dimensions, filled column-major from
// `values` (zeros where values run out).
mxArray* doubleArray(std::vector<std::size_t> dims, const std::vector<double>& values = {});
// Any other array: a class name other than "double", complex or sparse.
mxArray* otherArray(const char* className, std::vector<std::size_t> dims, bool complex = false,
                    bool sparse = false);

std::vector<std::size_t> dimensions(const mxArray* array);
std::vector<double> values(const mxArray* array);

// Arrays created by mxCreateDoubleMatrix since the last reset.
int createdCount();
// Releases the arrays created by mxCreateDoubleMatrix, as the host does at
// the end of a call.
void releaseCreated();

const std::vector<Warning>& warnings();
// The last error raised, kept in fixed buffers (recording it allocates nothing).
int errorCount();
const char* lastErrorId();
const char* lastErrorMessage();

// What the host does when it clears the module: runs the registered exit
// handlers, once.
void clearModule();

// Forgets everything recorded and releases every array.
void reset();

}  // namespace fakehost
