#include "cli/calibrate_config.hpp"

#include "calibration/algorithms.hpp"
#include "calibration/calibration_error.hpp"
#include "io/files.hpp"
#include "io/numbers.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

namespace calvenor::cli {

std::string readTextFile(const std::filesystem::path& file) {
    try {
        return readFile(file);
    } catch (const FileError& e) {
        throw ConfigError(e.what());
    }
}

namespace {

std::string joined(auto const& names) {
    std::string s;
    for (const auto& n : names) {
        if (!s.empty()) s += ", ";
        s += n;
    }
    return s;
}

constexpr std::array<std::string_view, 9> optionKeys = {
    "algorithm", "generations", "population", "max_evaluations", "seed",
    "threads",   "penalties",   "polish",     "out"};

class Reader {
public:
    Reader(CalibrateSetup& setup, std::string fileName, std::filesystem::path folder)
        : setup_(setup), settings_(setup.settings), file_(std::move(fileName)), folder_(std::move(folder)) {}

    void apply(std::string_view text) {
        toml::table root;
        try {
            root = toml::parse(text, file_);
        } catch (const toml::parse_error& e) {
            fail(static_cast<int>(e.source().begin.line), "", std::string(e.description()));
        }
        for (auto&& [key, node] : root) {
            const std::string name(key.str());
            const int line = lineOf(key, node);
            if (name == "parameters") {
                const toml::table* table = node.as_table();
                if (!table) fail(line, name, "expected a table of parameters ([parameters])");
                for (auto&& [pkey, pnode] : *table) {
                    const std::string pname(pkey.str());
                    const int index = parameterIndex(pname);
                    if (index < 0) {
                        fail(lineOf(pkey, pnode), "parameters." + pname,
                             "unknown parameter (the parameters are " + parameterNameList() + ")");
                    }
                    readParameter(index, "parameters." + pname, pnode, lineOf(pkey, pnode));
                }
            } else if (const int index = parameterIndex(name); index >= 0) {
                readParameter(index, name, node, line);
            } else if (std::find(optionKeys.begin(), optionKeys.end(), name) != optionKeys.end()) {
                readOption(name, node, line);
            } else {
                fail(line, name,
                     "unknown key (expected a parameter: " + parameterNameList() +
                         "; a [parameters] table; or an option: " + joined(optionKeys) + ")");
            }
        }
    }

private:
    CalibrateSetup& setup_;
    CalibrationSettings& settings_;
    std::string file_;
    std::filesystem::path folder_;
    std::array<int, parameterCount> seenLine_{};  // where each parameter was given

    [[noreturn]] void fail(int line, const std::string& key, const std::string& message) const {
        std::string where = file_;
        if (line > 0) where += ":" + std::to_string(line);
        throw ConfigError(where + ": " + (key.empty() ? "" : key + ": ") + message);
    }

    static int lineOf(const toml::key& key, const toml::node& node) {
        if (key.source().begin.line > 0) return static_cast<int>(key.source().begin.line);
        return static_cast<int>(node.source().begin.line);
    }
    static int lineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

    double number(const toml::node& node, const std::string& key) const {
        if (!node.is_number()) fail(lineOf(node), key, "expected a number");
        const double v = node.value<double>().value();
        if (!std::isfinite(v)) fail(lineOf(node), key, "expected a finite number");
        return v;
    }

    std::int64_t integer(const toml::node& node, const std::string& key, std::int64_t low,
                         std::int64_t high) const {
        if (!node.is_integer()) fail(lineOf(node), key, "expected a whole number");
        const std::int64_t v = node.value<std::int64_t>().value();
        if (v < low || v > high) {
            fail(lineOf(node), key,
                 std::to_string(v) + " is out of range (" + std::to_string(low) + " to " +
                     std::to_string(high) + ")");
        }
        return v;
    }

    void readParameter(int index, const std::string& key, const toml::node& node, int line) {
        int& seen = seenLine_[static_cast<std::size_t>(index)];
        if (seen != 0) {
            fail(std::max(seen, line), std::string(parameterNames[static_cast<std::size_t>(index)]),
                 "given twice (lines " + std::to_string(std::min(seen, line)) + " and " +
                     std::to_string(std::max(seen, line)) + ")");
        }
        seen = line;
        setup_.parameterLines[static_cast<std::size_t>(index)] = line;
        ParameterSetting& s = settings_.parameters[static_cast<std::size_t>(index)];
        if (node.is_number()) {  // a bare number fixes the parameter
            s = ParameterSetting{number(node, key), 0.0, 0.0, true};
            s.lower = s.upper = s.start;
            return;
        }
        const toml::table* table = node.as_table();
        if (!table) {
            fail(line, key, "expected a number (fixed value) or a table such as "
                            "{ start = 1.2, lower = 0.8, upper = 1.8 } or { fixed = 0.3 }");
        }
        std::optional<double> start, lower, upper, fixed;
        for (auto&& [fkey, fnode] : *table) {
            const std::string field(fkey.str());
            const std::string fullKey = key + "." + field;
            const double v = number(fnode, fullKey);
            if (field == "start") start = v;
            else if (field == "lower") lower = v;
            else if (field == "upper") upper = v;
            else if (field == "fixed") fixed = v;
            else fail(lineOf(fkey, fnode), fullKey, "unknown field (expected start, lower, upper or fixed)");
        }
        try {
            s = chooseParameterSetting(index, s, {start, lower, upper, fixed});
        } catch (const CalibrationError& e) {
            fail(line, e.setting().empty() ? key : key + "." + e.setting(), e.what());
        }
    }

    void readOption(const std::string& name, const toml::node& node, int line) {
        if (name == "algorithm") {
            const auto v = node.value<std::string>();
            if (!v || findAlgorithm(*v) == nullptr) fail(line, name, "expected one of " + algorithmNameList());
            settings_.algorithm = *v;
        } else if (name == "generations") {
            settings_.generations = integer(node, name, 1, std::int64_t{1} << 40);
        } else if (name == "population") {
            settings_.population = integer(node, name, 5, 1000000);
        } else if (name == "max_evaluations") {
            settings_.maxEvaluations = integer(node, name, 1, std::int64_t{1} << 40);
        } else if (name == "seed") {
            settings_.seed = static_cast<std::uint32_t>(
                integer(node, name, 0, std::numeric_limits<std::uint32_t>::max()));
        } else if (name == "threads") {
            settings_.threads = static_cast<unsigned>(integer(node, name, 0, 4096));
        } else if (name == "penalties" || name == "polish") {
            bool value = false;
            if (const auto b = node.value<bool>(); b && node.is_boolean()) {
                value = *b;
            } else if (const auto s = node.value<std::string>(); s && (*s == "on" || *s == "off")) {
                value = *s == "on";
            } else {
                fail(line, name, "expected true or false (or \"on\" / \"off\")");
            }
            (name == "penalties" ? settings_.penalties : settings_.polish) = value;
        } else if (name == "out") {
            const auto v = node.value<std::string>();
            if (!v || v->empty()) fail(line, name, "expected a folder name");
            const std::filesystem::path out(*v);
            setup_.out = (out.is_relative() && !folder_.empty() ? folder_ / out : out).string();
        }
    }
};

}  // namespace

void applyCalibrationConfig(CalibrateSetup& setup, std::string_view text, const std::string& fileName,
                            const std::filesystem::path& folder) {
    Reader(setup, fileName, folder).apply(text);
    try {
        checkParameterSettings(setup.settings.parameters, fileName);
    } catch (const CalibrationError& e) {
        throw ConfigError(e.what());
    }
}

void readCalibrationConfig(CalibrateSetup& setup, const std::filesystem::path& file) {
    applyCalibrationConfig(setup, readTextFile(file), file.string(), file.parent_path());
}

}  // namespace calvenor::cli
