// Many parameter sets evaluated as consecutive calls, in parallel.
//
// Consecutive calls share state through the store: a measured row that a
// simulated curve does not bracket keeps (and is scored with) the value of
// the last evaluation that bracketed it, and a stopped evaluation leaves the
// diagnostics of the previous one. So the sets are simulated and read at the
// measured strains in parallel, each on its own path buffers (groups of sets
// stepping each test together in lanes), and the results are committed and
// scored in call order as they come; only those not yet committed are kept.
#include <algorithm>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "objective/objective.hpp"

namespace calvenor {
namespace {

// What one parameter set's simulation leaves to commit: how many tests it
// simulated, and the simulated values at the measured rows it bracketed.
struct SetOutcome {
    int reach = 0;
    std::vector<double> values;            // q, p, ev and u per measured row, rows of all tests in order
    std::vector<unsigned char> bracketed;  // 1 per measured row
};
constexpr std::size_t valuesPerRow = columnCount - 1;

// A worker's own buffers, made when it first needs them.
struct WorkerScratch {
    SetLanes sets;
    TestLanes tests;
    std::vector<PathBuffers> window;
    PathBuffers carry;
    WorkerPool inline_{1};
    std::vector<int> reach;
};

// The simulated state of a freshly loaded store, with or without the values
// at the measured rows.
void resetSimulated(TestStore& store, bool atMeasuredToo) {
    if (atMeasuredToo) {
        store.resetSimulated();
        return;
    }
    std::fill(store.eConsol.begin(), store.eConsol.end(), 0.0);
    for (int t = 0; t < store.nTests; ++t) {
        for (int c = 0; c < columnCount; ++c) {
            auto curve = store.simCurve.column(t, c);
            std::fill(curve.begin(), curve.end(), 0.0);
        }
    }
}

}  // namespace

// What batches keep between them: the outcomes waiting for their commit and
// the workers' buffers, so that a batch allocates nothing the one before it
// did not.
struct BatchScratch {
    std::vector<SetOutcome> outcomes;
    std::vector<std::unique_ptr<WorkerScratch>> workers;
};

Evaluator::KeptBatchScratch::KeptBatchScratch() = default;
Evaluator::KeptBatchScratch::KeptBatchScratch(const KeptBatchScratch&) {}
Evaluator::KeptBatchScratch::~KeptBatchScratch() = default;

void Evaluator::evaluateBatch(std::span<const ModelParameters> sets, const EvaluationOptions& options,
                              std::span<double> errors, std::span<Diagnostics> diagnostics,
                              unsigned threads) {
    runBatch(sets, options, errors, diagnostics, threads, nullptr);
}

void Evaluator::evaluateBatchResiduals(std::span<const ModelParameters> sets, const EvaluationOptions& options,
                                       std::span<double> errors, std::span<Diagnostics> diagnostics,
                                       std::vector<std::vector<double>>& residuals, unsigned threads) {
    residuals.assign(sets.size(), {});
    runBatch(sets, options, errors, diagnostics, threads, &residuals);
}

void Evaluator::evaluateBatchTraced(std::span<const ModelParameters> sets, const EvaluationOptions& options,
                                    std::span<double> errors, std::span<Diagnostics> diagnostics, BatchTrace& trace,
                                    std::vector<std::vector<double>>* residuals, unsigned threads) {
    if (residuals != nullptr) residuals->assign(sets.size(), {});
    runBatch(sets, options, errors, diagnostics, threads, residuals, &trace);
}

namespace {

void residualValues(const TestStore& store, std::vector<double>& values) {
    values.clear();
    visitResiduals(store, [&values](int, int, Quantity, double r) { values.push_back(r); });
}

}  // namespace

namespace {

// How many consecutive sets a task of the batch simulates: with a lane
// kernel, groups of sets stepping each test together (as many as the
// kernel's width, or four), or one set whose tests go in lanes, whichever
// the estimate finishes first on `workers`; without, one set at a time.
std::size_t setsPerTask(const LaneKernel* kernel, std::size_t sets, unsigned workers) {
    if (kernel == nullptr) return 1;
    std::size_t best = 1;
    double bestTime = std::numeric_limits<double>::infinity();
    const double perSetOfFour = laneGroupFactor(*kernel, 4) / 4.0;
    for (const int size : {kernel->width, 4, 1}) {
        if (size > kernel->width) continue;
        // One set's tests in lanes: about 1.4 times a set in a group of four.
        const double perSet = size == 1 ? 1.4 * perSetOfFour : laneGroupFactor(*kernel, size) / size;
        const std::size_t tasks = (sets + static_cast<std::size_t>(size) - 1) / static_cast<std::size_t>(size);
        const std::size_t rounds = (tasks + workers - 1) / workers;
        const double time = static_cast<double>(rounds) * size * perSet;
        if (time < bestTime) {
            bestTime = time;
            best = static_cast<std::size_t>(size);
        }
    }
    return best;
}

}  // namespace

void Evaluator::runBatch(std::span<const ModelParameters> sets, const EvaluationOptions& options,
                         std::span<double> errors, std::span<Diagnostics> diagnostics, unsigned threads,
                         std::vector<std::vector<double>>* residuals, BatchTrace* trace) {
    warnings_.clear();
    if (errors.size() != sets.size() || diagnostics.size() != sets.size()) {
        throw std::invalid_argument("batch outputs must hold one entry per parameter set");
    }
    if (trace != nullptr) *trace = {};
    if (sets.empty()) return;
    // A traced batch of one set takes the general way, which sees the rows each set brackets.
    if (sets.size() == 1 && trace == nullptr) {
        errors[0] = evaluate(sets[0], options);
        diagnostics[0] = diagnostics_;
        if (residuals != nullptr && !lastStop_.stopped()) residualValues(store_, (*residuals)[0]);
        return;
    }
    prepareStore(options.reload);

    const TestStore& store = store_;
    std::vector<std::size_t> firstRow(static_cast<std::size_t>(store.nTests) + 1, 0);
    for (int t = 0; t < store.nTests; ++t) {
        firstRow[t + 1] = firstRow[t] + static_cast<std::size_t>(std::max(store.rowCount[t], 0));
    }
    const std::size_t totalRows = firstRow.back();
    // The trace, per measured row (rows of all tests in order); its masks are
    // laid out as carriedState() at the end.
    std::vector<unsigned char> rowRead, rowSeen;
    std::size_t unseen = totalRows;
    if (trace != nullptr) {
        trace->completed.assign(sets.size(), 0);
        rowRead.assign(totalRows, 0);
        rowSeen.assign(totalRows, options.reload ? 1 : 0);
    }

    std::unique_ptr<WorkerPool> ownPool;
    if (threads != 0 && threads != threads_) ownPool = std::make_unique<WorkerPool>(threads);
    WorkerPool& workers = ownPool ? *ownPool : pool();
    threads = workers.size();
    const LaneKernel* kernel = kernel_;

    // The sets go in tasks of consecutive sets. Finished tasks are committed
    // and scored in call order as soon as those before them are; a worker
    // runs at most `slots` tasks ahead of the commit, so only the outcomes
    // of those tasks are kept, whatever the size of the batch.
    const std::size_t perTask = setsPerTask(kernel, sets.size(), threads);
    const std::size_t tasks = (sets.size() + perTask - 1) / perTask;
    const std::size_t slots = std::min<std::size_t>(tasks, threads + 2);
    if (!batchScratch_.scratch) batchScratch_.scratch = std::make_unique<BatchScratch>();
    std::vector<SetOutcome>& outcomes = batchScratch_.scratch->outcomes;
    if (outcomes.size() < slots * perTask) outcomes.resize(slots * perTask);
    for (auto& o : outcomes) {
        o.values.resize(totalRows * valuesPerRow);
        o.bracketed.resize(totalRows);
    }
    std::vector<std::unique_ptr<WorkerScratch>>& scratch = batchScratch_.scratch->workers;
    if (scratch.size() < threads) scratch.resize(threads);
    std::vector<int> reach(sets.size(), 0);
    constexpr double infinity = std::numeric_limits<double>::infinity();
    std::ptrdiff_t lastCompleted = -1;
    const bool reloadEachCall = options.reload;

    auto simulate = [&](std::size_t task, WorkerScratch& ws) {
        const std::size_t first = task * perTask;
        const std::size_t count = std::min(perTask, sets.size() - first);
        SetOutcome* out = &outcomes[(task % slots) * perTask];
        for (std::size_t i = 0; i < count; ++i) std::fill(out[i].bracketed.begin(), out[i].bracketed.end(), 0);
        auto record = [&](int i, int t, const PathBuffers& b) {
            SetOutcome& o = out[i];
            const std::array<const double*, columnCount> curve = {b.epsAxial.data(), b.qDev.data(), b.pMean.data(),
                                                                  b.epsVol.data(), b.poreU.data()};
            interpolateTest(store, t, curve, [&](int r, const std::array<double, columnCount>& v) {
                const std::size_t row = firstRow[t] + static_cast<std::size_t>(r);
                std::copy(v.begin() + 1, v.end(), o.values.begin() + static_cast<std::ptrdiff_t>(row * valuesPerRow));
                o.bracketed[row] = 1;
            });
        };
        if (kernel != nullptr && count > 1) {
            ws.reach.resize(count);
            runSetsInLanes(*kernel, sets.subspan(first, count), store, ws.sets,
                           [&](int i, int t, const PathBuffers& b) { record(i, t, b); }, ws.reach);
            for (std::size_t i = 0; i < count; ++i) out[i].reach = ws.reach[i];
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            auto sink = [&](int t, double, double, const PathBuffers& b) { record(static_cast<int>(i), t, b); };
            out[i].reach = kernel != nullptr
                               ? runDriverLanes(sets[first + i], store, ws.inline_, *kernel, ws.tests, sink)
                               : runDriverParallel(sets[first + i], store, ws.inline_, ws.window, ws.carry, sink);
        }
    };

    auto commit = [&](std::size_t task) {
        const std::size_t first = task * perTask;
        const std::size_t count = std::min(perTask, sets.size() - first);
        const SetOutcome* out = &outcomes[(task % slots) * perTask];
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t k = first + i;
            const SetOutcome& o = out[i];
            reach[k] = o.reach;
            if (trace != nullptr) trace->completed[k] = o.reach >= store.nTests ? 1 : 0;
            if (o.reach < store.nTests) {
                errors[k] = infinity;
                diagnostics[k] = diagnostics_;
                continue;
            }
            // A call that asks for a reload starts from freshly loaded values.
            if (reloadEachCall) resetSimulated(store_, true);
            for (int t = 0; t < store.nTests; ++t) {
                for (int r = 0; r < store.rowCount[t]; ++r) {
                    const std::size_t row = firstRow[t] + static_cast<std::size_t>(r);
                    if (!o.bracketed[row]) continue;
                    // The strain is the measured one.
                    store_.simAtMeasured(t, r, strainCol) = store.measured(t, r, strainCol);
                    for (int c = 1; c < columnCount; ++c) {
                        store_.simAtMeasured(t, r, c) = o.values[row * valuesPerRow + static_cast<std::size_t>(c - 1)];
                    }
                }
            }
            if (trace != nullptr && !reloadEachCall && unseen > 0) {
                // Rows no set of the batch has bracketed so far are scored with the values the batch found.
                for (std::size_t row = 0; row < totalRows; ++row) {
                    if (o.bracketed[row] && !rowSeen[row]) {
                        rowSeen[row] = 1;
                        --unseen;
                    }
                    if (!rowSeen[row]) rowRead[row] = 1;
                }
            }
            errors[k] = settleError(sets[k], scoreTests(store_), options.penalties, diagnostics_);
            diagnostics[k] = diagnostics_;
            if (residuals != nullptr) residualValues(store_, (*residuals)[k]);
            lastCompleted = static_cast<std::ptrdiff_t>(k);
        }
    };

    std::mutex mutex;
    std::condition_variable freed;
    std::vector<unsigned char> done(slots, 0);
    std::size_t committed = 0;
    bool committing = false;
    bool failed = false;
    workers.run(tasks, [&](std::size_t task, unsigned w) {
        {
            std::unique_lock lock(mutex);
            freed.wait(lock, [&] { return failed || task < committed + slots; });
            if (failed) return;
        }
        try {
            if (!scratch[w]) scratch[w] = std::make_unique<WorkerScratch>();
            simulate(task, *scratch[w]);
        } catch (...) {
            std::lock_guard lock(mutex);
            failed = true;
            freed.notify_all();
            throw;
        }
        // Whoever finds the next task to commit finished commits it, and
        // the ones after it that are finished too.
        std::unique_lock lock(mutex);
        done[task % slots] = 1;
        if (committing) return;
        committing = true;
        while (!failed && committed < tasks && done[committed % slots] != 0) {
            const std::size_t next = committed;
            lock.unlock();
            try {
                commit(next);
            } catch (...) {
                lock.lock();
                failed = true;
                committing = false;
                freed.notify_all();
                throw;
            }
            lock.lock();
            done[next % slots] = 0;
            ++committed;
            freed.notify_all();
        }
        committing = false;
    });

    if (trace != nullptr) {
        // In carriedState()'s order: test by test, column by column, row by row.
        trace->read.clear();
        trace->replaced.clear();
        for (int t = 0; t < store.nTests; ++t) {
            for (int c = 0; c < columnCount; ++c) {
                for (std::size_t row = firstRow[t]; row < firstRow[t + 1]; ++row) {
                    trace->read.push_back(rowRead[row]);
                    trace->replaced.push_back(rowSeen[row]);
                }
            }
        }
    }

    // Leave eConsol, the simulated curves and the simulated values at the
    // measured rows as the last calls left them, and the reports as the last
    // completed call wrote them.
    if (reloadEachCall) {
        // Every call starts from a fresh load: only the last call's own
        // simulation remains.
        const std::size_t last = sets.size() - 1;
        const bool reports = lastCompleted >= 0 && options.reports;
        if (reports) {
            resetSimulated(store_, false);
            simulateIntoStore(sets[lastCompleted], workers);
            writeReports(errors[lastCompleted], sets[lastCompleted]);
        }
        if (!reports || static_cast<std::ptrdiff_t>(last) != lastCompleted) {
            resetSimulated(store_, reach[last] < store.nTests);
            simulateIntoStore(sets[last], workers);
        }
        return;
    }
    // Each test holds the values of the last set that simulated it.
    std::vector<std::size_t> rerun;
    int frontier = 0;
    for (std::size_t k = sets.size(); k-- > 0 && frontier < store.nTests;) {
        if (reach[k] > frontier) {
            rerun.push_back(k);
            frontier = reach[k];
        }
    }
    if (store.nTests == 0 && lastCompleted >= 0) rerun.push_back(static_cast<std::size_t>(lastCompleted));
    std::sort(rerun.begin(), rerun.end());
    for (std::size_t k : rerun) {
        simulateIntoStore(sets[k], workers);
        if (static_cast<std::ptrdiff_t>(k) == lastCompleted && options.reports) {
            writeReports(errors[k], sets[k]);
        }
    }
}

}  // namespace calvenor
