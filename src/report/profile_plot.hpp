// The page of profile likelihoods drawn by gnuplot: one panel per parameter
// with the drop of the log-likelihood against the parameter's value, the
// threshold line of the level, the interval and the linearised analysis's
// parabola for comparison.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "report/plot.hpp"

namespace calvenor {

struct ProfilePanel {
    std::string name;
    std::vector<std::pair<double, double>> curve;  // value, drop of the log-likelihood
    double estimate = 0.0;
    double lower = 0.0;          // the profile interval
    double upper = 0.0;
    bool openBelow = false;
    bool openAbove = false;
    double standardError = 0.0;  // linearised; not finite: no parabola
    std::string verdict;
};

struct ProfilePage {
    std::string title;
    double level = 0.95;
    double threshold = 0.0;
    std::vector<ProfilePanel> panels;
};

// Writes `stem`.png and `stem`.svg into `folder`, the data in `stem`-data/ and
// the script `stem`.gp. Failures to draw become warnings.
PlotOutcome drawProfilePage(const ProfilePage& page, const std::filesystem::path& folder, const std::string& stem);

}  // namespace calvenor
