#include "calibration/parameter_table.hpp"

#include <cmath>

#include "calibration/calibration_error.hpp"
#include "io/numbers.hpp"

namespace calvenor {

int parameterIndex(std::string_view name) {
    for (int i = 0; i < parameterCount; ++i) {
        if (parameterNames[static_cast<std::size_t>(i)] == name) return i;
    }
    return -1;
}

std::string parameterNameList() {
    std::string s;
    for (const auto name : parameterNames) {
        if (!s.empty()) s += ", ";
        s += name;
    }
    return s;
}

ParameterSetting defaultFreeSetting(int index) {
    const ParameterInfo& p = parameterTable[static_cast<std::size_t>(index)];
    return {p.start, p.lower, p.upper, false};
}

ParameterSettings defaultParameterSettings() {
    ParameterSettings s;
    for (int i = 0; i < parameterCount; ++i) {
        s[static_cast<std::size_t>(i)] = defaultFreeSetting(i);
        s[static_cast<std::size_t>(i)].fixed = parameterTable[static_cast<std::size_t>(i)].fixedByDefault;
    }
    return s;
}

ParameterSetting chooseParameterSetting(int index, const ParameterSetting& current, const ParameterChoice& choice) {
    const auto finite = [](const std::optional<double>& v, const char* field) {
        if (v && !std::isfinite(*v)) throw CalibrationError("expected a finite number", field);
    };
    finite(choice.start, "start");
    finite(choice.lower, "lower");
    finite(choice.upper, "upper");
    finite(choice.fixed, "fixed");
    if (choice.fixed) {
        if (choice.start || choice.lower || choice.upper)
            throw CalibrationError("give either fixed or start/lower/upper, not both");
        return {*choice.fixed, *choice.fixed, *choice.fixed, true};
    }
    const ParameterSetting d = defaultFreeSetting(index);
    ParameterSetting r{0.0, choice.lower.value_or(d.lower), choice.upper.value_or(d.upper), false};
    if (r.lower > r.upper) {
        throw CalibrationError("lower (" + shortest(r.lower) + ") is above upper (" + shortest(r.upper) + ")" +
                                   (choice.lower && choice.upper ? "" : " (the other bound is the default)"),
                               choice.lower ? "lower" : "upper");
    }
    if (r.lower == r.upper) {
        throw CalibrationError("lower equals upper (" + shortest(r.lower) + "); give it as fixed = " +
                               shortest(r.lower) + " to hold it there");
    }
    if (choice.start) {
        if (*choice.start < r.lower || *choice.start > r.upper) {
            throw CalibrationError("start " + shortest(*choice.start) + " is outside the bounds [" +
                                       shortest(r.lower) + ", " + shortest(r.upper) + "]",
                                   "start");
        }
        r.start = *choice.start;
    } else {
        const double preferred = current.fixed ? current.start : d.start;
        r.start = (preferred >= r.lower && preferred <= r.upper) ? preferred : 0.5 * (r.lower + r.upper);
    }
    return r;
}

void checkParameterSettings(const ParameterSettings& parameters, const std::string& where) {
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterSetting& s = parameters[static_cast<std::size_t>(i)];
        const std::string key(parameterNames[static_cast<std::size_t>(i)]);
        if (!std::isfinite(s.start) || !std::isfinite(s.lower) || !std::isfinite(s.upper)) {
            throw CalibrationError(where + ": " + key + ": values must be finite");
        }
        if (s.fixed) continue;
        if (!(s.lower < s.upper)) {
            throw CalibrationError(where + ": " + key + ": lower (" + shortest(s.lower) +
                                   ") is not below upper (" + shortest(s.upper) + ")");
        }
        if (s.start < s.lower || s.start > s.upper) {
            throw CalibrationError(where + ": " + key + ": start " + shortest(s.start) +
                                   " is outside the bounds [" + shortest(s.lower) + ", " + shortest(s.upper) + "]");
        }
    }
}

std::vector<ParameterWarning> physicalRangeWarnings(const ParameterSettings& parameters) {
    std::vector<ParameterWarning> out;
    const auto check = [&](int index, bool (*inside)(double), const std::string& range, const std::string& why) {
        const ParameterSetting& s = parameters[static_cast<std::size_t>(index)];
        const std::string name(parameterNames[static_cast<std::size_t>(index)]);
        if (s.fixed) {
            if (!inside(s.start)) out.push_back({index, name + ": fixed at " + shortest(s.start) + ", outside " + range + ": " + why});
        } else if (!inside(s.lower) || !inside(s.upper)) {
            out.push_back({index, name + ": the bounds [" + shortest(s.lower) + ", " + shortest(s.upper) +
                                      "] reach outside " + range + ": " + why});
        }
    };
    const auto positive = [](double v) { return v > 0.0; };
    const auto poisson = [](double v) { return v >= 0.0 && v < 0.5; };
    check(parameterIndex("enu"), poisson, "[0, 0.5)", "Poisson's ratio of a soil lies from 0 to below 0.5");
    check(parameterIndex("pkappa"), positive, "(0, inf)", "the unloading slope kappa must be above 0");
    check(parameterIndex("plamda"), positive, "(0, inf)", "the compression slope lambda must be above 0");
    return out;
}

ModelParameters startParameters(const ParameterSettings& parameters) {
    ModelParameters p{};
    for (int i = 0; i < parameterCount; ++i) parameterAt(p, i) = parameters[static_cast<std::size_t>(i)].start;
    return p;
}

std::string boundHit(const ParameterSetting& s, double value) {
    if (s.fixed) return "";
    const double tolerance = 1e-6 * (s.upper - s.lower);
    if (value - s.lower <= tolerance) return "lower";
    if (s.upper - value <= tolerance) return "upper";
    return "";
}

}  // namespace calvenor
