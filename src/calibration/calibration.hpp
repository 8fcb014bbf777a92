// A whole calibration as one value: the settings it ran with, the search, the
// best parameters with their final evaluation, and the tests it was run
// against. The table on standard output, calibration.json and the plot page
// are each rendered from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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

// A file a calibration read, and the SHA-256 of its content.
struct FileChecksum {
    std::string file;
    std::string sha256;
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
    std::string program;              // name and version of the program that ran it
    std::vector<FileChecksum> files;  // the lists and data files read
    // The local analysis at the best set, or why there is none.
    std::optional<UncertaintyResult> uncertainty;
    std::string uncertaintySkipped;
    // What the front end wrote (for the record in calibration.json).
    std::string dir;
    std::string config;  // the configuration file, "" when none
    std::vector<std::string> reports;
    std::vector<std::string> plots;
};

struct Checkpoint;

// How a calibration is watched, stopped, saved and resumed.
struct CalibrationControl {
    ProgressFn progress;
    // Ends the search cleanly at the next generation or local step.
    const std::atomic<bool>* stop = nullptr;
    // Receives the run's checkpoint: before the search (no evaluation yet),
    // after a batch when `checkpointSeconds` have passed since the last, and
    // when the search has ended or stopped. What it throws before the search
    // propagates (and the search does not start).
    std::function<void(const Checkpoint&)> checkpoint;
    double checkpointSeconds = 60.0;
    // A checkpoint to continue from (its settings must be the ones given):
    // the run ends with the result, to the bit, of the run that was
    // interrupted had it gone on. The program and the files read must be
    // the same as when it was written; CalibrationError otherwise.
    const Checkpoint* resume = nullptr;
};

// The name and version of this program, as the records give it.
std::string programName();

// Runs the search on the evaluator's tests, then evaluates the best set once
// more with `finalOptions` (the penalties as set; reports when asked for) and,
// unless the search was interrupted, analyses it (settings.uncertainty).
// Throws CalibrationError for unusable settings and LoadError when the tests
// cannot be loaded. Before the search it refuses, with CalibrationError
// naming the list, tests of which none is scored (there is nothing to fit),
// and start values whose error value is not finite (saying which test
// stopped the evaluation and why); a search that finds no finite error value
// throws CalibrationError with the same explanation.
CalibrationOutcome calibrate(Evaluator& evaluator, const CalibrationSettings& settings, bool writeReports,
                             const CalibrationControl& control);
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
