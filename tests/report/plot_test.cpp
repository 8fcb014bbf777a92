// The plot page: a missing gnuplot is a warning, and the data and script stay.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "report/plot.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

using testing::TempDir;

TEST(Plot, MissingGnuplotIsAWarningAndKeepsDataAndScript) {
    TempDir out;
    PlotPage page;
    page.title = "t_1";
    PlotTest test;
    test.name = "A_1";
    test.type = 3;
    test.pConsol = 100;
    test.measured = {{0, 0, 100, 0, 0}, {0.01, 50, 116, 0.002, 0}};
    test.simulated = test.measured;
    page.tests = {test};
    ::setenv("CALVENOR_GNUPLOT", "/nonexistent/gnuplot", 1);
    const PlotOutcome o = drawPlotPage(page, out.path(), "fit");
    ::unsetenv("CALVENOR_GNUPLOT");
    EXPECT_TRUE(o.files.empty());
    ASSERT_EQ(o.warnings.size(), 1u);
    EXPECT_NE(o.warnings[0].find("plot not drawn: cannot run /nonexistent/gnuplot"), std::string::npos) << o.warnings[0];
    EXPECT_TRUE(std::filesystem::exists(out.path() / "fit.gp"));
    EXPECT_TRUE(std::filesystem::exists(out.path() / "fit-data" / "test1-measured.dat"));
    // Names are shown as written: enhanced-text markup escaped.
    std::ifstream in(out.path() / "fit.gp");
    std::stringstream gp;
    gp << in.rdbuf();
    EXPECT_NE(gp.str().find("'A\\_1 (p''_c 100 kPa)'"), std::string::npos);
}

}  // namespace
}  // namespace calvenor
