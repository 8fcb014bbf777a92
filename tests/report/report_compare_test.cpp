#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "report/reports.hpp"
#include "support/exact.hpp"
#include "support/report_compare.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;
using testing::ReportKind;
using testing::reportTextDifferences;

using testing::lines;
using testing::readAll;

std::vector<fs::path> referenceCases() {
    std::vector<fs::path> cases;
    for (const auto& entry : fs::directory_iterator(testing::sharedDir() / "vectors" / "evaluations")) {
        if (fs::is_directory(entry.path() / "expected-reports")) cases.push_back(entry.path());
    }
    std::sort(cases.begin(), cases.end());
    return cases;
}

// A number as the reference prints it, in a field or a free-form item.
double number(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    return testing::parseNumber(first == std::string::npos ? text : text.substr(first));
}
double secondItem(const std::string& record) {
    std::istringstream in(record);
    std::string label, value;
    in >> label >> value;
    return number(value);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(ReportCompare, EveryReferenceReportMatchesItself) {
    const auto cases = referenceCases();
    ASSERT_GE(cases.size(), 10u);
    for (const auto& c : cases) {
        EXPECT_TRUE(testing::reportTreeMatches(c / "expected-reports", c / "expected-reports"))
            << c.filename();
    }
}

TEST(ReportCompare, ChangedReportsAreRejected) {
    const fs::path folder =
        testing::sharedDir() / "vectors/evaluations/01-random-set-1/expected-reports/vornevResult";
    const std::string report = readAll(folder / "VORNevPicOutError.DAT");
    const auto differ = [&](const std::string& changed) {
        return !reportTextDifferences(changed, report, ReportKind::errorReport).empty();
    };
    ASSERT_FALSE(differ(report));

    // Fixed fields agree to the precision both sides printed.
    EXPECT_FALSE(differ(replaced(report, " 0.70648548E+02%", " 7.06485485E+01%")));
    EXPECT_TRUE(differ(replaced(report, " 0.70648548E+02%", " 7.06485486E+01%")));
    EXPECT_TRUE(differ(replaced(report, " 0.70648548E+02%", " 0.70648550E+02%")));
    EXPECT_TRUE(differ(replaced(report, " 0.70648548E+02%", " 0.70648548E+02 ")));
    EXPECT_TRUE(differ(replaced(report, " 0.70648548E+02%", "       Infinity%")));
    EXPECT_TRUE(differ(replaced(report, "\n 0.13996002E+01\n", "\n0.13996002E+01\n")));
    // Free-form numbers are exact; labels and texts are equal.
    EXPECT_FALSE(differ(replaced(report, "1.4798316340538162     ", "1.4798316340538162")));
    EXPECT_TRUE(differ(replaced(report, "1.4798316340538162", "1.4798316340538160")));
    EXPECT_TRUE(differ(replaced(report, "propm:", "propn:")));
    EXPECT_TRUE(differ(replaced(report, "\xA3\xA8", "(")));
    EXPECT_TRUE(differ(replaced(report, " 2------", " 2-----")));
    // Records: same number, empty ones empty.
    EXPECT_TRUE(differ(replaced(report, "\n\n\n", "\n\n")));
    EXPECT_TRUE(differ(report + " 0.10000000E+01 0.10000000E+01\n"));
    EXPECT_TRUE(differ(report.substr(0, report.size() - 1)));
}

TEST(ReportCompare, ReadsEitherNotationAndCurveSeparators) {
    EXPECT_TRUE(reportTextDifferences("1.23456789E+299-1.0000000E+300\n",
                                      " 0.12345679+300-0.10000000+301\n", ReportKind::stateFile)
                    .empty());
    EXPECT_FALSE(reportTextDifferences("1.23456789E+299-1.0000000E+300\n",
                                       " 0.12345679+300 0.10000000+301\n", ReportKind::stateFile)
                     .empty());
    EXPECT_TRUE(reportTextDifferences("            NaN      -Infinity\n",
                                      "            NaN      -Infinity\n", ReportKind::stateFile)
                    .empty());
    EXPECT_FALSE(reportTextDifferences("            NaN       Infinity\n",
                                       "            NaN      -Infinity\n", ReportKind::stateFile)
                     .empty());

    const std::string curve =
        "      1.00000000E+01,      1.10000000E+01,      1.20000000E+01,"
        "      1.30000000E+01,      1.40000000E+01\n";
    EXPECT_TRUE(reportTextDifferences(curve, curve, ReportKind::curveFile).empty());
    EXPECT_FALSE(
        reportTextDifferences(replaced(curve, "01,", "01;"), curve, ReportKind::curveFile).empty());
    EXPECT_FALSE(reportTextDifferences(replaced(curve, "1.40000000E+01", "1.40000010E+01"), curve,
                                       ReportKind::curveFile)
                     .empty());
}

// Fed the values a reference report shows, the writers give back that report:
// the same records, labels, header bytes and field layout in every case.
TEST(ReportLayout, WritersReproduceEveryReferenceReportFromItsValues) {
    for (const auto& c : referenceCases()) {
        SCOPED_TRACE(c.filename().string());
        const fs::path reference = c / "expected-reports";
        const auto r = lines(readAll(reference / "vornevResult" / "VORNevPicOutError.DAT"));
        ASSERT_GE(r.size(), 45u);

        double p[parameterCount];
        for (int i = 0; i < parameterCount; ++i) p[i] = secondItem(r[5 + i]);
        const ModelParameters parameters{p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8]};
        std::array<double, 11> diagnostics{};
        for (int k = 0; k < 7; ++k) diagnostics[k] = secondItem(r[36 + k]);
        for (int k = 0; k < 4; ++k) diagnostics[7 + k] = number(r[33].substr(20 * k, 20));
        const double errorValue = number(r[2].substr(0, 15));

        TestStore states;
        for (std::size_t line = 45; line < r.size(); ++line) {
            states.pConsol.push_back(number(r[line].substr(0, 15)));
            states.eConsol.push_back(number(r[line].substr(15, 15)));
        }
        states.nTests = static_cast<std::int32_t>(states.pConsol.size());

        // One test per curve file of the reference, rows as it shows them.
        TestStore curves;
        std::vector<std::vector<std::string>> rows;
        for (const auto& entry : fs::recursive_directory_iterator(reference)) {
            if (!entry.is_regular_file() ||
                testing::reportKindOf(entry.path()) != ReportKind::curveFile)
                continue;
            std::string name = fs::relative(entry.path(), reference).generic_string();
            std::replace(name.begin(), name.end(), '/', '\\');
            curves.curveFile.push_back(name);
            rows.push_back(lines(readAll(entry.path())));
            curves.rowCount.push_back(static_cast<std::int32_t>(rows.back().size()));
        }
        curves.nTests = static_cast<std::int32_t>(rows.size());
        curves.maxRows = curves.rowCount.empty()
                             ? 0
                             : *std::max_element(curves.rowCount.begin(), curves.rowCount.end());
        curves.simAtMeasured = Array3(curves.nTests, curves.maxRows);
        for (int t = 0; t < curves.nTests; ++t) {
            for (int row = 0; row < curves.rowCount[t]; ++row) {
                for (int col = 0; col < columnCount; ++col)
                    curves.simAtMeasured(t, row, col) = number(rows[t][row].substr(21 * col, 20));
            }
        }

        testing::TempDir ours;
        for (const auto& entry : fs::recursive_directory_iterator(reference)) {
            if (entry.is_directory())
                fs::create_directories(ours.path() / fs::relative(entry.path(), reference));
        }
        EXPECT_TRUE(writeErrorReport(ours.path(), errorValue, parameters, diagnostics, states).empty());
        EXPECT_TRUE(writeStateFile(ours.path(), states).empty());
        EXPECT_TRUE(writeCurveFiles(ours.path(), curves).empty());
        EXPECT_TRUE(testing::reportTreeMatches(ours.path(), reference));
    }
}

}  // namespace
}  // namespace calvenor
