// calvenor eval with wrong files and arguments: one line on standard error
// naming what to fix, exit status 1 for files that cannot be loaded, 2 for
// bad arguments; a replay of calls goes on after a call whose load failed.
#include <gtest/gtest.h>

#include "support/cli_run.hpp"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;

using testing::CliRun;
using testing::run;

const std::vector<std::string> parameters = {"1.25", "0.3", "0.005", "0.03", "0.85",
                                             "0",    "0.83", "0.5",  "1.0"};

std::vector<std::string> evalArgs(const fs::path& dir, std::vector<std::string> extra = parameters) {
    std::vector<std::string> args = {"eval", "--dir", dir.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// A folder with one test whose data file starts with a header line.
struct HeaderLineFolder {
    testing::TempDir dir;
    HeaderLineFolder() {
        write(dir.path() / "vornevResult/evReadInList.txt", ".\\vornevResult\\T1.txt 3 100 0.69\n");
        write(dir.path() / "vornevResult/evReadInListZong.txt", ".\\vornevResult\\T1.txt 3 100 0.69\n");
        write(dir.path() / "vornevResult/T1.txt", "strain q p ev u\n0 0 100 0 0\n0.01 40 113 0.002 0\n");
    }
    std::string dataShown() const { return (dir.path() / "vornevResult/T1.txt").string(); }
};

TEST(EvalBadInput, FilesThatCannotBeLoaded) {
    testing::TempDir empty;
    CliRun r = run(evalArgs(empty.path()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "calvenor: " + (empty.path() / "vornevResult/evReadInList.txt").string() +
                         ": cannot open: No such file or directory\n");

    HeaderLineFolder folder;
    r = run(evalArgs(folder.dir.path()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "calvenor: " + folder.dataShown() +
                         ":1: expected a number for strain in column 1, found 'strain'\n");
}

TEST(EvalBadInput, BadArguments) {
    testing::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {evalArgs(dir.path(), {"1.25", "0.3", "0.005", "0.03", "0.85"}),
         "calvenor: parameters: expected nine numbers (propm enu pkappa plamda pnvoid cohesion z "
         "chi sm), found 5\n"},
        {[&] {
             auto a = evalArgs(dir.path());
             a.insert(a.begin() + 1, {"--switches", "1,0"});
             return a;
         }(),
         "calvenor: --switches: expected three numbers separated by commas, found '1,0'\n"},
        {[&] {
             auto a = evalArgs(dir.path());
             a.insert(a.begin() + 1, {"--switches", "1,on,0"});
             return a;
         }(),
         "calvenor: --switches: expected three numbers separated by commas, found '1,on,0'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const CliRun r = run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    // A word among the parameters: the parser's own message, on one line.
    auto args = evalArgs(dir.path());
    args[5] = "0.3x";
    const CliRun r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("0.3x"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST(EvalBadInput, ReplayedCalls) {
    HeaderLineFolder folder;
    const fs::path calls = folder.dir.path() / "calls.txt";
    // A call whose load fails, then the same call after the file is mended
    // (here: the full list names a good file).
    write(folder.dir.path() / "vornevResult/evReadInListZong.txt",
          ".\\vornevResult\\T2.txt 3 100 0.69\n");
    write(folder.dir.path() / "vornevResult/T2.txt", "0 0 100 0 0\n0.01 40 113 0.002 0\n");
    write(calls, "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1 0 0\n"
                 "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1 0 1\n"
                 "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1 0 1\n");
    CliRun r = run({"eval", "--dir", folder.dir.path().string(), "--calls", calls.string()});
    EXPECT_EQ(r.status, 0);
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "call 1 failed " + folder.dataShown() +
                        ":1: expected a number for strain in column 1, found 'strain'");
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("call 2 error ", 0), 0u) << line;

    write(calls, "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1 0 0\n\n1.25 0.3 0.005 0.03 0.85 0 0.83 abc\n");
    r = run({"eval", "--dir", folder.dir.path().string(), "--calls", calls.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "calvenor: " + calls.string() + ":3: expected a number, found 'abc'\n");

    write(calls, "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1 0\n");
    r = run({"eval", "--dir", folder.dir.path().string(), "--calls", calls.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "calvenor: " + calls.string() +
                         ":1: expected 12 numbers (9 parameters, 3 switches), found 11\n");
}

TEST(EvalBadInput, WarningsNameWhatScoresNothingAndWhatStopped) {
    testing::TempDir dir;
    // Nothing scored: warned once per list in a sequence of calls (reloads
    // included), and the host's 0 stays.
    write(dir.path() / "none/vornevResult/evReadInList.txt", "vornevResult\\T1.txt 0 100 0.69\n");
    write(dir.path() / "none/vornevResult/evReadInListZong.txt", "vornevResult\\T1.txt 0 100 0.69\n");
    write(dir.path() / "none/vornevResult/T1.txt", "0 0 100 0 0\n0.01 40 113 0.002 0\n");
    // Commas and comments in the calls file, as in the data files.
    const fs::path calls = dir.path() / "calls.txt";
    write(calls, "# propm enu pkappa plamda pnvoid cohesion z chi sm, switches\n"
                 "1.25, 0.3, 0.005, 0.03, 0.85, 0, 0.83, 0.5, 1.0, 1, 0, 0  # first\n"
                 "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1 0 1\n"
                 "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1 0 1\n");
    CliRun r = run({"eval", "--dir", (dir.path() / "none").string(), "--calls", calls.string()});
    EXPECT_EQ(r.status, 0);
    const std::string why = ": no test is scored: vornevResult/T1.txt has type code 0, which no measure scores; "
                            "every error value is 0\n";
    EXPECT_EQ(r.err, "calvenor: warning: " + (dir.path() / "none/vornevResult/evReadInList.txt").string() + why +
                         "calvenor: warning: " + (dir.path() / "none/vornevResult/evReadInListZong.txt").string() +
                         why);
    const std::vector<std::string> out = testing::lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(out[k].rfind("call " + std::to_string(k + 1) + " error 0 ", 0), 0u) << out[k];
    write(calls, "1.25 0.3 0.005 0.03 0.85 0 0.83 0.5 1.0 1,,0\n");
    r = run({"eval", "--dir", (dir.path() / "none").string(), "--calls", calls.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "calvenor: " + calls.string() + ":1: expected a number, found an empty value\n");

    // A stopped evaluation names its test and why.
    write(dir.path() / "below/vornevResult/evReadInList.txt", "vornevResult\\T1.txt 3 50 0.69\n");
    write(dir.path() / "below/vornevResult/T1.txt", "0 0 40 0 0\n0.01 40 45 0.002 0\n");
    r = run(evalArgs(dir.path() / "below"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("error inf\n", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "calvenor: warning: test 1 of the list (vornevResult/T1.txt, type 3) stopped the evaluation: "
                     "the compression run from the list pressure 50 kPa (void ratio 0.69) never reached the test's "
                     "first measured pressure 40 kPa (it is below the list pressure, and the compression run only "
                     "loads); the error value is inf\n");
}

TEST(CommandLine, UsageReadableBoundsAndTheThreadSetting) {
    CliRun r = run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("Calvenor: calibration of a critical-state soil model", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("calibrate"), std::string::npos);
    r = run({"calibrate", "--population", "3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "calvenor: --population: expected a whole number from 5 to 1000000, found '3'\n");
    r = run({"calibrate", "--max-evaluations", "0"});
    EXPECT_EQ(r.err, "calvenor: --max-evaluations: expected a whole number from 1 to 1099511627776, found '0'\n");
    r = run({"calibrate", "--threads", "-1"});
    EXPECT_EQ(r.err, "calvenor: --threads: expected a whole number from 0 to 4096, found '-1'\n");
    testing::TempDir dir;
    r = run(evalArgs(dir.path()), {}, {"CALVENOR_THREADS=2x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "calvenor: CALVENOR_THREADS: expected a whole number of threads from 1 to 1024, found '2x'\n");
}

}  // namespace
}  // namespace calvenor
