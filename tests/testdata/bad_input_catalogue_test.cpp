// What a user gets for each kind of wrong file or argument: the exact message
// of the evaluation (the text the host module and the command line pass on),
// no crash, and a store that works again once the file is mended. The
// sanitizer build runs the same cases for leaks. examples/README.md lists
// the same messages for users.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>

#include "objective/objective.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;

constexpr std::array<double, 9> goodParameters = {1.25, 0.3, 0.005, 0.03, 0.85, 0.0, 0.83, 0.5, 1.0};
constexpr std::array<double, 3> firstUse = {1.0, 0.0, 0.0};
constexpr std::array<double, 3> reload = {1.0, 0.0, 1.0};

const std::string goodRows =
    "0.00000 0.0 100.0 0.00000 0.0\n"
    "0.00526 100.0 133.3 0.00312 0.0\n"
    "0.01053 163.0 154.3 0.00536 0.0\n";

// A host folder with one test, vornevResult/T1.txt, in both lists.
class Host {
public:
    Host() {
        list(".\\vornevResult\\T1.txt 3 100.0 0.690\n");
        data("T1.txt", goodRows);
    }
    const fs::path& path() const { return dir_.path(); }
    fs::path file(const std::string& name) const { return path() / "vornevResult" / name; }
    void write(const std::string& name, const std::string& text) const {
        fs::create_directories(file(name).parent_path());
        std::ofstream(file(name), std::ios::binary) << text;
    }
    void list(const std::string& text) const {
        write("evReadInList.txt", text);
        write("evReadInListZong.txt", text);
    }
    void data(const std::string& name, const std::string& text) const { write(name, text); }
    // How messages show a file of vornevResult/.
    std::string shown(const std::string& name) const { return file(name).string(); }

private:
    testing::TempDir dir_;
};

// The message of a first-use call, or "ok" when the call completed.
std::string firstCallMessage(const Host& host) {
    Evaluator evaluator(host.path());
    evaluator.setThreads(1);
    try {
        evaluateObjective(evaluator, goodParameters, firstUse);
    } catch (const LoadError& e) {
        EXPECT_EQ(evaluator.store().nTests, 0) << "a failed load must leave no tests";
        return e.what();
    }
    return "ok";
}

TEST(BadInputCatalogue, MissingFilesAndFoldersWhereFilesShouldBe) {
    {
        SCOPED_TRACE("missing list");
        Host host;
        fs::remove(host.file("evReadInList.txt"));
        EXPECT_EQ(firstCallMessage(host),
                  host.shown("evReadInList.txt") + ": cannot open: No such file or directory");
    }
    {
        SCOPED_TRACE("missing data file");
        Host host;
        fs::remove(host.file("T1.txt"));
        EXPECT_EQ(firstCallMessage(host), host.shown("T1.txt") + ": cannot open: No such file or directory");
    }
    {
        SCOPED_TRACE("a folder named as the data file");
        Host host;
        fs::remove(host.file("T1.txt"));
        fs::create_directories(host.file("T1.txt"));
        EXPECT_EQ(firstCallMessage(host), host.shown("T1.txt") + ": cannot open: Is a directory");
    }
    {
        SCOPED_TRACE("a folder named as the list");
        Host host;
        fs::remove(host.file("evReadInList.txt"));
        fs::create_directories(host.file("evReadInList.txt"));
        EXPECT_EQ(firstCallMessage(host), host.shown("evReadInList.txt") + ": cannot open: Is a directory");
    }
    {
        // A device or a pipe would be read (or waited on) for ever.
        SCOPED_TRACE("a device and a pipe named as data files");
        Host host;
        host.list(".\\vornevResult\\T1.txt 3 100.0 0.690\n/dev/zero 3 100.0 0.690\n");
        EXPECT_EQ(firstCallMessage(host), "/dev/zero: cannot open: not a regular file");
        ASSERT_EQ(::mkfifo(host.file("pipe").c_str(), 0600), 0);
        host.list(".\\vornevResult\\pipe 3 100.0 0.690\n");
        EXPECT_EQ(firstCallMessage(host), host.shown("pipe") + ": cannot open: not a regular file");
    }
    {
        SCOPED_TRACE("a file where a folder of the name should be");
        Host host;
        host.list(".\\vornevResult\\T1.txt\\T2.txt 3 100.0 0.690\n");
        EXPECT_EQ(firstCallMessage(host), host.shown("T1.txt/T2.txt") + ": cannot open: Not a directory");
    }
}

// Root reads files whatever their permissions, so there the unreadable file
// is opened by a child process that has given up root.
TEST(BadInputCatalogue, UnreadableDataFile) {
    Host host;
    fs::permissions(host.file("T1.txt"), fs::perms::none);
    const std::string expected = host.shown("T1.txt") + ": cannot open: Permission denied";
    if (::geteuid() != 0) {
        EXPECT_EQ(firstCallMessage(host), expected);
        return;
    }
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(out[0]);
        std::string message = "could not give up root";
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            try {
                loadTestList(host.path(), workingListName);
                message = "ok";
            } catch (const LoadError& e) {
                message = e.what();
            }
        }
        const ssize_t written = ::write(out[1], message.data(), message.size());
        ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
    }
    ::close(out[1]);
    std::string message;
    char buffer[512];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, static_cast<std::size_t>(got));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (message == "could not give up root") GTEST_SKIP() << message;
    EXPECT_EQ(message, expected);
}

TEST(BadInputCatalogue, DataFilesThatAreNotFiveNumbersARow) {
    struct Case {
        const char* kind;
        std::string text;
        std::string after;  // the message after "FILE"
    };
    static constexpr char junk[] = "\x7F" "ELF\x02\x01\x01\x00\x00\x00\xFF\xFE 1 2 3 4\n";
    const Case cases[] = {
        {"header line", "strain q p ev u\n" + goodRows,
         ":1: expected a number for strain in column 1, found 'strain'"},
        {"letter O in a number", "0.0 0.0 100.0 0.0 0.0\n0.01 4O.0 113.3 0.002 0.0\n",
         ":2: expected a number for q in column 2, found '4O.0'"},
        {"short line", "0.0 0.0 100.0 0.0 0.0\n\n0.01 40.0 113.3\n",
         ":3: expected 5 numbers, found 3"},
        {"empty file", "", ": no data rows"},
        {"blank lines only", "\n   \n\t\n", ": no data rows"},
        {"binary junk",
         std::string(junk, sizeof junk - 1) + goodRows,
         ":1: expected a number for strain in column 1, found '\\x7FELF\\x02\\x01\\x01\\x00\\x00\\x00\\xFF\\xFE'"},
        {"quoted number", "'0.0' 0.0 100.0 0.0 0.0\n",
         ":1: expected a number for strain in column 1, found \"'0.0'\""},
        {"empty value between commas", "0.0,,100.0,0.0,0.0\n",
         ":1: expected a number for q in column 2, found a null value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Host host;
        host.data("T1.txt", c.text);
        EXPECT_EQ(firstCallMessage(host), host.shown("T1.txt") + c.after);
    }
}

TEST(BadInputCatalogue, ListRecordsThatAreNotNameTypePressureVoidRatio) {
    struct Case {
        const char* kind;
        std::string text;
        std::string after;
    };
    const Case cases[] = {
        {"name only", ".\\vornevResult\\T1.txt\n", ":1: expected 4 fields, found 1"},
        {"type code with a point", ".\\vornevResult\\T1.txt 3.0 100.0 0.690\n",
         ":1: expected an integer type code in field 2, found '3.0'"},
        {"type code out of range", ".\\vornevResult\\T1.txt 99999999999 100.0 0.690\n",
         ":1: expected an integer type code in field 2, found '99999999999' (outside the 32-bit "
         "integer range)"},
        {"text for the pressure", "\n.\\vornevResult\\T1.txt 3 100kPa 0.690\n",
         ":2: expected a number for pInitial in field 3, found '100kPa'"},
        {"header line", "file type p e\n.\\vornevResult\\T1.txt 3 100.0 0.690\n",
         ":1: expected an integer type code in field 2, found 'type'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Host host;
        host.list(c.text);
        EXPECT_EQ(firstCallMessage(host), host.shown("evReadInList.txt") + c.after);
    }
}

TEST(BadInputCatalogue, HugeLinesAndNames) {
    {
        SCOPED_TRACE("100 MB of text without a line end");
        Host host;
        host.data("T1.txt", std::string(100 << 20, 'x'));
        EXPECT_EQ(firstCallMessage(host),
                  host.shown("T1.txt") + ":1: expected a number for strain in column 1, found "
                                         "'" + std::string(40, 'x') + "...' (104857600 characters)");
    }
    {
        SCOPED_TRACE("100 MB of numbers without a line end: one record, the first five used");
        Host host;
        std::string line = "0.0 0.0 100.0 0.0 0.0";
        line.reserve(100 << 20);
        while (line.size() < (100u << 20)) line += " 1.5";
        host.data("T1.txt", line);
        Evaluator evaluator(host.path());
        EXPECT_FALSE(std::isnan(evaluateObjective(evaluator, goodParameters, firstUse)));
        EXPECT_EQ(evaluator.store().rowCount.at(0), 1);
    }
    {
        SCOPED_TRACE("a list name longer than 1000 characters");
        Host host;
        const std::string name = std::string(1200, 'n') + ".txt";
        host.list(".\\vornevResult\\" + name + " 3 100.0 0.690\n");
        const std::string cut = name.substr(0, 1000 - std::string(".\\vornevResult\\").size());
        EXPECT_EQ(firstCallMessage(host),
                  host.shown(cut) +
                      ": cannot open: File name too long (the name in the list is longer than 1000 "
                      "characters and was cut)");
    }
}

TEST(BadInputCatalogue, AFailedLoadIsRetriedOnceTheFileIsMended) {
    Host host;
    host.data("T1.txt", "strain q p ev u\n" + goodRows);
    Evaluator evaluator(host.path());
    EXPECT_THROW(evaluateObjective(evaluator, goodParameters, firstUse), LoadError);
    EXPECT_THROW(evaluateObjective(evaluator, goodParameters, firstUse), LoadError);
    host.data("T1.txt", goodRows);
    const double mended = evaluateObjective(evaluator, goodParameters, firstUse);
    Evaluator fresh(host.path());
    EXPECT_TRUE(testing::sameDouble(mended, evaluateObjective(fresh, goodParameters, firstUse)));
    // A reload that fails leaves nothing behind; the same call works again
    // once the file is back.
    host.data("T1.txt", "");
    EXPECT_THROW(evaluateObjective(evaluator, goodParameters, reload), LoadError);
    EXPECT_EQ(evaluator.store().nTests, 0);
    host.data("T1.txt", goodRows);
    EXPECT_TRUE(testing::sameDouble(evaluateObjective(evaluator, goodParameters, firstUse), mended));
}

TEST(BadInputCatalogue, EmptyListEvaluatesNoTests) {
    Host host;
    host.list("\n\n");
    Evaluator evaluator(host.path());
    const double error = evaluateObjective(evaluator, goodParameters, firstUse);
    EXPECT_EQ(evaluator.store().nTests, 0);
    EXPECT_FALSE(std::isnan(error));
}

TEST(BadInputCatalogue, ParameterAndSwitchVectorsTooShort) {
    Host host;
    Evaluator evaluator(host.path());
    const std::array<double, 5> five = {1.25, 0.3, 0.005, 0.03, 0.85};
    try {
        evaluateObjective(evaluator, five, firstUse);
        ADD_FAILURE() << "five parameters accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "the parameter vector holds 5 values; 9 are needed (propm enu pkappa plamda "
                     "pnvoid cohesion z chi sm)");
    }
    const std::array<double, 2> two = {1.0, 0.0};
    try {
        evaluateObjective(evaluator, goodParameters, two);
        ADD_FAILURE() << "two switches accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "the switch vector holds 2 values; 3 are needed (penalties, reports, reload)");
    }
    // Neither call loaded anything: the next good call is the first use.
    EXPECT_TRUE(evaluator.loadFlags().firstLoadPending);
    EXPECT_FALSE(std::isnan(evaluateObjective(evaluator, goodParameters, firstUse)));
}

// Non-finite parameters are a trial point like any other: no error is
// raised. Without the penalties a NaN total is returned as +infinity; with
// them, a penalty factor made NaN by a NaN or infinite parameter passes into
// the value unguarded (so an optimiser may see NaN). The next good call gives
// its usual result.
TEST(BadInputCatalogue, NonFiniteParametersGiveAnErrorValueNotACrash) {
    Host host;
    Evaluator evaluator(host.path());
    const double good = evaluateObjective(evaluator, goodParameters, firstUse);
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr std::array<double, 3> noPenalties = {0.0, 0.0, 0.0};
    int nanWithPenalties = 0;
    for (std::size_t k = 0; k < goodParameters.size(); ++k) {
        for (const double bad : {nan, inf, -inf}) {
            std::array<double, 9> p = goodParameters;
            p[k] = bad;
            SCOPED_TRACE("parameter " + std::to_string(k + 1) + " = " + std::to_string(bad));
            EXPECT_FALSE(std::isnan(evaluateObjective(evaluator, p, noPenalties)));
            if (std::isnan(evaluateObjective(evaluator, p, firstUse))) ++nanWithPenalties;
        }
    }
    EXPECT_GT(nanWithPenalties, 0);
    std::array<double, 9> allNan;
    allNan.fill(nan);
    EXPECT_EQ(evaluateObjective(evaluator, allNan, noPenalties), inf);
    EXPECT_TRUE(testing::sameDouble(evaluateObjective(evaluator, goodParameters, firstUse), good));
}

long statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field) + 1));
    return -1;
}

// Every test keeps room for its simulated curve (3000 points of 5 doubles,
// 120 kB), so 10 000 tests take about 1.2 GB; the list must simply work.
TEST(BadInputCatalogue, TenThousandTestsNamingOneDataFile) {
    Host host;
    std::string list;
    for (int t = 0; t < 10000; ++t) list += ".\\vornevResult\\T1.txt 3 100.0 0.690\n";
    host.list(list);
    Evaluator one(host.path());
    const double single = [&] {
        Host small;
        Evaluator e(small.path());
        return evaluateObjective(e, goodParameters, firstUse);
    }();
    const long before = statusKilobytes("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    const double error = evaluateObjective(one, goodParameters, firstUse);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long grown = statusKilobytes("VmRSS:") - before;
    EXPECT_EQ(one.store().nTests, 10000);
    // The same test 10 000 times: the mean misfit of one, up to the rounding
    // of the sums.
    EXPECT_NEAR(error, single, 1e-9 * single);
    EXPECT_LT(grown, 1600L * 1024) << "kB for 10 000 tests";
    std::printf("10 000 tests: loaded and evaluated in %.1f s, %ld MB more resident\n", seconds,
                grown / 1024);
}

}  // namespace
}  // namespace calvenor
