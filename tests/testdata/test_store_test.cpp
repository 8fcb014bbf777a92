#include "testdata/test_store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>

#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;
using calvenor::testing::sameDouble;
using calvenor::testing::sharedDir;
using calvenor::testing::TempDir;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::string_view listName = "vornevResult\\evReadInList.txt";
const double margin = static_cast<double>(0.01f);

// A host folder in a fresh temporary directory.
class HostFolder {
public:
    const fs::path& path() const { return dir_.path(); }
    void write(const std::string& name, const std::string& text) const {
        const fs::path file = dir_.path() / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    // How messages show a file of this folder.
    std::string shown(const std::string& name) const { return (dir_.path() / name).string(); }
    // The message of a failing load of the working list.
    std::string loadError(std::string_view list = listName) const {
        try {
            loadTestList(path(), list);
        } catch (const LoadError& e) {
            return e.what();
        }
        return "loaded";
    }

private:
    TempDir dir_;
};

std::string rows(int n, double strainStep) {
    std::string text;
    for (int r = 0; r < n; ++r)
        text += std::to_string(r * strainStep) + " " + std::to_string(r) + " 100 0 0\n";
    return text;
}

TEST(HostNames, PathsAndDisplayNames) {
    EXPECT_EQ(hostPath("/h", ".\\vornevResult\\T3.txt"), fs::path("/h/./vornevResult/T3.txt"));
    EXPECT_EQ(hostPath("", "a\\b.txt"), fs::path("a/b.txt"));
    EXPECT_EQ(hostPath("/h", "\\abs\\b.txt"), fs::path("/abs/b.txt"));
    EXPECT_EQ(displayName("", ".\\vornevResult\\T3.txt"), "vornevResult/T3.txt");
    EXPECT_EQ(displayName(".", "T3.txt"), "T3.txt");
    EXPECT_EQ(displayName("/h", ".\\vornevResult\\T3.txt"), "/h/vornevResult/T3.txt");
    EXPECT_EQ(displayName("/h/", "/abs/T3.txt"), "/abs/T3.txt");
}

TEST(HostNames, CurveFileNames) {
    EXPECT_EQ(deriveCurveFile("T12.txt", 3), "T12-3.DAT");
    EXPECT_EQ(deriveCurveFile("a\\T12.txt", 3), "a\\T12-3.DAT");
    EXPECT_EQ(deriveCurveFile("ab.c", 7), "-7.DAT");
    EXPECT_EQ(deriveCurveFile("T1.txt", -2), "T1--2.DAT");
    EXPECT_EQ(deriveCurveFile("T1.txt   ", 1), "T1-1.DAT");
    EXPECT_EQ(deriveCurveFile("a  .txt", 1), "a-1.DAT");
    EXPECT_EQ(deriveCurveFile("T.txt", std::numeric_limits<std::int32_t>::min()),
              "T--2147483648.DAT");
    const std::string longName(1000, 'n');
    EXPECT_EQ(deriveCurveFile(longName, 3), std::string(996, 'n') + "-3.D");
}

TEST(LoadTestList, ReadsFreeFormListsAndData) {
    HostFolder host;
    host.write("vornevResult/evReadInList.txt",
               "\r\n'vornevResult\\a b.txt'\t5,  2.5D2 , 0.9 extra 'fields'\r\n"
               "\n"
               "\"q\"\"uote.txt\" -1 1.0+2 1\r\n\r\n\t\n");
    host.write("vornevResult/a b.txt",
               "0.0 1.0D-8 50.0 0.0 0.0\r\n\r\n0.01,30.0,60.0,0.002,0.0,7,8\r\n"
               "\t2.0E-2\t45.0\t65.0\t3.0d-3\t0\r\n3*0.5 -1 -Inf\n");
    host.write("q\"uote.txt", "-0.1 nan 9 -5 NaN\n");
    const TestStore store = loadTestList(host.path(), listName);

    ASSERT_EQ(store.nTests, 2);
    EXPECT_EQ(store.testFile, (std::vector<std::string>{"vornevResult\\a b.txt", "q\"uote.txt"}));
    EXPECT_EQ(store.curveFile,
              (std::vector<std::string>{"vornevResult\\a b-5.DAT", "q\"uote--1.DAT"}));
    EXPECT_EQ(store.testType, (std::vector<std::int32_t>{5, -1}));
    EXPECT_EQ(store.pInitial, (std::vector<double>{250.0, 100.0}));
    EXPECT_EQ(store.eInitial, (std::vector<double>{0.9, 1.0}));
    EXPECT_EQ(store.rowCount, (std::vector<std::int32_t>{4, 1}));
    EXPECT_EQ(store.maxRows, 4);

    const double first[4][5] = {{0.0, 1.0e-8, 50.0, 0.0, 0.0},
                                {0.01, 30.0, 60.0, 0.002, 0.0},
                                {0.02, 45.0, 65.0, 0.003, 0.0},
                                {0.5, 0.5, 0.5, -1.0, -std::numeric_limits<double>::infinity()}};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < columnCount; ++c)
            EXPECT_TRUE(sameDouble(store.measured(0, r, c), first[r][c])) << r << "," << c;
    EXPECT_EQ(store.measured(1, 0, strainCol), -0.1);
    EXPECT_TRUE(std::isnan(store.measured(1, 0, qCol)));
}

TEST(LoadTestList, ErrorsNameFileLineAndWhat) {
    HostFolder host;
    const std::string list = "vornevResult/evReadInList.txt";
    const auto withData = [&](const std::string& data) {
        host.write(list, "T1.txt 3 50 1.6\n");
        host.write("T1.txt", data);
        return host.loadError();
    };
    EXPECT_EQ(host.loadError(), host.shown(list) + ": cannot open: No such file or directory");

    EXPECT_EQ(withData("0 1 2 3 4\n\n0.1 1 2\n"),
              host.shown("T1.txt") + ":3: expected 5 numbers, found 3");
    EXPECT_EQ(
        withData("strain q p ev u\n0 1 2 3 4\n"),
        host.shown("T1.txt") + ":1: expected a number for strain in column 1, found 'strain'");
    EXPECT_EQ(withData("0 1 2 3 4\n0,1,,3,4\n"),
              host.shown("T1.txt") + ":2: expected a number for p in column 3, found a null value");
    EXPECT_EQ(withData("0 1 2 3/4\n"),
              host.shown("T1.txt") + ":1: expected a number for u in column 5, found '/'");
    EXPECT_EQ(withData("0 1 2 3 4\n'5 6 7 8 9\n1 2 3 4 5\n"),
              host.shown("T1.txt") +
                  ":2: expected a number for strain in column 1, found \"'5 6 7 8 9\" without its "
                  "closing quote");
    EXPECT_EQ(withData(" \r\n\t\n"), host.shown("T1.txt") + ": no data rows");
    EXPECT_EQ(withData(""), host.shown("T1.txt") + ": no data rows");
    EXPECT_EQ(withData(std::string("\x00\x89PNG\r\n\x1a\n", 8)),
              host.shown("T1.txt") +
                  ":1: expected a number for strain in column 1, found '\\x00\\x89PNG'");

    host.write("T1.txt", "0 1 2 3 4\n");
    const auto withList = [&](const std::string& text) {
        host.write(list, text);
        return host.loadError();
    };
    EXPECT_EQ(withList("T1.txt 3 50 1.6\nT1.txt 3 50\n"),
              host.shown(list) + ":2: expected 4 fields, found 3");
    EXPECT_EQ(withList("T1.txt 3.5 50 1.6\n"),
              host.shown(list) + ":1: expected an integer type code in field 2, found '3.5'");
    EXPECT_EQ(withList("T1.txt 3000000000 50 1.6\n"),
              host.shown(list) +
                  ":1: expected an integer type code in field 2, found '3000000000' (outside the "
                  "32-bit integer range)");
    EXPECT_EQ(withList("T1.txt 3 50 1.6D\n"),
              host.shown(list) + ":1: expected a number for eInitial in field 4, found '1.6D'");
    EXPECT_EQ(withList("'' 3 50 1.6\n"),
              host.shown(list) + ":1: expected the data file name in field 1, found an empty name");
    EXPECT_EQ(withList("T1.txt 3 50 1.6\n\n'T1.txt 3 50 1.6\nT1.txt 3 50 1.6\n"),
              host.shown(list) +
                  ":3: expected the data file name in field 1, found \"'T1.txt 3 50 1.6\" without "
                  "its closing quote");
    EXPECT_EQ(withList("T1.txt 3 50 1.6\nT9.txt 3 50 1.6\n"),
              host.shown("T9.txt") + ": cannot open: No such file or directory");
    EXPECT_EQ(withList(std::string("T1.txt\0\t 3 50 1.6\n", 18)),
              host.shown("T1.txt") + "\\x00: cannot open: the name holds a NUL character");
    fs::create_directories(host.path() / "dir");
    EXPECT_EQ(withList("dir 3 50 1.6\n"), host.shown("dir") + ": cannot open: Is a directory");
}

TEST(LoadTestList, EmptyListAndLongNames) {
    HostFolder host;
    host.write("vornevResult/evReadInList.txt", "\n \r\n");
    const TestStore empty = loadTestList(host.path(), listName);
    EXPECT_EQ(empty.nTests, 0);
    EXPECT_EQ(empty.maxRows, 0);
    EXPECT_TRUE(empty.testFile.empty());
    EXPECT_EQ(empty.measured.tests(), 0);
    EXPECT_EQ(empty.simCurve.tests(), 0);

    // A name of exactly 1000 characters is used whole; a longer one is cut to it.
    std::string name;
    while (name.size() < 1000 - 6) name += std::string(199, 'd') + "\\";
    name.resize(1000 - 6);
    name += "\\T.txt";
    ASSERT_EQ(name.size(), 1000u);
    std::string posixName = name;
    std::replace(posixName.begin(), posixName.end(), '\\', '/');
    host.write(posixName, "0 1 2 3 4\n");
    host.write("vornevResult/evReadInList.txt", name + " 3 50 1\n'" + name + "xyz ' 3 50 1\n");
    const TestStore store = loadTestList(host.path(), listName);
    ASSERT_EQ(store.nTests, 2);
    EXPECT_EQ(store.testFile[0], name);
    EXPECT_EQ(store.testFile[1], name);
    EXPECT_EQ(store.curveFile[0], name.substr(0, 996) + "-3.D");

    host.write("vornevResult/evReadInList.txt", std::string(5000, 'x') + " 3 50 1\n");
    EXPECT_EQ(host.loadError(), host.shown(std::string(1000, 'x')) +
                                    ": cannot open: File name too long (the name in the list is "
                                    "longer than 1000 characters and was cut)");
}

TEST(LoadTestList, DerivedValues) {
    HostFolder host;
    host.write("vornevResult/evReadInList.txt", "short.txt 3 50 1\nlong.txt 1 80 1\n");
    // Ten rows with negative strains, a NaN q, and u all NaN.
    std::string shortRows;
    for (int r = 0; r < 10; ++r) {
        const std::string q = r == 4 ? "nan" : std::to_string(-r);
        shortRows +=
            std::to_string(-0.025 * r) + ' ' + q + ' ' + std::to_string(40 + r) + " 0.001 NaN\n";
    }
    host.write("short.txt", shortRows);
    host.write("long.txt", rows(25, 0.01));
    const TestStore store = loadTestList(host.path(), listName);

    ASSERT_EQ(store.maxRows, 25);
    EXPECT_EQ(store.rowCount, (std::vector<std::int32_t>{10, 25}));
    EXPECT_EQ(store.measured.rows(), 25);
    EXPECT_EQ(store.simAtMeasured.tests(), 2);
    EXPECT_EQ(store.simAtMeasured.rows(), 25);
    EXPECT_EQ(store.simCurve.tests(), 2);
    EXPECT_EQ(store.simCurve.rows(), pathPoints);
    for (int c = 0; c < columnCount; ++c)
        for (double v : store.simAtMeasured.column(1, c)) ASSERT_EQ(v, 0.0);

    EXPECT_EQ(store.strainRange[0], 0.225 + margin);
    EXPECT_EQ(store.qScale[0], 9.0);
    EXPECT_EQ(store.pScale[0], 49.0);
    EXPECT_EQ(store.evScale[0], 0.001);
    // Only the ten rows of this test are looked at: every u is NaN.
    EXPECT_EQ(store.uScale[0], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(store.pConsol, (std::vector<double>{40.0, 100.0}));
    EXPECT_EQ(store.eConsol, (std::vector<double>{0.0, 0.0}));

    EXPECT_EQ(store.strainRange[1], 0.24 + margin);
    EXPECT_EQ(store.qScale[1], 24.0);
    EXPECT_EQ(store.uScale[1], 0.0);
}

TEST(LoadTestList, SampleListsWithNamesAndFormats) {
    const fs::path folder = sharedDir() / "vectors/evaluations/18-names-and-formats";
    if (!fs::exists(folder)) GTEST_SKIP() << "no sample folder " << folder;

    const TestStore working = loadTestList(folder, workingListName);
    ASSERT_EQ(working.nTests, 3);
    EXPECT_EQ(working.testFile, (std::vector<std::string>{"vornevResult\\with blank.txt", "ab.c",
                                                          "vornevResult\\T1.txt"}));
    EXPECT_EQ(working.curveFile, (std::vector<std::string>{"vornevResult\\with blank-3.DAT",
                                                           "-7.DAT", "vornevResult\\T1--2.DAT"}));
    EXPECT_EQ(working.testType, (std::vector<std::int32_t>{3, 7, -2}));
    EXPECT_EQ(working.pInitial, (std::vector<double>{50.0, 50.0, 50.0}));
    EXPECT_EQ(working.eInitial,
              (std::vector<double>{1.607508601600702, 1.607508601600702, 1.607508601600702}));
    EXPECT_EQ(working.maxRows, 4);
    const double expected[4][5] = {{0.0, 1.0e-8, 50.0, 0.0, 0.0},
                                   {0.01, 30.0, 60.0, 0.002, 0.0},
                                   {0.02, 45.0, 65.0, 0.003, 0.0},
                                   {0.03, 52.0, 67.0, 0.0035, 0.0}};
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(working.rowCount[t], 4);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < columnCount; ++c)
                EXPECT_EQ(working.measured(t, r, c), expected[r][c]) << t << "," << r << "," << c;
        EXPECT_EQ(working.strainRange[t], 0.03 + margin);
        EXPECT_EQ(working.qScale[t], 52.0);
        EXPECT_EQ(working.pConsol[t], 50.0);
    }

    const TestStore full = loadTestList(folder, fullListName);
    ASSERT_EQ(full.nTests, 1);
    EXPECT_EQ(full.testFile[0], "vornevResult\\with blank.txt");
    EXPECT_EQ(full.pInitial[0], 50.0);
}

// The load rule across calls, with list files changed between them.
class LoadRule : public ::testing::Test {
protected:
    void SetUp() override {
        host.write("vornevResult/evReadInList.txt", "w.txt 3 50 1\n");
        host.write("vornevResult/evReadInListZong.txt", "w.txt 3 50 1\nf.txt 2 60 1\n");
        host.write("w.txt", rows(3, 0.01));
        host.write("f.txt", rows(5, 0.01));
    }
    // A NaN switch counts as nonzero.
    void check(double reloadSwitch) { loadCheck(store, flags, host.path(), reloadSwitch != 0.0); }
    std::string failure(double reloadSwitch) {
        try {
            check(reloadSwitch);
        } catch (const LoadError& e) {
            return e.what();
        }
        return "loaded";
    }

    HostFolder host;
    TestStore store;
    LoadFlags flags;
};

TEST_F(LoadRule, FirstUseThenReuseThenReload) {
    check(0.0);
    EXPECT_EQ(store.nTests, 1);
    EXPECT_FALSE(flags.firstLoadPending);
    host.write("vornevResult/evReadInList.txt", "garbage\n");  // not read again
    check(0.0);
    EXPECT_EQ(store.nTests, 1);
    store.eConsol[0] = 1.5;  // what the last evaluation left stays
    check(0.0);
    EXPECT_EQ(store.eConsol[0], 1.5);

    check(1.0);
    EXPECT_EQ(store.nTests, 2);
    EXPECT_EQ(store.rowCount, (std::vector<std::int32_t>{3, 5}));
    host.write("f.txt", rows(7, 0.01));
    check(-2.0);  // every nonzero switch reads again
    EXPECT_EQ(store.rowCount[1], 7);
    host.write("f.txt", rows(8, 0.01));
    check(nan);
    EXPECT_EQ(store.rowCount[1], 8);
    check(0.0);
    EXPECT_EQ(store.rowCount[1], 8);
}

TEST_F(LoadRule, ReloadFirstKeepsFirstUsePending) {
    check(1.0);
    EXPECT_EQ(store.nTests, 2);
    EXPECT_TRUE(flags.firstLoadPending);
    check(0.0);  // the first use replaces the full list with the working one
    EXPECT_EQ(store.nTests, 1);
    EXPECT_EQ(store.maxRows, 3);
    EXPECT_FALSE(flags.firstLoadPending);
}

TEST_F(LoadRule, FailureLeavesStoreEmptyAndIsRetried) {
    check(0.0);
    fs::remove(host.path() / "f.txt");
    EXPECT_EQ(failure(1.0), host.shown("f.txt") + ": cannot open: No such file or directory");
    EXPECT_EQ(store.nTests, 0);
    EXPECT_TRUE(store.testFile.empty());
    EXPECT_EQ(store.measured.tests(), 0);
    ASSERT_TRUE(flags.retryList.has_value());
    EXPECT_EQ(*flags.retryList, ListKind::full);

    // A call without a reload request retries the list that failed.
    EXPECT_EQ(failure(0.0), host.shown("f.txt") + ": cannot open: No such file or directory");
    host.write("f.txt", "0 1 2 3\n");
    EXPECT_EQ(failure(0.0), host.shown("f.txt") + ":1: expected 5 numbers, found 4");
    host.write("f.txt", rows(4, 0.01));
    check(0.0);
    EXPECT_EQ(store.nTests, 2);
    EXPECT_FALSE(flags.retryList.has_value());
    check(0.0);
    EXPECT_EQ(store.nTests, 2);
}

TEST_F(LoadRule, FailedFirstUseIsRetriedWithTheWorkingList) {
    fs::remove(host.path() / "w.txt");
    EXPECT_NE(failure(0.0), "loaded");
    EXPECT_FALSE(flags.firstLoadPending);
    EXPECT_EQ(*flags.retryList, ListKind::working);
    host.write("w.txt", rows(2, 0.01));
    check(0.0);
    EXPECT_EQ(store.nTests, 1);
    EXPECT_EQ(store.rowCount[0], 2);
}

}  // namespace
}  // namespace calvenor
