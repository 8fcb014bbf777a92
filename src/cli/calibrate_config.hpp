// What `calvenor calibrate` fits and how: the nine parameters with their
// start values, bounds or fixed values, and the optimiser settings, from the
// defaults, a TOML file and the command line (in that order of precedence).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "cli/app.hpp"
#include "objective/parameters.hpp"

namespace calvenor::cli {

// The nine parameters in the host's order.
inline constexpr std::array<std::string_view, parameterCount> parameterNames = {
    "propm", "enu", "pkappa", "plamda", "pnvoid", "cohesion", "z", "chi", "sm"};

// Index of a parameter name, or -1.
int parameterIndex(std::string_view name);

double& parameterAt(ModelParameters& p, int index);
double parameterAt(const ModelParameters& p, int index);

// One parameter: fitted between lower and upper from start, or held fixed at start.
struct ParameterSetting {
    double start = 0.0;
    double lower = 0.0;
    double upper = 0.0;
    bool fixed = false;
};

using ParameterSettings = std::array<ParameterSetting, parameterCount>;

// The documented defaults: propm 1.2 in [0.5, 2], enu fixed at 0.3, pkappa
// 0.02 in [0.002, 0.1], plamda 0.1 in [0.02, 0.4], pnvoid 1.5 in [0.5, 3],
// cohesion fixed at 0, z 1.4 in [0.4, 3], chi 0.2 in [0, 0.9], sm 1 in [0, 5].
ParameterSettings defaultParameterSettings();

// The bounds a parameter gets when it is freed without bounds of its own.
ParameterSetting defaultFreeSetting(int index);

inline constexpr std::array<std::string_view, 8> algorithmNames = {
    "cmaes", "xnes", "pso", "de", "sade", "nelder-mead", "bobyqa", "sbplx"};
bool isGlobalAlgorithm(std::string_view name);

struct CalibrationSettings {
    ParameterSettings parameters = defaultParameterSettings();
    std::string algorithm = "cmaes";
    std::optional<std::int64_t> generations;  // global phase; unset: until the budget is spent
    std::optional<std::int64_t> population;   // unset: the algorithm's default
    std::int64_t maxEvaluations = 20000;
    std::optional<std::uint32_t> seed;         // unset: drawn at random
    unsigned threads = 0;                      // 0: all cores
    bool penalties = true;
    bool polish = true;                        // BOBYQA after a global algorithm
    std::string out;                           // empty: DIR/calvenor-calibration
};

// A configuration that cannot be used: what() names the file, the 1-based
// line and the key, e.g. "fit.toml:3: propm.lower: 1.9 is above upper (1.8)".
class ConfigError : public UsageError {
public:
    using UsageError::UsageError;
};

// Applies a configuration text (TOML) to `settings`; `fileName` is used in
// messages. Throws ConfigError.
void applyCalibrationConfig(CalibrationSettings& settings, std::string_view text, const std::string& fileName);

// Reads and applies a configuration file. Throws ConfigError.
void readCalibrationConfig(CalibrationSettings& settings, const std::filesystem::path& file);

// Checks the parameter settings as a whole (bounds in order, starts inside);
// `where` prefixes messages. Throws ConfigError.
void checkParameterSettings(const ParameterSettings& parameters, const std::string& where);

// The whole file as text. Throws ConfigError when it cannot be read.
std::string readTextFile(const std::filesystem::path& file);

}  // namespace calvenor::cli
