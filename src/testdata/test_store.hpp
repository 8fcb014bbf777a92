// The tests of the current list, read once and kept between evaluations:
// list fields, measured rows, values derived at load time and room for the
// simulated curves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace calvenor {

// Columns of measured, simulated and simulated-at-measured rows.
enum Column : int { strainCol = 0, qCol = 1, pCol = 2, evCol = 3, uCol = 4 };
inline constexpr int columnCount = 5;

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

// Per-test fields are indexed from 0 (test t of the list is index t - 1).
struct TestStore {
    std::int32_t nTests = 0;
    std::int32_t maxRows = 0;
    bool firstLoadPending = true;
    // Set after a load failed: the list the next call loads again.
    std::optional<ListKind> retryList;

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

    // Releases everything; the load flags are kept.
    void clear();
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

// Reads the list and every data file it names into a fresh store (load flags
// left at their defaults). Throws LoadError.
TestStore loadTestList(const std::filesystem::path& hostFolder, std::string_view listName);

// The load rule, run at the start of every evaluation with switch element 3:
// nonzero or NaN reloads the full list; otherwise a pending retry or the
// first use loads its list; otherwise nothing is read. On failure the store
// is left empty with retryList set, and LoadError propagates.
void loadCheck(TestStore& store, const std::filesystem::path& hostFolder, double reloadSwitch);

}  // namespace calvenor
