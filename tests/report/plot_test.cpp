// The plot pages: what the gnuplot script draws (each panel once, rounded
// labels, small multiples over pages), and a missing gnuplot is a warning
// that keeps the data and the script. The host-side plotting script's help
// agrees with the test-type table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "io/files.hpp"
#include "report/plot.hpp"
#include "support/exact.hpp"
#include "testdata/test_types.hpp"

namespace calvenor {
namespace {

using testing::readAll;
using testing::TempDir;

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

PlotTest plotTest(const std::string& name, std::int32_t type, double pConsol) {
    PlotTest test;
    test.name = name;
    test.type = type;
    test.pConsol = pConsol;
    test.measured = {{0, 0, pConsol, 0, 0}, {0.01, 50, pConsol + 16, 0.002, 3}, {0.02, 80, pConsol + 27, 0.003, 5}};
    test.simulated = test.measured;
    return test;
}

void addConvergenceAndSummary(PlotPage& page) {
    page.convergence = {{25, 9.5, "cmaes"}, {50, 4.25, "cmaes"}, {60, 4.0, "bobyqa"}};
    for (int i = 0; i < 16; ++i) page.summary.push_back("line " + std::to_string(i));
}

TEST(Plot, WithoutGnuplotTheDataAndScriptStayAndEachPanelIsDrawnOnce) {
    TempDir out;
    // Seven data panels (q and u, q and ev, q and ev, p): the summary fills
    // the eighth place, the convergence the ninth, and neither comes twice.
    PlotPage page;
    page.title = "t_1";
    page.tests = {plotTest("A_1", 1, 100), plotTest("B", 2, 100), plotTest("C", 3, 100), plotTest("D", 4, 100)};
    addConvergenceAndSummary(page);
    ::setenv("CALVENOR_GNUPLOT", "/nonexistent/gnuplot", 1);
    const PlotOutcome o = drawPlotPage(page, out.path(), "fit");
    ::unsetenv("CALVENOR_GNUPLOT");
    EXPECT_TRUE(o.files.empty());
    ASSERT_EQ(o.warnings.size(), 1u);
    EXPECT_NE(o.warnings[0].find("plot not drawn: cannot run /nonexistent/gnuplot"), std::string::npos) << o.warnings[0];
    EXPECT_TRUE(std::filesystem::exists(out.path() / "fit-data" / "test1-measured.dat"));
    const std::string gp = readAll(out.path() / "fit.gp");
    // Names are shown as written: enhanced-text markup escaped. The script
    // draws the page twice, as PNG and as SVG.
    EXPECT_EQ(count(gp, "'A\\_1 (p''_c 100 kPa)'"), 4u);  // q and u
    EXPECT_EQ(count(gp, "set title 'Best parameters'"), 2u);
    EXPECT_EQ(count(gp, "set title 'Convergence of the best error value'"), 2u);
    EXPECT_EQ(count(gp, "set output 'fit-2.png'"), 0u);
}

TEST(Plot, TwentyFiveTestsAreSmallMultiplesOverTwoPagesWithRoundedLabels) {
    TempDir out;
    PlotPage page;
    page.title = "25 drained tests";
    for (int t = 0; t < 25; ++t) {
        page.tests.push_back(plotTest("TXD-" + std::to_string(t + 1), 3, 100.12666666666667 + 20 * t));
        page.tests.back().eInitial = 0.7 + 0.01 * (t % 5);
    }
    addConvergenceAndSummary(page);
    // Pages of an earlier, longer drawing go.
    for (const char* stale : {"fit-3.png", "fit-3.svg"}) writeFile(out.path() / stale, "old");

    const PlotOutcome o = drawPlotPage(page, out.path(), "fit");
    const std::string gp = readAll(out.path() / "fit.gp");
    // Page 1: the convergence and the summary, then 16 tests four to a row;
    // page 2: the other 9.
    for (const char* page : {"'fit.png'", "'fit.svg'", "'fit-2.png'", "'fit-2.svg'"}) {
        EXPECT_EQ(count(gp, std::string("set output ") + page), 1u) << page;
    }
    EXPECT_EQ(count(gp, "fit-3"), 0u);
    EXPECT_EQ(count(gp, "(page 1 of 2)"), 2u);
    EXPECT_EQ(count(gp, "set title 'TXD-1, p''_c 100.1 kPa'"), 2u);
    EXPECT_EQ(count(gp, "set title 'TXD-25, p''_c 580.1 kPa'"), 2u);
    EXPECT_EQ(count(gp, ", p''_c "), 2u * 25u);
    EXPECT_EQ(count(gp, "100.126"), 0u);
    EXPECT_EQ(count(gp, "\nset key"), 0u);  // one test per panel: no key
    EXPECT_EQ(count(gp, "set title 'Best parameters'"), 2u);
    EXPECT_FALSE(std::filesystem::exists(out.path() / "fit-3.png"));
    EXPECT_FALSE(std::filesystem::exists(out.path() / "fit-3.svg"));
    if (!o.warnings.empty() && o.warnings[0].find("cannot run gnuplot") != std::string::npos) {
        GTEST_SKIP() << o.warnings[0];
    }
    EXPECT_TRUE(o.warnings.empty()) << o.warnings[0];
    const std::vector<std::filesystem::path> pages = {out.path() / "fit.png", out.path() / "fit.svg",
                                                      out.path() / "fit-2.png", out.path() / "fit-2.svg"};
    EXPECT_EQ(o.files, pages);

    // Grouped by list void ratio: five groups of five share large panels,
    // each with its key beside the curves.
    page.grouping = PlotGrouping::eInitial;
    ::setenv("CALVENOR_GNUPLOT", "/nonexistent/gnuplot", 1);
    drawPlotPage(page, out.path(), "grouped");
    ::unsetenv("CALVENOR_GNUPLOT");
    const std::string grouped = readAll(out.path() / "grouped.gp");
    EXPECT_EQ(count(grouped, "set key at screen"), 2u * 10u);
    EXPECT_EQ(count(grouped, "(type 3), e_0 0.72: deviator stress'"), 2u);
    EXPECT_EQ(count(grouped, "rotate by 90"), 0u);  // no small panel
}

TEST(Plot, HostScriptHelpListsEveryTestTypeAsTheTableScoresIt) {
    std::string help;
    for (const std::string& line : testing::lines(readAll(testing::sourceDir() / "matlab" / "plot_calvenor_results.m"))) {
        if (line.rfind('%', 0) == 0) help += line + "\n";
        else if (!help.empty()) break;
    }
    for (const TestType& t : testTypes) {
        std::string quantities;
        for (int k = 0; k < quantityCount; ++k) {
            if (t.scored[static_cast<std::size_t>(k)]) {
                quantities += (quantities.empty() ? "" : " and ") + std::string(quantityName[static_cast<std::size_t>(k)]);
            }
        }
        const std::string entry = "%       type " + std::to_string(t.code) + "  " + std::string(t.title) + ": " + quantities + "\n";
        EXPECT_EQ(count(help, entry), 1u) << entry;
    }
    EXPECT_EQ(count(help, "%       type "), testTypes.size()) << help;
}

}  // namespace
}  // namespace calvenor
