#include "objective/objective.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

#include "model/single.hpp"
#include "objective/test_steps.hpp"
#include "report/reports.hpp"

namespace calvenor {

void PathBuffers::clear() {
    for (auto* v : {&epsAxial, &qDev, &pMean, &voidRatio, &poreU, &epsVol}) {
        std::fill(v->begin(), v->end(), 0.0);
    }
}

PathArrays PathBuffers::arrays() { return {epsAxial, qDev, pMean, voidRatio, poreU, epsVol}; }

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

}  // namespace

TestOutcome consolidation(const TestStore& store, int t, const BracketSearch& search, const PathBuffers& buffers) {
    TestOutcome o;
    o.pConsol = store.pConsol[t];
    o.readsPrevious = search.readUnwritten;
    const int j = search.interval;
    // A pressure of exactly -1 marks an unsuccessful search.
    if (j < 0 || o.pConsol == -1.0) {
        o.usable = false;
        o.stop = StopReason::pressureNotReached;
        return o;
    }
    const double pc = store.measured(t, 0, pCol);
    const auto& e = buffers.voidRatio;
    const auto& p = buffers.pMean;
    const double slope = (e[j + 1] - e[j]) / (p[j + 1] - p[j]);
    o.eConsol = e[j] + slope * (pc - p[j]);
    if (!(o.eConsol > 0.0)) {
        o.usable = false;
        o.stop = StopReason::voidRatioNotPositive;
    }
    return o;
}

namespace {

// Test t up to its shear run: the compression run and the consolidation
// search where the first measured pressure differs from the list pressure.
// When the outcome is usable, `shear` holds the start of the shear run and
// `direct` whether it runs on the buffers as the previous test left them.
TestOutcome prepareTest(const ModelConstants& model, const TestStore& store, int t, PathBuffers& buffers,
                        StartState& shear, bool& direct) {
    direct = false;
    switch (testStart(store, t)) {
        case TestStart::unusable: return unusableOutcome();
        case TestStart::direct: {
            const TestOutcome o = directOutcome(store, t);
            shear = {o.pConsol, o.eConsol};
            direct = true;
            return o;
        }
        case TestStart::compression: break;
    }
    const BracketSearch search = compressToPressure(model, listState(store, t), compressionSettings(store, t),
                                                    buffers.arrays(), store.pConsol[t]);
    const TestOutcome o = consolidation(store, t, search, buffers);
    if (!o.usable) return o;
    buffers.clear();
    shear = {o.pConsol, o.eConsol};
    return o;
}

}  // namespace

TestOutcome simulateTest(const ModelConstants& model, const TestStore& store, int t,
                         PathBuffers& buffers) {
    StartState start{};
    bool direct = false;
    TestOutcome o = prepareTest(model, store, t, buffers, start, direct);
    if (!o.usable) return o;
    const int reached = runShearPath(model, start, shearSettings(store, t), buffers.arrays());
    // A direct shear run that ends early leaves the previous test's values.
    if (direct) o.readsPrevious = reached < pathPoints;
    return o;
}

int runDriver(const ModelParameters& parameters, const TestStore& store, PathBuffers& buffers,
              TestSink sink, StopReason* stop) {
    const ModelConstants model = modelConstants(parameters);
    buffers.clear();
    for (int t = 0; t < store.nTests; ++t) {
        const TestOutcome o = simulateTest(model, store, t, buffers);
        if (!o.usable) {
            if (stop != nullptr) *stop = o.stop;
            return t;
        }
        sink(t, o.pConsol, o.eConsol, buffers);
    }
    return store.nTests;
}

int runDriverParallel(const ModelParameters& parameters, const TestStore& store, WorkerPool& pool,
                      std::vector<PathBuffers>& window, PathBuffers& carry, TestSink sink, StopReason* stop) {
    const ModelConstants model = modelConstants(parameters);
    TestOutcome outcomes[64];
    // Tests go in pairs whose shear runs are interleaved.
    const int span = std::max(2, std::min(static_cast<int>(window.size()), 64) / 2 * 2);
    if (static_cast<int>(window.size()) < span) window.resize(static_cast<std::size_t>(span));
    carry.clear();
    const PathBuffers* previous = &carry;  // what the buffers hold before the next test
    for (int first = 0; first < store.nTests; first += span) {
        const int count = std::min(span, store.nTests - first);
        pool.run(static_cast<std::size_t>((count + 1) / 2), [&](std::size_t pair, unsigned) {
            const int i = static_cast<int>(pair) * 2;
            const int n = std::min(2, count - i);
            StartState start[2]{};
            bool direct[2] = {false, false};
            for (int m = 0; m < n; ++m) {
                window[i + m].clear();
                outcomes[i + m] = prepareTest(model, store, first + i + m, window[i + m], start[m], direct[m]);
            }
            int reached[2] = {pathPoints, pathPoints};
            const bool both = n == 2 && outcomes[i].usable && outcomes[i + 1].usable;
            if (both) {
                runShearPathPair(model, start[0], shearSettings(store, first + i), window[i].arrays(), reached[0],
                                 start[1], shearSettings(store, first + i + 1), window[i + 1].arrays(), reached[1]);
            } else {
                for (int m = 0; m < n; ++m) {
                    if (!outcomes[i + m].usable) continue;
                    reached[m] = runShearPath(model, start[m], shearSettings(store, first + i + m),
                                              window[i + m].arrays());
                }
            }
            for (int m = 0; m < n; ++m) {
                if (direct[m] && outcomes[i + m].usable) outcomes[i + m].readsPrevious = reached[m] < pathPoints;
            }
        });
        for (int i = 0; i < count; ++i) {
            const int t = first + i;
            if (outcomes[i].readsPrevious) {
                window[i] = *previous;
                outcomes[i] = simulateTest(model, store, t, window[i]);
            }
            if (!outcomes[i].usable) {
                if (stop != nullptr) *stop = outcomes[i].stop;
                return t;
            }
            sink(t, outcomes[i].pConsol, outcomes[i].eConsol, window[i]);
            previous = &window[i];
        }
        if (first + count < store.nTests) {
            carry = *previous;
            previous = &carry;
        }
    }
    return store.nTests;
}

namespace {

void copyIntoCurve(TestStore& store, int t, double pConsol, double eConsol, const PathBuffers& b) {
    store.pConsol[t] = pConsol;
    store.eConsol[t] = eConsol;
    const std::vector<double>* columns[columnCount] = {&b.epsAxial, &b.qDev, &b.pMean, &b.epsVol,
                                                      &b.poreU};
    for (int c = 0; c < columnCount; ++c) {
        std::copy(columns[c]->begin(), columns[c]->end(), store.simCurve.column(t, c).begin());
    }
}

}  // namespace

EvaluationStop simulateTests(const ModelParameters& parameters, TestStore& store, PathBuffers& buffers) {
    EvaluationStop stop;
    const int completed = runDriver(parameters, store, buffers,
                                    [&store](int t, double pConsol, double eConsol, const PathBuffers& b) {
                                        copyIntoCurve(store, t, pConsol, eConsol, b);
                                    },
                                    &stop.reason);
    if (completed < store.nTests) stop.test = completed;
    return stop;
}

void interpolateTest(const TestStore& store, int t, const std::array<const double*, columnCount>& curve,
                     FunctionRef<void(int row, const std::array<double, columnCount>&)> out) {
    const double* x = curve[strainCol];
    constexpr int n = pathPoints;
    // On a strictly increasing strain curve the first bracketing interval is
    // the only one, and a binary search finds it.
    bool increasing = true;
    for (int l = 0; l + 1 < n && increasing; ++l) increasing = x[l] < x[l + 1];
    for (int r = 0; r < store.rowCount[t]; ++r) {
        const double eps = store.measured(t, r, strainCol);
        int l = -1;
        if (increasing) {
            if (x[0] <= eps && eps < x[n - 1]) l = static_cast<int>(std::upper_bound(x, x + n, eps) - x) - 1;
        } else {
            for (int k = 0; k + 1 < n; ++k) {
                if (x[k] <= eps && eps < x[k + 1]) {
                    l = k;
                    break;
                }
            }
        }
        if (l < 0) continue;
        std::array<double, columnCount> v;
        v[strainCol] = eps;
        for (int c = 1; c < columnCount; ++c) {
            const double* y = curve[c];
            v[c] = y[l] + (y[l + 1] - y[l]) / (x[l + 1] - x[l]) * (eps - x[l]);
        }
        out(r, v);
    }
}

void interpolateAtMeasured(TestStore& store) {
    for (int t = 0; t < store.nTests; ++t) {
        std::array<const double*, columnCount> curve;
        for (int c = 0; c < columnCount; ++c) curve[c] = store.simCurve.column(t, c).data();
        interpolateTest(store, t, curve, [&store, t](int r, const std::array<double, columnCount>& v) {
            for (int c = 0; c < columnCount; ++c) store.simAtMeasured(t, r, c) = v[c];
        });
    }
}

std::vector<Residual> residuals(const TestStore& store) {
    std::vector<Residual> values;
    visitResiduals(store, [&](int t, int r, Quantity quantity, double residual) {
        values.push_back({t, r, quantity, residual});
    });
    return values;
}

ErrorMeasures scoreTests(const TestStore& store) {
    // Sums of squares and row counts of q, p, ev and u.
    double sum[quantityCount] = {0.0, 0.0, 0.0, 0.0};
    std::int32_t count[quantityCount] = {0, 0, 0, 0};
    enum { q, p, ev, u };
    visitResiduals(store, [&](int, int, Quantity quantity, double residual) {
        const int k = static_cast<int>(quantity);
        sum[k] += square(residual);
        ++count[k];
    });
    int a = 0;
    for (int k = 0; k < 4; ++k) a += count[k] > 0 ? 1 : 0;
    double measure[4] = {0.0, 0.0, 0.0, 0.0};
    for (int k = 0; k < 4; ++k) {
        if (count[k] > 0) measure[k] = std::sqrt(sum[k] / count[k]) * ((1.0 / a) * 100.0);
    }
    ErrorMeasures m;
    m.ErrorObjqz = measure[q];
    m.ErrorObjpz = measure[p];
    m.ErrorObjev = measure[ev];
    m.ErrorObju = measure[u];
    m.ErrorObjALL = ((m.ErrorObjqz + m.ErrorObjpz) + m.ErrorObjev) + m.ErrorObju;
    if (std::isnan(m.ErrorObjALL)) m.ErrorObjALL = infinity;
    return m;
}

std::array<double, 7> penaltyFactors(const ModelParameters& p, const ConstraintValues& c) {
    return {
        c.zMinusN > 0.0 ? 10.0 : 1.0,
        c.kappaBound >= 0.0 ? f1p2 : 1.0,
        c.lambdaBound >= 0.0 ? f1p2 : 1.0,
        c.psUpperMargin >= 0.0 ? std::abs(c.ps - 20000.0) / 20000.0 + f1p1 : 1.0,
        c.psLowerMargin > 0.0 ? 10.0 : 1.0,
        p.pnvoid > 3.0 * p.z ? std::abs(p.pnvoid - p.z) / p.pnvoid + f1p1 : 1.0,
        p.sm + 1.0 > (1.0 - p.chi) / ((p.plamda - p.pkappa) * (p.chi + 1.0)) ? 10.0 : 1.0,
    };
}

double settleError(const ModelParameters& p, const ErrorMeasures& m, bool penalties, Diagnostics& diagnostics) {
    const ConstraintValues c = computeConstraints(p);
    double value = m.ErrorObjALL;
    if (penalties) {
        for (double factor : penaltyFactors(p, c)) value = value * factor;
    }
    diagnostics = {c, m.ErrorObjqz, m.ErrorObjpz, m.ErrorObjev, m.ErrorObju};
    return value;
}

double Diagnostics::measure(Quantity quantity) const {
    switch (quantity) {
    case Quantity::q: return ErrorObjqz;
    case Quantity::p: return ErrorObjpz;
    case Quantity::ev: return ErrorObjev;
    case Quantity::u: return ErrorObju;
    }
    return 0.0;
}

HostDiagnostics Diagnostics::hostOrder() const {
    const ConstraintValues& c = constraints;
    return {c.ps,           c.zMinusN,       c.kappaBound,       c.lambdaBound, c.psUpperMargin, c.psLowerMargin,
            c.lambdaKappaRatio, ErrorObjqz, ErrorObjpz, ErrorObjev, ErrorObju};
}

Evaluator::Evaluator(std::filesystem::path hostFolder) : hostFolder_(std::move(hostFolder)) {}

Evaluator::Evaluator(std::vector<LabTest> tests, std::filesystem::path reportFolder)
    : hostFolder_(std::move(reportFolder)), hostStyle_(false), store_(buildTestStore(std::move(tests))) {
    loadFlags_.firstLoadPending = false;
}

void Evaluator::prepareStore(bool reload) {
    loadWarnings_.clear();
    reportFiles_.clear();
    if (hostStyle_) {
        std::vector<std::string> found;
        loadCheck(store_, loadFlags_, hostFolder_, reload, &found);
        for (std::string& w : found) {
            const auto at = std::lower_bound(givenWarnings_.begin(), givenWarnings_.end(), w);
            if (at != givenWarnings_.end() && *at == w) continue;
            givenWarnings_.insert(at, w);
            warnings_.push_back(w);
            loadWarnings_.push_back(std::move(w));
        }
    } else if (reload) {
        store_.resetSimulated();
    }
}

void Evaluator::loadTests() {
    warnings_.clear();
    prepareStore(false);
}

void Evaluator::setReportFolder(std::filesystem::path folder) { reportFolder_ = std::move(folder); }

std::vector<double> Evaluator::carriedState() const {
    std::vector<double> state;
    for (int t = 0; t < store_.nTests; ++t) {
        for (int c = 0; c < columnCount; ++c) {
            const auto rows = store_.simAtMeasured.column(t, c).first(static_cast<std::size_t>(store_.rowCount[t]));
            state.insert(state.end(), rows.begin(), rows.end());
        }
    }
    return state;
}

void Evaluator::restoreCarriedState(std::span<const double> state) {
    std::size_t size = 0;
    for (int t = 0; t < store_.nTests; ++t) size += static_cast<std::size_t>(store_.rowCount[t]) * columnCount;
    if (state.size() != size) {
        throw std::invalid_argument("the saved state holds " + std::to_string(state.size()) + " values; the tests have " +
                                    std::to_string(size));
    }
    std::size_t k = 0;
    for (int t = 0; t < store_.nTests; ++t) {
        for (int c = 0; c < columnCount; ++c) {
            for (double& v : store_.simAtMeasured.column(t, c).first(static_cast<std::size_t>(store_.rowCount[t])))
                v = state[k++];
        }
    }
}

void Evaluator::setThreads(unsigned threads) {
    threads = threads == 0 ? defaultThreadCount() : threads;
    if (threads != threads_) pool_.pool.reset();
    threads_ = threads;
}

EvaluationStop Evaluator::simulateIntoStore(const ModelParameters& p, WorkerPool& workers) {
    if (kernel_ == nullptr || store_.nTests < 2) return simulateTests(p, store_, buffers_);
    EvaluationStop stop;
    const int completed = runDriverLanes(p, store_, workers, *kernel_, testLanes_,
                                         [this](int t, double pConsol, double eConsol, const PathBuffers& b) {
                                             copyIntoCurve(store_, t, pConsol, eConsol, b);
                                         },
                                         &stop.reason);
    if (completed < store_.nTests) stop.test = completed;
    return stop;
}

WorkerPool& Evaluator::pool() {
    if (!pool_.pool) pool_.pool = std::make_unique<WorkerPool>(threads_);
    return *pool_.pool;
}

EvaluationOptions switchOptions(std::span<const double> switches) {
    if (switches.size() < 3) {
        throw std::invalid_argument("the switch vector holds " + std::to_string(switches.size()) +
                                    " values; 3 are needed (penalties, reports, reload)");
    }
    // A NaN switch counts as nonzero.
    return {switches[0] != 0.0, switches[1] != 0.0, switches[2] != 0.0};
}

double evaluateObjective(Evaluator& evaluator, std::span<const double> parameters,
                         std::span<const double> switches) {
    const ModelParameters p = readParameters(parameters);
    return evaluator.evaluate(p, switchOptions(switches));
}

void Evaluator::writeReports(double errorValue, const ModelParameters& p) {
    const bool contained = !reportFolder_.empty();
    const std::filesystem::path& folder = contained ? reportFolder_ : hostFolder_;
    std::vector<ReportWarning> failed = writeErrorReport(folder, errorValue, p, diagnostics_.hostOrder(), store_, contained);
    for (auto& w : writeStateFile(folder, store_, contained)) failed.push_back(std::move(w));
    for (auto& w : writeCurveFiles(folder, store_, contained)) failed.push_back(std::move(w));
    for (const auto& w : failed) warnings_.push_back(w.message());
    // What was written: each report's file unless it failed, each file once.
    reportFiles_.clear();
    std::set<std::filesystem::path> skip;
    for (const auto& w : failed) skip.insert(w.path);
    std::vector<std::string_view> names = {errorReportName, stateFileName};
    for (const auto& name : store_.curveFile) names.push_back(name);
    for (const auto name : names) {
        std::filesystem::path file = reportPath(folder, name, contained);
        if (skip.insert(file).second) reportFiles_.push_back(std::move(file));
    }
}

double Evaluator::evaluate(const ModelParameters& p, const EvaluationOptions& options) {
    warnings_.clear();
    prepareStore(options.reload);

    lastStop_ = {};
    if (store_.nTests > 1 && kernel_ != nullptr) {
        // Tests of one path code stepped in lanes, on every worker, with the
        // result of the sequential run.
        lastStop_ = simulateIntoStore(p, pool());
    } else if (store_.nTests > 1) {
        // Tests simulated in pairs and in parallel, with the result of the
        // sequential run.
        const std::size_t width = std::min<std::size_t>(64, 4 * threads_);
        if (window_.size() < width) window_.resize(width);
        const int completed = runDriverParallel(p, store_, pool(), window_, carry_,
                                                [this](int t, double pConsol, double eConsol, const PathBuffers& b) {
                                                    copyIntoCurve(store_, t, pConsol, eConsol, b);
                                                },
                                                &lastStop_.reason);
        if (completed < store_.nTests) lastStop_.test = completed;
    } else {
        lastStop_ = simulateTests(p, store_, buffers_);
    }
    if (lastStop_.stopped()) return infinity;
    interpolateAtMeasured(store_);
    const ErrorMeasures m = scoreTests(store_);
    const double value = settleError(p, m, options.penalties, diagnostics_);
    if (options.reports) writeReports(value, p);
    return value;
}

}  // namespace calvenor
