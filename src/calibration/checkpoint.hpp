// A calibration's checkpoint: what a resumed run needs to end, to the bit,
// as the interrupted run would have ended. The search is not saved but
// replayed: it is deterministic given its seed and the error values it is
// given, so the resumed run starts the search afresh and answers its first
// evaluations from the record (checking that it asks for the same parameter
// sets), then restores the evaluator's carried state and goes on evaluating.
#pragma once

#include <string>
#include <vector>

#include "calibration/calibration.hpp"
#include "calibration/engine.hpp"
#include "io/json.hpp"

namespace calvenor {

struct Checkpoint {
    std::string program;               // programName() of the run that wrote it
    CalibrationSettings settings;      // as run: the seed is set
    std::vector<FileChecksum> files;   // what the run read
    SearchRecord record;
    Json frontEnd = Json::object();    // what the front end needs to carry on (its folders and options)
};

std::string checkpointText(const Checkpoint& checkpoint);
// Throws CalibrationError naming `shown` when the text is not a checkpoint.
Checkpoint readCheckpoint(const std::string& text, const std::string& shown);

// The list and data files an evaluator on a host folder has loaded, each
// once and named relative to the host folder, with their checksums (none for
// tests in memory). Throws FileError.
std::vector<FileChecksum> dataFileChecksums(const Evaluator& evaluator);

// The settings as JSON and back (throws CalibrationError naming `shown`).
Json settingsJson(const CalibrationSettings& settings);
CalibrationSettings settingsFromJson(const Json& json, const std::string& shown);

}  // namespace calvenor
