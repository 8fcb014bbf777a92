// The module's exported entry point and its state: one evaluator, on the
// host's current folder, from the first call until the host clears the
// module.
#include <cstdio>
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

// Why the state could not be created, for the host's error (null: it was).
char failureText[calvenor::gateway::messageCapacity];

const char* createModuleState() noexcept {
    try {
        moduleState = new calvenor::Evaluator();
        return nullptr;
    } catch (const calvenor::ThreadSettingError& e) {
        std::snprintf(failureText, sizeof failureText, "%s", e.what());
        return calvenor::gateway::badEnvironmentId;
    } catch (...) {
        std::snprintf(failureText, sizeof failureText, "out of memory");
        return calvenor::gateway::outOfMemoryId;
    }
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (moduleState == nullptr) {
        if (const char* id = createModuleState()) {
            mexErrMsgIdAndTxt(id, "%s", failureText);
            return;
        }
        mexAtExit(releaseModuleState);
    }
    calvenor::gateway::call(*moduleState, nlhs, plhs, nrhs, prhs);
}
