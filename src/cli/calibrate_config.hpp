// What `calvenor calibrate` fits and how, from a TOML file: the parameters
// with their start values, bounds or fixed values, and the options of the
// search. The command line's options override the file.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

#include "calibration/calibration.hpp"
#include "cli/app.hpp"

namespace calvenor::cli {

struct CalibrateSetup {
    CalibrationSettings settings;
    std::string out;  // empty: DIR/calvenor-calibration
    // The configuration file's line of each parameter it sets (0: not set there).
    std::array<int, parameterCount> parameterLines{};
};

// A configuration that cannot be used: what() names the file, the 1-based
// line and the key, e.g. "fit.toml:3: propm.lower: 1.9 is above upper (1.8)".
class ConfigError : public UsageError {
public:
    using UsageError::UsageError;
};

// Applies a configuration text (TOML) to `setup`; `fileName` is used in
// messages, and a relative `out` is taken relative to `folder`. Throws
// ConfigError.
void applyCalibrationConfig(CalibrateSetup& setup, std::string_view text, const std::string& fileName,
                            const std::filesystem::path& folder = {});

// Reads and applies a configuration file (a relative `out` in it is taken
// relative to the file's folder). Throws ConfigError.
void readCalibrationConfig(CalibrateSetup& setup, const std::filesystem::path& file);

// The whole file as text. Throws ConfigError when it cannot be read.
std::string readTextFile(const std::filesystem::path& file);

}  // namespace calvenor::cli
