// A whole calibration as one value: the settings it ran with, the search, the
// best parameters with their final evaluation, and the tests it was run
// against. The table on standard output, calibration.json and the plot page
// are each rendered from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "calibration/engine.hpp"
#include "calibration/parameter_table.hpp"
#include "calibration/uncertainty.hpp"
#include "io/json.hpp"
#include "objective/objective.hpp"

namespace calvenor {

struct CalibrationSettings {
    ParameterSettings parameters = defaultParameterSettings();
    std::string algorithm = "cmaes";
    std::optional<std::int64_t> generations;  // global phase; unset: until the budget is spent
    std::optional<std::int64_t> population;   // unset: the algorithm's default
    std::int64_t maxEvaluations = 20000;
    std::optional<std::uint32_t> seed;         // unset: drawn at random
    unsigned threads = 0;                      // 0: the evaluator's own count
    bool penalties = true;
    bool polish = true;                        // the polish after a global algorithm
    // The local analysis at the best set (unset: none).
    std::optional<UncertaintySettings> uncertainty = UncertaintySettings{};
};

// A test as the calibration saw it.
struct TestSummary {
    std::string file;
    std::int32_t type = 0;
    std::int32_t rows = 0;
    double pInitial = 0.0;
    double eInitial = 0.0;
    double pConsol = 0.0;
    double eConsol = 0.0;
};

struct CalibrationOutcome {
    CalibrationSettings settings;  // as run: the seed is always set
    unsigned threads = 0;
    ModelParameters best{};
    double error = 0.0;             // of the final evaluation of the best set
    double bestDuringSearch = 0.0;  // the same value, as the search saw it
    Diagnostics diagnostics{};      // of the final evaluation
    std::int64_t evaluations = 0;   // of the search
    CalibrationRun run;
    std::vector<TestSummary> tests;
    // The local analysis at the best set, or why there is none.
    std::optional<UncertaintyResult> uncertainty;
    std::string uncertaintySkipped;
    // What the front end wrote (for the record in calibration.json).
    std::string dir;
    std::vector<std::string> reports;
    std::vector<std::string> plots;
};

// Runs the search on the evaluator's tests, then evaluates the best set once
// more with `finalOptions` (the penalties as set; reports when asked for) and,
// unless the search was interrupted, analyses it (settings.uncertainty).
// Throws CalibrationError for unusable settings and LoadError when the tests
// cannot be loaded; a search that finds no parameter set throws
// CalibrationError.
CalibrationOutcome calibrate(Evaluator& evaluator, const CalibrationSettings& settings, bool writeReports,
                             const ProgressFn& progress = {}, const std::atomic<bool>* stop = nullptr);

// The settings of the search engine for a calibration's settings.
EngineSettings engineSettings(const CalibrationSettings& settings);

// calibration.json: the outcome as JSON, and the parts of it that other runs
// read back (the best parameters, the settings of each parameter).
Json outcomeJson(const CalibrationOutcome& outcome);
struct CalibrationRecord {
    ModelParameters parameters{};
    ParameterSettings settings = defaultParameterSettings();
    bool penalties = true;
    double error = 0.0;
    std::string dir;
    NoiseModel noise;                // the known noise of the local analysis, if any
    std::vector<TestSummary> tests;  // file, type and rows of each test
};
// Throws CalibrationError naming `shown` when the text is not such a record.
CalibrationRecord readCalibrationRecord(const std::string& text, const std::string& shown);

}  // namespace calvenor
