#include "straightforward.hpp"

#include <limits>

namespace calvenor::bench {

void straightforwardInterpolate(TestStore& store) {
    for (int t = 0; t < store.nTests; ++t) {
        const auto x = store.simCurve.column(t, strainCol);
        for (int r = 0; r < store.rowCount[t]; ++r) {
            const double eps = store.measured(t, r, strainCol);
            for (int l = 0; l + 1 < pathPoints; ++l) {
                if (x[l] <= eps && eps < x[l + 1]) {
                    store.simAtMeasured(t, r, strainCol) = eps;
                    for (int c = 1; c < columnCount; ++c) {
                        const auto y = store.simCurve.column(t, c);
                        store.simAtMeasured(t, r, c) = y[l] + (y[l + 1] - y[l]) / (x[l + 1] - x[l]) * (eps - x[l]);
                    }
                    break;
                }
            }
        }
    }
}

double straightforwardEvaluate(TestStore& store, PathBuffers& buffers, const ModelParameters& p,
                               std::span<const double> switches, Diagnostics& diagnostics) {
    const ModelConstants model = modelConstants(p);
    buffers.clear();
    for (int t = 0; t < store.nTests; ++t) {
        const double pc = store.measured(t, 0, pCol);
        const ShearSettings shear{0.0, store.testType[t], store.strainRange[t], pathPoints};
        if (pc == store.pInitial[t]) {
            integrateShearPath(model, {store.pInitial[t], store.eInitial[t]}, shear, buffers.arrays());
            store.pConsol[t] = store.pInitial[t];
            store.eConsol[t] = store.eInitial[t];
        } else {
            integrateIsotropicCompression(model, {store.pInitial[t], store.eInitial[t]},
                                          {0.0, store.strainRange[t], pathPoints}, buffers.arrays());
            int j = -1;
            for (int k = 0; k + 1 < pathPoints; ++k) {
                if (buffers.pMean[k] <= store.pConsol[t] && store.pConsol[t] < buffers.pMean[k + 1]) {
                    j = k;
                    break;
                }
            }
            if (j < 0) return std::numeric_limits<double>::infinity();
            const auto& e = buffers.voidRatio;
            const auto& pm = buffers.pMean;
            const double ec = e[j] + (e[j + 1] - e[j]) / (pm[j + 1] - pm[j]) * (pc - pm[j]);
            if (!(ec > 0.0)) return std::numeric_limits<double>::infinity();
            store.eConsol[t] = ec;
            buffers.clear();
            integrateShearPath(model, {store.pConsol[t], ec}, shear, buffers.arrays());
        }
        const std::vector<double>* columns[columnCount] = {&buffers.epsAxial, &buffers.qDev, &buffers.pMean,
                                                          &buffers.epsVol, &buffers.poreU};
        for (int c = 0; c < columnCount; ++c) {
            std::copy(columns[c]->begin(), columns[c]->end(), store.simCurve.column(t, c).begin());
        }
    }
    straightforwardInterpolate(store);
    return settleError(p, scoreTests(store), switches[0] != 0.0, diagnostics);
}

}  // namespace calvenor::bench
