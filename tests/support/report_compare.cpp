#include "support/report_compare.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "support/exact.hpp"

namespace calvenor::testing {

namespace {

// One field of a fixed record: a number in `width` columns, or a literal text.
struct FieldSpec {
    int width;
    bool numeric;
};

struct RecordLayout {
    enum Kind { freeForm, empty, fixed } kind;
    std::vector<FieldSpec> fields;
};

RecordLayout freeRecord() { return {RecordLayout::freeForm, {}}; }
RecordLayout emptyRecord() { return {RecordLayout::empty, {}}; }
RecordLayout fixedNumbers(int count, int width) {
    return {RecordLayout::fixed, std::vector<FieldSpec>(static_cast<std::size_t>(count), {width, true})};
}

// The records of the error report up to the end of the section-5 header;
// one pair record per test follows.
const std::vector<RecordLayout>& errorReportHead() {
    static const std::vector<RecordLayout> head = [] {
        std::vector<RecordLayout> h;
        h.push_back(freeRecord());                                         // ruler 1
        h.push_back(freeRecord());                                         // "1. Error function value :"
        h.push_back({RecordLayout::fixed, {{15, true}, {1, false}}});        // value and "%"
        h.push_back(freeRecord());                                         // ruler 2
        h.push_back(freeRecord());                                         // "2.1 ..."
        for (int i = 0; i < 9; ++i) h.push_back(freeRecord());            // label value
        h.push_back(emptyRecord());
        h.push_back(emptyRecord());
        h.push_back(freeRecord());                                         // "2.2 ..."
        for (int i = 0; i < 4; ++i) h.push_back(fixedNumbers(1, 15));
        h.push_back(emptyRecord());
        for (int i = 0; i < 5; ++i) h.push_back(fixedNumbers(1, 15));
        h.push_back(emptyRecord());
        h.push_back(emptyRecord());
        h.push_back(freeRecord());                                         // "2.3 ..."
        h.push_back(fixedNumbers(9, 15));
        h.push_back(freeRecord());                                         // ruler 3
        h.push_back(freeRecord());                                         // "3. ..."
        h.push_back(fixedNumbers(5, 20));
        h.push_back(freeRecord());                                         // ruler 4
        h.push_back(freeRecord());                                         // "4. ..."
        for (int i = 0; i < 7; ++i) h.push_back(freeRecord());            // label value
        h.push_back(freeRecord());                                         // ruler 5
        h.push_back(freeRecord());                                         // section-5 header
        return h;
    }();
    return head;
}

RecordLayout recordSpec(ReportKind kind, std::size_t line) {
    switch (kind) {
        case ReportKind::errorReport: {
            const auto& head = errorReportHead();
            return line < head.size() ? head[line] : fixedNumbers(2, 15);
        }
        case ReportKind::stateFile:
            return fixedNumbers(2, 15);
        case ReportKind::curveFile: {
            RecordLayout layout{RecordLayout::fixed, {}};
            for (int i = 0; i < 5; ++i) {
                if (i > 0) layout.fields.push_back({1, false});
                layout.fields.push_back({20, true});
            }
            return layout;
        }
    }
    return freeRecord();
}

struct Lines {
    std::vector<std::string> records;
    bool lastTerminated = true;
};

Lines splitRecords(const std::string& text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.records.push_back(text.substr(start));
            lines.lastTerminated = false;
            break;
        }
        lines.records.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string trimBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(' ');
    return std::string(s.substr(first, last - first + 1));
}

std::vector<std::string> tokens(const std::string& record) {
    std::vector<std::string> out;
    std::istringstream in(record);
    std::string token;
    while (in >> token) out.push_back(token);
    return out;
}

std::optional<double> freeFormValue(const std::string& token) {
    if (token.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(token.c_str(), &end);
    if (end == token.c_str() || *end != '\0') return std::nullopt;
    return v;
}

// A number of a fixed field and half a unit of its last printed digit.
struct FixedNumber {
    double value;
    double halfUnit;  // 0 for non-finite values
};

std::optional<double> exactDecimal(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') return std::nullopt;
    return v;
}

// Reads E notation with an optional exponent letter (E or D) and any number of
// mantissa digits ("0.13000000E+01", "-1.2345679E+300", "0.12345679+300"),
// and the non-finite spellings.
std::optional<FixedNumber> parseFixed(const std::string& field) {
    const std::string s = trimBlanks(field);
    std::string lower;
    for (char c : s) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "nan" || lower == "+nan" || lower == "-nan") return FixedNumber{NAN, 0.0};
    if (lower == "infinity" || lower == "+infinity" || lower == "inf" || lower == "+inf")
        return FixedNumber{INFINITY, 0.0};
    if (lower == "-infinity" || lower == "-inf") return FixedNumber{-INFINITY, 0.0};

    std::size_t i = 0;
    std::string mantissa;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) mantissa += s[i++];
    int digits = 0;
    int fraction = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            ++digits;
            if (point) ++fraction;
            mantissa += c;
        } else if (c == '.' && !point) {
            point = true;
            mantissa += c;
        } else {
            break;
        }
    }
    if (digits == 0) return std::nullopt;

    long exponent = 0;
    if (i < s.size()) {
        if (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd') ++i;
        std::string exp;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) exp += s[i++];
        const std::size_t expDigits = s.size() - i;
        if (expDigits == 0 || expDigits > 4) return std::nullopt;
        for (; i < s.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(s[i]))) return std::nullopt;
            exp += s[i];
        }
        exponent = std::strtol(exp.c_str(), nullptr, 10);
    }

    const auto value = exactDecimal(mantissa + "E" + std::to_string(exponent));
    const auto halfUnit = exactDecimal("5E" + std::to_string(exponent - fraction - 1));
    if (!value || !halfUnit) return std::nullopt;
    return FixedNumber{*value, *halfUnit};
}

bool sameFixed(const FixedNumber& a, const FixedNumber& b) {
    if (!std::isfinite(a.value) || !std::isfinite(b.value)) {
        if (std::isnan(a.value) || std::isnan(b.value)) return std::isnan(a.value) && std::isnan(b.value);
        return a.value == b.value;
    }
    // Both are roundings of one value: they lie within half a unit of their
    // own last digits of it. The small allowance covers reading them back.
    const double tolerance = (a.halfUnit + b.halfUnit) * (1.0 + 1e-9);
    return std::fabs(a.value - b.value) <= tolerance;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

void compareFixed(const RecordLayout& layout, const std::string& ours, const std::string& ref,
                  const std::string& where, std::vector<std::string>& out) {
    std::size_t length = 0;
    for (const auto& f : layout.fields) length += static_cast<std::size_t>(f.width);
    bool shapeOk = true;
    if (ours.size() != length) {
        out.push_back(where + ": our record has " + std::to_string(ours.size()) +
                      " characters, expected " + std::to_string(length) + ": " + quoted(ours));
        shapeOk = false;
    }
    if (ref.size() != length) {
        out.push_back(where + ": reference record has " + std::to_string(ref.size()) +
                      " characters, expected " + std::to_string(length) + ": " + quoted(ref));
        shapeOk = false;
    }
    if (!shapeOk) return;

    std::size_t pos = 0;
    int number = 0;
    for (const auto& f : layout.fields) {
        const std::string a = ours.substr(pos, static_cast<std::size_t>(f.width));
        const std::string b = ref.substr(pos, static_cast<std::size_t>(f.width));
        pos += static_cast<std::size_t>(f.width);
        if (!f.numeric) {
            if (a != b) out.push_back(where + ": text " + quoted(a) + ", reference " + quoted(b));
            continue;
        }
        ++number;
        const auto x = parseFixed(a);
        const auto y = parseFixed(b);
        const std::string field = where + ": field " + std::to_string(number) + " ";
        if (!x) {
            out.push_back(field + quoted(a) + " is not a number");
        } else if (!y) {
            out.push_back(field + "of the reference " + quoted(b) + " is not a number");
        } else if (!sameFixed(*x, *y)) {
            out.push_back(field + quoted(a) + " differs from reference " + quoted(b));
        }
    }
}

void compareFree(const std::string& ours, const std::string& ref, const std::string& where,
                 std::vector<std::string>& out) {
    const auto a = tokens(ours);
    const auto b = tokens(ref);
    if (a.size() != b.size()) {
        out.push_back(where + ": " + std::to_string(a.size()) + " items " + quoted(ours) +
                      ", reference " + std::to_string(b.size()) + " items " + quoted(ref));
        return;
    }
    for (std::size_t k = 0; k < a.size(); ++k) {
        const auto x = freeFormValue(a[k]);
        const auto y = freeFormValue(b[k]);
        const bool same = (x && y) ? sameDouble(*x, *y) : (!x && !y && a[k] == b[k]);
        if (!same) {
            out.push_back(where + ": item " + std::to_string(k + 1) + " " + quoted(a[k]) +
                          ", reference " + quoted(b[k]));
        }
    }
}

std::optional<std::string> readWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

::testing::AssertionResult verdict(const std::vector<std::string>& differences) {
    if (differences.empty()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    const std::size_t shown = std::min<std::size_t>(differences.size(), 20);
    for (std::size_t k = 0; k < shown; ++k) failure << differences[k] << "\n";
    if (shown < differences.size()) failure << "... " << differences.size() - shown << " more\n";
    return failure;
}

}  // namespace

ReportKind reportKindOf(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    if (name == "VORNevPicOutError.DAT") return ReportKind::errorReport;
    if (name == "MidPande.DAT") return ReportKind::stateFile;
    return ReportKind::curveFile;
}

std::vector<std::string> reportTextDifferences(const std::string& ours,
                                               const std::string& reference, ReportKind kind,
                                               const std::string& name) {
    std::vector<std::string> out;
    const Lines a = splitRecords(ours);
    const Lines b = splitRecords(reference);
    if (a.records.size() != b.records.size()) {
        out.push_back(name + ": " + std::to_string(a.records.size()) + " records, reference has " +
                      std::to_string(b.records.size()));
    }
    if (a.lastTerminated != b.lastTerminated) {
        out.push_back(name + ": the last record " +
                      (a.lastTerminated ? "ends with a line end, the reference's does not"
                                        : "lacks the line end the reference has"));
    }
    const std::size_t n = std::min(a.records.size(), b.records.size());
    for (std::size_t line = 0; line < n; ++line) {
        const std::string where = name + ":" + std::to_string(line + 1);
        const RecordLayout layout = recordSpec(kind, line);
        const std::string& x = a.records[line];
        const std::string& y = b.records[line];
        switch (layout.kind) {
            case RecordLayout::empty:
                if (!trimBlanks(x).empty() || !trimBlanks(y).empty()) {
                    out.push_back(where + ": empty record expected: " + quoted(x) + ", reference " +
                                  quoted(y));
                }
                break;
            case RecordLayout::freeForm:
                compareFree(x, y, where, out);
                break;
            case RecordLayout::fixed:
                compareFixed(layout, x, y, where, out);
                break;
        }
    }
    return out;
}

std::vector<std::string> reportDifferences(const std::filesystem::path& ours,
                                           const std::filesystem::path& reference,
                                           ReportKind kind) {
    const auto a = readWhole(ours);
    const auto b = readWhole(reference);
    std::vector<std::string> out;
    if (!a) out.push_back(ours.string() + ": cannot be read");
    if (!b) out.push_back(reference.string() + ": reference cannot be read");
    if (!a || !b) return out;
    return reportTextDifferences(*a, *b, kind, ours.string());
}

std::vector<std::string> reportDifferences(const std::filesystem::path& ours,
                                           const std::filesystem::path& reference) {
    return reportDifferences(ours, reference, reportKindOf(reference));
}

::testing::AssertionResult reportMatches(const std::filesystem::path& ours,
                                         const std::filesystem::path& reference) {
    return verdict(reportDifferences(ours, reference));
}

::testing::AssertionResult reportTreeMatches(const std::filesystem::path& ourRoot,
                                             const std::filesystem::path& referenceRoot) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::recursive_directory_iterator it(referenceRoot, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file()) files.push_back(it->path());
    }
    if (ec) {
        return ::testing::AssertionFailure()
               << referenceRoot.string() << ": cannot be listed: " << ec.message();
    }
    if (files.empty()) {
        return ::testing::AssertionFailure() << referenceRoot.string() << ": no reference files";
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> differences;
    for (const auto& reference : files) {
        const auto ours = ourRoot / std::filesystem::relative(reference, referenceRoot);
        auto d = reportDifferences(ours, reference);
        differences.insert(differences.end(), d.begin(), d.end());
    }
    return verdict(differences);
}

}  // namespace calvenor::testing
