// The tests of the current list, read once and kept between evaluations:
// list fields, measured rows, values derived at load time and room for the
// simulated curves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "testdata/test_types.hpp"

namespace calvenor {

// Points of a simulated path, and of each test's simulated curve.
inline constexpr int pathPoints = 3000;

// nTests x rows x 5 doubles, indexed (test, row, column) from 0. Each
// (test, column) pair holds its rows contiguously, so a column of one test
// is a span.
class Array3 {
public:
    Array3() = default;
    Array3(std::int32_t tests, std::int32_t rows, double fill = 0.0)
        : tests_(tests), rows_(rows),
          data_(static_cast<std::size_t>(tests) * static_cast<std::size_t>(rows) * columnCount,
                fill) {}

    double& operator()(int t, int r, int c) { return data_[index(t, r, c)]; }
    double operator()(int t, int r, int c) const { return data_[index(t, r, c)]; }
    std::span<double> column(int t, int c) { return {data_.data() + index(t, 0, c), rows_span()}; }
    std::span<const double> column(int t, int c) const {
        return {data_.data() + index(t, 0, c), rows_span()};
    }
    std::int32_t tests() const { return tests_; }
    std::int32_t rows() const { return rows_; }

private:
    std::size_t rows_span() const { return static_cast<std::size_t>(rows_); }
    std::size_t index(int t, int r, int c) const {
        return (static_cast<std::size_t>(t) * columnCount + static_cast<std::size_t>(c)) *
                   static_cast<std::size_t>(rows_) +
               static_cast<std::size_t>(r);
    }
    std::int32_t tests_ = 0;
    std::int32_t rows_ = 0;
    std::vector<double> data_;
};

enum class ListKind { working, full };

// The two lists, as the host writes them (relative to its current folder).
inline constexpr std::string_view workingListName = ".\\vornevResult\\evReadInList.txt";
inline constexpr std::string_view fullListName = ".\\vornevResult\\evReadInListZong.txt";

// A load that cannot complete. what() names the file, the 1-based line where
// it applies and what was expected, e.g.
//   "vornevResult/T3.txt:17: expected 5 numbers, found 3".
class LoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One measured row: strain, q, p, ev, u.
using MeasuredRow = std::array<double, columnCount>;

// One laboratory test as a user knows it: a list record and its data rows.
struct LabTest {
    std::string name;          // the data file name, as a list names it
    std::int32_t type = 0;     // test type code
    double pInitial = 0.0;     // mean effective stress before consolidation, kPa
    double eInitial = 0.0;     // void ratio at pInitial
    std::vector<MeasuredRow> rows;
};

// Where a test's records were read from, for messages: the list (as shown
// to the user) and the line of the test's record, the data file (as shown)
// and the line of each row.
struct TestSource {
    std::string list;
    std::int64_t listLine = 0;
    std::string file;
    std::vector<std::int64_t> rowLines;
};

// The tests of the current list: list fields, measured rows, the values
// derived from them, and the simulated values the last evaluation left.
// Per-test fields are indexed from 0 (test t of the list is index t - 1).
struct TestStore {
    std::int32_t nTests = 0;
    std::int32_t maxRows = 0;

    std::vector<std::string> testFile;   // data file name as written in the list
    std::vector<std::string> curveFile;  // name of the test's simulated-values file
    std::vector<std::int32_t> rowCount;
    std::vector<std::int32_t> testType;
    std::vector<double> pInitial;
    std::vector<double> eInitial;
    std::vector<double> pConsol;
    std::vector<double> eConsol;
    std::vector<double> strainRange;
    std::vector<double> qScale;
    std::vector<double> pScale;
    std::vector<double> evScale;
    std::vector<double> uScale;

    Array3 measured;       // nTests x maxRows x 5
    Array3 simCurve;       // nTests x pathPoints x 5
    Array3 simAtMeasured;  // nTests x maxRows x 5, 0.0 until first written

    // Releases everything.
    void clear();
    // Back to the simulated state of a fresh store: eConsol, simCurve and
    // simAtMeasured all 0.0.
    void resetSimulated();
};

// When the host-style evaluation loads: the first-use flag, and the list to
// load again after a failed load.
struct LoadFlags {
    bool firstLoadPending = true;
    std::optional<ListKind> retryList;
};

// A name as the host writes it (backslash separators), as a path to open:
// every backslash becomes '/', and a relative name is taken relative to
// hostFolder (an empty hostFolder means the process's current folder).
std::filesystem::path hostPath(const std::filesystem::path& hostFolder, std::string_view name);

// The name used for a file in messages: backslashes mapped, a leading "./"
// dropped, prefixed with hostFolder when that is not empty or ".".
std::string displayName(const std::filesystem::path& hostFolder, std::string_view name);

// Name of the simulated-values file of a test: the list name without its
// four-character extension, "-", the type code, ".DAT".
std::string deriveCurveFile(std::string_view listName, std::int32_t testType);

// The one place where a store is built and every per-test value derived:
// curveFile from the name and type, strainRange, the four scales, pConsol.
// Throws LoadError for a test without rows ("NAME: no data rows") and when
// the arrays do not fit in memory.
TestStore buildTestStore(std::vector<LabTest> tests);

// Reads a list and every data file it names. Throws LoadError naming the
// file and line. A UTF-8 byte-order mark at the start of a file is passed
// over. What the reading noticed without stopping is added to `warnings`
// (when given), each naming the file and line: records with more values than
// are read, and the plausibility warnings of data_checks.hpp.
std::vector<LabTest> readTestList(const std::filesystem::path& hostFolder, std::string_view listName,
                                  std::vector<std::string>* warnings = nullptr);

// readTestList, then buildTestStore; the warnings also say when no test of
// the list is scored, or which tests are not.
TestStore loadTestList(const std::filesystem::path& hostFolder, std::string_view listName,
                       std::vector<std::string>* warnings = nullptr);

// The load rule, run at the start of every host-style evaluation: a reload
// request loads the full list; otherwise a pending retry or the first use
// loads its list; otherwise nothing is read. On failure the store is left
// empty with retryList set, and LoadError propagates. The warnings of a load
// that completed are added to `warnings` (when given).
void loadCheck(TestStore& store, LoadFlags& rule, const std::filesystem::path& hostFolder, bool reload,
               std::vector<std::string>* warnings = nullptr);

// Writes a test set as the host reads it: DIR/vornevResult/evReadInListZong.txt
// listing `full`, DIR/vornevResult/evReadInList.txt listing `working`, and
// one data file per test of either, at the test's name taken relative to DIR
// (so a name .\vornevResult\T1.txt lands in DIR/vornevResult/T1.txt).
// Numbers are written in shortest round-trip form, so reading the files back
// gives the same bits. Returns the files written. Throws FileError.
std::vector<std::filesystem::path> writeTestSet(const std::filesystem::path& dir, std::span<const LabTest> full,
                                                std::span<const LabTest> working);

}  // namespace calvenor
