#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "report/reports.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;

using testing::lines;
using testing::readAll;

const ModelParameters parameters{1.4798316340538162, 0.31890621374646733, 1.973944785250489e-2,
                                 0.15287937807372959, 1.3996001847832953, 0.0,
                                 1.2218464291303455,  0.20277423852166798, 1.312320602839405};
const std::array<double, 11> diagnostics{
    2.1985766215700702, -0.17775375565294982, -0.12327020629497226, -0.14321233971384378,
    -19997.801423378431, -2.1985766215700702, 7.7448659768023633, 15.82342,
    22.324953, std::nan(""), std::numeric_limits<double>::infinity()};

// Two tests: three rows in vornevResult/data, none in vornevResult.
TestStore smallStore() {
    TestStore s;
    s.nTests = 2;
    s.maxRows = 3;
    s.testFile = {".\\vornevResult\\data\\A.txt", ".\\vornevResult\\B.txt"};
    s.curveFile = {".\\vornevResult\\data\\A-2.DAT", ".\\vornevResult\\B-5.DAT"};
    s.rowCount = {3, 0};
    s.testType = {2, 5};
    s.pConsol = {269.2, -1e300};
    s.eConsol = {0.3108, std::nan("")};
    s.simAtMeasured = Array3(2, 3, 0.0);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < columnCount; ++c) s.simAtMeasured(0, r, c) = (r + 1) * 10.0 + c;
    }
    s.simAtMeasured(0, 1, qCol) = -1.00000078e-08;
    s.simAtMeasured(0, 2, uCol) = std::numeric_limits<double>::infinity();
    s.simAtMeasured(1, 0, 0) = 99.0;  // beyond rowCount: never written
    return s;
}

class ReportWriters : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir.path() / "vornevResult" / "data"); }
    testing::TempDir dir;
    TestStore store = smallStore();
};

TEST_F(ReportWriters, ErrorReportRecords) {
    EXPECT_TRUE(writeErrorReport(dir.path(), 70.648548, parameters, diagnostics, store).empty());
    const std::string text = readAll(dir.path() / "vornevResult" / "VORNevPicOutError.DAT");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    const auto r = lines(text);
    ASSERT_EQ(r.size(), 47u);

    EXPECT_EQ(r[0], " 1" + std::string(78, '-'));
    EXPECT_EQ(r[1], " 1. Error function value :");
    EXPECT_EQ(r[2], " 7.06485480E+01%");
    EXPECT_EQ(r[5], " propm: 1.4798316340538162");
    EXPECT_EQ(r[10], " cohesion: 0");
    EXPECT_EQ(r[14], "");
    EXPECT_EQ(r[15], "");
    EXPECT_EQ(r[17], " 1.47983163E+00");
    EXPECT_EQ(r[21], "");
    EXPECT_EQ(r[26], " 1.31232060E+00");
    EXPECT_EQ(r[30].size(), 135u);
    EXPECT_EQ(r[30].substr(0, 30), " 1.47983163E+00 3.18906214E-01");
    EXPECT_EQ(r[31], " 3" + std::string(78, '-'));
    EXPECT_EQ(r[33], "      1.58234200E+01      2.23249530E+01                 NaN"
                     "            Infinity      7.06485480E+01");
    EXPECT_EQ(r[36], " ps: 2.19857662157007");
    EXPECT_EQ(r[40], " ps-30000: -19997.80142337843");
    EXPECT_EQ(r[42], " PLAMDA/PKAPPA: 7.744865976802363");
    EXPECT_EQ(r[43], " 5" + std::string(78, '-'));
    const std::string header =
        " 5. p(kPa) and voidRatio after iso-consolidation but before shear\xA3\xA8"
        "as evReadInListZong.txt sequence\xA3\xA9 :";
    EXPECT_EQ(header.size(), 103u);
    EXPECT_EQ(r[44], header);
    EXPECT_EQ(r[45], " 2.69200000E+02 3.10800000E-01");
    EXPECT_EQ(r[46], "-1.0000000E+300            NaN");
}

TEST_F(ReportWriters, StateFileRepeatsSectionFiveAndIsReplaced) {
    ASSERT_TRUE(writeStateFile(dir.path(), store).empty());
    const fs::path file = dir.path() / "vornevResult" / "MidPande.DAT";
    EXPECT_EQ(readAll(file), " 2.69200000E+02 3.10800000E-01\n-1.0000000E+300            NaN\n");

    store.nTests = 0;
    ASSERT_TRUE(writeStateFile(dir.path(), store).empty());
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(readAll(file), "");
}

TEST_F(ReportWriters, CurveFilesHoldTheRowsOfEachTest) {
    // A stale longer file is replaced, a test without rows gets an empty file.
    std::ofstream(dir.path() / "vornevResult" / "B-5.DAT") << "stale\nstale\n";
    ASSERT_TRUE(writeCurveFiles(dir.path(), store).empty());

    const auto a = lines(readAll(dir.path() / "vornevResult" / "data" / "A-2.DAT"));
    ASSERT_EQ(a.size(), 3u);
    for (const auto& record : a) EXPECT_EQ(record.size(), 104u);
    EXPECT_EQ(a[0], "      1.00000000E+01,      1.10000000E+01,      1.20000000E+01,"
                    "      1.30000000E+01,      1.40000000E+01");
    EXPECT_EQ(a[1].substr(20, 22), ",     -1.00000078E-08,");
    EXPECT_EQ(a[2].substr(84), "            Infinity");
    EXPECT_EQ(readAll(dir.path() / "vornevResult" / "B-5.DAT"), "");
}

TEST_F(ReportWriters, SameCurveFileForTwoTestsKeepsTheLater) {
    store.curveFile[1] = store.curveFile[0];
    store.rowCount[1] = 1;
    ASSERT_TRUE(writeCurveFiles(dir.path(), store).empty());
    const auto a = lines(readAll(dir.path() / "vornevResult" / "data" / "A-2.DAT"));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].substr(0, 20), "      9.90000000E+01");
}

TEST(ReportWriterFailures, MissingFolderIsReportedAndTheOtherFilesAreStillWritten) {
    testing::TempDir dir;  // no vornevResult folder
    TestStore store = smallStore();
    store.curveFile[1] = "B-5.DAT";  // beside the host folder: can be written

    const auto report = writeErrorReport(dir.path(), 1.0, parameters, diagnostics, store);
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].file, displayName(dir.path(), errorReportName));
    EXPECT_NE(report[0].file.find("VORNevPicOutError.DAT"), std::string::npos);
    EXPECT_EQ(report[0].reason, std::strerror(ENOENT));
    EXPECT_NE(report[0].message().find(std::strerror(ENOENT)), std::string::npos);

    const auto state = writeStateFile(dir.path(), store);
    ASSERT_EQ(state.size(), 1u);
    EXPECT_EQ(state[0].file, displayName(dir.path(), stateFileName));

    const auto curves = writeCurveFiles(dir.path(), store);
    ASSERT_EQ(curves.size(), 1u);
    EXPECT_EQ(curves[0].file, displayName(dir.path(), store.curveFile[0]));
    EXPECT_EQ(curves[0].reason, std::strerror(ENOENT));
    EXPECT_TRUE(fs::exists(dir.path() / "B-5.DAT"));
}

TEST(ReportWriterFailures, DirectoryInPlaceOfTheFile) {
    testing::TempDir dir;
    fs::create_directories(dir.path() / "vornevResult" / "VORNevPicOutError.DAT");
    TestStore store = smallStore();
    const auto report = writeErrorReport(dir.path(), 1.0, parameters, diagnostics, store);
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].reason, std::strerror(EISDIR));
    EXPECT_TRUE(writeStateFile(dir.path(), store).empty());
}

TEST(ReportWriterFailures, InconsistentStoreIsRejectedBeforeAnyFileIsTouched) {
    testing::TempDir dir;
    fs::create_directories(dir.path() / "vornevResult" / "data");
    TestStore store = smallStore();
    store.rowCount[1] = 4;  // more rows than simAtMeasured holds
    EXPECT_THROW(writeCurveFiles(dir.path(), store), std::invalid_argument);
    EXPECT_FALSE(fs::exists(dir.path() / "vornevResult" / "data" / "A-2.DAT"));
    store.eConsol.pop_back();
    EXPECT_THROW(writeStateFile(dir.path(), store), std::invalid_argument);
}

}  // namespace
}  // namespace calvenor
