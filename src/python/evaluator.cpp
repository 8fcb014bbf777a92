// calvenor.Evaluator: host-style and in-memory evaluators, single calls,
// batches and residuals, with the GIL released while the core works.
#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "io/text.hpp"
#include "model/lanes.hpp"
#include "python/binding.hpp"
#include "calibration/uncertainty.hpp"
#include "report/plot.hpp"

namespace calvenor::python {

using namespace pybind11::literals;

py::array_t<double> hostDiagnostics(std::span<const Diagnostics> diagnostics) {
    py::array_t<double> out({static_cast<py::ssize_t>(diagnostics.size()), static_cast<py::ssize_t>(diagnosticsCount)});
    auto o = out.mutable_unchecked<2>();
    for (std::size_t k = 0; k < diagnostics.size(); ++k) {
        const HostDiagnostics d = diagnostics[k].hostOrder();
        for (int j = 0; j < diagnosticsCount; ++j) o(static_cast<py::ssize_t>(k), j) = d[static_cast<std::size_t>(j)];
    }
    return out;
}

namespace {

namespace fs = std::filesystem;

// K residual vectors as an array of shape (K, count); a vector that is not of
// `count` values (an evaluation that stopped) is a row of NaN.
py::array_t<double> residualMatrix(const std::vector<std::vector<double>>& values, std::size_t count) {
    py::array_t<double> out({static_cast<py::ssize_t>(values.size()), static_cast<py::ssize_t>(count)});
    double* o = out.mutable_data();
    for (const std::vector<double>& v : values) {
        if (v.size() == count) std::copy(v.begin(), v.end(), o);
        else std::fill(o, o + count, std::numeric_limits<double>::quiet_NaN());
        o += count;
    }
    return out;
}

// The normalised residuals of one evaluation, as parallel arrays.
struct Residuals {
    py::array test;      // int32, test index from 0 (list order)
    py::array row;       // int32, data row from 0
    py::array quantity;  // str: "q", "p", "ev" or "u"
    py::array value;     // float64: (simulated - measured) / the test's scale
    double error = 0.0;  // the evaluation's error value (no penalties)
};

fs::path folderPath(py::handle value, const char* what) {
    if (value.is_none()) return {};
    py::object text;
    try {
        text = py::module_::import("os").attr("fspath")(value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        throw py::type_error(std::string(what) + ": expected a str or path-like object");
    }
    if (py::isinstance<py::bytes>(text)) return fs::path(text.cast<std::string>());
    const std::string s = text.cast<std::string>();
    if (s.find('\0') != std::string::npos) throw py::value_error(std::string(what) + ": holds a NUL character");
    return fs::path(s);
}

// The lane kernels this processor runs, by name; "scalar" for the scalar paths.
std::vector<std::pair<std::string, const LaneKernel*>> kernelChoices() {
    std::vector<std::pair<std::string, const LaneKernel*>> k{{"scalar", nullptr}, {"generic", &genericKernel()}};
    if (&portableKernel() != &genericKernel()) k.emplace_back(portableKernel().name, &portableKernel());
    if (avx2Kernel() != nullptr) k.emplace_back(avx2Kernel()->name, avx2Kernel());
    return k;
}

const LaneKernel* kernelNamed(py::handle value) {
    if (!py::isinstance<py::str>(value)) throw py::type_error("kernel: expected a str");
    const std::string name = value.cast<std::string>();
    std::string known;
    for (const auto& [n, kernel] : kernelChoices()) {
        if (n == name) return kernel;
        known += (known.empty() ? "" : ", ") + n;
    }
    std::string shown;
    for (const char c : name.substr(0, 40)) appendPrintable(shown, c);
    throw py::value_error("kernel: '" + shown + "' is not one of the kernels here (" + known + ")");
}

unsigned threadCount(py::handle value) { return static_cast<unsigned>(wholeNumber(value, "threads", 0, 1024)); }

void setThreads(PyEvaluator& e, unsigned threads) {
    e.requestedThreads = threads;
    e.evaluator.setThreads(threads);
}

std::unique_ptr<PyEvaluator> onFolder(const fs::path& folder, unsigned threads) {
    auto e = std::make_unique<PyEvaluator>(folder);
    setThreads(*e, threads);
    return e;
}

std::unique_ptr<PyEvaluator> onTests(std::vector<LabTest> tests, const fs::path& reportFolder, unsigned threads) {
    auto e = std::make_unique<PyEvaluator>(std::move(tests), reportFolder);
    setThreads(*e, threads);
    return e;
}

std::vector<LabTest> labTests(py::handle tests) {
    if (py::isinstance<py::str>(tests) || !py::isinstance<py::iterable>(tests)) {
        throw py::type_error("tests: expected a list of calvenor.LabTest");
    }
    std::vector<LabTest> out;
    std::size_t k = 0;
    for (py::handle t : tests) out.push_back(labTest(t, "tests[" + std::to_string(k++) + "]"));
    if (out.empty()) throw py::value_error("tests: expected at least one test");
    return out;
}

py::tuple evaluate(PyEvaluator& self, py::handle parameters, py::handle switches, py::handle penalties,
                   py::handle reports, py::handle reload) {
    const ModelParameters p = parameterSet(parameters);
    const EvaluationOptions options = evaluationOptions(switches, penalties, reports, reload);
    double error = 0.0;
    Diagnostics diagnostics;
    std::vector<std::string> warnings;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        error = self.evaluator.evaluate(p, options);
        diagnostics = self.evaluator.diagnostics();
        warnings = self.evaluator.warnings();
    }
    warnReports(warnings);
    py::array_t<double> d = hostDiagnostics(std::span<const Diagnostics>(&diagnostics, 1));
    return py::make_tuple(error, d.attr("reshape")(diagnosticsCount));
}

py::tuple evaluateBatch(PyEvaluator& self, py::handle sets, py::handle switches, py::handle penalties,
                        py::handle reports, py::handle reload, bool withResiduals) {
    const std::vector<ModelParameters> p = parameterSets(sets);
    const EvaluationOptions options = evaluationOptions(switches, penalties, reports, reload);
    py::array_t<double> errors(static_cast<py::ssize_t>(p.size()));
    std::vector<Diagnostics> diagnostics(p.size());
    std::vector<std::vector<double>> values;
    std::size_t count = 0;
    std::vector<std::string> warnings;
    {
        // The output array is ours alone until we return it.
        const std::span<double> out(errors.mutable_data(), p.size());
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        if (withResiduals) {
            self.evaluator.evaluateBatchResiduals(p, options, out, diagnostics, values, 0);
            count = residualQuantities(self.evaluator.store()).size();
        } else {
            self.evaluator.evaluateBatch(p, options, out, diagnostics, 0);
        }
        warnings = self.evaluator.warnings();
    }
    warnReports(warnings);
    if (!withResiduals) return py::make_tuple(errors, hostDiagnostics(diagnostics));
    return py::make_tuple(errors, hostDiagnostics(diagnostics), residualMatrix(values, count));
}

const char* stopText(StopReason reason) {
    switch (reason) {
    case StopReason::pressureNotReached: return "pressure not reached";
    case StopReason::voidRatioNotPositive: return "void ratio not positive";
    case StopReason::none: break;
    }
    return "none";
}

const char* stopExplanation(StopReason reason) {
    switch (reason) {
    case StopReason::pressureNotReached:
        return "its compression run never reached the first measured pressure";
    case StopReason::voidRatioNotPositive:
        return "its void ratio at the first measured pressure is not above 0";
    case StopReason::none: break;
    }
    return "";
}

Residuals residuals(PyEvaluator& self, py::handle parameters) {
    const ModelParameters p = parameterSet(parameters);
    std::vector<Residual> values;
    EvaluationStop stop;
    std::string stoppedAt;
    double error = 0.0;
    std::vector<std::string> warnings;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        error = self.evaluator.evaluate(p, EvaluationOptions{false, false, false});
        stop = self.evaluator.lastStop();
        if (stop.stopped()) {
            stoppedAt = displayName({}, self.evaluator.store().testFile[static_cast<std::size_t>(stop.test)]);
        } else {
            values = self.evaluator.residuals();
        }
        warnings = self.evaluator.warnings();
    }
    warnReports(warnings);
    if (stop.stopped()) {
        const std::string message = "the evaluation stopped at test index " + std::to_string(stop.test) + " (" +
                                    stoppedAt + "): " + stopExplanation(stop.reason) +
                                    "; the error value is inf and there are no residuals";
        const py::object e = errorType("EvaluationStopped")(message, stop.test, stoppedAt, stopText(stop.reason));
        PyErr_SetObject(errorType("EvaluationStopped").ptr(), e.ptr());
        throw py::error_already_set();
    }
    const auto n = static_cast<py::ssize_t>(values.size());
    py::array_t<std::int32_t> test(n), row(n);
    py::array_t<double> value(n);
    py::list names;
    auto t = test.mutable_unchecked<1>();
    auto r = row.mutable_unchecked<1>();
    auto v = value.mutable_unchecked<1>();
    std::array<py::str, quantityCount> quantityNames;
    for (int q = 0; q < quantityCount; ++q) quantityNames[static_cast<std::size_t>(q)] = py::str(std::string(quantityName[static_cast<std::size_t>(q)]));
    for (py::ssize_t k = 0; k < n; ++k) {
        const Residual& x = values[static_cast<std::size_t>(k)];
        t(k) = x.test;
        r(k) = x.row;
        v(k) = x.value;
        names.append(quantityNames[static_cast<std::size_t>(x.quantity)]);
    }
    const py::array quantity = py::module_::import("numpy").attr("array")(names, "dtype"_a = "U2");
    return Residuals{test, row, quantity, value, error};
}

py::array_t<double> rowsArray(const std::vector<std::array<double, columnCount>>& rows) {
    py::array_t<double> out({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(columnCount)});
    auto o = out.mutable_unchecked<2>();
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (int c = 0; c < columnCount; ++c) o(static_cast<py::ssize_t>(r), c) = rows[r][static_cast<std::size_t>(c)];
    return out;
}

py::list curves(PyEvaluator& self, py::handle parameters) {
    const ModelParameters p = parameterSet(parameters);
    std::vector<PlotTest> tests;
    std::vector<std::string> warnings;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        // A host-style evaluator loads its tests on its first call.
        if (self.evaluator.store().nTests == 0) {
            self.evaluator.evaluate(p, EvaluationOptions{});
            warnings = self.evaluator.warnings();
        }
        tests = plotTests(self.evaluator.store(), p);
    }
    warnReports(warnings);
    py::list out;
    for (const PlotTest& t : tests) {
        py::list scored;
        for (int c : scoredColumns(t.type)) {
            for (int q = 0; q < quantityCount; ++q)
                if (quantityColumn[static_cast<std::size_t>(q)] == c) scored.append(std::string(quantityName[static_cast<std::size_t>(q)]));
        }
        out.append(py::dict("name"_a = t.name, "type"_a = t.type, "scored"_a = py::tuple(scored),
                            "measured"_a = rowsArray(t.measured), "simulated"_a = rowsArray(t.simulated)));
    }
    return out;
}

py::tuple state(PyEvaluator& self) {
    py::object tests = py::none();
    if (self.tests) {
        py::list list;
        for (const LabTest& t : *self.tests) list.append(labTestTuple(t));
        tests = list;
    }
    return py::make_tuple(1, self.folder.string(), self.requestedThreads, tests);
}

std::unique_ptr<PyEvaluator> fromState(const py::tuple& s) {
    if (s.size() != 4 || s[0].cast<int>() != 1) throw std::runtime_error("not the state of a calvenor.Evaluator");
    const fs::path folder(s[1].cast<std::string>());
    const auto threads = s[2].cast<unsigned>();
    if (s[3].is_none()) return onFolder(folder, threads);
    std::vector<LabTest> tests;
    for (py::handle t : s[3]) {
        const py::tuple x = py::reinterpret_borrow<py::tuple>(t);
        LabTest test{x[0].cast<std::string>(), x[1].cast<std::int32_t>(), x[2].cast<double>(), x[3].cast<double>(), {}};
        const DoubleArray rows = numbers(x[4], "rows");
        test.rows.resize(static_cast<std::size_t>(rows.shape(0)));
        for (std::size_t r = 0; r < test.rows.size(); ++r)
            for (int c = 0; c < columnCount; ++c) test.rows[r][c] = rows.at(static_cast<py::ssize_t>(r), c);
        tests.push_back(std::move(test));
    }
    return onTests(std::move(tests), folder, threads);
}

}  // namespace

void bindEvaluator(py::module_& m) {
    py::list kernels;
    for (const auto& choice : kernelChoices()) kernels.append(choice.first);
    m.attr("KERNELS") = py::tuple(kernels);
    py::class_<Residuals>(m, "Residuals", R"(The normalised residuals one evaluation's error measures are made of.

Four arrays of one entry per residual, in the order the scoring adds them up
(test by test, row by row, and within a row p, ev, u, then q):

- ``test``: int32, the test's index in the list (from 0);
- ``row``: int32, the data row of that test (from 0);
- ``quantity``: str, ``"q"``, ``"p"``, ``"ev"`` or ``"u"``;
- ``value``: float64, (simulated - measured) / the test's scale for that quantity.

A quantity's measure is 100 * sqrt(sum of its squared values / count) over
the entries of that quantity, so a Gaussian log-likelihood is
``-0.5 * sum((value / sigma) ** 2)``. ``error`` is the evaluation's error
value without penalties. Only quantities a test's type scores and whose
scale is not 0 appear; rows whose strain the simulated curve does not reach
keep the value of the last evaluation that reached them, as in the measures.)")
        .def_readonly("test", &Residuals::test, "Test index (int32, from 0, list order).")
        .def_readonly("row", &Residuals::row, "Data row within the test (int32, from 0).")
        .def_readonly("quantity", &Residuals::quantity, "Quantity name: \"q\", \"p\", \"ev\" or \"u\".")
        .def_readonly("value", &Residuals::value, "Normalised residual (float64).")
        .def_readonly("error", &Residuals::error, "Error value of the evaluation (no penalties).")
        .def("__len__", [](const Residuals& r) { return r.value.size(); })
        .def("__repr__", [](const Residuals& r) {
            return "<calvenor.Residuals: " + std::to_string(r.value.size()) + " values, error " +
                   std::string(py::repr(py::float_(r.error))) + ">";
        });

    py::class_<PyEvaluator>(m, "Evaluator", R"(The objective function: module state of one host session.

``Evaluator(folder=".", threads=0)`` behaves as the host module does with
``folder`` as the host's current folder: the tests listed in
``folder/vornevResult/evReadInList.txt`` are loaded on the first call, the
full list ``evReadInListZong.txt`` on a call with the reload switch, and they
stay loaded between calls (the simulated values a call leaves are part of the
state the next call sees). A load that fails raises :class:`calvenor.LoadError`
and the next call loads again.

``threads`` is the number of threads an evaluation or a batch runs on
(0: the ``CALVENOR_THREADS`` environment variable, else every core); results
do not depend on it.

One evaluator serves one call at a time: calls from several Python threads on
the same evaluator wait for each other; separate evaluators run in parallel
(the GIL is released while the core works). A pickled evaluator is unpickled
as a fresh one on the same folder (or tests), as if just made.)")
        .def(py::init([](py::handle folder, py::handle threads) {
                 return onFolder(folderPath(folder, "folder"), threadCount(threads));
             }),
             "folder"_a = ".", "threads"_a = 0)
        .def_static(
            "from_tests",
            [](py::handle tests, py::handle threads, py::handle reportFolder) {
                return onTests(labTests(tests), folderPath(reportFolder, "report_folder"), threadCount(threads));
            },
            "tests"_a, "threads"_a = 0, "report_folder"_a = py::none(),
            R"(An evaluator on tests in memory: a list of :class:`calvenor.LabTest`.

No files are read and there is no load rule: a call with the reload switch
returns the tests to their freshly loaded state. Reports, when a call asks for
them, are written under ``report_folder`` (default: the current folder) as
under a host folder. The same tests as on disk give the same numbers as
``Evaluator(folder)``.)")
        .def("evaluate", &evaluate, "parameters"_a, "switches"_a = py::make_tuple(0, 0, 0), py::kw_only(),
             "penalties"_a = py::none(), "reports"_a = py::none(), "reload"_a = py::none(),
             R"(One host call: returns ``(error, diagnostics)``.

``parameters``: the nine parameters in the host's order (see
``calvenor.PARAMETER_NAMES``), any array-like of shape (9,).
``switches``: at least three values: penalties, reports, reload; nonzero or
NaN means on. ``penalties``, ``reports`` and ``reload``, when given, override
the corresponding switch.

``error`` is a float (``inf`` when a test cannot be consolidated to its first
measured pressure); ``diagnostics`` an array of shape (11,) in the host's order
(``calvenor.DIAGNOSTIC_NAMES``): after a call whose error is ``inf`` it holds
those of the last completed call, as the host returns them. Reports that
cannot be written are issued as :class:`calvenor.ReportWarning`.)")
        .def("evaluate_batch", &evaluateBatch, "sets"_a, "switches"_a = py::make_tuple(0, 0, 0), py::kw_only(),
             "penalties"_a = py::none(), "reports"_a = py::none(), "reload"_a = py::none(), "residuals"_a = false,
             R"(K consecutive host calls with the same switches, run in parallel.

``sets``: an array-like of shape (K, 9), one parameter set per row. Returns
``(errors, diagnostics)`` of shapes (K,) and (K, 11): exactly what K calls of
:meth:`evaluate` one after another would return, and the evaluator is left as
after the last of them. With ``residuals=True`` also each set's normalised
residuals, shape (K, n), in the order and with the values of
:meth:`residuals` (``residual_quantities`` names their quantities); the row
of a set whose evaluation stopped (error ``inf``) is NaN. The GIL is released while the batch runs, so
vectorised optimisers such as ``scipy.optimize.differential_evolution(...,
vectorized=True)`` (which pass the sets as columns: use ``x.T``) get the
core's full parallel throughput.)")
        .def("residuals", &residuals, "parameters"_a,
             R"(The normalised residuals of one evaluation of ``parameters``.

Evaluates ``parameters`` (no penalties, no reports, no reload) and returns a
:class:`calvenor.Residuals` record. When that evaluation stops (its error value
is ``inf``: a test cannot be consolidated to its first measured pressure) there
are no residuals for it and :class:`calvenor.EvaluationStopped` is raised,
naming the test; a likelihood should treat that as probability 0.)")
        .def("curves", &curves, "parameters"_a,
             R"(Measured rows and dense simulated curves of every test, for plotting a fit.

Returns a list with one dict per loaded test: ``name`` (for legends),
``type``, ``scored`` (the quantity names its type is scored on),
``measured`` (its rows, shape (n, 5): strain, q, p, ev, u) and ``simulated``
(the model's curve for ``parameters`` up to the largest measured strain, the
same columns, from the driver the objective runs; empty when the simulation
stopped before that test). The evaluator's state is not changed, except that
a host-style evaluator that has not been called yet loads its tests with one
evaluation first. These are the curves of ``calvenor calibrate``'s plot.)")
        .def_property(
            "threads",
            [](PyEvaluator& self) {
                EvaluatorLock lock(self);
                return self.evaluator.threads();
            },
            [](PyEvaluator& self, py::handle threads) {
                const unsigned n = threadCount(threads);
                EvaluatorLock lock(self);
                setThreads(self, n);
            },
            "Threads of an evaluation or batch (setting 0 restores the default).")
        .def_property(
            "kernel",
            [](PyEvaluator& self) {
                EvaluatorLock lock(self);
                const LaneKernel* kernel = self.evaluator.kernel();
                return std::string(kernel == nullptr ? "scalar" : kernel->name);
            },
            [](PyEvaluator& self, py::handle name) {
                const LaneKernel* kernel = kernelNamed(name);
                EvaluatorLock lock(self);
                self.evaluator.setKernel(kernel);
            },
            R"(The lane kernel that steps tests and parameter sets together: one of
``calvenor.KERNELS`` ("scalar": the scalar paths). The default is chosen at
run time (AVX2 where the processor has it; the CALVENOR_KERNEL environment
variable may name another). Every kernel gives the same results to the bit;
a pickled evaluator comes back with the default.)")
        .def_property_readonly(
            "folder", [](PyEvaluator& self) { return self.folder.string(); },
            "The host folder (for an evaluator on tests in memory: the report folder, \"\" for the current one).")
        .def_property_readonly(
            "in_memory", [](PyEvaluator& self) { return self.tests.has_value(); },
            "True for an evaluator made by from_tests.")
        .def_property_readonly(
            "residual_quantities",
            [](PyEvaluator& self) {
                std::vector<Quantity> quantities;
                std::vector<std::string> warnings;
                {
                    EvaluatorLock lock(self);
                    py::gil_scoped_release release;
                    // A host-style evaluator loads its tests first, as its first call would.
                    if (self.evaluator.hostStyle() && self.evaluator.loadFlags().firstLoadPending) {
                        self.evaluator.loadTests();
                        warnings = self.evaluator.warnings();
                    }
                    quantities = residualQuantities(self.evaluator.store());
                }
                warnReports(warnings);
                py::list names;
                for (Quantity q : quantities) names.append(std::string(quantityName[static_cast<std::size_t>(q)]));
                return py::module_::import("numpy").attr("array")(names, "dtype"_a = "U2");
            },
            "The quantity (\"q\", \"p\", \"ev\" or \"u\") of each residual, in the order of residuals() and "
            "evaluate_batch(..., residuals=True); it depends on the tests alone.")
        .def_property_readonly(
            "test_names",
            [](PyEvaluator& self) {
                EvaluatorLock lock(self);
                return self.evaluator.store().testFile;
            },
            "Names of the loaded tests in list order, as the list writes them (empty before the first load).")
        .def_property_readonly(
            "warnings",
            [](PyEvaluator& self) {
                EvaluatorLock lock(self);
                return self.evaluator.warnings();
            },
            "Report failures of the last call (they were also issued as ReportWarning).")
        .def_property_readonly(
            "last_stop",
            [](PyEvaluator& self) -> py::object {
                EvaluatorLock lock(self);
                const EvaluationStop& s = self.evaluator.lastStop();
                if (!s.stopped()) return py::none();
                return py::make_tuple(s.test, stopText(s.reason));
            },
            "Where the last single evaluation stopped, as (test index, reason), or None when it completed.")
        .def("__repr__",
             [](PyEvaluator& self) {
                 const std::string threads = std::to_string(self.requestedThreads);
                 if (self.tests) {
                     return "calvenor.Evaluator.from_tests(<" + std::to_string(self.tests->size()) +
                            " tests>, threads=" + threads + ")";
                 }
                 return "calvenor.Evaluator(" + std::string(py::repr(py::str(self.folder.string()))) +
                        ", threads=" + threads + ")";
             })
        .def(py::pickle([](PyEvaluator& self) { return state(self); },
                        [](const py::tuple& s) { return fromState(s); }));
}

}  // namespace calvenor::python
