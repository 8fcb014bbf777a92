// The calibration algorithms: for each, its name, whether it searches the
// whole box (global, pagmo2) or goes downhill from a point (local, NLopt), its
// population sizes and how it is made. The configuration check, the engine
// and the help texts read this one table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pagmo {
class algorithm;
}

namespace calvenor {

struct AlgorithmInfo {
    std::string_view name;
    bool global;
    std::string_view description;
    std::string_view populationRule;  // the default population, for help texts ("" for local ones)
    // The default population for `dimension` free parameters (0 for local ones).
    std::int64_t (*defaultPopulation)(std::size_t dimension);
    std::int64_t minimumPopulation;   // 0 for local ones
    // Global: makes the pagmo algorithm for one generation per evolve call.
    void (*makeGlobal)(unsigned seed, pagmo::algorithm& out);
    // Local: the NLopt algorithm (nlopt::algorithm as an int).
    int nloptAlgorithm;
};

std::span<const AlgorithmInfo> algorithmTable();

// The entry of a name, or null.
const AlgorithmInfo* findAlgorithm(std::string_view name);

// "cmaes, xnes, pso, de, sade, nelder-mead, bobyqa, sbplx".
std::string algorithmNameList();

// The polish that follows a global search.
inline constexpr std::string_view polishAlgorithm = "bobyqa";

}  // namespace calvenor
