// The module's exported entry point and its state: one evaluator, on the
// host's current folder, from the first call until the host clears the
// module.
#include <new>

#include "gateway/gateway.hpp"

namespace {

calvenor::Evaluator* moduleState = nullptr;

// Registered with the host, which runs it when it clears the module (for
// instance `clear Calvenor`): the next call starts from an empty store, as
// after a fresh load, even on a host that keeps the library mapped.
void releaseModuleState() {
    delete moduleState;
    moduleState = nullptr;
}

bool createModuleState() noexcept {
    try {
        moduleState = new calvenor::Evaluator();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (moduleState == nullptr) {
        if (!createModuleState()) {
            mexErrMsgIdAndTxt(calvenor::gateway::outOfMemoryId, "out of memory");
            return;
        }
        mexAtExit(releaseModuleState);
    }
    calvenor::gateway::call(*moduleState, nlhs, plhs, nrhs, prhs);
}
