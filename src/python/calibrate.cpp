// calvenor._core.calibrate: the command line's calibration engine on an
// Evaluator, with the GIL released except in the progress function.
#include <pybind11/stl.h>

#include <atomic>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "calibration/algorithms.hpp"
#include "calibration/calibration.hpp"
#include "calibration/calibration_error.hpp"
#include "io/json.hpp"
#include "python/binding.hpp"
#include "report/reports.hpp"

namespace calvenor::python {

using namespace pybind11::literals;

namespace {

// What the progress function receives.
py::dict progressDict(const ProgressInfo& p) {
    return py::dict("phase"_a = p.phase, "generation"_a = p.generation, "evaluations"_a = p.evaluations,
                    "max_evaluations"_a = p.maxEvaluations, "best"_a = p.best, "seconds"_a = p.seconds,
                    "phase_end"_a = p.phaseEnd);
}

// One parameter as the Python layer passes it: the table index, then start,
// lower, upper and fixed (each None when not given).
using Choice = std::tuple<int, std::optional<double>, std::optional<double>, std::optional<double>,
                          std::optional<double>>;

ParameterSettings parameterSettings(const std::vector<Choice>& choices) {
    ParameterSettings settings = defaultParameterSettings();
    for (const auto& [index, start, lower, upper, fixed] : choices) {
        if (index < 0 || index >= parameterCount) throw py::value_error("parameters: no parameter " + std::to_string(index));
        auto& s = settings[static_cast<std::size_t>(index)];
        try {
            s = chooseParameterSetting(index, s, {start, lower, upper, fixed});
        } catch (const CalibrationError& e) {
            std::string key = "parameters['" + std::string(parameterNames[static_cast<std::size_t>(index)]) + "']";
            if (!e.setting().empty()) key += "['" + e.setting() + "']";
            throw py::value_error(key + ": " + e.what());
        }
    }
    return settings;
}

py::array_t<double> values(std::span<const double> v) {
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

py::dict outcomeDict(const CalibrationOutcome& r) {
    py::dict measures;
    for (int k = 0; k < quantityCount; ++k)
        measures[py::str(std::string(measureName[static_cast<std::size_t>(k)]))] = r.diagnostics.measure(Quantity(k));
    py::dict settings;
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterSetting& s = r.settings.parameters[static_cast<std::size_t>(i)];
        py::dict d("start"_a = s.start, "lower"_a = s.lower, "upper"_a = s.upper, "fixed"_a = s.fixed);
        if (!s.fixed) {
            const std::string hit = boundHit(s, parameterAt(r.best, i));
            d["at_bound"] = hit.empty() ? py::object(py::none()) : py::object(py::str(hit));
        }
        settings[py::str(std::string(parameterNames[static_cast<std::size_t>(i)]))] = d;
    }
    py::list phases;
    for (const PhaseSummary& p : r.run.phases) {
        phases.append(py::dict("algorithm"_a = p.algorithm, "population"_a = p.population,
                               "generations"_a = p.generations, "evaluations"_a = p.evaluations,
                               "stop"_a = p.stopReason));
    }
    py::list history;
    for (const HistoryPoint& h : r.run.history) {
        history.append(py::dict("phase"_a = h.phase, "generation"_a = h.generation, "evaluations"_a = h.evaluations,
                                "best"_a = h.best, "seconds"_a = h.seconds));
    }
    py::list tests;
    for (const TestSummary& t : r.tests) {
        tests.append(py::dict("file"_a = t.file, "type"_a = t.type, "rows"_a = t.rows, "p_initial"_a = t.pInitial,
                              "e_initial"_a = t.eInitial, "p_consol"_a = t.pConsol, "e_consol"_a = t.eConsol));
    }
    const HostParameters best = hostOrder(r.best);
    const HostDiagnostics diagnostics = r.diagnostics.hostOrder();
    return py::dict("parameters"_a = values(best), "error"_a = r.error, "best_during_search"_a = r.bestDuringSearch,
                    "measures"_a = measures, "diagnostics"_a = values(diagnostics), "evaluations"_a = r.evaluations,
                    "max_evaluations"_a = r.settings.maxEvaluations, "seconds"_a = r.run.seconds,
                    "threads"_a = r.threads, "seed"_a = r.settings.seed.value_or(0), "algorithm"_a = r.settings.algorithm,
                    "penalties"_a = r.settings.penalties, "polish"_a = r.settings.polish,
                    "interrupted"_a = r.run.interrupted, "look_ahead_misses"_a = r.run.lookAheadMisses,
                    "settings"_a = settings, "phases"_a = phases, "history"_a = history, "tests"_a = tests,
                    "reports"_a = r.reports, "json"_a = prettyJson(outcomeJson(r)));
}

py::dict calibrate(PyEvaluator& self, const std::vector<Choice>& choices, const std::string& algorithm,
                   std::optional<std::int64_t> generations, std::optional<std::int64_t> population,
                   std::int64_t maxEvaluations, std::optional<std::uint32_t> seed, unsigned threads, bool penalties,
                   bool polish, bool reports, py::object progress) {
    if (findAlgorithm(algorithm) == nullptr) throw py::value_error("algorithm: expected one of " + algorithmNameList());
    CalibrationSettings settings;
    settings.parameters = parameterSettings(choices);
    settings.algorithm = algorithm;
    settings.generations = generations;
    settings.population = population;
    settings.maxEvaluations = maxEvaluations;
    settings.seed = seed;
    settings.threads = threads;
    settings.penalties = penalties;
    settings.polish = polish;

    // A true return value of the progress function stops the search.
    ProgressBridge<ProgressInfo> bridge(std::move(progress), &progressDict, true);
    const ProgressFn report = [&bridge](const ProgressInfo& p) { bridge(p); };
    CalibrationOutcome r;
    std::vector<std::string> warnings;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        r = settingErrors(
            [&] { return calvenor::calibrate(self.evaluator, settings, reports, report, bridge.stopFlag()); });
        warnings = self.evaluator.warnings();
        r.dir = self.folder.string();
        if (reports) {
            const TestStore& store = self.evaluator.store();
            r.reports.push_back(hostPath(self.folder, errorReportName).string());
            r.reports.push_back(hostPath(self.folder, stateFileName).string());
            for (const auto& name : store.curveFile) r.reports.push_back(hostPath(self.folder, name).string());
        }
    }
    bridge.raiseFailure();
    warnReports(warnings);
    py::dict d = outcomeDict(r);
    d["keyboard_interrupt"] = bridge.keyboardInterrupt();
    d["stop_requested"] = bridge.stopRequested();
    return d;
}

}  // namespace

void bindCalibrate(py::module_& m) {
    m.def("calibrate", &calibrate, "evaluator"_a, "choices"_a, "algorithm"_a, "generations"_a, "population"_a,
          "max_evaluations"_a, "seed"_a, "threads"_a, "penalties"_a, "polish"_a, "reports"_a, "progress"_a,
          "The calibration behind calvenor.calibrate (which checks the arguments); returns the outcome as a dict.");
}

}  // namespace calvenor::python
