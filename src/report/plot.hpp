// Pictures of a fit, drawn by gnuplot: for every test, its measured points
// and the simulated curve of each quantity its type is scored on, against
// axial strain; optionally the convergence of the best error value and a
// summary panel. The data files and the gnuplot script stay beside the
// pictures, so a picture can be redrawn or restyled by hand.
//
// Layout. Tests are put into groups (by default: all tests of one type);
// a group of at most PlotPage::maxOverlay tests shares one large panel per
// quantity, its key beside the panel, never over the curves. A group with
// more tests falls apart into its tests, and single tests are drawn as small
// multiples: one small block per test, one panel per scored quantity, the
// test's name and consolidation pressure as its title. When every group fits
// in at most eight large panels, single tests get large panels too (unless
// the grouping is `none`). Pages
// grow downwards to at most five rows; further rows go to further pages
// (STEM.png, STEM-2.png, ...). The convergence and summary panels go on the
// first page.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "objective/objective.hpp"

namespace calvenor {

// One test: rows of strain, q, p, ev, u (plain strains, stresses in kPa).
struct PlotTest {
    std::string name;
    std::int32_t type = 0;
    double pConsol = 0.0;   // the first measured mean stress
    double pInitial = 0.0;  // the list's pressure and void ratio
    double eInitial = 0.0;
    std::vector<std::array<double, columnCount>> measured;
    std::vector<std::array<double, columnCount>> simulated;  // dense curve; empty if the simulation stopped
};

struct ConvergencePoint {
    std::int64_t evaluations;
    double best;
    std::string phase;
};

// Which tests share panels. Every grouping keeps the types apart; values
// are compared rounded to four significant digits, as they are shown.
enum class PlotGrouping { type, pConsol, pInitial, eInitial, none };

struct PlotGroupingName {
    PlotGrouping grouping;
    std::string_view name;         // as the command line takes it
    std::string_view description;  // for help texts
};

inline constexpr std::array<PlotGroupingName, 5> plotGroupings = {{
    {PlotGrouping::type, "type", "the tests of one type"},
    {PlotGrouping::pConsol, "pconsol", "the tests of one type and consolidation pressure"},
    {PlotGrouping::pInitial, "p0", "the tests of one type and list pressure"},
    {PlotGrouping::eInitial, "e0", "the tests of one type and list void ratio"},
    {PlotGrouping::none, "none", "each test alone, in a small panel of its own"},
}};

std::optional<PlotGrouping> findPlotGrouping(std::string_view name);

struct PlotPage {
    std::string title;
    std::vector<PlotTest> tests;
    std::vector<ConvergencePoint> convergence;  // empty: no convergence panel
    std::vector<std::string> summary;           // lines of the summary panel; empty: none
    std::string summaryTitle = "Best parameters";
    PlotGrouping grouping = PlotGrouping::type;
    std::size_t maxOverlay = 6;  // most tests drawn into one panel
};

struct PlotOutcome {
    std::vector<std::filesystem::path> files;  // pictures written: page 1 .png and .svg, page 2, ...
    std::vector<std::string> warnings;
};

// The tests of `store` with dense simulated curves for `parameters`, from the
// same driver the objective runs (compression to the first measured pressure
// where needed, then the test's shear path).
std::vector<PlotTest> plotTests(const TestStore& store, const ModelParameters& parameters);

// Writes `stem`.png and `stem`.svg into `folder` (further pages as
// `stem`-2.png, ...; pages left over from a longer earlier drawing are
// removed), with the data in `stem`-data/ and the script `stem`.gp, which
// draws every page. gnuplot is the program named by CALVENOR_GNUPLOT, or
// "gnuplot". Failures to draw become warnings.
PlotOutcome drawPlotPage(const PlotPage& page, const std::filesystem::path& folder, const std::string& stem);

// The quantities a test type is scored on, as columns (qCol, pCol, evCol, uCol).
std::vector<int> scoredColumns(std::int32_t testType);

// A test's name for legends: its data file name without folder and extension.
std::string testDisplayName(const std::string& testFile);

// For other pages drawn by gnuplot: plain text as a gnuplot string in
// enhanced mode (markup escaped), a file name as a gnuplot string, and a run
// of gnuplot on a script in its own folder (output to `log`; returns "" or
// what went wrong).
std::string gnuplotText(const std::string& plainText);
std::string gnuplotPath(const std::filesystem::path& path);
std::string runGnuplotScript(const std::filesystem::path& script, const std::filesystem::path& log);

}  // namespace calvenor
