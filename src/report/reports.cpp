#include "report/reports.hpp"

#include "io/files.hpp"
#include "io/numbers.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace calvenor {

namespace {

// E notation with `digits` digits after the point, upper-case exponent letter;
// independent of the C locale.
std::string scientific(double value, int digits) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, digits);
    std::string text(buffer, result.ptr);
    for (char& c : text) {
        if (c == 'e') c = 'E';
    }
    return text;
}

std::string nonFinite(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0.0 ? "-Infinity" : "Infinity";
}

// Builds the lines of one text file (LF line ends).
class Records {
public:
    // A free-form record: one leading blank, the items separated by one blank.
    template <typename... Items>
    void freeForm(const Items&... items) {
        (append(items), ...);
        text_ += '\n';
    }
    void empty() { text_ += '\n'; }
    void ruler(char section) {
        text_ += ' ';
        text_ += section;
        text_.append(78, '-');
        text_ += '\n';
    }
    // Fields of a fixed record, placed one after the other; end() closes it.
    void field(double value, int width) { text_ += fixedField(value, width); }
    void raw(std::string_view text) { text_ += text; }
    void end() { text_ += '\n'; }

    const std::string& text() const { return text_; }

private:
    void append(std::string_view item) {
        text_ += ' ';
        text_ += item;
    }
    void append(const char* item) { append(std::string_view(item)); }
    void append(double item) { append(std::string_view(freeFormNumber(item))); }
    std::string text_;
};

// Replaces the file `name` with `content`. On failure returns the warning
// naming the file and the system's reason.
std::vector<ReportWarning> replaceFile(const std::filesystem::path& hostFolder,
                                       std::string_view name, const std::string& content, bool contained) {
    const std::filesystem::path path = reportPath(hostFolder, name, contained);
    const std::string shown = contained ? displayName({}, path.string()) : displayName(hostFolder, name);
    try {
        if (contained && path.has_parent_path()) createFolder(path.parent_path());
        writeFile(path, content, shown);
    } catch (const FileError& e) {
        return {{shown, e.reason(), path}};
    }
    return {};
}

void append(std::vector<ReportWarning>& to, std::vector<ReportWarning> from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// The store must hold what nTests promises; a mismatch is a programming
// error, caught before any file is touched.
void requirePerTest(const TestStore& store, std::size_t size, const char* field) {
    if (store.nTests < 0 || size < static_cast<std::size_t>(store.nTests)) {
        throw std::invalid_argument(std::string("test store: ") + field + " holds " +
                                    std::to_string(size) + " entries for " +
                                    std::to_string(store.nTests) + " tests");
    }
}

// Section 5 of the error report and every record of the state file.
void consolidationRecords(Records& records, const TestStore& store) {
    for (int t = 0; t < store.nTests; ++t) {
        records.field(store.pConsol[t], 15);
        records.field(store.eConsol[t], 15);
        records.end();
    }
}

void requireConsolidation(const TestStore& store) {
    requirePerTest(store, store.pConsol.size(), "pConsol");
    requirePerTest(store, store.eConsol.size(), "eConsol");
}

// The header of section 5; the full-width parentheses are GBK (code page 936).
constexpr std::string_view section5Header =
    "5. p(kPa) and voidRatio after iso-consolidation but before shear"
    "\xA3\xA8"
    "as evReadInListZong.txt sequence"
    "\xA3\xA9"
    " :";
static_assert(section5Header.size() == 102);

}  // namespace

std::filesystem::path reportPath(const std::filesystem::path& folder, std::string_view name, bool contained) {
    if (!contained) return hostPath(folder, name);
    std::filesystem::path inside;
    for (const auto& part : hostPath({}, name).relative_path()) {
        if (part == "." || part.empty()) continue;
        inside /= part == ".." ? std::filesystem::path("up") : part;
    }
    return folder / inside;
}

std::string fixedField(double value, int width, int digits) {
    if (width <= 0) return {};
    const auto w = static_cast<std::size_t>(width);
    std::string text;
    if (!std::isfinite(value)) {
        text = nonFinite(value);
    } else {
        // A three-digit exponent may not fit: give up mantissa digits instead.
        for (int d = std::max(digits, 0); d >= 0; --d) {
            text = scientific(value, d);
            if (text.size() <= w) break;
        }
    }
    if (text.size() > w) return std::string(w, '*');
    return std::string(w - text.size(), ' ') + text;
}

std::string freeFormNumber(double value) {
    if (!std::isfinite(value)) return nonFinite(value);
    return shortest(value);
}

std::vector<ReportWarning> writeErrorReport(const std::filesystem::path& hostFolder,
                                            double errorValue, const ModelParameters& parameters,
                                            const std::array<double, 11>& diagnostics,
                                            const TestStore& store, bool contained) {
    requireConsolidation(store);
    const HostParameters values = hostOrder(parameters);
    static constexpr const char* labels[parameterCount] = {
        "propm:", "enu:", "pkappa:", "plamda:", "pnvoid:", "cohesion:", "z:", "chi:", "sm:"};

    Records r;
    r.ruler('1');
    r.freeForm("1. Error function value :");
    r.field(errorValue, 15);
    r.raw("%");
    r.end();

    r.ruler('2');
    r.freeForm("2.1 Optimization parameters:");
    for (int i = 0; i < parameterCount; ++i) r.freeForm(labels[i], values[i]);
    r.empty();
    r.empty();
    r.freeForm("2.2 Optimization parameters that can input UMAT:");
    for (int i = 0; i < 4; ++i) {
        r.field(values[i], 15);
        r.end();
    }
    r.empty();
    for (int i = 4; i < parameterCount; ++i) {
        r.field(values[i], 15);
        r.end();
    }
    r.empty();
    r.empty();
    r.freeForm("2.3 Optimization parameters that used to output picture by matlab:");
    for (double v : values) r.field(v, 15);
    r.end();

    r.ruler('3');
    r.freeForm(
        "3. Error function value of each "
        "variable(ErrorObjqz,ErrorObjpz,ErrorObjev,ErrorObju,ErrorObjALL):");
    for (int k = 7; k < 11; ++k) r.field(diagnostics[k], 20);
    r.field(errorValue, 20);
    r.end();

    r.ruler('4');
    r.freeForm("4. Constraint information :");
    static constexpr const char* constraintLabels[7] = {
        "ps:", "Z-PNVOID:", "2*PKAPPA-PLAMDA:", "PLAMDA-15*PKAPPA:", "ps-30000:", "0-ps:",
        "PLAMDA/PKAPPA:"};
    for (int k = 0; k < 7; ++k) r.freeForm(constraintLabels[k], diagnostics[k]);

    r.ruler('5');
    r.freeForm(section5Header);
    consolidationRecords(r, store);

    return replaceFile(hostFolder, errorReportName, r.text(), contained);
}

std::vector<ReportWarning> writeStateFile(const std::filesystem::path& hostFolder,
                                          const TestStore& store, bool contained) {
    requireConsolidation(store);
    Records r;
    consolidationRecords(r, store);
    return replaceFile(hostFolder, stateFileName, r.text(), contained);
}

std::vector<ReportWarning> writeCurveFiles(const std::filesystem::path& hostFolder,
                                           const TestStore& store, bool contained) {
    requirePerTest(store, store.curveFile.size(), "curveFile");
    requirePerTest(store, store.rowCount.size(), "rowCount");
    for (int t = 0; t < store.nTests; ++t) {
        const std::int32_t rows = store.rowCount[t];
        if (rows > 0 && (t >= store.simAtMeasured.tests() || rows > store.simAtMeasured.rows())) {
            throw std::invalid_argument("test store: simAtMeasured has no room for the " +
                                        std::to_string(rows) + " rows of test " +
                                        std::to_string(t + 1));
        }
    }

    std::vector<ReportWarning> warnings;
    for (int t = 0; t < store.nTests; ++t) {
        Records r;
        for (int row = 0; row < store.rowCount[t]; ++row) {
            for (int c = 0; c < columnCount; ++c) {
                if (c > 0) r.raw(",");
                r.field(store.simAtMeasured(t, row, c), 20);
            }
            r.end();
        }
        append(warnings, replaceFile(hostFolder, store.curveFile[t], r.text(), contained));
    }
    return warnings;
}

}  // namespace calvenor
