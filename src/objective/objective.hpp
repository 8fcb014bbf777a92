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
#include <string_view>
#include <vector>

#include "model/integrators.hpp"
#include "model/lanes.hpp"
#include "objective/parameters.hpp"
#include "objective/worker_pool.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

struct ErrorMeasures {
    double ErrorObjqz = 0.0;
    double ErrorObjpz = 0.0;
    double ErrorObjev = 0.0;
    double ErrorObju = 0.0;
    double ErrorObjALL = 0.0;
};

// The host's diagnostics vector: the seven constraint values, then the four
// measures.
inline constexpr int diagnosticsCount = 11;
using HostDiagnostics = std::array<double, diagnosticsCount>;
// Their names, in that order.
inline constexpr std::array<std::string_view, diagnosticsCount> diagnosticNames = {
    "ps",         "z-pnvoid",   "1.5*pkappa-plamda", "plamda-15*pkappa", "ps-20000", "0-ps",
    "plamda/pkappa", "ErrorObjqz", "ErrorObjpz",      "ErrorObjev",       "ErrorObju"};

// What a completed evaluation reports besides its error value.
struct Diagnostics {
    ConstraintValues constraints{};
    double ErrorObjqz = 0.0;
    double ErrorObjpz = 0.0;
    double ErrorObjev = 0.0;
    double ErrorObju = 0.0;

    // The measure of a quantity (q, p, ev, u).
    double measure(Quantity quantity) const;
    // The eleven values in the host's order.
    HostDiagnostics hostOrder() const;
};

// How an evaluation runs.
struct EvaluationOptions {
    bool penalties = false;  // multiply the error value by the penalty factors
    bool reports = false;    // write the error report, the state file and the curve files
    bool reload = false;     // host-style evaluators: load the full list again
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
// the state at the start of shearing and the path buffers.
using TestSink = FunctionRef<void(int t, double pConsol, double eConsol, const PathBuffers&)>;

// Why an evaluation stopped at a test.
enum class StopReason {
    none,
    pressureNotReached,    // the compression run never reached the first measured pressure
    voidRatioNotPositive,  // the void ratio at that pressure was not above 0
};

// Where an evaluation stopped: the test (from 0; -1: it completed) and why.
struct EvaluationStop {
    int test = -1;
    StopReason reason = StopReason::none;
    bool stopped() const { return test >= 0; }
};

// What simulating one test gave.
struct TestOutcome {
    bool usable = true;         // false: no usable consolidation state, the evaluation stops
    StopReason stop = StopReason::none;
    bool readsPrevious = false;  // the result depends on what the buffers held before
    double pConsol = 0.0;
    double eConsol = 0.0;
};

// Simulates test t on `buffers` as they stand: the compression run (when the
// first measured pressure differs from the list pressure) and the shear run.
TestOutcome simulateTest(const ModelConstants& model, const TestStore& store, int t,
                         PathBuffers& buffers);

// Simulates every stored test in list order on one set of buffers, cleared
// first. Returns nTests when the evaluation may go on, or the index of the
// test whose compression gave no usable consolidation state (the evaluation
// then stops; the sink has seen the tests before it). The store is only read.
int runDriver(const ModelParameters& parameters, const TestStore& store, PathBuffers& buffers,
              TestSink sink, StopReason* stop = nullptr);

// The same, with the tests simulated in parallel on `pool`, each on its own
// buffers from `window` (at least one), and the sink called in test order
// with exactly what runDriver would give it: a test whose result depends on
// the previous test's buffers is simulated again on a copy of them.
int runDriverParallel(const ModelParameters& parameters, const TestStore& store, WorkerPool& pool,
                      std::vector<PathBuffers>& window, PathBuffers& carry, TestSink sink,
                      StopReason* stop = nullptr);

// The tests of one evaluation in lanes: what the lane driver keeps between
// evaluations (buffers, lanes and the plan of which worker steps which
// tests), so that an evaluation allocates nothing once one has run.
struct TestLanes {
    // Of a chunk of tests: the tests each worker simulates; compression runs
    // in lanes, then the shear runs, in lanes (groups of at most the
    // kernel's width, of one path code or of mixed codes) and the rest in
    // interleaved pairs. Positions within the chunk.
    struct Bucket {
        std::vector<int> compressions;
        std::vector<int> groups;                 // group after group
        std::vector<int> groupEnds;              // where each group ends in `groups`
        std::vector<unsigned char> groupMixed;   // whether a group holds several codes
        std::vector<int> singles;
    };
    struct Plan {
        std::vector<std::int64_t> key;  // what the plan was made for
        std::vector<Bucket> buckets;
    };
    std::vector<Plan> plans;  // one per chunk
    std::vector<PathBuffers> window;
    PathBuffers carry;
    std::vector<TestOutcome> outcomes;
    std::vector<StartState> starts;
    std::vector<unsigned char> redo;  // simulated again in order on a copy of the previous buffers
    std::vector<int> compressionPoints;  // per test: points its last compression run took (0: none yet)
    std::vector<std::vector<CompressionLane>> compression;  // per bucket
    std::vector<std::vector<ShearLane>> shear;              // per bucket
};

// runDriverParallel with the kernel's lanes: the tests of a chunk are split
// among the workers of `pool` by their estimated cost, each worker steps its
// tests' compression runs together, then its shear runs in groups (of one
// path code, or of mixed codes for the tests left over); the sink sees
// exactly what runDriver gives it (a test whose
// result depends on what the previous test left in the buffers, or whose
// shear run ends early, is simulated again in order on a copy of them).
int runDriverLanes(const ModelParameters& parameters, const TestStore& store, WorkerPool& pool,
                   const LaneKernel& kernel, TestLanes& lanes, TestSink sink, StopReason* stop = nullptr);

// Many parameter sets in lanes, each on its own buffers.
struct SetLanes {
    std::vector<PathBuffers> buffers;
    std::vector<ModelConstants> models;
    std::vector<StartState> starts;
    std::vector<int> members;  // the set of each lane
    std::vector<CompressionLane> compression;
    std::vector<ShearLane> shear;
};

// Receives set i's simulated curve of test t.
using SetSink = FunctionRef<void(int set, int t, const PathBuffers&)>;

// runDriver for every set of `sets`, the sets stepping each test together
// in the kernel's lanes: the sink sees, set by set, exactly what runDriver
// gives it, and reach[i] is what runDriver returns for set i.
void runSetsInLanes(const LaneKernel& kernel, std::span<const ModelParameters> sets, const TestStore& store,
                    SetLanes& lanes, SetSink sink, std::span<int> reach);

// Relative time of a shear path of a test type's path code, and of a group
// of `lanes` such paths of one code in the kernel against one of them alone
// (lane benchmarks).
double shearCost(std::int32_t testType);
double laneGroupFactor(const LaneKernel& kernel, int lanes);

// The driver writing into the store: pConsol, eConsol and simCurve of every
// test simulated. Returns where the evaluation stopped, if it did.
EvaluationStop simulateTests(const ModelParameters& parameters, TestStore& store, PathBuffers& buffers);

// Simulated values at the measured strains of test t, from its simulated
// curve (columns strain, q, p, ev, u, pathPoints each). For every row whose
// strain the curve brackets (first interval l with x[l] <= strain < x[l+1]),
// calls out(row, values) with the five values.
void interpolateTest(const TestStore& store, int t, const std::array<const double*, columnCount>& curve,
                     FunctionRef<void(int row, const std::array<double, columnCount>&)> out);

// Reads every simulated curve at the measured strains into simAtMeasured.
void interpolateAtMeasured(TestStore& store);

// Calls f(t, row, quantity, residual) for every normalised residual the
// measures are made of, (simAtMeasured - measured) / scale, in the order the
// scoring adds them up: test by test, row by row, and within a row p, ev, u,
// then q, each where the test's type scores it and its scale is not 0.
template <class F>
void visitResiduals(const TestStore& store, F&& f) {
    for (int t = 0; t < store.nTests; ++t) {
        const std::int32_t type = store.testType[t];
        const bool scoresP = isScored(type, Quantity::p), scoresEv = isScored(type, Quantity::ev);
        const bool scoresU = isScored(type, Quantity::u), scoresQ = isScored(type, Quantity::q);
        for (int r = 0; r < store.rowCount[t]; ++r) {
            auto misfit = [&](int c) { return store.simAtMeasured(t, r, c) - store.measured(t, r, c); };
            if (store.pScale[t] != 0.0 && scoresP) f(t, r, Quantity::p, misfit(pCol) / store.pScale[t]);
            if (store.evScale[t] != 0.0 && scoresEv) f(t, r, Quantity::ev, misfit(evCol) / store.evScale[t]);
            if (store.uScale[t] != 0.0 && scoresU) f(t, r, Quantity::u, misfit(uCol) / store.uScale[t]);
            if (store.qScale[t] != 0.0 && scoresQ) f(t, r, Quantity::q, misfit(qCol) / store.qScale[t]);
        }
    }
}

// One normalised residual: test and row (from 0), the quantity and the value.
struct Residual {
    std::int32_t test;
    std::int32_t row;
    Quantity quantity;
    double value;
};

// The residuals of the store's simulated values (those of the last completed
// evaluation), in scoring order.
std::vector<Residual> residuals(const TestStore& store);

ErrorMeasures scoreTests(const TestStore& store);
std::array<double, 7> penaltyFactors(const ModelParameters& p, const ConstraintValues& c);

// The returned error value and the diagnostics of a completed evaluation.
double settleError(const ModelParameters& p, const ErrorMeasures& m, bool penalties, Diagnostics& diagnostics);

// How one batch used the state it started in, so that parts of a batch
// evaluated on separate evaluators can be joined to the bits of the whole.
// `completed` has one entry per set (1: the evaluation completed); `read` and
// `replaced` one per value of Evaluator::carriedState(): `read` when a
// completed evaluation of the batch was scored with the value as the batch
// found it, `replaced` when the value after the batch does not depend on the
// value before it.
struct BatchTrace {
    std::vector<unsigned char> completed;
    std::vector<unsigned char> read;
    std::vector<unsigned char> replaced;
};

struct BatchScratch;

// Module state of one host lifetime: the test store (with its load rule, for
// an evaluator on a host folder), the path buffers and the diagnostics of the
// last completed evaluation. Several evaluators may live in one process; one
// evaluator serves one call at a time.
class Evaluator {
public:
    // Host style: hostFolder plays the host's current folder (empty: the
    // process's own); the tests of its lists are loaded by the load rule.
    explicit Evaluator(std::filesystem::path hostFolder = {});

    // On a test set in memory: no files are read and there is no load rule; a
    // reload request returns the store to its freshly built state. Reports, on
    // request, are written relative to reportFolder as a host folder. Throws
    // LoadError for a test without rows.
    explicit Evaluator(std::vector<LabTest> tests, std::filesystem::path reportFolder = {});

    // One evaluation. Throws LoadError when the load check fails. Reports that
    // cannot be written are collected in warnings().
    double evaluate(const ModelParameters& parameters, const EvaluationOptions& options);

    // The load check an evaluation without a reload request makes, made now:
    // the tests are then in store() and what the load noticed in warnings().
    // Throws LoadError.
    void loadTests();

    // K consecutive evaluations with the parameter sets `sets` and the same
    // options, to the bit: errors[k] and diagnostics[k] are what evaluation k
    // would give, and the state afterwards is that after evaluation K. The
    // store loads at most once; the sets are simulated in parallel on
    // `threads` workers (0: the evaluator's own count), sharing the test data
    // read-only.
    void evaluateBatch(std::span<const ModelParameters> sets, const EvaluationOptions& options,
                       std::span<double> errors, std::span<Diagnostics> diagnostics, unsigned threads = 0);

    // The same batch, also giving each set's normalised residuals in scoring
    // order: residuals[k] holds the values residuals() would return right
    // after evaluation k, or is empty when evaluation k stopped. The error
    // values, diagnostics and state afterwards are evaluateBatch's, to the bit.
    void evaluateBatchResiduals(std::span<const ModelParameters> sets, const EvaluationOptions& options,
                                std::span<double> errors, std::span<Diagnostics> diagnostics,
                                std::vector<std::vector<double>>& residuals, unsigned threads = 0);

    // The same batch, also telling how it used the state it started in (see
    // BatchTrace); `residuals` may be null. The results and the state
    // afterwards are evaluateBatch's, to the bit.
    void evaluateBatchTraced(std::span<const ModelParameters> sets, const EvaluationOptions& options,
                             std::span<double> errors, std::span<Diagnostics> diagnostics, BatchTrace& trace,
                             std::vector<std::vector<double>>* residuals, unsigned threads = 0);

    // Threads for one evaluation's tests and for batches (default: the
    // CALVENOR_THREADS environment variable, else every core).
    void setThreads(unsigned threads);
    unsigned threads() const { return threads_; }

    // The lane kernel that steps the tests of an evaluation and the sets of
    // a batch together (default: defaultLaneKernel()); null runs the scalar
    // paths. Every choice gives the same values to the bit.
    void setKernel(const LaneKernel* kernel) { kernel_ = kernel; }
    const LaneKernel* kernel() const { return kernel_; }

    const Diagnostics& diagnostics() const { return diagnostics_; }
    // Where the last single evaluation stopped, if it did.
    const EvaluationStop& lastStop() const { return lastStop_; }
    // The normalised residuals of the store's simulated values: those of the
    // last completed evaluation (for an evaluation that stopped, of the one
    // before), exactly as its measures used them.
    std::vector<Residual> residuals() const { return calvenor::residuals(store_); }
    // What the last call noticed without failing: the warnings of the load it
    // made (loadWarnings(); each message once in the evaluator's life, so a
    // reload of the same files does not repeat them), then the reports that
    // could not be written.
    const std::vector<std::string>& warnings() const { return warnings_; }
    const std::vector<std::string>& loadWarnings() const { return loadWarnings_; }

    // Reports go into `folder`, each under its name relative to the host
    // folder (reportPath with `contained`: nothing is written outside it),
    // instead of the host's places; an empty folder returns to those.
    void setReportFolder(std::filesystem::path folder);
    // The report files the last call wrote (those that could not be written
    // are in warnings()).
    const std::vector<std::filesystem::path>& reportFiles() const { return reportFiles_; }

    // What a later evaluation takes from the earlier ones besides the loaded
    // tests: the simulated values at the measured rows (a row that a
    // simulated curve does not reach keeps the value it had). Saved with a
    // checkpoint, so that a resumed calibration continues exactly; restoring
    // needs the same tests loaded (std::invalid_argument otherwise).
    std::vector<double> carriedState() const;
    void restoreCarriedState(std::span<const double> state);
    const TestStore& store() const { return store_; }
    const LoadFlags& loadFlags() const { return loadFlags_; }
    const std::filesystem::path& hostFolder() const { return hostFolder_; }
    // Whether the tests are loaded from the host folder's lists (false: in memory).
    bool hostStyle() const { return hostStyle_; }

private:
    std::filesystem::path hostFolder_;
    bool hostStyle_ = true;
    TestStore store_;
    LoadFlags loadFlags_;
    PathBuffers buffers_;
    Diagnostics diagnostics_{};
    EvaluationStop lastStop_;
    std::vector<std::string> warnings_;
    std::vector<std::string> loadWarnings_;
    std::vector<std::string> givenWarnings_;  // sorted
    std::filesystem::path reportFolder_;
    std::vector<std::filesystem::path> reportFiles_;
    unsigned threads_ = defaultThreadCount();
    // Created on first use; a copy of an evaluator starts without one.
    struct Pool {
        std::unique_ptr<WorkerPool> pool;
        Pool() = default;
        Pool(const Pool&) {}
        Pool& operator=(const Pool&) { return *this; }
    } pool_;
    std::vector<PathBuffers> window_;
    PathBuffers carry_;
    const LaneKernel* kernel_ = defaultLaneKernel();
    TestLanes testLanes_;
    // What batches keep between them (batch.cpp); a copy of an evaluator
    // starts without it.
    struct KeptBatchScratch {
        std::unique_ptr<BatchScratch> scratch;
        KeptBatchScratch();
        KeptBatchScratch(const KeptBatchScratch&);
        KeptBatchScratch& operator=(const KeptBatchScratch&) { return *this; }
        ~KeptBatchScratch();
    } batchScratch_;

    WorkerPool& pool();
    void runBatch(std::span<const ModelParameters> sets, const EvaluationOptions& options, std::span<double> errors,
                  std::span<Diagnostics> diagnostics, unsigned threads, std::vector<std::vector<double>>* residuals,
                  BatchTrace* trace = nullptr);
    // The load check of an evaluation: the load rule, or a fresh state.
    void prepareStore(bool reload);
    // Simulates every test with p into the store (pConsol, eConsol, simCurve)
    // on `workers`, as simulateTests does.
    EvaluationStop simulateIntoStore(const ModelParameters& p, WorkerPool& workers);
    void writeReports(double errorValue, const ModelParameters& p);
};

// The host's calling convention: the first nine values of `parameters`, and
// the switch vector (element 1 penalties, 2 reports, 3 reload; nonzero or NaN
// means on). Throws std::invalid_argument when fewer than 9 parameters or 3
// switches are given, and LoadError as Evaluator::evaluate does.
EvaluationOptions switchOptions(std::span<const double> switches);
double evaluateObjective(Evaluator& evaluator, std::span<const double> parameters,
                         std::span<const double> switches);

}  // namespace calvenor
