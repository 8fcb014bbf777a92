// Field-by-field comparison of a report file with a reference report.
//
// Two renderings of one report agree when they hold the same records in the
// same order, the same labels and texts, fixed records with the same field
// widths, fixed-width numbers equal to the precision both sides printed (each
// side's rounding is half a unit of its last printed digit), and free-form
// numbers equal exactly. The notation inside a fixed-width field is free:
// "0.13000000E+01", "1.30000000E+00" and "0.13000000+001" are all read.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace calvenor::testing {

enum class ReportKind { errorReport, stateFile, curveFile };

// The kind of a report by its file name: "VORNevPicOutError.DAT",
// "MidPande.DAT", anything else a curve file.
ReportKind reportKindOf(const std::filesystem::path& file);

// The differences between `ours` and `reference`, one message per record
// ("file:line: ..."); empty when they agree. A missing file is a difference.
std::vector<std::string> reportDifferences(const std::filesystem::path& ours,
                                           const std::filesystem::path& reference,
                                           ReportKind kind);
std::vector<std::string> reportDifferences(const std::filesystem::path& ours,
                                           const std::filesystem::path& reference);

// The same, on the contents of two files (names used in messages only).
std::vector<std::string> reportTextDifferences(const std::string& ours,
                                               const std::string& reference, ReportKind kind,
                                               const std::string& name = "report");

// For EXPECT_TRUE: the file agrees with the reference.
::testing::AssertionResult reportMatches(const std::filesystem::path& ours,
                                         const std::filesystem::path& reference);

// Every file under referenceRoot (e.g. a case's expected-reports folder)
// against the file at the same relative path under ourRoot.
::testing::AssertionResult reportTreeMatches(const std::filesystem::path& ourRoot,
                                             const std::filesystem::path& referenceRoot);

}  // namespace calvenor::testing
