// Many parameter sets evaluated as consecutive calls, in parallel.
//
// Consecutive calls share state through the store: a measured row that a
// simulated curve does not bracket keeps (and is scored with) the value of
// the last evaluation that bracketed it, and a stopped evaluation leaves the
// diagnostics of the previous one. So the sets are simulated and read at the
// measured strains in parallel, each worker on its own path buffers, and the
// results are then committed and scored in call order.
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <memory>

#include "objective/objective.hpp"

namespace calvenor {
namespace {

// What one parameter set's simulation leaves to commit: how many tests it
// simulated, and the simulated values at the measured rows it bracketed.
struct SetOutcome {
    int reach = 0;
    std::vector<double> values;          // 5 per measured row, rows of all tests in order
    std::vector<unsigned char> bracketed;  // 1 per measured row
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
    // Bound the scratch of one round of sets to about 256 MB.
    const std::size_t perSet = totalRows * (columnCount * sizeof(double) + 1) + 64;
    const std::size_t round = std::clamp<std::size_t>((256u << 20) / perSet, 1, sets.size());
    std::vector<SetOutcome> outcomes(round);
    for (auto& o : outcomes) {
        o.values.resize(totalRows * columnCount);
        o.bracketed.resize(totalRows);
    }
    // Each worker simulates its sets' tests in interleaved pairs on its own
    // buffers (the pool of one thread runs them on the worker itself).
    struct WorkerScratch {
        std::vector<PathBuffers> window = std::vector<PathBuffers>(2);
        PathBuffers carry;
        WorkerPool inline_{1};
    };
    std::vector<std::unique_ptr<WorkerScratch>> scratch(std::min<std::size_t>(threads, round));
    for (auto& w : scratch) w = std::make_unique<WorkerScratch>();
    std::vector<int> reach(sets.size(), 0);
    constexpr double infinity = std::numeric_limits<double>::infinity();
    std::ptrdiff_t lastCompleted = -1;
    const bool reloadEachCall = options.reload;

    for (std::size_t start = 0; start < sets.size(); start += round) {
        const std::size_t count = std::min(round, sets.size() - start);
        workers.run(count, [&](std::size_t i, unsigned w) {
            SetOutcome& o = outcomes[i];
            std::fill(o.bracketed.begin(), o.bracketed.end(), 0);
            WorkerScratch& ws = *scratch[w];
            o.reach = runDriverParallel(
                sets[start + i], store, ws.inline_, ws.window, ws.carry,
                [&](int t, double, double, const PathBuffers& b) {
                    const std::array<const double*, columnCount> curve = {
                        b.epsAxial.data(), b.qDev.data(), b.pMean.data(), b.epsVol.data(),
                        b.poreU.data()};
                    interpolateTest(store, t, curve, [&](int r, const std::array<double, columnCount>& v) {
                        const std::size_t row = firstRow[t] + static_cast<std::size_t>(r);
                        std::copy(v.begin(), v.end(), o.values.begin() + row * columnCount);
                        o.bracketed[row] = 1;
                    });
                });
        });

        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t k = start + i;
            const SetOutcome& o = outcomes[i];
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
                    for (int c = 0; c < columnCount; ++c) {
                        store_.simAtMeasured(t, r, c) = o.values[row * columnCount + c];
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
    }

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
            simulateTests(sets[lastCompleted], store_, buffers_);
            writeReports(errors[lastCompleted], sets[lastCompleted]);
        }
        if (!reports || static_cast<std::ptrdiff_t>(last) != lastCompleted) {
            resetSimulated(store_, reach[last] < store.nTests);
            simulateTests(sets[last], store_, buffers_);
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
        simulateTests(sets[k], store_, buffers_);
        if (static_cast<std::ptrdiff_t>(k) == lastCompleted && options.reports) {
            writeReports(errors[k], sets[k]);
        }
    }
}

}  // namespace calvenor
