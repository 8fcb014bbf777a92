// The calibration library's error: a setting or an input it cannot work with.
#pragma once

#include <stdexcept>
#include <string>

namespace calvenor {

class CalibrationError : public std::runtime_error {
public:
    // `setting` names the setting at fault ("population"), or is empty.
    explicit CalibrationError(const std::string& message, std::string setting = {})
        : std::runtime_error(message), setting_(std::move(setting)) {}
    const std::string& setting() const { return setting_; }

private:
    std::string setting_;
};

}  // namespace calvenor
