// One evaluation of the objective: load check, simulation of every test,
// scoring, penalties, diagnostics and the optional reports.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
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

// Receives each test's simulated curve right after its runs: the test index,
// the state at the start of shearing and the six path buffers.
using TestSink = std::function<void(int t, double pConsol, double eConsol, const PathBuffers&)>;

// Simulates every stored test in list order. Returns the number of tests
// simulated to the end: nTests when the evaluation may go on, or the index of
// the test whose compression path gave no usable consolidation state (the
// evaluation then stops). The store is only read.
int runDriver(const ModelParameters& parameters, const TestStore& store, PathBuffers& buffers,
              const TestSink& sink);

// The driver writing into the store: pConsol, eConsol and simCurve of every
// test simulated. Returns false when the evaluation stops.
bool simulateTests(const ModelParameters& parameters, TestStore& store, PathBuffers& buffers);

// Simulated values at the measured strains of test t, from its simulated
// curve (columns strain, q, p, ev, u). For every row whose strain the curve
// brackets, calls out(row, values) with the five values.
void interpolateTest(const TestStore& store, int t, const std::array<const double*, columnCount>& curve,
                     const std::function<void(int row, const std::array<double, columnCount>&)>& out);

// Reads every simulated curve at the measured strains into simAtMeasured.
void interpolateAtMeasured(TestStore& store);
ErrorMeasures scoreTests(const TestStore& store);
std::array<double, 7> penaltyFactors(const ModelParameters& p, const ConstraintValues& c);

// The returned error value and the diagnostics of a completed evaluation.
double settleError(const ModelParameters& p, const ErrorMeasures& m, std::span<const double> switches,
                   Diagnostics& diagnostics);

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

    // K consecutive calls with the parameter sets `sets` and the same switches,
    // to the bit: errors[k] and diagnostics[k] are what call k would return,
    // and the state afterwards is that after call K. The store loads at most
    // once; the sets are simulated in parallel on `threads` workers (0: all
    // cores), sharing the test data read-only.
    void evaluateBatch(std::span<const ModelParameters> sets, std::span<const double> switches,
                       std::span<double> errors, std::span<Diagnostics> diagnostics,
                       unsigned threads = 0);

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

    void checkSwitches(std::span<const double> switches) const;
    void writeReports(double errorValue, const ModelParameters& p);
};

}  // namespace calvenor
