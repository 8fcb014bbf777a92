// The profile likelihood for Python: whole (as `calvenor profile`), or in
// its parts (the plan, each side, the finish) for a cluster, where the sides
// run on other evaluators of the same tests.
#include <pybind11/stl.h>

#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include "calibration/profile.hpp"
#include "io/files.hpp"
#include "io/json.hpp"
#include "python/binding.hpp"
#include "report/profile_plot.hpp"

namespace calvenor::python {

using namespace pybind11::literals;

namespace {

// A plan as made by profile_plan (`full`), or as unpickled on another
// process: enough for the sides, not for the finish.
struct PyProfilePlan {
    ProfilePlan plan;
    bool full = true;
};

struct PyProfileResult {
    ProfileResult result;
};

// What the progress function receives.
py::dict progressDict(const ProfileProgress& p) {
    return py::dict("phase"_a = p.phase, "points"_a = p.points, "planned_points"_a = p.plannedPoints,
                    "evaluations"_a = p.evaluations, "seconds"_a = p.seconds, "phase_end"_a = p.phaseEnd);
}

using SettingTuple = std::tuple<double, double, double, bool>;

ParameterSettings settingsFrom(const std::vector<SettingTuple>& rows) {
    if (rows.size() != static_cast<std::size_t>(parameterCount)) {
        throw py::value_error("settings: expected nine (start, lower, upper, fixed) tuples");
    }
    ParameterSettings s{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& [start, lower, upper, fixed] = rows[i];
        s[i] = {start, lower, upper, fixed};
    }
    return s;
}

ProfileSettings profileSettings(const std::vector<int>& chosen, double level, int points, py::handle noise,
                                bool penalties, unsigned threads) {
    ProfileSettings settings;
    settings.parameters = chosen;
    settings.level = level;
    settings.points = points;
    settings.noise = noiseModel(noise);
    settings.penalties = penalties;
    settings.threads = threads;
    return settings;
}

// Runs `call(evaluator, parameters, start, settings, progress, stop)` (the
// whole profile or its plan) on the evaluator with the GIL released, progress
// and Ctrl-C through the bridge.
template <class Call>
auto runProfileCall(PyEvaluator& self, const std::vector<SettingTuple>& rows, py::handle start,
                    const std::vector<int>& chosen, double level, int points, py::handle noise, bool penalties,
                    unsigned threads, py::object progress, Call call) {
    const ParameterSettings parameters = settingsFrom(rows);
    const ModelParameters p = parameterSet(start, "start");
    const ProfileSettings settings = profileSettings(chosen, level, points, noise, penalties, threads);
    // The progress function's return value is not read; Ctrl-C raises KeyboardInterrupt afterwards.
    ProgressBridge<ProfileProgress> bridge(std::move(progress), &progressDict, false);
    const ProfileProgressFn report = [&bridge](const ProfileProgress& x) { bridge(x); };
    decltype(call(self.evaluator, parameters, p, settings, report, bridge.stopFlag())) out;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        out = settingErrors([&] { return call(self.evaluator, parameters, p, settings, report, bridge.stopFlag()); });
    }
    bridge.raiseFailure();
    bridge.raiseInterrupt();
    return out;
}

PyProfileResult profileWhole(PyEvaluator& self, const std::vector<SettingTuple>& rows, py::handle start,
                             const std::vector<int>& chosen, double level, int points, py::handle noise,
                             bool penalties, unsigned threads, py::object progress) {
    PyProfileResult out;
    out.result = runProfileCall(self, rows, start, chosen, level, points, noise, penalties, threads,
                                std::move(progress), [](auto&&... a) { return profileLikelihood(a...); });
    return out;
}

PyProfilePlan profilePlan(PyEvaluator& self, const std::vector<SettingTuple>& rows, py::handle start,
                          const std::vector<int>& chosen, double level, int points, py::handle noise, bool penalties,
                          unsigned threads, py::object progress) {
    PyProfilePlan out;
    out.plan = runProfileCall(self, rows, start, chosen, level, points, noise, penalties, threads, std::move(progress),
                              [](auto&&... a) { return planProfile(a...); });
    return out;
}

py::tuple chainTuple(const ProfileChain& c, std::int64_t evaluations) {
    py::list points;
    for (const ProfilePoint& pt : c.points) points.append(py::make_tuple(pt.value, pt.logLikelihood, pt.evaluations));
    return py::make_tuple(c.coordinate, c.direction, points, c.reachedBound, c.wall, c.crossed, c.interrupted,
                          evaluations);
}

ProfileChain chainFrom(const py::tuple& t) {
    ProfileChain c;
    c.coordinate = t[0].cast<std::size_t>();
    c.direction = t[1].cast<double>();
    for (py::handle pt : t[2]) {
        const auto x = pt.cast<std::tuple<double, double, std::int64_t>>();
        c.points.push_back({std::get<0>(x), std::get<1>(x), std::get<2>(x)});
    }
    c.reachedBound = t[3].cast<bool>();
    c.wall = t[4].cast<bool>();
    c.crossed = t[5].cast<bool>();
    c.interrupted = t[6].cast<bool>();
    return c;
}

// Raises IndexError for a side the plan does not have.
void checkSide(const ProfilePlan& plan, std::size_t c) {
    if (c >= plan.chainCount()) throw py::index_error("no side " + std::to_string(c) + " in this plan");
}

py::tuple profileChainRun(PyEvaluator& self, const PyProfilePlan& plan, std::size_t c, unsigned threads) {
    checkSide(plan.plan, c);
    std::atomic<std::int64_t> evaluations{0};
    ProfileChain chain;
    {
        EvaluatorLock lock(self);
        py::gil_scoped_release release;
        Evaluator own = self.evaluator;
        own.loadTests();
        chain = profileChain(own, plan.plan, c, threads == 0 ? own.threads() : threads, nullptr, evaluations);
    }
    return chainTuple(chain, evaluations.load());
}

PyProfileResult profileFinish(const PyProfilePlan& plan, const std::vector<py::tuple>& chains, double seconds) {
    if (!plan.full) throw py::value_error("plan: a plan finishes where it was made (this one was sent elsewhere)");
    if (chains.size() != plan.plan.chainCount()) {
        throw py::value_error("chains: expected " + std::to_string(plan.plan.chainCount()) + " sides");
    }
    std::vector<ProfileChain> sides;
    std::int64_t evaluations = 0;
    for (const py::tuple& t : chains) {
        ProfileChain side = chainFrom(t);
        const ProfileChain expected = plan.plan.chainStart(sides.size());
        if (side.coordinate != expected.coordinate || side.direction != expected.direction) {
            throw py::value_error("chains: side " + std::to_string(sides.size()) + " is not side " +
                                  std::to_string(sides.size()) + " of this plan");
        }
        sides.push_back(std::move(side));
        evaluations += t[7].cast<std::int64_t>();
    }
    return PyProfileResult{finishProfile(plan.plan, std::move(sides), evaluations, seconds)};
}

// What the sides need, as plain values (the plan's record of the fit and the
// local analysis stays with the plan that was made).
py::tuple planState(const PyProfilePlan& self) {
    const ProfilePlan& p = self.plan;
    py::list parameters;
    for (const ParameterSetting& s : p.parameters) parameters.append(py::make_tuple(s.start, s.lower, s.upper, s.fixed));
    std::vector<bool> identifiable;
    for (const ParameterUncertainty& u : p.result.local.parameters) identifiable.push_back(u.identifiable);
    const ProfileSettings& s = p.settings;
    return py::make_tuple(
        1, parameters,
        py::make_tuple(s.parameters, s.level, s.points,
                       py::make_tuple(s.noise.sigma[0], s.noise.sigma[1], s.noise.sigma[2], s.noise.sigma[3]),
                       s.penalties, s.threads),
        p.free, p.chosen, p.x, p.steps, p.unitError, p.range, p.mlValue, p.perSide, p.carried, p.evaluations,
        p.result.threshold, p.result.local.covariance, identifiable);
}

PyProfilePlan planFromState(const py::tuple& t) {
    if (t.size() != 16 || t[0].cast<int>() != 1) throw std::runtime_error("not the state of a profile plan");
    PyProfilePlan out;
    out.full = false;
    ProfilePlan& p = out.plan;
    p.parameters = settingsFrom(t[1].cast<std::vector<SettingTuple>>());
    const py::tuple s = t[2].cast<py::tuple>();
    p.settings.parameters = s[0].cast<std::vector<int>>();
    p.settings.level = s[1].cast<double>();
    p.settings.points = s[2].cast<int>();
    p.settings.noise = noiseModel(s[3]);
    p.settings.penalties = s[4].cast<bool>();
    p.settings.threads = s[5].cast<unsigned>();
    p.free = t[3].cast<std::vector<int>>();
    p.chosen = t[4].cast<std::vector<std::size_t>>();
    p.x = t[5].cast<std::vector<double>>();
    p.steps = t[6].cast<std::vector<double>>();
    p.unitError = t[7].cast<std::vector<double>>();
    p.range = t[8].cast<std::vector<double>>();
    p.mlValue = t[9].cast<double>();
    p.perSide = t[10].cast<int>();
    p.carried = t[11].cast<std::vector<double>>();
    p.evaluations = t[12].cast<std::int64_t>();
    p.result.threshold = t[13].cast<double>();
    p.result.local.covariance = t[14].cast<std::vector<std::vector<double>>>();
    for (bool b : t[15].cast<std::vector<bool>>()) {
        ParameterUncertainty u;
        u.identifiable = b;
        p.result.local.parameters.push_back(u);
    }
    return out;
}

py::list profilesList(const ProfileResult& r) {
    py::list out;
    for (const ParameterProfile& p : r.profiles) {
        py::array_t<double> curve({static_cast<py::ssize_t>(p.curve.size()), py::ssize_t{2}});
        auto c = curve.mutable_unchecked<2>();
        for (std::size_t k = 0; k < p.curve.size(); ++k) {
            c(static_cast<py::ssize_t>(k), 0) = p.curve[k].value;
            c(static_cast<py::ssize_t>(k), 1) = r.logLikelihood - p.curve[k].logLikelihood;
        }
        out.append(py::dict("name"_a = std::string(parameterNames[static_cast<std::size_t>(p.index)]),
                            "estimate"_a = p.estimate, "standard_error"_a = p.standardError,
                            "interval"_a = py::make_tuple(p.lower, p.upper), "open_below"_a = p.openBelow,
                            "open_above"_a = p.openAbove, "verdict"_a = p.verdict, "curve"_a = curve));
    }
    return out;
}

py::tuple writeProfile(const PyProfileResult& self, const std::string& folder, const std::string& dir, bool plot) {
    std::vector<std::string> files, warnings;
    {
        py::gil_scoped_release release;
        const std::filesystem::path out(folder);
        createFolder(out);
        writeFile(out / "profile.json", prettyJson(profileJson(self.result)));
        files.push_back((out / "profile.json").string());
        if (plot) {
            const PlotOutcome plots = drawProfilePage(profilePage(self.result, dir), out, "profile");
            for (const auto& f : plots.files) files.push_back(f.string());
            warnings = plots.warnings;
        }
    }
    return py::make_tuple(files, warnings);
}

}  // namespace

void bindProfile(py::module_& m) {
    py::class_<PyProfilePlan>(m, "ProfilePlan", "The first part of a profile (calvenor.dask.profile).")
        .def_property_readonly("chain_count", [](const PyProfilePlan& p) { return p.plan.chainCount(); })
        .def_property_readonly("interrupted", [](const PyProfilePlan& p) { return p.plan.result.interrupted; })
        .def(
            "chain_start",
            [](const PyProfilePlan& p, std::size_t c) {
                checkSide(p.plan, c);
                return chainTuple(p.plan.chainStart(c), 0);
            },
            "Side c as it stands before it runs (for a plan whose fit was interrupted).")
        .def(py::pickle(&planState, &planFromState));
    py::class_<PyProfileResult>(m, "ProfileOutcome", "A profile's result (calvenor.profile).")
        .def_property_readonly("json", [](const PyProfileResult& r) { return prettyJson(profileJson(r.result)); })
        .def_property_readonly("profiles", [](const PyProfileResult& r) { return profilesList(r.result); })
        .def_property_readonly("level", [](const PyProfileResult& r) { return r.result.level; })
        .def_property_readonly("threshold", [](const PyProfileResult& r) { return r.result.threshold; })
        .def_property_readonly("log_likelihood", [](const PyProfileResult& r) { return r.result.logLikelihood; })
        .def_property_readonly("estimate",
                               [](const PyProfileResult& r) {
                                   const HostParameters h = hostOrder(r.result.estimate);
                                   return std::vector<double>(h.begin(), h.end());
                               })
        .def_property_readonly("notes", [](const PyProfileResult& r) { return r.result.notes; })
        .def_property_readonly("evaluations", [](const PyProfileResult& r) { return r.result.evaluations; })
        .def_property_readonly("interrupted", [](const PyProfileResult& r) { return r.result.interrupted; })
        .def("write", &writeProfile, "folder"_a, "dir"_a, "plot"_a = true);
    m.def("profile", &profileWhole, "evaluator"_a, "settings"_a, "start"_a, "parameters"_a, "level"_a, "points"_a,
          "noise"_a, "penalties"_a, "threads"_a, "progress"_a);
    m.def("profile_plan", &profilePlan, "evaluator"_a, "settings"_a, "start"_a, "parameters"_a, "level"_a,
          "points"_a, "noise"_a, "penalties"_a, "threads"_a, "progress"_a);
    m.def("profile_chain", &profileChainRun, "evaluator"_a, "plan"_a, "side"_a, "threads"_a = 0);
    m.def("profile_finish", &profileFinish, "plan"_a, "chains"_a, "seconds"_a);
}

}  // namespace calvenor::python
