// The steps of simulating one test, shared by the drivers: how the test
// begins, the settings of its runs and its consolidation state.
#pragma once

#include "model/integrators.hpp"
#include "objective/objective.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

// How test t begins. Without rows it cannot: the evaluation stops there (the
// load refuses such tests). When its first measured pressure is the list
// pressure, its shear run starts from the list state on the buffers as they
// stand; otherwise a compression run to that pressure comes first.
enum class TestStart { unusable, direct, compression };

inline TestStart testStart(const TestStore& store, int t) {
    if (store.rowCount[t] < 1) return TestStart::unusable;
    return store.measured(t, 0, pCol) == store.pInitial[t] ? TestStart::direct : TestStart::compression;
}

inline StartState listState(const TestStore& store, int t) { return {store.pInitial[t], store.eInitial[t]}; }

// b-value of every shear run (and z blend of every compression run): zero.
inline ShearSettings shearSettings(const TestStore& store, int t) {
    return {0.0, store.testType[t], store.strainRange[t], pathPoints};
}
inline CompressionSettings compressionSettings(const TestStore& store, int t) {
    return {0.0, store.strainRange[t], pathPoints};
}

// The outcome of test t whose compression run to store.pConsol[t] gave
// `search` on `buffers`: the consolidation state, or why there is none.
// readsPrevious tells whether the search read entries the run left as the
// buffers held them.
TestOutcome consolidation(const TestStore& store, int t, const BracketSearch& search, const PathBuffers& buffers);

// The outcome of a test that begins directly: the list state.
inline TestOutcome directOutcome(const TestStore& store, int t) {
    TestOutcome o;
    o.pConsol = store.pInitial[t];
    o.eConsol = store.eInitial[t];
    return o;
}

inline TestOutcome unusableOutcome() {
    TestOutcome o;
    o.usable = false;
    o.stop = StopReason::pressureNotReached;
    return o;
}

}  // namespace calvenor
