// The statistical model of the residuals for Python (the core's
// log-likelihood), the parts of a batch split across evaluators, and the
// calibration record that posterior and profile runs start from.
#include <pybind11/stl.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibration/calibration.hpp"
#include "calibration/calibration_error.hpp"
#include "calibration/uncertainty.hpp"
#include "io/files.hpp"
#include "python/binding.hpp"

namespace calvenor::python {

using namespace pybind11::literals;

NoiseModel noiseModel(py::handle noise) {
    NoiseModel model;
    if (noise.is_none()) return model;
    if (py::isinstance<py::str>(noise)) {
        try {
            return parseNoiseModel(noise.cast<std::string>());
        } catch (const CalibrationError& e) {
            throw py::value_error("noise: " + std::string(e.what()));
        }
    }
    if (py::hasattr(noise, "items")) {
        for (auto item : noise.attr("items")()) {
            const auto pair = item.cast<py::tuple>();
            const std::string name = py::str(pair[0]).cast<std::string>();
            const int k = quantityIndex(name);
            if (k < 0) throw py::value_error("noise: unknown quantity '" + name + "' (expected q, p, ev or u)");
            const double v = realNumber(pair[1], "noise['" + name + "']");
            if (!(v > 0.0) || !std::isfinite(v)) throw py::value_error("noise['" + name + "']: expected a standard deviation above 0");
            model.sigma[static_cast<std::size_t>(k)] = v;
        }
        return model;
    }
    const DoubleArray s = numbers(noise, "noise");
    if (s.ndim() != 1 || s.shape(0) != quantityCount) {
        throw py::value_error("noise: expected four standard deviations (q, p, ev, u; 0: unknown)");
    }
    for (int k = 0; k < quantityCount; ++k) {
        const double v = s.at(k);
        if (!(v >= 0.0) || !std::isfinite(v)) throw py::value_error("noise: expected values of 0 or above");
        model.sigma[static_cast<std::size_t>(k)] = v;
    }
    return model;
}

namespace {

std::vector<Quantity> quantityCodes(py::handle quantities) {
    std::vector<Quantity> out;
    for (py::handle q : quantities) {
        const std::string name = py::str(q).cast<std::string>();
        const int k = quantityIndex(name);
        if (k < 0) throw py::value_error("quantities: unknown quantity '" + name + "' (expected q, p, ev or u)");
        out.push_back(Quantity(k));
    }
    return out;
}

double logLikelihoodOf(const double* r, std::size_t n, const std::vector<Quantity>& quantities, const NoiseModel& noise) {
    return logLikelihood(residualSums(std::span<const double>(r, n), quantities), noise);
}

// log_likelihood(residuals, quantities, noise): one value for shape (n,), K for (K, n).
py::object logLikelihoodFunction(py::handle residuals, py::handle quantities, py::handle noise) {
    const DoubleArray r = numbers(residuals, "residuals");
    const std::vector<Quantity> q = quantityCodes(quantities);
    const NoiseModel model = noiseModel(noise);
    const auto n = static_cast<py::ssize_t>(q.size());
    if (r.ndim() == 1 && r.shape(0) == n) return py::float_(logLikelihoodOf(r.data(), q.size(), q, model));
    if (r.ndim() == 2 && r.shape(1) == n) {
        py::array_t<double> out(r.shape(0));
        for (py::ssize_t k = 0; k < r.shape(0); ++k) out.mutable_at(k) = logLikelihoodOf(r.data(k, 0), q.size(), q, model);
        return out;
    }
    throw py::value_error("residuals: expected shape (n,) or (K, n) with n = " + std::to_string(n) +
                          ", one value per quantity given");
}

// The log-likelihood of each residual vector (-inf for an evaluation that stopped).
py::array_t<double> logLikelihoods(const std::vector<std::vector<double>>& values, const std::vector<Quantity>& quantities,
                                   const NoiseModel& noise) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    for (std::size_t k = 0; k < values.size(); ++k) {
        out.mutable_at(static_cast<py::ssize_t>(k)) = residualLogLikelihood(values[k], quantities, noise);
    }
    return out;
}

py::array_t<double> logLikelihoodBatch(PyEvaluator& self, py::handle sets, py::handle noise) {
    const std::vector<ModelParameters> p = parameterSets(sets);
    const NoiseModel model = noiseModel(noise);
    std::vector<double> errors(p.size());
    std::vector<Diagnostics> diagnostics(p.size());
    std::vector<std::vector<double>> values;
    std::vector<Quantity> quantities;
    std::vector<std::string> warnings;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        self.evaluator.evaluateBatchResiduals(p, EvaluationOptions{}, errors, diagnostics, values, 0);
        quantities = residualQuantities(self.evaluator.store());
        warnings = self.evaluator.warnings();
    }
    warnReports(warnings);
    return logLikelihoods(values, quantities, model);
}

py::array array(const std::vector<unsigned char>& v) {
    py::array_t<bool> out(static_cast<py::ssize_t>(v.size()));
    for (std::size_t i = 0; i < v.size(); ++i) out.mutable_at(static_cast<py::ssize_t>(i)) = v[i] != 0;
    return out;
}

// One part of a batch split across evaluators: the part's sets as
// consecutive calls from `entering` (the carried values; None: those of
// freshly loaded tests), with the trace that joins the parts.
py::dict batchPart(PyEvaluator& self, py::handle sets, py::handle switches, py::handle entering, py::handle noise) {
    const std::vector<ModelParameters> p = parameterSets(sets);
    const EvaluationOptions options = evaluationOptions(switches, py::none(), py::none(), py::none());
    const bool likelihood = !noise.is_none();
    const NoiseModel model = noiseModel(noise);
    std::vector<double> state;
    const bool given = !entering.is_none();
    if (given) {
        const DoubleArray e = numbers(entering, "entering");
        state.assign(e.data(), e.data() + e.size());
    }
    std::vector<double> errors(p.size());
    std::vector<Diagnostics> diagnostics(p.size());
    std::vector<std::vector<double>> values;
    std::vector<Quantity> quantities;
    BatchTrace trace;
    std::vector<double> after;
    std::vector<std::string> warnings;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        self.evaluator.loadTests();
        if (!given) state.assign(self.evaluator.carriedState().size(), 0.0);
        self.evaluator.restoreCarriedState(state);
        self.evaluator.evaluateBatchTraced(p, options, errors, diagnostics, trace, likelihood ? &values : nullptr, 0);
        if (likelihood) quantities = residualQuantities(self.evaluator.store());
        after = self.evaluator.carriedState();
        warnings = self.evaluator.warnings();
    }
    warnReports(warnings);
    py::array_t<double> e(static_cast<py::ssize_t>(errors.size()));
    std::copy(errors.begin(), errors.end(), e.mutable_data());
    py::array_t<double> a(static_cast<py::ssize_t>(after.size()));
    std::copy(after.begin(), after.end(), a.mutable_data());
    return py::dict("errors"_a = e, "diagnostics"_a = hostDiagnostics(diagnostics), "completed"_a = array(trace.completed),
                    "read"_a = array(trace.read), "replaced"_a = array(trace.replaced), "values"_a = a,
                    "log_likelihood"_a = likelihood ? py::object(logLikelihoods(values, quantities, model))
                                                    : py::object(py::none()));
}

py::array admissibleSets(py::handle sets) {
    const std::vector<ModelParameters> p = parameterSets(sets);
    std::vector<unsigned char> ok(p.size());
    for (std::size_t k = 0; k < p.size(); ++k) ok[k] = admissible(p[k]) ? 1 : 0;
    return array(ok);
}

py::dict calibrationRecord(const std::string& path) {
    CalibrationRecord r;
    try {
        r = readCalibrationRecord(readFile(path), path);
    } catch (const FileError& e) {
        throw py::value_error(e.what());
    } catch (const CalibrationError& e) {
        throw py::value_error(e.what());
    }
    py::list parameters, settings, tests;
    for (int i = 0; i < parameterCount; ++i) {
        parameters.append(parameterAt(r.parameters, i));
        const ParameterSetting& s = r.settings[static_cast<std::size_t>(i)];
        settings.append(py::make_tuple(s.start, s.lower, s.upper, s.fixed));
    }
    for (const TestSummary& t : r.tests) tests.append(py::make_tuple(t.file, t.type, t.rows));
    return py::dict("parameters"_a = parameters, "settings"_a = settings, "penalties"_a = r.penalties,
                    "error"_a = r.error, "dir"_a = r.dir, "noise"_a = py::make_tuple(r.noise.sigma[0], r.noise.sigma[1],
                                                                                 r.noise.sigma[2], r.noise.sigma[3]),
                    "tests"_a = tests);
}

}  // namespace

void bindUncertainty(py::module_& m) {
    m.def(
        "noise_tuple",
        [](py::handle noise) {
            const NoiseModel n = noiseModel(noise);
            return py::make_tuple(n.sigma[0], n.sigma[1], n.sigma[2], n.sigma[3]);
        },
        "noise"_a, "Known noise as the four standard deviations (q, p, ev, u; 0: unknown).");
    m.def("log_likelihood", &logLikelihoodFunction, "residuals"_a, "quantities"_a, "noise"_a = py::none(),
          "The core's log-likelihood of residual vectors (see calvenor.log_likelihood).");
    m.def("batch_part", &batchPart, "evaluator"_a, "sets"_a, "switches"_a, "entering"_a, "noise"_a,
          "One part of a batch split across evaluators, with its trace (see calvenor.dask).");
    m.def("admissible", &admissibleSets, "sets"_a,
          "For each set, whether no penalty factor of the error value penalises it.");
    m.def("read_calibration", &calibrationRecord, "path"_a,
          "What a posterior or profile run reads from calibration.json: parameters, settings (start, lower, "
          "upper, fixed per parameter), penalties, error, dir, noise (q, p, ev, u; 0: unknown), tests.");
    auto evaluator = py::reinterpret_borrow<py::class_<PyEvaluator>>(m.attr("Evaluator"));
    evaluator.def("log_likelihood_batch", &logLikelihoodBatch, "sets"_a, "noise"_a = py::none(),
                  R"(The log-likelihood of each parameter set: K consecutive evaluations as one parallel batch.

``sets``: shape (K, 9). The residuals of each evaluation (no penalties, no
reports, no reload; as ``evaluate_batch(sets, residuals=True)``) under the
model of docs/uncertainty.md: independent Gaussian, one standard deviation per
scored quantity, known where ``noise`` gives it (q, p, ev, u, in the
residuals' units; 0 or None: unknown, concentrated out at its
maximum-likelihood value). Returns shape (K,); ``-inf`` for a set whose
evaluation stopped. The same function as ``calvenor profile`` uses.)");
}

}  // namespace calvenor::python
