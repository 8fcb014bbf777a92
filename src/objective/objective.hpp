// One evaluation of the objective: load check, simulation of every test,
// scoring, penalties, diagnostics and the optional reports.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "model/integrators.hpp"
#include "objective/parameters.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

inline constexpr int diagnosticsCount = 11;
using Diagnostics = std::array<double, diagnosticsCount>;

struct ErrorMeasures {
    double ErrorObjqz = 0.0;
    double ErrorObjpz = 0.0;
    double ErrorObjev = 0.0;
    double ErrorObju = 0.0;
    double ErrorObjALL = 0.0;
};

// The six curves both integrators write, reused for every test.
struct PathBuffers {
    std::vector<double> epsAxial = std::vector<double>(pathPoints, 0.0);
    std::vector<double> qDev = std::vector<double>(pathPoints, 0.0);
    std::vector<double> pMean = std::vector<double>(pathPoints, 0.0);
    std::vector<double> voidRatio = std::vector<double>(pathPoints, 0.0);
    std::vector<double> poreU = std::vector<double>(pathPoints, 0.0);
    std::vector<double> epsVol = std::vector<double>(pathPoints, 0.0);

    void clear();
    PathArrays arrays();
};

// Simulates every stored test in list order into store.simCurve, setting
// pConsol and eConsol. Returns false when a compression path does not reach a
// usable consolidation state (the evaluation then stops).
bool simulateTests(const ModelParameters& parameters, TestStore& store, PathBuffers& buffers);

// Reads every simulated curve at the measured strains into simAtMeasured.
void interpolateAtMeasured(TestStore& store);
ErrorMeasures scoreTests(const TestStore& store);
std::array<double, 7> penaltyFactors(const ModelParameters& p, const ConstraintValues& c);

// Module state of one host lifetime: the test store with its load flags, the
// path buffers and the diagnostics of the last completed evaluation. Several
// evaluators may live in one process; one evaluator serves one call at a time.
class Evaluator {
public:
    // hostFolder plays the host's current folder (empty: the process's own).
    explicit Evaluator(std::filesystem::path hostFolder = {});

    // One host call. Throws LoadError when the load check fails, and
    // std::invalid_argument when fewer than 9 parameters or 3 switches are given.
    // Reports that cannot be written are collected in warnings().
    double evaluateObjective(std::span<const double> parameters, std::span<const double> switches);

    const Diagnostics& diagnostics() const { return diagnostics_; }
    // Report failures of the last call (empty when all was written).
    const std::vector<std::string>& warnings() const { return warnings_; }
    const TestStore& store() const { return store_; }
    const std::filesystem::path& hostFolder() const { return hostFolder_; }

private:
    std::filesystem::path hostFolder_;
    TestStore store_;
    PathBuffers buffers_;
    Diagnostics diagnostics_{};
    std::vector<std::string> warnings_;
};

}  // namespace calvenor
