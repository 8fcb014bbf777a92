// How far to trust a calibration: the local analysis on synthetic tests with
// known additive noise (verdicts where a parameter provably barely acts,
// intervals inside the bounds, the noise model's scaling, the JSON record),
// and the command line from calibrate through eval --residuals to profile.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <sstream>

#include "calibration/calibration_error.hpp"
#include "calibration/profile.hpp"
#include "calibration/synthesis.hpp"
#include "calibration/uncertainty.hpp"
#include "io/json.hpp"
#include "io/numbers.hpp"
#include "support/cli_run.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

using testing::CliRun;
using testing::readAll;
using testing::run;
using testing::TempDir;

// Normally consolidated undrained and drained tests at 100, 200 and 400 kPa
// with 2 % additive noise: the exponent sm barely acts on them.
SynthConfig noisyClay(std::int32_t rows) {
    SynthConfig c = defaultSynthConfig();
    for (SynthTest& t : c.tests) t.rows = rows;
    c.noise = 0.02;
    c.noiseModel = SynthNoise::additive;
    c.seed = 3;
    return c;
}

TEST(Uncertainty, VerdictsIntervalsNoiseAndRecord) {
    const SynthConfig config = noisyClay(16);
    Evaluator evaluator(synthesize(config).tests);
    const ModelParameters truth = config.parameters;
    evaluator.evaluate(truth, {});
    const std::vector<Residual> before = evaluator.residuals();
    const ParameterSettings settings = defaultParameterSettings();

    const UncertaintyResult r =
        analyseUncertainty(evaluator, settings, truth, true, {}, Estimator::errorValue, 2);
    ASSERT_EQ(r.parameters.size(), 7u);
    EXPECT_EQ(r.evaluations, 1 + 7 * 8);
    // The evaluator itself is left as it was.
    const std::vector<Residual> after = evaluator.residuals();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_TRUE(testing::sameDouble(after[i].value, before[i].value));

    // The additive noise is what the model assumes: about 2 % in every
    // scored quantity (q on all six tests, u and ev on three each).
    EXPECT_EQ(r.noise[0].residuals, 96);
    EXPECT_EQ(r.noise[2].residuals, 48);
    EXPECT_EQ(r.noise[3].residuals, 48);
    EXPECT_EQ(r.noise[1].residuals, 0);
    for (int k : {0, 2, 3}) {
        EXPECT_GT(r.noise[k].sigma, 0.014) << k;
        EXPECT_LT(r.noise[k].sigma, 0.026) << k;
    }

    const auto entry = [&](const UncertaintyResult& u, const char* name) -> const ParameterUncertainty& {
        const ParameterUncertainty* p = u.find(parameterIndex(name));
        EXPECT_NE(p, nullptr) << name;
        return *p;
    };
    // M is determined, sm is not (the interval is the whole box), and the
    // direction the tests leave open is named.
    const ParameterUncertainty& m = entry(r, "propm");
    EXPECT_TRUE(m.identifiable);
    EXPECT_LT(m.standardError, 0.05);
    const ParameterUncertainty& sm = entry(r, "sm");
    EXPECT_FALSE(sm.identifiable);
    EXPECT_EQ(sm.verdict, "not determined by these tests");
    EXPECT_EQ(sm.lower, 0.0);
    EXPECT_EQ(sm.upper, 5.0);
    bool named = false;
    for (const FisherDirection& d : r.directions) named |= !d.determined && d.text == "sm is not determined by these tests";
    EXPECT_TRUE(named);
    for (const ParameterUncertainty& p : r.parameters) {
        const ParameterSetting& s = settings[static_cast<std::size_t>(p.index)];
        EXPECT_TRUE(s.lower <= p.lower && p.lower <= p.estimate && p.estimate <= p.upper && p.upper <= s.upper)
            << parameterNames[p.index];
        if (p.identifiable) {
            EXPECT_TRUE(p.verdict == "well determined" || p.verdict.rfind("correlated with ", 0) == 0 ||
                        p.verdict == "determined, but the model bends within the interval")
                << p.verdict;
        }
    }

    // Known noise: with every direction determined (sm and z held), the
    // standard errors scale with it, exactly.
    ParameterSettings five = settings;
    for (const char* name : {"sm", "z"}) {
        const double v = parameterAt(truth, parameterIndex(name));
        five[static_cast<std::size_t>(parameterIndex(name))] = {v, v, v, true};
    }
    UncertaintySettings known;
    known.noise = parseNoiseModel("q=0.02,ev=0.02,u=0.02");
    const UncertaintyResult two = analyseUncertainty(evaluator, five, truth, true, known, Estimator::likelihood);
    known.noise = parseNoiseModel("q=0.04,ev=0.04,u=0.04");
    const UncertaintyResult four = analyseUncertainty(evaluator, five, truth, true, known, Estimator::likelihood);
    for (const char* name : {"propm", "pkappa", "plamda", "pnvoid", "chi"}) {
        EXPECT_TRUE(entry(two, name).identifiable) << name;
        EXPECT_NEAR(entry(four, name).standardError / entry(two, name).standardError, 2.0, 1e-12) << name;
    }
    EXPECT_TRUE(two.noise[0].known);
    EXPECT_EQ(noiseModelText(known.noise), "q=0.04,ev=0.04,u=0.04");
    EXPECT_THROW(parseNoiseModel("q=0.01,q=0.02"), CalibrationError);
    EXPECT_THROW(parseNoiseModel("x=0.01"), CalibrationError);
    EXPECT_THROW(parseNoiseModel("ev=-1"), CalibrationError);
    EXPECT_NEAR(chiSquare1Quantile(0.95), 3.841458820694124, 1e-12);
    EXPECT_NEAR(normalQuantile(0.975), 1.959963984540054, 1e-14);

    // A parameter whose estimate sits on its bound.
    ParameterSettings bounded = settings;
    bounded[static_cast<std::size_t>(parameterIndex("chi"))] = {0.2, 0.2, 0.9, false};
    const UncertaintyResult atBound = analyseUncertainty(evaluator, bounded, truth, true, {}, Estimator::errorValue);
    const ParameterUncertainty& chi = entry(atBound, "chi");
    EXPECT_EQ(chi.bound, "lower");
    EXPECT_EQ(chi.verdict, "at the lower bound");
    EXPECT_EQ(chi.lower, 0.2);
    EXPECT_GT(chi.upper, 0.2);
    // A stop asked for before the profile starts: an interrupted result from
    // the start value, nothing escaping.
    const std::atomic<bool> stopped{true};
    ProfileSettings quick;
    quick.parameters = {parameterIndex("propm")};
    quick.points = 2;
    const ProfileResult halted = profileLikelihood(evaluator, settings, truth, quick, {}, &stopped);
    EXPECT_TRUE(halted.interrupted);
    EXPECT_TRUE(std::isfinite(halted.startLogLikelihood));
    // The sand tests' best set, two parameters at a bound: correlations that
    // mix the fit with them held and the full fit stay correlations, and no
    // verdict names a parameter held at its bound.
    Evaluator sand(testing::sourceDir() / "examples" / "sand-drained");
    const HostParameters sandBest = {1.2395944960462772, 0.3, 0.018140569977199143, 0.17288119620959735, 3.0,
                                     0.0, 2.1935257924443117, 0.5109972184835689, 0.0};
    const ModelParameters best = readParameters(sandBest);
    const UncertaintyResult sandResult = analyseUncertainty(sand, settings, best, true, {}, Estimator::errorValue);
    for (const ParameterUncertainty& u : sandResult.parameters) {
        if (u.verdict.rfind("correlated with ", 0) != 0) continue;
        EXPECT_LE(std::abs(std::stod(u.verdict.substr(u.verdict.rfind(" at ") + 4))), 1.0) << u.verdict;
        EXPECT_EQ(u.verdict.find("pnvoid"), std::string::npos) << u.verdict;
        EXPECT_EQ(u.verdict.find(" sm "), std::string::npos) << u.verdict;
    }

    // The record: every free parameter, and a symmetric correlation matrix
    // with null rows for the parameters the tests leave open.
    const Json j = uncertaintyJson(r);
    EXPECT_EQ(j["level"], 0.95);
    EXPECT_EQ(j["parameters"]["sm"]["identifiable"], false);
    EXPECT_EQ(j["parameters"]["propm"]["interval"].size(), 2u);
    EXPECT_TRUE(j["parameters"]["propm"]["standard_error"].is_number());
    EXPECT_TRUE(j["parameters"]["propm"]["reason"].is_string());
    const Json& names = j["correlation"]["names"];
    const Json& matrix = j["correlation"]["matrix"];
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names[0], "propm");
    EXPECT_EQ(names[6], "sm");
    for (std::size_t a = 0; a < 7; ++a) {
        for (std::size_t b = 0; b < 7; ++b) EXPECT_EQ(matrix[a][b], matrix[b][a]);
    }
    EXPECT_EQ(matrix[0][0], 1.0);
    EXPECT_TRUE(matrix[6][0].is_null());
    EXPECT_EQ(noiseModelFromJson(uncertaintyJson(two)).sigma[0], 0.02);
}

// calibrate prints and writes the analysis; eval --residuals gives the
// residuals the measures are made of; profile reads calibration.json back.
TEST(Uncertainty, CommandsFromCalibrateToProfile) {
    TempDir data, other, out;
    SynthConfig config = noisyClay(11);
    config.tests.resize(4);  // CU100, CU200, CU400, CD100
    const SynthResult s = synthesize(config);
    writeTestSet(data.path(), s.tests, s.tests);
    writeTestSet(other.path(), std::vector<LabTest>(s.tests.begin(), s.tests.begin() + 2),
                 std::vector<LabTest>(s.tests.begin(), s.tests.begin() + 2));

    const std::string result = (out.path() / "fit").string();
    CliRun r = run({"calibrate", "--dir", data.path().string(), "--max-evaluations", "700", "--seed", "2",
                    "--no-plot", "--quiet", "--out", result});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("std. error   95 % interval"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("not determined by these tests"), std::string::npos) << r.out;
    const Json calibration = Json::parse(readAll(out.path() / "fit" / "calibration.json"));
    ASSERT_TRUE(calibration["uncertainty"].contains("parameters")) << calibration["uncertainty"].dump();
    EXPECT_EQ(calibration["uncertainty"]["correlation"]["names"].size(), 7u);

    // The residuals as the measures use them: their root mean squares give
    // the measures eval prints (three quantities share the hundred).
    std::vector<std::string> args = {"eval", "--dir", data.path().string(), "--residuals",
                                     (out.path() / "r.csv").string()};
    for (const char* name : {"propm", "enu", "pkappa", "plamda", "pnvoid", "cohesion", "z", "chi", "sm"}) {
        args.push_back(shortest(numberFromJson(calibration["parameters"][name])));
    }
    r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> rows = testing::lines(readAll(out.path() / "r.csv"));
    ASSERT_EQ(rows.front(), "test,row,quantity,value");
    EXPECT_EQ(rows[1].rfind("CU100,1,", 0), 0u) << rows[1];
    double sum[4] = {0, 0, 0, 0};
    int count[4] = {0, 0, 0, 0};
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const std::size_t a = rows[i].find(','), b = rows[i].find(',', a + 1), c = rows[i].find(',', b + 1);
        const std::string q = rows[i].substr(b + 1, c - b - 1);
        const int k = q == "q" ? 0 : q == "p" ? 1 : q == "ev" ? 2 : 3;
        const double v = std::stod(rows[i].substr(c + 1));
        sum[k] += v * v;
        ++count[k];
    }
    EXPECT_EQ(count[0], 44);
    EXPECT_EQ(count[3], 33);
    const std::vector<std::string> printed = testing::lines(r.out);
    std::istringstream diagnostics(printed.at(1).substr(std::string("diagnostics").size()));
    std::vector<double> d;
    for (double v; diagnostics >> v;) d.push_back(v);
    ASSERT_EQ(d.size(), 11u);
    EXPECT_NEAR(std::sqrt(sum[0] / count[0]) * (100.0 / 3.0), d[7], 1e-9 * d[7]);
    EXPECT_NEAR(std::sqrt(sum[2] / count[2]) * (100.0 / 3.0), d[9], 1e-9 * d[9]);

    // The profile of M closes on both sides around its estimate; that of sm
    // stays open.
    const std::string from = (out.path() / "fit" / "calibration.json").string();
    r = run({"profile", "--from", from, "--parameters", "propm,sm", "--points", "6", "--no-plot", "--quiet",
             "--threads", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("95 % profile interval"), std::string::npos) << r.out;
    const Json profile = Json::parse(readAll(out.path() / "fit" / "profile.json"));
    const Json& m = profile["parameters"]["propm"];
    EXPECT_FALSE(m["open_below"].get<bool>());
    EXPECT_FALSE(m["open_above"].get<bool>());
    const double estimate = m["estimate"].get<double>();
    EXPECT_LT(m["interval"][0].get<double>(), estimate);
    EXPECT_GT(m["interval"][1].get<double>(), estimate);
    for (std::size_t i = 1; i < m["curve"].size(); ++i) {
        EXPECT_LT(m["curve"][i - 1][0].get<double>(), m["curve"][i][0].get<double>());
    }
    EXPECT_TRUE(profile["parameters"]["sm"]["open_below"].get<bool>() ||
                profile["parameters"]["sm"]["open_above"].get<bool>());
    EXPECT_FALSE(profile["parameters"].contains("z"));

    // Not the calibration's tests.
    r = run({"profile", "--from", from, "--dir", other.path().string(), "--quiet", "--no-plot"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("are not those"), std::string::npos) << r.err;
    r = run({"profile", "--from", from, "--parameters", "enu", "--quiet"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--parameters: enu is fixed"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace calvenor
