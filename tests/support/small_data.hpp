// Two small synthetic tests (undrained and drained, 11 rows each), quick to
// evaluate, written once per test suite into a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "calibration/synthesis.hpp"
#include "support/exact.hpp"
#include "testdata/test_store.hpp"

namespace calvenor::testing {

inline SynthConfig smallSynth() {
    SynthConfig c = defaultSynthConfig();
    SynthTest u;
    u.name = "U200";
    u.type = 1;
    u.pInitial = 50.0;
    u.eInitial = normalCompressionVoidRatio(c.parameters, 50.0);
    u.pConsol = 200.0;
    u.strainMax = 0.1;
    u.rows = 11;
    SynthTest d = u;
    d.name = "D100";
    d.type = 3;
    d.pConsol = 100.0;
    c.tests = {u, d};
    return c;
}

// A suite's fixture: dir() holds the two tests as a host folder.
class SmallDataSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        const SynthResult s = synthesize(smallSynth());
        writeTestSet(dir_->path(), s.tests, s.tests);
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static const std::filesystem::path& dir() { return dir_->path(); }

private:
    static inline std::unique_ptr<TempDir> dir_;
};

}  // namespace calvenor::testing
