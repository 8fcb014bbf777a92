// The shared benchmark workload: twelve tests of every type, eight of them
// consolidated first, 60 to 240 rows each, and the parameter sets of its calls.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "objective/parameters.hpp"

namespace calvenor::bench {

inline const std::filesystem::path workload = std::filesystem::path(CALVENOR_SHARED_DIR) / "bench";

// The parameter sets of the workload's calls.txt.
inline std::vector<ModelParameters> workloadSets() {
    std::vector<ModelParameters> sets;
    std::ifstream in(workload / "calls.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::vector<double> v;
        double x;
        while (ss >> x) v.push_back(x);
        if (v.size() >= 9) sets.push_back(readParameters(v));
    }
    if (sets.empty()) throw std::runtime_error("no calls in " + (workload / "calls.txt").string());
    return sets;
}

}  // namespace calvenor::bench
