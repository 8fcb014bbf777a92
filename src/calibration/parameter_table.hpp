// The nine model parameters as a calibration sees them: names in the host's
// order, meanings, units, default bounds and which are fixed by default. The
// command line, the Python package, the plots and the help texts read this
// one table.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "objective/parameters.hpp"

namespace calvenor {

struct ParameterInfo {
    std::string_view name;     // as the reports and configuration files write it
    std::string_view symbol;   // in the model's equations
    std::string_view meaning;
    std::string_view unit;     // "" for a plain number
    double start;              // default start value
    double lower;              // default bounds
    double upper;
    bool fixedByDefault;       // held at `start` unless freed
};

inline constexpr std::array<ParameterInfo, parameterCount> parameterTable = {{
    {"propm", "M", "critical-state stress ratio", "", 1.2, 0.5, 2.0, false},
    {"enu", "nu", "Poisson's ratio", "", 0.3, 0.05, 0.45, true},
    {"pkappa", "kappa", "slope of the unloading line (void ratio against ln p)", "", 0.02, 0.002, 0.1, false},
    {"plamda", "lambda", "slope of the normal compression line", "", 0.1, 0.02, 0.4, false},
    {"pnvoid", "N", "void ratio of the normal compression line at p = 1 kPa", "", 1.5, 0.5, 3.0, false},
    {"cohesion", "c", "cohesion", "kPa", 0.0, 0.0, 50.0, true},
    {"z", "Z", "reference void ratio", "", 1.4, 0.4, 3.0, false},
    {"chi", "chi", "yield-surface shape parameter", "", 0.2, 0.0, 0.9, false},
    {"sm", "m", "exponent of the characteristic stress ratio", "", 1.0, 0.0, 5.0, false},
}};

// The names in the host's order.
inline constexpr std::array<std::string_view, parameterCount> parameterNames = {
    parameterTable[0].name, parameterTable[1].name, parameterTable[2].name,
    parameterTable[3].name, parameterTable[4].name, parameterTable[5].name,
    parameterTable[6].name, parameterTable[7].name, parameterTable[8].name};

// Index of a parameter name, or -1.
int parameterIndex(std::string_view name);

// "propm, enu, ..., sm".
std::string parameterNameList();

// One parameter: fitted between lower and upper from start, or held fixed at start.
struct ParameterSetting {
    double start = 0.0;
    double lower = 0.0;
    double upper = 0.0;
    bool fixed = false;
};

using ParameterSettings = std::array<ParameterSetting, parameterCount>;

// The table's defaults: the fixed parameters held at their start values.
ParameterSettings defaultParameterSettings();

// The bounds a parameter gets when it is freed without bounds of its own.
ParameterSetting defaultFreeSetting(int index);

// What a user gives for one parameter: a fixed value, or any of start,
// lower and upper.
struct ParameterChoice {
    std::optional<double> start;
    std::optional<double> lower;
    std::optional<double> upper;
    std::optional<double> fixed;
};

// The setting of parameter `index` that `choice` makes of `current` (its
// setting so far): a fixed value holds it there; otherwise a missing bound is
// the table's default, and a missing start is the current fixed value or the
// table's start when that lies inside the bounds, else the middle of them.
// Throws CalibrationError whose setting() is the field at fault ("start",
// "lower", "upper", "fixed"; "" for the choice as a whole).
ParameterSetting chooseParameterSetting(int index, const ParameterSetting& current, const ParameterChoice& choice);

// Checks the settings as a whole (finite values, bounds in order, starts
// inside); `where` prefixes messages. Throws CalibrationError.
void checkParameterSettings(const ParameterSettings& parameters, const std::string& where);

// Settings that let a parameter leave its physical range: kappa or lambda
// not above 0, nu outside [0, 0.5). Warnings, not errors (the search runs as
// set): the parameter's index and the message, e.g. "pkappa: the bounds
// [0, 0.1] reach kappa <= 0: the unloading slope must be above 0".
struct ParameterWarning {
    int index;
    std::string message;
};
std::vector<ParameterWarning> physicalRangeWarnings(const ParameterSettings& parameters);

// The start values as a parameter record.
ModelParameters startParameters(const ParameterSettings& parameters);

// "lower", "upper" or "" for a free parameter's value (within 1e-6 of the range).
std::string boundHit(const ParameterSetting& setting, double value);

}  // namespace calvenor
