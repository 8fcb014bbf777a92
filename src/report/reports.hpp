// The text reports written at the end of an evaluation on request: the error
// report, the file of states after consolidation, one simulated-values file
// per test.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "objective/parameters.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

inline constexpr std::string_view errorReportName = ".\\vornevResult\\VORNevPicOutError.DAT";
inline constexpr std::string_view stateFileName = ".\\vornevResult\\MidPande.DAT";

// A report that could not be written: the file as shown to the user and the
// system's reason, and the file as written to.
struct ReportWarning {
    std::string file;
    std::string reason;
    std::filesystem::path path;
    std::string message() const { return file + ": cannot write report: " + reason; }
};

// The file a report of host name `name` goes to. In the host's places
// (`contained` false): the name relative to `folder` as the host folder, an
// absolute name as it is. In a report folder of its own (`contained`): every
// name inside `folder`, under its relative path, an absolute name without its
// root and each ".." as "up", so that nothing is written outside.
std::filesystem::path reportPath(const std::filesystem::path& folder, std::string_view name, bool contained);

// Each writer replaces its file(s) and returns the files that could not be
// written; it never throws for I/O failures. In a report folder of its own
// (`contained`, see reportPath) missing folders are created.
std::vector<ReportWarning> writeErrorReport(const std::filesystem::path& hostFolder,
                                            double errorValue, const ModelParameters& parameters,
                                            const std::array<double, 11>& diagnostics,
                                            const TestStore& store, bool contained = false);
std::vector<ReportWarning> writeStateFile(const std::filesystem::path& hostFolder,
                                          const TestStore& store, bool contained = false);
std::vector<ReportWarning> writeCurveFiles(const std::filesystem::path& hostFolder,
                                           const TestStore& store, bool contained = false);

// Field formatting shared by the reports.
// A real right-aligned in `width` in E notation with `digits` digits after the
// point ("1.23456789E+02"); one mantissa digit fewer where a three-digit
// exponent would not fit; "Infinity", "-Infinity", "NaN" for non-finite values.
std::string fixedField(double value, int width, int digits = 8);
// A double in shortest round-trip form ("inf", "-inf", "nan" never occur in
// free-form records: non-finite values are written "Infinity", "-Infinity", "NaN").
std::string freeFormNumber(double value);

}  // namespace calvenor
