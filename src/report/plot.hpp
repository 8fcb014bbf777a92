// Pictures of a fit, drawn by gnuplot: for every test, its measured points
// and the simulated curve of each quantity its type is scored on, against
// axial strain; optionally the convergence of the best error value and a
// summary panel. The data files and the gnuplot script stay beside the
// pictures, so a picture can be redrawn or restyled by hand.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "objective/objective.hpp"

namespace calvenor {

// One test: rows of strain, q, p, ev, u (plain strains, stresses in kPa).
struct PlotTest {
    std::string name;
    std::int32_t type = 0;
    double pConsol = 0.0;
    std::vector<std::array<double, columnCount>> measured;
    std::vector<std::array<double, columnCount>> simulated;  // dense curve; empty if the simulation stopped
};

struct ConvergencePoint {
    std::int64_t evaluations;
    double best;
    std::string phase;
};

struct PlotPage {
    std::string title;
    std::vector<PlotTest> tests;
    std::vector<ConvergencePoint> convergence;  // empty: no convergence panel
    std::vector<std::string> summary;           // lines of the summary panel; empty: none
    std::string summaryTitle = "Best parameters";
};

struct PlotOutcome {
    std::vector<std::filesystem::path> files;  // pictures written
    std::vector<std::string> warnings;
};

// The tests of `store` with dense simulated curves for `parameters`, from the
// same driver the objective runs (compression to the first measured pressure
// where needed, then the test's shear path).
std::vector<PlotTest> plotTests(const TestStore& store, const ModelParameters& parameters);

// Writes `stem`.png and `stem`.svg into `folder`, with the data in
// `stem`-data/ and the script `stem`.gp. gnuplot is the program named by
// CALVENOR_GNUPLOT, or "gnuplot". Failures to draw become warnings.
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
