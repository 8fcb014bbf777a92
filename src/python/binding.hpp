// The Python module calvenor._core: what its parts share. Conversions from
// Python values raise TypeError (not numbers) or ValueError (wrong shape or
// range) naming the argument; every C++ exception is turned into a Python
// one at the boundary.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "calibration/calibration_error.hpp"
#include "calibration/uncertainty.hpp"
#include "objective/objective.hpp"
#include "testdata/test_store.hpp"

namespace calvenor::python {

namespace py = pybind11;

// C-ordered doubles, converted from any numeric dtype and memory order.
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// `value` (any array-like of booleans, integers or floats) as doubles.
// Raises TypeError naming `what` for anything else (strings, objects,
// complex numbers).
DoubleArray numbers(py::handle value, const std::string& what);

// Nine parameters in the host's order: a 1-D array-like of exactly nine.
ModelParameters parameterSet(py::handle value, const std::string& what = "parameters");

// K parameter sets: an array-like of shape (K, 9).
std::vector<ModelParameters> parameterSets(py::handle value, const std::string& what = "sets");

// The options of a host call: the switch vector (at least 3 values; nonzero
// or NaN is on), each overridden by its keyword when that is not None.
EvaluationOptions evaluationOptions(py::handle switches, py::handle penalties, py::handle reports,
                                    py::handle reload);

// A whole number in [low, high]; bool and float are refused (TypeError).
std::int64_t wholeNumber(py::handle value, const std::string& what, std::int64_t low, std::int64_t high);

// A real number (float, int or anything with __float__; not str).
double realNumber(py::handle value, const std::string& what);

// One test from an object with the attributes of calvenor.LabTest.
LabTest labTest(py::handle test, const std::string& what);
// A test as the tuple (name, type, p_initial, e_initial, rows).
py::tuple labTestTuple(const LabTest& test);

// A type of calvenor._errors (LoadError, EvaluationStopped, ReportWarning, ...).
py::object errorType(const char* name);

// Known standard deviations per quantity: None (all unknown), "q=0.01,ev=0.02",
// a dict quantity -> value, or four values (q, p, ev, u; 0: unknown).
NoiseModel noiseModel(py::handle noise);

// The diagnostics of K evaluations in the host's order, shape (K, 11).
py::array_t<double> hostDiagnostics(std::span<const Diagnostics> diagnostics);

// Issues the evaluator's report failures as calvenor.ReportWarning.
void warnReports(const std::vector<std::string>& warnings);

// Runs f(); a CalibrationError naming a setting (one the engine cannot work
// with) becomes a ValueError naming the keyword that sets it.
template <class F>
auto settingErrors(F&& f) {
    try {
        return f();
    } catch (const CalibrationError& e) {
        if (e.setting().empty()) throw;
        throw std::invalid_argument(e.setting() + ": " + e.what());
    }
}

// The progress function of a calibration or a profile. Each report takes the
// GIL, lets Python run its signal handlers (so Ctrl-C is seen) and calls the
// user's function with the report as `describe` makes it. It never throws into
// the work: a KeyboardInterrupt, an exception of the user's function or (where
// `answerStops`) a true return value sets the stop flag, and the work ends
// cleanly at its next step with what it has.
template <class Progress>
class ProgressBridge {
public:
    using Describe = py::dict (*)(const Progress&);

    ProgressBridge(py::object callback, Describe describe, bool answerStops)
        : callback_(std::move(callback)), describe_(describe), answerStops_(answerStops) {}

    const std::atomic<bool>* stopFlag() const { return &stop_; }
    bool keyboardInterrupt() const { return interrupt_.has_value(); }
    bool stopRequested() const { return stopRequested_; }

    // Raises what the user's function raised (other than KeyboardInterrupt).
    void raiseFailure() { raise(failure_); }
    // Raises the KeyboardInterrupt that stopped the work, if one did.
    void raiseInterrupt() { raise(interrupt_); }

    void operator()(const Progress& p) {
        py::gil_scoped_acquire gil;
        if (stop_.load()) return;
        try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (callback_.is_none()) return;
            const py::object answer = callback_(describe_(p));
            if (!answerStops_) return;
            if (PyObject_IsTrue(answer.ptr()) == 1) {
                stopRequested_ = true;
                stop_.store(true);
            } else if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_KeyboardInterrupt)) {
                interrupt_ = std::move(e);
            } else {
                failure_ = std::move(e);
            }
            stop_.store(true);
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
            failure_ = py::error_already_set();
            stop_.store(true);
        }
    }

private:
    static void raise(std::optional<py::error_already_set>& held) {
        if (!held) return;
        py::error_already_set e = std::move(*held);
        held.reset();
        throw e;
    }

    py::object callback_;
    Describe describe_;
    bool answerStops_;
    std::atomic<bool> stop_{false};
    bool stopRequested_ = false;
    std::optional<py::error_already_set> failure_;
    std::optional<py::error_already_set> interrupt_;
};

// The object behind calvenor.Evaluator: the evaluator, what it was made
// from (to pickle it), and the guard that lets one call use it at a time.
struct PyEvaluator {
    Evaluator evaluator;
    std::optional<std::vector<LabTest>> tests;  // set for an evaluator on tests in memory
    std::filesystem::path folder;               // host folder, or the report folder
    unsigned requestedThreads = 0;              // 0: the default count
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};

    explicit PyEvaluator(std::filesystem::path hostFolder)
        : evaluator(hostFolder), folder(std::move(hostFolder)) {}
    PyEvaluator(std::vector<LabTest> labTests, std::filesystem::path reportFolder)
        : evaluator(labTests, reportFolder), tests(std::move(labTests)), folder(std::move(reportFolder)) {}
};

// Holds an evaluator for one call. Construct it with the GIL held: while
// another thread's call runs, it waits with the GIL released. A call from a
// callback of the call that holds it (a progress function of a calibration)
// raises RuntimeError instead of waiting for itself.
class EvaluatorLock {
public:
    explicit EvaluatorLock(PyEvaluator& e);
    ~EvaluatorLock();
    EvaluatorLock(const EvaluatorLock&) = delete;
    EvaluatorLock& operator=(const EvaluatorLock&) = delete;

private:
    PyEvaluator& e_;
};

void bindEvaluator(py::module_& m);
void bindUncertainty(py::module_& m);
void bindProfile(py::module_& m);
void bindCalibrate(py::module_& m);

}  // namespace calvenor::python
