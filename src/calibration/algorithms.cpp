#include "calibration/algorithms.hpp"

#include <algorithm>

#include <nlopt.hpp>
#include <pagmo/algorithm.hpp>
#include <pagmo/algorithms/cmaes.hpp>
#include <pagmo/algorithms/de.hpp>
#include <pagmo/algorithms/pso_gen.hpp>
#include <pagmo/algorithms/sade.hpp>
#include <pagmo/algorithms/xnes.hpp>
#include <pagmo/batch_evaluators/member_bfe.hpp>
#include <pagmo/bfe.hpp>

namespace calvenor {

namespace {

// Tolerances of the global algorithms: the engine's own stall rule ends a search.
constexpr double ftol = 1e-12, xtol = 1e-12;

std::int64_t evolutionPopulation(std::size_t n) { return std::max<std::int64_t>(16, 4 + 3 * static_cast<std::int64_t>(n)); }
std::int64_t swarmPopulation(std::size_t) { return 32; }
std::int64_t differentialPopulation(std::size_t n) { return std::max<std::int64_t>(24, 5 * static_cast<std::int64_t>(n)); }
std::int64_t noPopulation(std::size_t) { return 0; }

void makeCmaes(unsigned seed, pagmo::algorithm& a) {
    a = pagmo::algorithm{pagmo::cmaes(1u, -1, -1, -1, -1, 0.3, ftol, xtol, true, true, seed)};
}
void makeXnes(unsigned seed, pagmo::algorithm& a) {
    a = pagmo::algorithm{pagmo::xnes(1u, -1, -1, -1, 0.3, ftol, xtol, true, true, seed)};
}
void makePso(unsigned seed, pagmo::algorithm& a) {
    pagmo::pso_gen pso(1u, 0.7298, 2.05, 2.05, 0.5, 5u, 2u, 4u, true, seed);
    pso.set_bfe(pagmo::bfe{pagmo::member_bfe{}});
    a = pagmo::algorithm{pso};
}
void makeDe(unsigned seed, pagmo::algorithm& a) { a = pagmo::algorithm{pagmo::de(1u, 0.8, 0.9, 2u, ftol, xtol, seed)}; }
void makeSade(unsigned seed, pagmo::algorithm& a) {
    a = pagmo::algorithm{pagmo::sade(1u, 2u, 1u, ftol, xtol, true, seed)};
}

const AlgorithmInfo table[] = {
    {"cmaes", true, "covariance matrix adaptation evolution strategy (pagmo2)", "max(16, 4 + 3n)",
     evolutionPopulation, 5, makeCmaes, 0},
    {"xnes", true, "exponential natural evolution strategy (pagmo2)", "max(16, 4 + 3n)", evolutionPopulation, 5,
     makeXnes, 0},
    {"pso", true, "particle swarm, generational (pagmo2)", "32", swarmPopulation, 5, makePso, 0},
    {"de", true, "differential evolution (pagmo2)", "max(24, 5n)", differentialPopulation, 5, makeDe, 0},
    {"sade", true, "self-adaptive differential evolution (pagmo2)", "max(24, 5n)", differentialPopulation, 7,
     makeSade, 0},
    {"nelder-mead", false, "Nelder-Mead simplex (NLopt)", "", noPopulation, 0, nullptr, nlopt::LN_NELDERMEAD},
    {"bobyqa", false, "bound-constrained quadratic models (NLopt BOBYQA)", "", noPopulation, 0, nullptr,
     nlopt::LN_BOBYQA},
    {"sbplx", false, "subplex (NLopt)", "", noPopulation, 0, nullptr, nlopt::LN_SBPLX},
};

}  // namespace

std::span<const AlgorithmInfo> algorithmTable() { return table; }

const AlgorithmInfo* findAlgorithm(std::string_view name) {
    for (const AlgorithmInfo& a : table) {
        if (a.name == name) return &a;
    }
    return nullptr;
}

std::string algorithmNameList() {
    std::string s;
    for (const AlgorithmInfo& a : table) {
        if (!s.empty()) s += ", ";
        s += a.name;
    }
    return s;
}

}  // namespace calvenor
