// calvenor calibrate: the configuration file and its errors (file, line and
// key), and the command's outputs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "calibration/parameter_table.hpp"
#include "calibration/synthesis.hpp"
#include "io/json.hpp"
#include "support/cli_run.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

using testing::CliRun;
using testing::readAll;
using testing::run;
using testing::TempDir;

// Two small synthetic tests (undrained and drained, 11 rows each): quick to evaluate.
SynthConfig smallSynth() {
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

class CalibrateCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        const SynthResult s = synthesize(smallSynth());
        writeTestSet(dir_->path(), s.tests, s.tests);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static const std::filesystem::path& dir() { return dir_->path(); }

    // Runs calibrate with the configuration text and one evaluation; the
    // status and what it printed.
    static CliRun withConfig(const TempDir& out, const std::string& text, const std::string& name = "fit.toml") {
        const std::filesystem::path config = out.path() / name;
        std::ofstream(config) << text;
        return run({"calibrate", "--dir", dir().string(), "--config", config.string(), "--max-evaluations", "1",
                    "--no-plot", "--quiet", "--out", (out.path() / "result").string()});
    }

private:
    static TempDir* dir_;
};
TempDir* CalibrateCommand::dir_ = nullptr;

TEST_F(CalibrateCommand, ConfigurationSetsParametersAndOptions) {
    TempDir out;
    const CliRun r = withConfig(out,
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
                                "cohesion = { upper = 20 }\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const Json j = Json::parse(readAll(out.path() / "result" / "calibration.json"));
    const Json& b = j["bounds"];
    EXPECT_EQ(b["propm"], Json::parse(R"({"fixed": false, "start": 1.3, "lower": 0.8, "upper": 1.8, "atBound": null})"));
    EXPECT_EQ(b["enu"], Json::parse(R"({"fixed": true, "value": 0.25})"));
    EXPECT_EQ(b["sm"], Json::parse(R"({"fixed": true, "value": 1.5})"));  // a bare number fixes
    // No start given: the default start if inside the bounds, else the middle.
    EXPECT_DOUBLE_EQ(b["chi"]["start"].get<double>(), 0.45);
    // A parameter fixed by default and freed keeps its value as start, with default bounds.
    EXPECT_EQ(b["cohesion"]["fixed"], false);
    EXPECT_EQ(b["cohesion"]["start"], 0.0);
    EXPECT_EQ(b["cohesion"]["lower"], 0.0);
    EXPECT_EQ(b["cohesion"]["upper"], 20.0);
    // Untouched parameters keep their defaults.
    EXPECT_EQ(b["pkappa"]["lower"], defaultParameterSettings()[2].lower);
    EXPECT_EQ(j["algorithm"], "de");
    EXPECT_EQ(j["phases"][0]["population"], 30);
    EXPECT_EQ(j["seed"], 42);
    EXPECT_EQ(j["penalties"], false);
    // The command line's --max-evaluations 1 overrides the file's 5000.
    EXPECT_EQ(j["maxEvaluations"], 1);
}

TEST_F(CalibrateCommand, ConfigurationErrorsNameFileLineAndKey) {
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
    TempDir out;
    for (const auto& [text, expected] : cases) {
        const CliRun r = withConfig(out, text);
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_NE(r.err.find((out.path() / expected).string()), std::string::npos)
            << "config:\n" << text << "message: " << r.err << "\nexpected: " << expected;
    }
    const CliRun r = run({"calibrate", "--dir", dir().string(), "--config", "/nonexistent/fit.toml"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("/nonexistent/fit.toml"), std::string::npos) << r.err;
}

TEST_F(CalibrateCommand, CommandWritesResultsReportsAndPlots) {
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
    for (const auto name : parameterNames) {  // host order
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

TEST_F(CalibrateCommand, CommandRefusesBadConfigurationAndMissingData) {
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

}  // namespace
}  // namespace calvenor
