// Calibration: the configuration file and its errors, the objective over the
// free parameters (fixed values, bounds, batch against consecutive calls),
// reproducibility across thread counts, stopping, and the command's outputs.
#include <gtest/gtest.h>

#include "support/cli_run.hpp"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "cli/app.hpp"
#include "cli/calibrate_config.hpp"
#include "cli/calibrate_engine.hpp"
#include "cli/plot.hpp"
#include "cli/synth.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

using cli::CalibrationSettings;
using testing::sameDouble;
using testing::TempDir;

using testing::CliRun;
using testing::run;

// Two small synthetic tests (undrained and drained, 11 rows each): quick to evaluate.
cli::SynthConfig smallSynth() {
    cli::SynthConfig c = cli::defaultSynthConfig();
    cli::SynthTest u;
    u.name = "U200";
    u.type = 1;
    u.pInitial = 50.0;
    u.eInitial = cli::normalCompressionVoidRatio(c.parameters, 50.0);
    u.pConsol = 200.0;
    u.strainMax = 0.1;
    u.rows = 11;
    cli::SynthTest d = u;
    d.name = "D100";
    d.type = 3;
    d.pConsol = 100.0;
    c.tests = {u, d};
    return c;
}

class SmallData : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        cli::writeSynthetic(smallSynth(), dir_->path());
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static const std::filesystem::path& dir() { return dir_->path(); }

private:
    static TempDir* dir_;
};
TempDir* SmallData::dir_ = nullptr;

std::string configError(const std::string& text) {
    CalibrationSettings s;
    try {
        cli::applyCalibrationConfig(s, text, "fit.toml");
    } catch (const cli::ConfigError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(CalibrateConfig, ReadsParametersAndOptions) {
    CalibrationSettings s;
    cli::applyCalibrationConfig(s,
                                "propm = { start = 1.3, lower = 0.8, upper = 1.8 }\n"
                                "algorithm = \"de\"\n"
                                "population = 30\n"
                                "max_evaluations = 5000\n"
                                "seed = 42\n"
                                "penalties = \"off\"\n"
                                "[parameters]\n"
                                "enu = { fixed = 0.25 }\n"
                                "sm = 1.5\n"
                                "chi = { lower = 0.3, upper = 0.6 }\n"
                                "cohesion = { upper = 20 }\n",
                                "fit.toml");
    const auto& p = s.parameters;
    EXPECT_FALSE(p[0].fixed);
    EXPECT_EQ(p[0].start, 1.3);
    EXPECT_EQ(p[0].lower, 0.8);
    EXPECT_EQ(p[0].upper, 1.8);
    EXPECT_TRUE(p[1].fixed);
    EXPECT_EQ(p[1].start, 0.25);
    EXPECT_TRUE(p[8].fixed);  // a bare number fixes
    EXPECT_EQ(p[8].start, 1.5);
    // No start given: the default start if inside the bounds, else the middle.
    EXPECT_DOUBLE_EQ(p[7].start, 0.45);
    // A parameter fixed by default and freed keeps its value as start, with default bounds.
    EXPECT_FALSE(p[5].fixed);
    EXPECT_EQ(p[5].start, 0.0);
    EXPECT_EQ(p[5].lower, 0.0);
    EXPECT_EQ(p[5].upper, 20.0);
    // Untouched parameters keep their defaults.
    EXPECT_EQ(p[2].lower, cli::defaultParameterSettings()[2].lower);
    EXPECT_EQ(s.algorithm, "de");
    EXPECT_EQ(s.population, 30);
    EXPECT_EQ(s.maxEvaluations, 5000);
    EXPECT_EQ(s.seed, 42u);
    EXPECT_FALSE(s.penalties);
}

TEST(CalibrateConfig, RefusesBadEntriesNamingFileLineAndKey) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[parameters]\nfoo = { start = 1 }\n", "fit.toml:2: parameters.foo: unknown parameter"},
        {"bogus = 3\n", "fit.toml:1: bogus: unknown key"},
        {"\n[parameters]\npropm = { start = 1.2, lower = 1.9, upper = 1.8 }\n",
         "fit.toml:3: parameters.propm.lower: lower (1.9) is above upper (1.8)"},
        {"propm = { upper = 0.3 }\n", "fit.toml:1: propm.upper: lower (0.5) is above upper (0.3) (the other bound is the default)"},
        {"propm = { lower = 1, upper = 1 }\n", "fit.toml:1: propm: lower equals upper (1)"},
        {"[parameters]\npropm = { start = 2.5, lower = 0.8, upper = 1.8 }\n",
         "fit.toml:2: parameters.propm.start: start 2.5 is outside the bounds [0.8, 1.8]"},
        {"pkappa = { start = 0.5 }\n", "fit.toml:1: pkappa.start: start 0.5 is outside the bounds [0.002, 0.1]"},
        {"enu = { fixed = 0.3, lower = 0.1 }\n", "fit.toml:1: enu: give either fixed or start/lower/upper"},
        {"chi = { start = 0.1, step = 2 }\n", "fit.toml:1: chi.step: unknown field"},
        {"chi = { start = \"low\" }\n", "fit.toml:1: chi.start: expected a number"},
        {"propm = \"big\"\n", "fit.toml:1: propm: expected a number (fixed value) or a table"},
        {"propm = 1.2\n[parameters]\npropm = 1.3\n", "fit.toml:3: propm: given twice (lines 1 and 3)"},
        {"algorithm = \"simplex\"\n", "fit.toml:1: algorithm: expected one of cmaes"},
        {"population = 3\n", "fit.toml:1: population: 3 is out of range"},
        {"seed = 1.5\n", "fit.toml:1: seed: expected a whole number"},
        {"penalties = 2\n", "fit.toml:1: penalties: expected true or false"},
        {"propm = {\n", "fit.toml:1: "},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_NE(configError(text).find(expected), std::string::npos)
            << "config:\n" << text << "message: " << configError(text) << "\nexpected: " << expected;
    }
    CalibrationSettings s;
    try {
        cli::readCalibrationConfig(s, "/nonexistent/fit.toml");
        ADD_FAILURE() << "no error for a missing file";
    } catch (const cli::ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/fit.toml: cannot open"), std::string::npos) << e.what();
    }
}

TEST_F(SmallData, BatchEqualsConsecutiveCalls) {
    Evaluator batchEvaluator(dir()), callEvaluator(dir());
    const auto settings = cli::defaultParameterSettings();
    cli::CalibrationObjective objective(batchEvaluator, settings, true, 2, 1000);
    std::mt19937_64 rng(5);
    std::vector<std::vector<double>> points;
    for (int k = 0; k < 24; ++k) {
        std::vector<double> x(objective.dimension());
        for (double& v : x) v = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        points.push_back(x);
    }
    points.push_back(objective.toUnit(smallSynth().parameters));
    const std::vector<double> errors = objective.evaluate(points);
    int infinite = 0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const ModelParameters p = objective.toParameters(points[k]);
        const double vector[9] = {p.propm, p.enu, p.pkappa, p.plamda, p.pnvoid, p.cohesion, p.z, p.chi, p.sm};
        const double switches[3] = {1.0, 0.0, 0.0};
        const double expected = callEvaluator.evaluateObjective(vector, switches);
        EXPECT_TRUE(sameDouble(errors[k], expected)) << "point " << k << ": " << errors[k] << " vs " << expected;
        infinite += std::isinf(expected) ? 1 : 0;
    }
    EXPECT_LT(infinite, static_cast<int>(points.size()));
    EXPECT_EQ(objective.evaluations(), static_cast<std::int64_t>(points.size()));
    EXPECT_EQ(objective.bestError(), 0.0);  // the true parameters are among the points
}

TEST_F(SmallData, FixedParametersStayFixedAndBoundsHold) {
    CalibrationSettings s;
    cli::applyCalibrationConfig(s,
                                "propm = { start = 1.1, lower = 1.0, upper = 1.4 }\n"
                                "sm = { fixed = 1.0 }\n"
                                "pkappa = { start = 0.09, lower = 0.01, upper = 0.1 }\n",
                                "fit.toml");
    for (const std::string algorithm : {"cmaes", "xnes", "pso", "de", "sade", "nelder-mead", "sbplx"}) {
        Evaluator evaluator(dir());
        cli::CalibrationObjective objective(evaluator, s.parameters, true, 2, 160);
        std::int64_t seen = 0;
        objective.onBatch = [&](std::span<const ModelParameters> sets) {
            for (const ModelParameters& p : sets) {
                ++seen;
                for (int i = 0; i < parameterCount; ++i) {
                    const cli::ParameterSetting& b = s.parameters[static_cast<std::size_t>(i)];
                    const double v = cli::parameterAt(p, i);
                    if (b.fixed) {
                        ASSERT_EQ(v, b.start) << algorithm << ": " << cli::parameterNames[i] << " moved";
                    } else {
                        ASSERT_TRUE(v >= b.lower && v <= b.upper)
                            << algorithm << ": " << cli::parameterNames[i] << " = " << v << " outside bounds";
                    }
                }
            }
        };
        cli::EngineSettings engine;
        engine.algorithm = algorithm;
        engine.seed = 3;
        const cli::CalibrationRun r = cli::runCalibration(objective, engine, {}, nullptr);
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
    std::vector<cli::HistoryPoint> history;
};

SearchResult search(const std::filesystem::path& dir, unsigned threads, std::uint32_t seed) {
    Evaluator evaluator(dir);
    cli::CalibrationObjective objective(evaluator, cli::defaultParameterSettings(), true, threads, 400);
    cli::EngineSettings engine;
    engine.seed = seed;
    const cli::CalibrationRun r = cli::runCalibration(objective, engine, {}, nullptr);
    return {objective.best(), objective.bestError(), r.history};
}

TEST_F(SmallData, SameSeedSameResultOnOneAndTwoThreads) {
    const SearchResult one = search(dir(), 1, 11);
    const SearchResult two = search(dir(), 2, 11);
    for (int i = 0; i < parameterCount; ++i) {
        EXPECT_TRUE(sameDouble(cli::parameterAt(one.best, i), cli::parameterAt(two.best, i))) << cli::parameterNames[i];
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
    const ModelParameters truth = smallSynth().parameters;
    cli::ParameterSettings s = cli::defaultParameterSettings();
    for (int i = 0; i < parameterCount; ++i) {
        s[static_cast<std::size_t>(i)] = {cli::parameterAt(truth, i), 0.0, 0.0, true};
    }
    s[0] = {1.26, 1.0, 1.4, false};     // propm 1.2
    s[2] = {0.021, 0.01, 0.04, false};  // pkappa 0.02
    s[3] = {0.115, 0.08, 0.2, false};   // plamda 0.12
    Evaluator evaluator(dir());
    cli::CalibrationObjective objective(evaluator, s, true, 1, 400);
    cli::EngineSettings engine;
    engine.algorithm = "bobyqa";
    cli::runCalibration(objective, engine, {}, nullptr);
    EXPECT_LT(objective.bestError(), 0.01);
    EXPECT_NEAR(objective.best().propm, 1.2, 1e-3);
    EXPECT_NEAR(objective.best().plamda, 0.12, 1e-3);
}

TEST_F(SmallData, StopsCleanlyWithTheBestSoFar) {
    Evaluator evaluator(dir());
    cli::CalibrationObjective objective(evaluator, cli::defaultParameterSettings(), true, 2, 20000);
    std::atomic<bool> stop{false};
    cli::EngineSettings engine;
    engine.population = 8;
    const cli::CalibrationRun r = cli::runCalibration(
        objective, engine, [&](const cli::ProgressInfo& p) { if (p.generation == 2) stop = true; }, &stop);
    EXPECT_TRUE(r.interrupted);
    ASSERT_EQ(r.phases.size(), 1u);  // no polish after a stop
    EXPECT_EQ(r.phases[0].stopReason, "interrupted");
    EXPECT_EQ(objective.evaluations(), 3 * 8);  // the first population and two generations
    EXPECT_TRUE(objective.hasBest());
    EXPECT_TRUE(std::isfinite(objective.bestError()));
}

TEST_F(SmallData, CommandWritesResultsReportsAndPlots) {
    TempDir out;
    const std::filesystem::path config = out.path() / "fit.toml";
    std::ofstream(config) << "enu = 0.3\nchi = { fixed = 0.2 }\nmax_evaluations = 120\n";
    const CliRun r = run({"calibrate", "--dir", dir().string(), "--config", config.string(), "--seed", "1",
                          "--threads", "2", "--out", (out.path() / "result").string(), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("error value"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("chi                 0.2   (fixed)"), std::string::npos) << r.out;

    std::ifstream in(out.path() / "result" / "calibration.json");
    std::stringstream json;
    json << in.rdbuf();
    const std::string text = json.str();
    const std::size_t at = text.find("\"parameters\": {\"propm\": ");
    ASSERT_NE(at, std::string::npos) << text.substr(0, 400);
    std::size_t last = at;
    for (const auto name : cli::parameterNames) {  // host order
        const std::size_t k = text.find("\"" + std::string(name) + "\": ", at);
        ASSERT_NE(k, std::string::npos) << name;
        EXPECT_GT(k, last - (name == "propm" ? 1 : 0)) << name;
        last = k;
    }
    EXPECT_NE(text.find("\"chi\": 0.2"), std::string::npos);
    EXPECT_NE(text.find("\"evaluations\": 120"), std::string::npos);
    EXPECT_NE(text.find("\"history\": ["), std::string::npos);

    for (const char* report : {"VORNevPicOutError.DAT", "MidPande.DAT", "U200-1.DAT", "D100-3.DAT"}) {
        EXPECT_TRUE(std::filesystem::exists(dir() / "vornevResult" / report)) << report;
    }
    if (std::system("gnuplot --version > /dev/null 2>&1") == 0) {
        EXPECT_GT(std::filesystem::file_size(out.path() / "result" / "calibration.png"), 10000u);
        EXPECT_TRUE(std::filesystem::exists(out.path() / "result" / "calibration.svg"));
    }
}

TEST_F(SmallData, CommandRefusesBadConfigurationAndMissingData) {
    TempDir out;
    const std::filesystem::path config = out.path() / "fit.toml";
    std::ofstream(config) << "\nzeta = { start = 1 }\n";
    CliRun r = run({"calibrate", "--dir", dir().string(), "--config", config.string(), "--quiet"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(config.string() + ":2: zeta: unknown key"), std::string::npos) << r.err;

    r = run({"calibrate", "--dir", (out.path() / "nothing").string(), "--quiet", "--no-plot"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("evReadInList.txt"), std::string::npos) << r.err;

    r = run({"calibrate", "--dir", dir().string(), "--algorithm", "sade", "--population", "5", "--quiet"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("sade needs at least 7"), std::string::npos) << r.err;
}

TEST(Plot, MissingGnuplotIsAWarningAndKeepsDataAndScript) {
    TempDir out;
    cli::PlotPage page;
    page.title = "t_1";
    cli::PlotTest test;
    test.name = "A_1";
    test.type = 3;
    test.pConsol = 100;
    test.measured = {{0, 0, 100, 0, 0}, {0.01, 50, 116, 0.002, 0}};
    test.simulated = test.measured;
    page.tests = {test};
    ::setenv("CALVENOR_GNUPLOT", "/nonexistent/gnuplot", 1);
    const cli::PlotOutcome o = cli::drawPlotPage(page, out.path(), "fit");
    ::unsetenv("CALVENOR_GNUPLOT");
    EXPECT_TRUE(o.files.empty());
    ASSERT_EQ(o.warnings.size(), 1u);
    EXPECT_NE(o.warnings[0].find("plot not drawn: cannot run /nonexistent/gnuplot"), std::string::npos) << o.warnings[0];
    EXPECT_TRUE(std::filesystem::exists(out.path() / "fit.gp"));
    EXPECT_TRUE(std::filesystem::exists(out.path() / "fit-data" / "test1-measured.dat"));
    // Names are shown as written: enhanced-text markup escaped.
    std::ifstream in(out.path() / "fit.gp");
    std::stringstream gp;
    gp << in.rdbuf();
    EXPECT_NE(gp.str().find("'A\\_1 (p''_c 100 kPa)'"), std::string::npos);
}

}  // namespace
}  // namespace calvenor
