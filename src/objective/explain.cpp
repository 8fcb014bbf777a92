#include "objective/explain.hpp"

#include <cmath>

#include "io/numbers.hpp"

namespace calvenor {

namespace {

std::string testName(const TestStore& store, int t) {
    return "test " + std::to_string(t + 1) + " of the list (" + displayName({}, store.testFile[t]) + ", type " +
           std::to_string(store.testType[t]) + ")";
}

// What in the test's own values keeps its consolidation from working, if
// anything is plainly wrong with them.
std::string listStateHint(double pInitial, double eInitial) {
    if (!(pInitial > 0.0)) return "the list pressure is not above 0";
    if (!(eInitial > 0.0)) return "the list void ratio is not above 0";
    return "";
}

}  // namespace

std::string stopExplanation(const TestStore& store, const EvaluationStop& stop) {
    if (!stop.stopped() || stop.test >= store.nTests) return "";
    const int t = stop.test;
    const double p0 = store.pInitial[t], e0 = store.eInitial[t];
    const double pc = store.rowCount[t] > 0 ? store.measured(t, 0, pCol) : std::nan("");
    std::string m = testName(store, t) + " stopped the evaluation: ";
    const std::string from = "from the list pressure " + shortest(p0) + " kPa (void ratio " + shortest(e0) + ")";
    std::string hint = listStateHint(p0, e0);
    if (stop.reason == StopReason::voidRatioNotPositive) {
        m += "compressed " + from + " to its first measured pressure " + shortest(pc) +
             " kPa, the void ratio is not above 0";
        if (hint.empty()) hint = "with these parameters the normal compression line lies below e = 0 there";
    } else {
        m += "the compression run " + from + " never reached the test's first measured pressure " + shortest(pc) +
             " kPa";
        if (hint.empty() && std::isnan(pc)) hint = "the first row's p is not a number";
        if (hint.empty() && pc < p0) hint = "it is below the list pressure, and the compression run only loads";
        if (hint.empty()) {
            hint = "with these parameters the run, over axial strains up to the test's strain range " +
                   shortest(store.strainRange[t]) + ", ends below it";
        }
    }
    return m + " (" + hint + ")";
}

std::string nonFiniteExplanation(const Evaluator& evaluator, double error) {
    if (std::isfinite(error)) return "";
    const TestStore& store = evaluator.store();
    if (evaluator.lastStop().stopped()) return stopExplanation(store, evaluator.lastStop());
    for (const Residual& r : evaluator.residuals()) {
        if (std::isfinite(r.value)) continue;
        const int column = quantityColumn[static_cast<std::size_t>(r.quantity)];
        const double measured = store.measured(r.test, r.row, column);
        const double simulated = store.simAtMeasured(r.test, r.row, column);
        const std::string q(quantityName[static_cast<std::size_t>(r.quantity)]);
        std::string m = "the " + q + " of row " + std::to_string(r.row + 1) + " of " + testName(store, r.test) +
                        " cannot be compared: ";
        if (!std::isfinite(measured)) return m + "the measured value is " + shortest(measured);
        return m + "the simulated value is " + shortest(simulated);
    }
    const Diagnostics& d = evaluator.diagnostics();
    return "the measures are q " + shortest(d.ErrorObjqz) + ", p " + shortest(d.ErrorObjpz) + ", ev " +
           shortest(d.ErrorObjev) + ", u " + shortest(d.ErrorObju);
}

}  // namespace calvenor
