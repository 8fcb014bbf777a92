// Checks of test data that loads and evaluates but is probably not what its
// author meant: warnings, never errors (the data is used as it is). Every
// front end shows them: the host module as host warnings, `calvenor eval` and
// `calvenor calibrate` on standard error.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "testdata/test_store.hpp"

namespace calvenor {

// The plausibility warnings of a test set, test by test in list order:
//   - the same data file and type listed twice (the test is scored twice);
//   - strains that look like percent (a largest |axial strain| above 1);
//   - a first row not at axial strain 0;
//   - rows not in increasing axial strain;
//   - negative axial strains (extension is not modelled);
//   - a volumetric strain in a type 1 (undrained) test (above 1e-6 in
//     magnitude: smaller values are taken as round-off).
// With `sources` (one per test) each names the file and line; without, the
// test's name and the row number.
std::vector<std::string> plausibilityWarnings(std::span<const LabTest> tests,
                                              std::span<const TestSource> sources = {});

// Why test t of the store is scored on nothing, as a phrase that follows its
// name ("has type code 0, which no measure scores"), or empty when some
// quantity of it is scored: its type scores it and its scale is not 0.
std::string unscoredReason(const TestStore& store, int t);

// When no test of the store is scored, so that every error value is 0 (or
// infinite): "no test is scored: " and why, test by test (at most five are
// named). Empty when some test is scored.
std::string nothingScoredReason(const TestStore& store);

// The load's warnings about scoring: "LIST: no test is scored: ..." when none
// is, otherwise one warning for each test that is not, at its list line.
std::vector<std::string> scoringWarnings(const TestStore& store, std::span<const TestSource> sources,
                                         const std::string& listShown);

}  // namespace calvenor
