// calvenor calibrate: the configuration file and its errors (file, line and
// key), and the command's outputs.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>
#include <fstream>
#include <sstream>

#include "calibration/parameter_table.hpp"
#include "calibration/synthesis.hpp"
#include "io/json.hpp"
#include "io/sha256.hpp"
#include "support/cli_run.hpp"
#include "support/exact.hpp"
#include "support/small_data.hpp"

namespace calvenor {
namespace {

using testing::CliRun;
using testing::readAll;
using testing::run;
using testing::TempDir;

class CalibrateCommand : public testing::SmallDataSuite {
protected:
    // Runs calibrate with the configuration text and one evaluation; the
    // status and what it printed.
    static CliRun withConfig(const TempDir& out, const std::string& text, const std::string& name = "fit.toml") {
        const std::filesystem::path config = out.path() / name;
        std::ofstream(config) << text;
        return run({"calibrate", "--dir", dir().string(), "--config", config.string(), "--max-evaluations", "1",
                    "--no-plot", "--quiet", "--out", (out.path() / "result").string()});
    }
};

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
    // A relative `out` is taken relative to the configuration's folder,
    // wherever the program runs.
    std::ofstream(config) << "enu = 0.3\nchi = { fixed = 0.2 }\nmax_evaluations = 120\nout = \"result\"\n";
    const CliRun r = run({"calibrate", "--dir", dir().string(), "--config", config.string(), "--seed", "1",
                          "--threads", "2", "--quiet"},
                         dir().string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("error value"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("chi                 0.2   (fixed)"), std::string::npos) << r.out;

    const std::filesystem::path result = out.path() / "result";
    const std::string text = readAll(result / "calibration.json");
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
    // The record names the program, the configuration and every file read, with its checksum.
    const Json j = Json::parse(text);
    EXPECT_EQ(j["program"], "calvenor " CALVENOR_VERSION);
    EXPECT_EQ(j["config"], config.string());
    const Json files = j["files"];
    ASSERT_EQ(files.size(), 3u) << files.dump();
    for (const auto& [name, shown] : {std::pair{"evReadInList.txt", "vornevResult/evReadInList.txt"},
                                      {"U200.txt", "vornevResult/U200.txt"}, {"D100.txt", "vornevResult/D100.txt"}}) {
        const auto f = std::find_if(files.begin(), files.end(), [&](const Json& e) { return e["file"] == shown; });
        ASSERT_NE(f, files.end()) << shown;
        EXPECT_EQ((*f)["sha256"], sha256(readAll(dir() / "vornevResult" / name))) << shown;
    }

    // The reports of the best set go to OUT/reports, under the names they
    // have beside the data; the data folder is left alone.
    ASSERT_EQ(j["reports"].size(), 4u) << j["reports"].dump();
    for (const char* report : {"VORNevPicOutError.DAT", "MidPande.DAT", "U200-1.DAT", "D100-3.DAT"}) {
        const std::filesystem::path file = result / "reports" / "vornevResult" / report;
        EXPECT_TRUE(std::filesystem::exists(file)) << report;
        EXPECT_NE(std::find(j["reports"].begin(), j["reports"].end(), file.string()), j["reports"].end()) << report;
        EXPECT_FALSE(std::filesystem::exists(dir() / "vornevResult" / report)) << report;
    }
    EXPECT_FALSE(std::filesystem::exists(result / "checkpoint.json"));  // a finished run needs none
    if (std::system("gnuplot --version > /dev/null 2>&1") == 0) {
        EXPECT_GT(std::filesystem::file_size(result / "calibration.png"), 10000u);
        EXPECT_TRUE(std::filesystem::exists(result / "calibration.svg"));
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

// A host folder with the working list and data files given as text.
void writeFolder(const std::filesystem::path& dir, const std::string& list,
                 const std::vector<std::pair<std::string, std::string>>& files) {
    std::filesystem::create_directories(dir / "vornevResult");
    std::ofstream(dir / "vornevResult/evReadInList.txt") << list;
    for (const auto& [name, text] : files) std::ofstream(dir / "vornevResult" / name) << text;
}

TEST_F(CalibrateCommand, RefusesBeforeTheSearchWhatCannotBeFitted) {
    TempDir t;
    const auto calibrate = [&](const std::filesystem::path& data, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"calibrate", "--dir", data.string(), "--quiet", "--no-plot", "--seed", "1",
                                         "--max-evaluations", "50"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    };
    // No test is scored: a type code no measure scores, and a test whose
    // scored columns (q and u for type 1) are 0 in every row.
    const std::filesystem::path none = t.path() / "none";
    writeFolder(none, "vornevResult\\T1.txt 0 100 0.69\nvornevResult\\T2.txt 1 100 0.69\n",
                {{"T1.txt", "0 0 100 0 0\n0.01 40 113 0.002 0\n"}, {"T2.txt", "0 0 100 0 0\n0.01 0 90 0 0\n"}});
    CliRun r = calibrate(none);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "calvenor: " + (none / "vornevResult/evReadInList.txt").string() +
                         ": no test is scored: vornevResult/T1.txt has type code 0, which no measure scores; "
                         "vornevResult/T2.txt has type 1, scored on q and u, and its q and u are 0 in every row: "
                         "there is nothing to fit\n");
    EXPECT_FALSE(std::filesystem::exists(none / "calvenor-calibration/calibration.json"));

    // Every evaluation stops: the first measured pressure lies below the list pressure.
    const std::filesystem::path below = t.path() / "below";
    writeFolder(below, "vornevResult\\T1.txt 3 100 0.69\nvornevResult\\T2.txt 3 50 0.69\n",
                {{"T1.txt", "0 0 100 0 0\n0.01 40 113 0.002 0\n"}, {"T2.txt", "0 0 40 0 0\n0.01 40 45 0.002 0\n"}});
    r = calibrate(below);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "calvenor: the start values give the error value inf: test 2 of the list (vornevResult/T2.txt, "
                     "type 3) stopped the evaluation: the compression run from the list pressure 50 kPa (void ratio "
                     "0.69) never reached the test's first measured pressure 40 kPa (it is below the list pressure, "
                     "and the compression run only loads); nothing can be fitted from there\n");
    EXPECT_FALSE(std::filesystem::exists(below / "calvenor-calibration/calibration.json"));

    // Results that cannot be written are found before the search.
    std::ofstream(t.path() / "file") << "x";
    r = calibrate(dir(), {"--out", (t.path() / "file/result").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "calvenor: " + (t.path() / "file/result").string() + ": cannot create the folder: Not a directory\n");
    std::filesystem::create_directories(t.path() / "blocked/checkpoint.json");
    r = calibrate(dir(), {"--out", (t.path() / "blocked").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "calvenor: " + (t.path() / "blocked/checkpoint.json").string() + ": cannot write: Is a directory\n");
    EXPECT_FALSE(std::filesystem::exists(t.path() / "blocked/calibration.json"));

    // A report that cannot be written fails the run, and only the reports
    // written are listed; without reports the run succeeds.
    const std::filesystem::path out = t.path() / "out";
    std::filesystem::create_directories(out / "reports/vornevResult/MidPande.DAT");
    r = calibrate(dir(), {"--out", out.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "calvenor: " + (out / "reports/vornevResult/MidPande.DAT").string() +
                         ": cannot write report: Is a directory\n");
    Json j = Json::parse(readAll(out / "calibration.json"));
    ASSERT_EQ(j["reports"].size(), 3u) << j["reports"].dump();
    for (const Json& f : j["reports"]) EXPECT_TRUE(std::filesystem::is_regular_file(f.get<std::string>())) << f;
    EXPECT_NE(r.out.find("reports      " + (out / "reports").string() + " (3 files)"), std::string::npos) << r.out;
    r = calibrate(dir(), {"--out", out.string(), "--no-reports"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Json::parse(readAll(out / "calibration.json"))["reports"], Json::array());

    // The host's places on request; a parameter range that leaves physics is warned about.
    const std::filesystem::path host = t.path() / "host";
    std::filesystem::copy(dir(), host, std::filesystem::copy_options::recursive);
    std::ofstream(t.path() / "fit.toml") << "\npkappa = { lower = 0, upper = 0.1 }\n";
    r = calibrate(host, {"--reports-in-data", "--config", (t.path() / "fit.toml").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "calvenor: warning: " + (t.path() / "fit.toml").string() +
                         ":2: pkappa: the bounds [0, 0.1] reach outside (0, inf): the unloading slope kappa must be "
                         "above 0\n");
    for (const char* report : {"VORNevPicOutError.DAT", "MidPande.DAT", "U200-1.DAT", "D100-3.DAT"})
        EXPECT_TRUE(std::filesystem::exists(host / "vornevResult" / report)) << report;
    EXPECT_FALSE(std::filesystem::exists(host / "calvenor-calibration/reports"));
}

// The parameters, error value and evaluation count of a calibration.json, as text.
std::string outcomeOf(const std::filesystem::path& out) {
    const Json j = Json::parse(readAll(out / "calibration.json"));
    return j["parameters"].dump() + " " + j["error"].dump() + " " + j["evaluations"].dump();
}

TEST_F(CalibrateCommand, StoppedOrKilledRunsResumeToTheSameResult) {
    TempDir t;
    const auto args = [&](const std::string& out) {
        return std::vector<std::string>{"calibrate", "--dir", dir().string(), "--seed", "7",
                                        "--max-evaluations", "1500", "--threads", "2", "--no-plot", "--quiet",
                                        "--checkpoint-interval", "0", "--out", (t.path() / out).string()};
    };
    CliRun r = run(args("whole"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string whole = outcomeOf(t.path() / "whole");

    // Signals the run once its checkpoint holds some evaluations.
    const auto signalAfter = [&](const std::string& out, int signal) {
        return [&t, out, signal](int pid) {
            const std::filesystem::path file = t.path() / out / "checkpoint.json";
            for (int k = 0; k < 3000; ++k) {
                const std::string text = readAll(file);
                if (!text.empty() && Json::parse(text)["evaluations"].get<int>() >= 200) break;
                ::usleep(5000);
            }
            ::kill(pid, signal);
        };
    };
    for (const auto& [out, signal, status] : {std::tuple{"term", SIGTERM, 143}, {"killed", SIGKILL, 128 + SIGKILL}}) {
        SCOPED_TRACE(out);
        r = testing::run(args(out), {}, {}, signalAfter(out, signal));
        ASSERT_EQ(r.status, status) << r.err;
        // The checkpoint is whole, and short of the whole run.
        const Json checkpoint = Json::parse(readAll(t.path() / out / "checkpoint.json"));
        EXPECT_LT(checkpoint["evaluations"].get<int>(), 1500);
        if (signal == SIGTERM) {
            EXPECT_EQ(Json::parse(readAll(t.path() / out / "calibration.json"))["interrupted"], true);
        } else {
            EXPECT_FALSE(std::filesystem::exists(t.path() / out / "calibration.json"));
        }
        r = run({"calibrate", "--resume", (t.path() / out).string(), "--quiet", "--no-plot"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(outcomeOf(t.path() / out), whole);
        EXPECT_FALSE(std::filesystem::exists(t.path() / out / "checkpoint.json"));
    }
    // Only the threads may change on a resume; a finished run has nothing to resume.
    r = run({"calibrate", "--resume", (t.path() / "whole").string(), "--seed", "3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "calvenor: --resume: the run goes on as it was set up; --seed cannot be given with it\n");
    r = run({"calibrate", "--resume", (t.path() / "whole").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "calvenor: " + (t.path() / "whole/checkpoint.json").string() +
                         ": cannot open: No such file or directory (nothing to resume: a finished run removes its "
                         "checkpoint)\n");
}

}  // namespace
}  // namespace calvenor
