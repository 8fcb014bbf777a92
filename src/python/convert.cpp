// Python values to the core's records and back.
#include <cmath>
#include <limits>
#include <string>

#include "python/binding.hpp"

namespace calvenor::python {

namespace {

std::string shapeText(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) {
        if (i > 0) s += ", ";
        s += std::to_string(a.shape(i));
    }
    if (a.ndim() == 1) s += ",";
    return s + ")";
}

ModelParameters setFrom(const double* values) {
    ModelParameters p{};
    for (int i = 0; i < parameterCount; ++i) parameterAt(p, i) = values[i];
    return p;
}

}  // namespace

DoubleArray numbers(py::handle value, const std::string& what) {
    // numpy's own conversion first, so that nested lists, scalars and arrays
    // of every kind arrive as one array whose dtype can be judged.
    static py::handle asarray = py::object(py::module_::import("numpy").attr("asarray")).release();
    py::array a;
    try {
        a = py::reinterpret_borrow<py::array>(asarray(value));
    } catch (py::error_already_set& e) {
        // A ragged nesting is a shape fault; anything else numpy cannot read is not numbers.
        const std::string message = what + ": expected numbers, got " + std::string(py::str(e.value()));
        if (e.matches(PyExc_ValueError)) throw py::value_error(message);
        if (e.matches(PyExc_TypeError)) throw py::type_error(message);
        throw;
    }
    const char kind = a.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        throw py::type_error(what + ": expected numbers (a bool, integer or float array), got an array of dtype " +
                             std::string(py::str(a.dtype())));
    }
    return DoubleArray::ensure(a);
}

ModelParameters parameterSet(py::handle value, const std::string& what) {
    const DoubleArray a = numbers(value, what);
    if (a.ndim() != 1 || a.shape(0) != parameterCount) {
        throw py::value_error(what + ": expected the nine parameters (propm enu pkappa plamda pnvoid cohesion z "
                                     "chi sm), an array of shape (9,); got shape " + shapeText(a) +
                              (a.ndim() == 2 ? " (evaluate_batch takes sets of shape (K, 9))" : ""));
    }
    return setFrom(a.data());
}

std::vector<ModelParameters> parameterSets(py::handle value, const std::string& what) {
    const DoubleArray a = numbers(value, what);
    if (a.ndim() != 2 || a.shape(1) != parameterCount) {
        throw py::value_error(what + ": expected K parameter sets, one per row, an array of shape (K, 9); got shape " +
                              shapeText(a));
    }
    std::vector<ModelParameters> sets;
    sets.reserve(static_cast<std::size_t>(a.shape(0)));
    for (py::ssize_t k = 0; k < a.shape(0); ++k) sets.push_back(setFrom(a.data(k, 0)));
    return sets;
}

EvaluationOptions evaluationOptions(py::handle switches, py::handle penalties, py::handle reports,
                                    py::handle reload) {
    const DoubleArray s = numbers(switches, "switches");
    if (s.ndim() != 1 || s.shape(0) < 3) {
        throw py::value_error("switches: expected at least three values (penalties, reports, reload), got shape " +
                              shapeText(s));
    }
    EvaluationOptions options = switchOptions(std::span<const double>(s.data(), static_cast<std::size_t>(s.size())));
    const auto apply = [](py::handle keyword, bool& option) {
        if (!keyword.is_none()) option = py::bool_(py::reinterpret_borrow<py::object>(keyword));
    };
    apply(penalties, options.penalties);
    apply(reports, options.reports);
    apply(reload, options.reload);
    return options;
}

std::int64_t wholeNumber(py::handle value, const std::string& what, std::int64_t low, std::int64_t high) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        throw py::type_error(what + ": expected a whole number, got " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    }
    const py::int_ n = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!n) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow != 0 || v < low || v > high) {
        throw py::value_error(what + ": " + std::string(py::repr(static_cast<py::handle>(n))) + " is out of range (" + std::to_string(low) +
                              " to " + std::to_string(high) + ")");
    }
    return v;
}

double realNumber(py::handle value, const std::string& what) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyComplex_Check(value.ptr())) {
        throw py::type_error(what + ": expected a number, got " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    }
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::type_error(what + ": expected a number, got " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    }
    return v;
}

LabTest labTest(py::handle test, const std::string& what) {
    for (const char* field : {"name", "type", "p_initial", "e_initial", "rows"}) {
        if (!py::hasattr(test, field)) {
            throw py::type_error(what + ": expected a calvenor.LabTest (name, type, p_initial, e_initial, rows), got " +
                                 std::string(py::str(py::type::handle_of(test).attr("__name__"))));
        }
    }
    LabTest t;
    const py::object name = test.attr("name");
    if (!py::isinstance<py::str>(name)) throw py::type_error(what + ".name: expected a str");
    t.name = name.cast<std::string>();
    if (t.name.find('\0') != std::string::npos) throw py::value_error(what + ".name: holds a NUL character");
    t.type = static_cast<std::int32_t>(wholeNumber(test.attr("type"), what + ".type",
                                                   std::numeric_limits<std::int32_t>::min(),
                                                   std::numeric_limits<std::int32_t>::max()));
    t.pInitial = realNumber(test.attr("p_initial"), what + ".p_initial");
    t.eInitial = realNumber(test.attr("e_initial"), what + ".e_initial");
    const DoubleArray rows = numbers(test.attr("rows"), what + ".rows");
    if (rows.ndim() != 2 || rows.shape(1) != columnCount) {
        throw py::value_error(what + ".rows: expected an array of shape (n, 5) (strain, q, p, ev, u), got shape " +
                              shapeText(rows));
    }
    if (rows.shape(0) == 0) throw py::value_error(what + " (" + t.name + "): no data rows");
    if (rows.shape(0) > std::numeric_limits<std::int32_t>::max()) throw py::value_error(what + ".rows: too many rows");
    t.rows.resize(static_cast<std::size_t>(rows.shape(0)));
    for (py::ssize_t r = 0; r < rows.shape(0); ++r)
        for (int c = 0; c < columnCount; ++c) t.rows[static_cast<std::size_t>(r)][c] = rows.at(r, c);
    return t;
}

py::tuple labTestTuple(const LabTest& test) {
    py::array_t<double> rows({static_cast<py::ssize_t>(test.rows.size()), static_cast<py::ssize_t>(columnCount)});
    auto out = rows.mutable_unchecked<2>();
    for (std::size_t r = 0; r < test.rows.size(); ++r)
        for (int c = 0; c < columnCount; ++c) out(static_cast<py::ssize_t>(r), c) = test.rows[r][c];
    return py::make_tuple(test.name, test.type, test.pInitial, test.eInitial, rows);
}

py::object errorType(const char* name) {
    static py::handle errors = py::module_::import("calvenor._errors").release();
    return errors.attr(name);
}

void warnReports(const std::vector<std::string>& warnings) {
    for (const std::string& w : warnings) {
        if (PyErr_WarnEx(errorType("ReportWarning").ptr(), w.c_str(), 1) != 0) throw py::error_already_set();
    }
}

EvaluatorLock::EvaluatorLock(PyEvaluator& e) : e_(e) {
    if (e.owner.load() == std::this_thread::get_id()) {
        throw std::runtime_error(
            "this Evaluator is in use by the call that runs this callback (a calibration); make another "
            "Evaluator for evaluations inside a progress function");
    }
    {
        py::gil_scoped_release release;
        e.mutex.lock();
    }
    e.owner.store(std::this_thread::get_id());
}

EvaluatorLock::~EvaluatorLock() {
    e_.owner.store(std::thread::id{});
    e_.mutex.unlock();
}

}  // namespace calvenor::python
