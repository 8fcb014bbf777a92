// calvenor._core: the compiled part of the calvenor package. The package's
// __init__.py wraps it; the tables here are read from the core's own.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <string>
#include <vector>

#include "calibration/algorithms.hpp"
#include "calibration/calibration_error.hpp"
#include "calibration/parameter_table.hpp"
#include "model/integrators.hpp"
#include "python/binding.hpp"
#include "testdata/test_types.hpp"

namespace calvenor::python {

using namespace pybind11::literals;

namespace {

std::int32_t testTypeCode(py::handle value) {
    if (py::isinstance<py::str>(value)) {
        const std::string name = value.cast<std::string>();
        const TestType* t = findTestType(std::string_view(name));
        if (t == nullptr) {
            std::string names;
            for (const TestType& x : testTypes) names += (names.empty() ? "" : ", ") + std::string(x.name);
            throw py::value_error("test_type: unknown test type '" + name + "' (expected a code or one of " + names + ")");
        }
        return t->code;
    }
    return static_cast<std::int32_t>(wholeNumber(value, "test_type", std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
}

py::array_t<double> simulate(py::handle parameters, const std::string& path, py::handle p0, py::handle e0,
                             py::handle strainRange, py::handle testType, py::handle points, py::handle b,
                             py::handle z2, py::handle fill) {
    if (path != "shear" && path != "isotropic") {
        throw py::value_error("path: expected \"shear\" or \"isotropic\", got '" + path + "'");
    }
    if (path == "shear" && testType.is_none()) throw py::value_error("test_type: required for the shear path");
    const ModelParameters p = parameterSet(parameters);
    ModelConstants model = modelConstants(p);
    if (!z2.is_none()) model.zSecond = realNumber(z2, "z2");
    const StartState start{realNumber(p0, "p0"), realNumber(e0, "e0")};
    const double range = realNumber(strainRange, "strain_range");
    const double bValue = realNumber(b, "b");
    const double fillValue = realNumber(fill, "fill");
    const auto n = static_cast<std::int32_t>(wholeNumber(points, "points", 2, 10000000));
    const std::int32_t type = path == "shear" ? testTypeCode(testType) : 0;

    const auto count = static_cast<std::size_t>(n);
    std::vector<std::vector<double>> curves(6);
    {
        py::gil_scoped_release release;
        for (auto& c : curves) c.assign(count, fillValue);
        const PathArrays out{curves[0], curves[1], curves[2], curves[3], curves[4], curves[5]};
        if (path == "shear") {
            integrateShearPath(model, start, ShearSettings{bValue, type, range, n}, out);
        } else {
            integrateIsotropicCompression(model, start, CompressionSettings{bValue, range, n}, out);
        }
    }
    py::array_t<double> result({static_cast<py::ssize_t>(n), py::ssize_t{6}});
    auto r = result.mutable_unchecked<2>();
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t c = 0; c < curves.size(); ++c) r(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(c)) = curves[c][i];
    return result;
}

py::list readTests(const std::filesystem::path& folder, const std::string& list) {
    if (list != "working" && list != "full") {
        throw py::value_error("list: expected \"working\" (evReadInList.txt) or \"full\" (evReadInListZong.txt), got '" +
                              list + "'");
    }
    std::vector<LabTest> tests;
    {
        py::gil_scoped_release release;
        tests = readTestList(folder, list == "working" ? workingListName : fullListName);
    }
    py::list out;
    for (const LabTest& t : tests) out.append(labTestTuple(t));
    return out;
}

py::tuple testTypeTable() {
    py::list rows;
    for (const TestType& t : testTypes) {
        py::list scored;
        for (int q = 0; q < quantityCount; ++q)
            if (t.scored[static_cast<std::size_t>(q)]) scored.append(std::string(quantityName[static_cast<std::size_t>(q)]));
        rows.append(py::make_tuple(t.code, std::string(t.name), std::string(t.title), std::string(t.path),
                                   py::tuple(scored)));
    }
    return py::tuple(rows);
}

py::tuple parameterInfoTable() {
    py::list rows;
    for (const ParameterInfo& p : parameterTable) {
        rows.append(py::make_tuple(std::string(p.name), std::string(p.symbol), std::string(p.meaning),
                                   std::string(p.unit), p.start, p.lower, p.upper, p.fixedByDefault));
    }
    return py::tuple(rows);
}

py::tuple algorithmInfoTable() {
    py::list rows;
    for (const AlgorithmInfo& a : algorithmTable())
        rows.append(py::make_tuple(std::string(a.name), a.global, std::string(a.description)));
    return py::tuple(rows);
}

template <std::size_t N>
py::tuple names(const std::array<std::string_view, N>& list) {
    py::list out;
    for (const auto name : list) out.append(std::string(name));
    return py::tuple(out);
}

}  // namespace

}  // namespace calvenor::python

PYBIND11_MODULE(_core, m) {
    namespace py = pybind11;
    using namespace calvenor;
    using namespace calvenor::python;

    m.doc() = "The compiled core of the calvenor package (use the package, not this module).";

    // The core's errors as the package's: a load that cannot complete is a
    // calvenor.LoadError carrying the reader's message; a calibration
    // setting the engine cannot use is a ValueError.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const LoadError& e) {
            try {
                const py::object type = errorType("LoadError");
                const py::object error = type(e.what());
                PyErr_SetObject(type.ptr(), error.ptr());
            } catch (py::error_already_set& failure) {
                failure.restore();
            }
        } catch (const CalibrationError& e) {
            const std::string message = e.setting().empty() ? e.what() : e.setting() + ": " + e.what();
            PyErr_SetString(PyExc_ValueError, message.c_str());
        }
    });

    m.attr("PARAMETER_NAMES") = names(parameterNames);
    m.attr("DIAGNOSTIC_NAMES") = names(diagnosticNames);
    m.attr("QUANTITY_NAMES") = names(quantityName);
    m.attr("MEASURE_NAMES") = names(measureName);
    m.attr("PATH_POINTS") = pathPoints;
    m.attr("test_type_table") = testTypeTable();
    m.attr("parameter_table") = parameterInfoTable();
    m.attr("algorithm_table") = algorithmInfoTable();

    m.def("simulate", &simulate, "parameters"_a, "path"_a, "p0"_a, "e0"_a, "strain_range"_a,
          "test_type"_a = py::none(), "points"_a = 3000, "b"_a = 0.0, "z2"_a = py::none(), "fill"_a = 0.0,
          R"(One strain-controlled path of the model, as ``calvenor simulate`` prints it.

``parameters``: the nine parameters in the host's order. ``path``:
``"shear"`` (the shear path of ``test_type``, a code or a name of
``calvenor.TEST_TYPES``; codes outside the table change no stress) or
``"isotropic"`` (drained isotropic compression; ``test_type`` is not used).
``p0`` and ``e0``: mean effective stress (kPa) and void ratio at the start.
``strain_range``: the strain accumulated over the path (axial strain for
shear, each principal strain for isotropic compression; 0.2 is 20 %).
``points``: points including the start point (2 to 10 000 000); the strain
step is strain_range / (points - 1), and the objective always uses 3000.
``b``: the intermediate principal stress parameter of the shear path, or the
blend factor between z and ``z2`` for isotropic compression. ``z2``: the
second reference void ratio (default: z). ``fill``: the value the output holds
before the run; entries the run does not write (a path that ends early) keep it.

Returns an array of shape (points, 6): axial strain, q (kPa), p (kPa), void
ratio, pore pressure (kPa), volumetric strain; bit for bit the numbers of
``calvenor simulate``.)");
    m.def("read_tests", &readTests, "folder"_a = ".", "list"_a = "working",
          "The tests of a host folder's list as (name, type, p_initial, e_initial, rows) tuples "
          "(calvenor.read_tests makes LabTest records of them).");

    bindEvaluator(m);
    bindUncertainty(m);
    bindProfile(m);
    bindCalibrate(m);
}
