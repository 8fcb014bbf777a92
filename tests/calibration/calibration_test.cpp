// The calibration engine: the objective over the free parameters (fixed
// values, bounds, batch against consecutive evaluations), reproducibility
// across thread counts, local search and stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <random>

#include "calibration/calibration.hpp"
#include "calibration/calibration_error.hpp"
#include "calibration/checkpoint.hpp"
#include "calibration/engine.hpp"
#include "calibration/synthesis.hpp"
#include "support/exact.hpp"
#include "support/small_data.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {
namespace {

using testing::sameDouble;
using testing::TempDir;

class SmallData : public testing::SmallDataSuite {};

TEST_F(SmallData, BatchEqualsConsecutiveCalls) {
    Evaluator batchEvaluator(dir()), callEvaluator(dir());
    const auto settings = defaultParameterSettings();
    CalibrationObjective objective(batchEvaluator, settings, true, 2, 1000);
    std::mt19937_64 rng(5);
    std::vector<std::vector<double>> points;
    for (int k = 0; k < 24; ++k) {
        std::vector<double> x(objective.dimension());
        for (double& v : x) v = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        points.push_back(x);
    }
    points.push_back(objective.toUnit(testing::smallSynth().parameters));
    const std::vector<double> errors = objective.evaluate(points);
    int infinite = 0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const ModelParameters p = objective.toParameters(points[k]);
        const double expected = callEvaluator.evaluate(p, {true, false, false});
        EXPECT_TRUE(sameDouble(errors[k], expected)) << "point " << k << ": " << errors[k] << " vs " << expected;
        infinite += std::isinf(expected) ? 1 : 0;
    }
    EXPECT_LT(infinite, static_cast<int>(points.size()));
    EXPECT_EQ(objective.evaluations(), static_cast<std::int64_t>(points.size()));
    EXPECT_EQ(objective.bestError(), 0.0);  // the true parameters are among the points
}

TEST_F(SmallData, FixedParametersStayFixedAndBoundsHold) {
    CalibrationSettings s;
    s.parameters[0] = {1.1, 1.0, 1.4, false};   // propm
    s.parameters[8] = {1.0, 1.0, 1.0, true};    // sm
    s.parameters[2] = {0.09, 0.01, 0.1, false};  // pkappa
    for (const std::string algorithm : {"cmaes", "xnes", "pso", "de", "sade", "nelder-mead", "sbplx"}) {
        Evaluator evaluator(dir());
        CalibrationObjective objective(evaluator, s.parameters, true, 2, 160);
        std::int64_t seen = 0;
        objective.onBatch = [&](std::span<const ModelParameters> sets) {
            for (const ModelParameters& p : sets) {
                ++seen;
                for (int i = 0; i < parameterCount; ++i) {
                    const ParameterSetting& b = s.parameters[static_cast<std::size_t>(i)];
                    const double v = parameterAt(p, i);
                    if (b.fixed) {
                        ASSERT_EQ(v, b.start) << algorithm << ": " << parameterNames[i] << " moved";
                    } else {
                        ASSERT_TRUE(v >= b.lower && v <= b.upper)
                            << algorithm << ": " << parameterNames[i] << " = " << v << " outside bounds";
                    }
                }
            }
        };
        EngineSettings engine;
        engine.algorithm = algorithm;
        engine.seed = 3;
        const CalibrationRun r = runCalibration(objective, engine, {}, nullptr);
        EXPECT_LE(objective.evaluations(), 160) << algorithm;
        EXPECT_EQ(seen, objective.evaluations()) << algorithm;
        EXPECT_EQ(r.lookAheadMisses, 0) << algorithm;
        EXPECT_EQ(objective.best().enu, 0.3) << algorithm;
        EXPECT_EQ(objective.best().cohesion, 0.0) << algorithm;
        EXPECT_EQ(objective.best().sm, 1.0) << algorithm;
    }
}

struct SearchResult {
    ModelParameters best;
    double error;
    std::vector<HistoryPoint> history;
};

SearchResult search(const std::filesystem::path& dir, unsigned threads, std::uint32_t seed) {
    Evaluator evaluator(dir);
    CalibrationObjective objective(evaluator, defaultParameterSettings(), true, threads, 400);
    EngineSettings engine;
    engine.seed = seed;
    const CalibrationRun r = runCalibration(objective, engine, {}, nullptr);
    return {objective.best(), objective.bestError(), r.history};
}

TEST_F(SmallData, SameSeedSameResultOnOneAndTwoThreads) {
    const SearchResult one = search(dir(), 1, 11);
    const SearchResult two = search(dir(), 2, 11);
    for (int i = 0; i < parameterCount; ++i) {
        EXPECT_TRUE(sameDouble(parameterAt(one.best, i), parameterAt(two.best, i))) << parameterNames[i];
    }
    EXPECT_TRUE(sameDouble(one.error, two.error));
    ASSERT_EQ(one.history.size(), two.history.size());
    for (std::size_t k = 0; k < one.history.size(); ++k) {
        EXPECT_EQ(one.history[k].evaluations, two.history[k].evaluations);
        EXPECT_TRUE(sameDouble(one.history[k].best, two.history[k].best)) << "history " << k;
    }
    // The seed does steer the search.
    const SearchResult other = search(dir(), 2, 12);
    EXPECT_FALSE(sameDouble(other.best.propm, one.best.propm) && sameDouble(other.best.z, one.best.z));
}

TEST_F(SmallData, LocalSearchFromNearTheTruthFindsIt) {
    const ModelParameters truth = testing::smallSynth().parameters;
    ParameterSettings s = defaultParameterSettings();
    for (int i = 0; i < parameterCount; ++i) {
        s[static_cast<std::size_t>(i)] = {parameterAt(truth, i), 0.0, 0.0, true};
    }
    s[0] = {1.26, 1.0, 1.4, false};     // propm 1.2
    s[2] = {0.021, 0.01, 0.04, false};  // pkappa 0.02
    s[3] = {0.115, 0.08, 0.2, false};   // plamda 0.12
    Evaluator evaluator(dir());
    CalibrationObjective objective(evaluator, s, true, 1, 400);
    EngineSettings engine;
    engine.algorithm = "bobyqa";
    runCalibration(objective, engine, {}, nullptr);
    EXPECT_LT(objective.bestError(), 0.01);
    EXPECT_NEAR(objective.best().propm, 1.2, 1e-3);
    EXPECT_NEAR(objective.best().plamda, 0.12, 1e-3);
}

TEST_F(SmallData, StopsCleanlyWithTheBestSoFar) {
    Evaluator evaluator(dir());
    CalibrationObjective objective(evaluator, defaultParameterSettings(), true, 2, 20000);
    std::atomic<bool> stop{false};
    EngineSettings engine;
    engine.population = 8;
    const CalibrationRun r = runCalibration(
        objective, engine, [&](const ProgressInfo& p) { if (p.generation == 2) stop = true; }, &stop);
    EXPECT_TRUE(r.interrupted);
    ASSERT_EQ(r.phases.size(), 1u);  // no polish after a stop
    EXPECT_EQ(r.phases[0].stopReason, "interrupted");
    EXPECT_EQ(objective.evaluations(), 3 * 8);  // the first population and two generations
    EXPECT_TRUE(objective.hasBest());
    EXPECT_TRUE(std::isfinite(objective.bestError()));
}

TEST(CalibrationRecords, NonFiniteValuesAreStringsAndCheckpointsReadBackToTheBit) {
    CalibrationOutcome r;
    r.settings.seed = 5;
    r.error = std::numeric_limits<double>::infinity();
    r.diagnostics.ErrorObjqz = std::numeric_limits<double>::quiet_NaN();
    const std::string text = prettyJson(outcomeJson(r));
    EXPECT_NE(text.find("\"error\": \"inf\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"ErrorObjqz\": \"nan\""), std::string::npos) << text;

    Checkpoint c;
    c.program = programName();
    c.settings = r.settings;
    c.settings.parameters[2] = {0.1 / 3.0, 1e-300, 0.7, false};
    c.settings.generations = 12;
    c.files = {{"vornevResult/T1.txt", "ab"}};
    c.record.errors = {1.0 / 3.0, std::numeric_limits<double>::infinity(), 5e-324, -0.0};
    c.record.pointsDigest = "0f";
    c.record.carried = {0.1, std::numeric_limits<double>::quiet_NaN(), -1e308};
    c.frontEnd = {{"dir", "d"}};
    const Checkpoint back = readCheckpoint(checkpointText(c), "checkpoint.json");
    EXPECT_EQ(checkpointText(back), checkpointText(c));
    ASSERT_EQ(back.record.errors.size(), c.record.errors.size());
    for (std::size_t k = 0; k < c.record.errors.size(); ++k)
        EXPECT_TRUE(sameDouble(back.record.errors[k], c.record.errors[k])) << k;
    EXPECT_TRUE(sameDouble(back.settings.parameters[2].start, 0.1 / 3.0));
    EXPECT_EQ(back.settings.generations, 12);
    EXPECT_FALSE(back.settings.population);
    EXPECT_THROW(readCheckpoint("{\"checkpoint\": 1}", "c.json"), CalibrationError);
}

}  // namespace
}  // namespace calvenor
