// calvenor eval with wrong files and arguments: one line on standard error
// naming what to fix, exit status 1 for files that cannot be loaded, 2 for
// bad arguments; a replay of calls goes on after a call whose load failed.
#include <gtest/gtest.h>

#include "support/cli_run.hpp"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/app.hpp"
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

}  // namespace
}  // namespace calvenor
