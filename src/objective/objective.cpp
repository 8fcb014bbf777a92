#include "objective/objective.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "model/single.hpp"
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

// First j with pMean[j] <= pc < pMean[j + 1] over the whole path; -1 if none.
int consolidationInterval(const std::vector<double>& pMean, double pc) {
    for (int j = 0; j + 1 < pathPoints; ++j) {
        if (pMean[j] <= pc && pc < pMean[j + 1]) return j;
    }
    return -1;
}

}  // namespace

int runDriver(const ModelParameters& parameters, const TestStore& store, PathBuffers& buffers,
              const TestSink& sink) {
    const ModelConstants model = modelConstants(parameters);
    const double zero = 0.0;  // b-value of every shear run, z blend of every compression run
    buffers.clear();
    for (int t = 0; t < store.nTests; ++t) {
        if (store.rowCount[t] < 1) return t;  // the load refuses such tests
        const double pc = store.measured(t, 0, pCol);
        const ShearSettings shear{zero, store.testType[t], store.strainRange[t], pathPoints};
        if (pc == store.pInitial[t]) {
            const StartState start{store.pInitial[t], store.eInitial[t]};
            integrateShearPath(model, start, shear, buffers.arrays());
            sink(t, store.pInitial[t], store.eInitial[t], buffers);
            continue;
        }
        integrateIsotropicCompression(model, {store.pInitial[t], store.eInitial[t]},
                                      {zero, store.strainRange[t], pathPoints}, buffers.arrays());
        const double pConsol = store.pConsol[t];
        const int j = consolidationInterval(buffers.pMean, pConsol);
        // A pressure of exactly -1 marks an unsuccessful search.
        if (j < 0 || pConsol == -1.0) return t;
        const auto& e = buffers.voidRatio;
        const auto& p = buffers.pMean;
        const double slope = (e[j + 1] - e[j]) / (p[j + 1] - p[j]);
        const double eConsol = e[j] + slope * (pc - p[j]);
        if (!(eConsol > 0.0)) return t;
        buffers.clear();
        integrateShearPath(model, {pConsol, eConsol}, shear, buffers.arrays());
        sink(t, pConsol, eConsol, buffers);
    }
    return store.nTests;
}

bool simulateTests(const ModelParameters& parameters, TestStore& store, PathBuffers& buffers) {
    const int completed = runDriver(
        parameters, store, buffers,
        [&store](int t, double pConsol, double eConsol, const PathBuffers& b) {
            store.pConsol[t] = pConsol;
            store.eConsol[t] = eConsol;
            const std::vector<double>* columns[columnCount] = {&b.epsAxial, &b.qDev, &b.pMean,
                                                              &b.epsVol, &b.poreU};
            for (int c = 0; c < columnCount; ++c) {
                std::copy(columns[c]->begin(), columns[c]->end(), store.simCurve.column(t, c).begin());
            }
        });
    return completed == store.nTests;
}

void interpolateTest(const TestStore& store, int t, const std::array<const double*, columnCount>& curve,
                     const std::function<void(int row, const std::array<double, columnCount>&)>& out) {
    const double* x = curve[strainCol];
    for (int r = 0; r < store.rowCount[t]; ++r) {
        const double eps = store.measured(t, r, strainCol);
        for (int l = 0; l + 1 < pathPoints; ++l) {
            if (x[l] <= eps && eps < x[l + 1]) {
                std::array<double, columnCount> v;
                v[strainCol] = eps;
                for (int c = 1; c < columnCount; ++c) {
                    const double* y = curve[c];
                    v[c] = y[l] + (y[l + 1] - y[l]) / (x[l + 1] - x[l]) * (eps - x[l]);
                }
                out(r, v);
                break;
            }
        }
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

ErrorMeasures scoreTests(const TestStore& store) {
    // Sums of squares and row counts of q, p, ev and u.
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    std::int32_t count[4] = {0, 0, 0, 0};
    enum { q, p, ev, u };
    for (int t = 0; t < store.nTests; ++t) {
        const std::int32_t type = store.testType[t];
        for (int r = 0; r < store.rowCount[t]; ++r) {
            auto misfit = [&](int c) { return store.simAtMeasured(t, r, c) - store.measured(t, r, c); };
            if (store.pScale[t] != 0.0 && (type == 4 || type == 5)) {
                sum[p] += square(misfit(pCol) / store.pScale[t]);
                ++count[p];
            }
            if (store.evScale[t] != 0.0 && (type == 2 || type == 3)) {
                sum[ev] += square(misfit(evCol) / store.evScale[t]);
                ++count[ev];
            }
            if (store.uScale[t] != 0.0 && type == 1) {
                sum[u] += square(misfit(uCol) / store.uScale[t]);
                ++count[u];
            }
            if (store.qScale[t] != 0.0 && (type == 1 || type == 2 || type == 3)) {
                sum[q] += square(misfit(qCol) / store.qScale[t]);
                ++count[q];
            }
        }
    }
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

double settleError(const ModelParameters& p, const ErrorMeasures& m, std::span<const double> switches,
                   Diagnostics& diagnostics) {
    const ConstraintValues c = computeConstraints(p);
    double value = m.ErrorObjALL;
    if (switches[0] != 0.0) {
        for (double factor : penaltyFactors(p, c)) value = value * factor;
    }
    diagnostics = {c.ps,           c.zMinusN,       c.kappaBound,   c.lambdaBound,
                   c.psUpperMargin, c.psLowerMargin, c.lambdaKappaRatio, m.ErrorObjqz,
                   m.ErrorObjpz,   m.ErrorObjev,    m.ErrorObju};
    return value;
}

Evaluator::Evaluator(std::filesystem::path hostFolder) : hostFolder_(std::move(hostFolder)) {}

void Evaluator::checkSwitches(std::span<const double> switches) const {
    if (switches.size() < 3) {
        throw std::invalid_argument("the switch vector holds " + std::to_string(switches.size()) +
                                    " values; 3 are needed (penalties, reports, reload)");
    }
}

void Evaluator::writeReports(double errorValue, const ModelParameters& p) {
    for (const auto& w : writeErrorReport(hostFolder_, errorValue, p, diagnostics_, store_)) {
        warnings_.push_back(w.message());
    }
    for (const auto& w : writeStateFile(hostFolder_, store_)) warnings_.push_back(w.message());
    for (const auto& w : writeCurveFiles(hostFolder_, store_)) warnings_.push_back(w.message());
}

double Evaluator::evaluateObjective(std::span<const double> parameters,
                                    std::span<const double> switches) {
    warnings_.clear();
    const ModelParameters p = readParameters(parameters);
    checkSwitches(switches);
    loadCheck(store_, hostFolder_, switches[2]);

    if (!simulateTests(p, store_, buffers_)) return infinity;
    interpolateAtMeasured(store_);
    const ErrorMeasures m = scoreTests(store_);
    const double value = settleError(p, m, switches, diagnostics_);
    if (switches[1] != 0.0) writeReports(value, p);
    return value;
}

}  // namespace calvenor
