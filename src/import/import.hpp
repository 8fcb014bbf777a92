// Laboratory data as laboratories export them, into a test set: the import
// description as a record, the import itself (tables -> LabTests, with a
// report of every conversion and warning) and the writing of the result.
//
// Sign convention, as everywhere in the system: compression positive. Axial
// strain and stresses are positive in compression, volumetric strain and
// volume change positive when the specimen contracts; a column that follows
// the opposite convention is named in Units::negate.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "import/import_error.hpp"
#include "import/table.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

// What a data column can hold.
enum class Measured : int {
    axialStrain,
    axialStress,
    radialStress,
    deviatorStress,
    meanStress,
    porePressure,
    excessPorePressure,
    volumeChange,
    volumetricStrain,
    voidRatio,
};
inline constexpr int measuredCount = 10;
// Their keys in the import description, in the order above.
inline constexpr std::array<std::string_view, measuredCount> measuredKeys = {
    "axial_strain",         "axial_stress",  "radial_stress",     "deviator_stress", "mean_stress",
    "pore_pressure",        "excess_pore_pressure", "volume_change", "volumetric_strain", "void_ratio"};
// The entry of a key, or -1.
int measuredIndex(std::string_view key);

enum class StrainUnit { plain, percent };
enum class StressUnit { kPa, MPa };
enum class StressKind { effective, total };

struct Units {
    StrainUnit strain = StrainUnit::plain;                // axial strain
    std::optional<StrainUnit> volumetricStrain;           // default: as the axial strain
    StressUnit stress = StressUnit::kPa;                  // stresses and pore pressures, here and in the description
    StressKind stresses = StressKind::effective;          // how axial, radial and mean stress are meant
    std::array<bool, measuredCount> negate{};             // columns with the opposite sign convention
};

// One kind of data file: where its rows are, which column is which and in
// what units.
struct DataSource {
    TableSource table;
    std::array<ColumnRef, measuredCount> columns;
    Units units;
};

// A table of the test programme: one row per test, keyed by test id.
struct ProgrammeSource {
    TableSource table;  // table.testId is required
    ColumnRef type, pInitial, eInitial, backPressure, specimenVolume, name;
};

// Values of one test (or, with an empty id, of every test). Stresses in the
// data source's stress unit.
struct TestSettings {
    std::string id;                       // the test id; "" for the defaults
    std::string name;                     // the data file's stem ("" from the id)
    std::optional<std::int32_t> type;
    std::optional<double> pInitial;       // list pressure
    bool pInitialFromFirstRow = false;    // the p' of the first data row
    std::optional<double> eInitial;       // list void ratio
    bool eInitialFromFirstRow = false;    // the void ratio of the first data row
    std::optional<double> backPressure;
    std::optional<double> specimenVolume; // in the unit of the volume change column
};

struct ImportConfig {
    std::filesystem::path baseFolder;   // relative file names are taken from here
    std::string configName;             // the description's name in the report
    std::vector<DataSource> data;
    std::optional<ProgrammeSource> programme;
    TestSettings defaults;
    std::vector<TestSettings> tests;
    std::vector<std::pair<std::string, std::int32_t>> typeNames;  // laboratory codes of test types ("CU" -> 1)
    std::optional<std::vector<std::string>> working;                // test ids of the working list
    std::int32_t maxRows = 200;  // rows per test after thinning; 0 keeps every row
    bool sortRows = false;       // sort each test's rows by axial strain
};

// Checks what can be checked before any file is read (what each source
// can derive, the settings' ranges). Throws ImportError with the key, e.g.
// "data.columns: no mean stress: give mean_stress, or radial_stress with
// axial_stress or deviator_stress".
void checkImportConfig(const ImportConfig& config);

struct ImportResult {
    std::vector<LabTest> tests;    // every test, in the order of the files and their rows
    std::vector<LabTest> working;  // the working list
    std::vector<std::string> warnings;
    std::string report;            // import-report.md
};

// Reads every table, derives each test's rows and list values, checks and
// thins them. Throws ImportError (or FileError) naming file, line and column.
ImportResult importTests(const ImportConfig& config);

// Writes DIR/vornevResult/ (both lists and one data file per test) and
// DIR/import-report.md. Returns the files written. Throws FileError.
std::vector<std::filesystem::path> writeImport(const std::filesystem::path& dir, const ImportResult& result);

// The rows kept when a test of strains and deviator stresses is thinned to at
// most maxRows rows (maxRows >= 3, or 0 for all): the first, the last and the
// first row of peak q, and the rows nearest to strains evenly spaced between
// the first and the last row's; in their order.
std::vector<std::size_t> thinnedRows(const std::vector<double>& strain, const std::vector<double>& q,
                                     std::size_t maxRows);

}  // namespace calvenor
