#include "import/table.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "import/delimited.hpp"
#include "import/import_error.hpp"

namespace calvenor {

namespace {

using Kind = DelimitedRecord::Kind;

// The section title as a comment line would carry it: without a leading
// comment mark.
std::string titleOfComment(const std::string& title, const std::string& comment) {
    std::string_view t = trimBlanks(title);
    if (!comment.empty() && t.substr(0, comment.size()) == comment) t.remove_prefix(comment.size());
    return normalizedText(t);
}

bool onlyFirstCell(const DelimitedRecord& r) {
    return r.kind == Kind::cells &&
           std::all_of(r.cells.begin() + 1, r.cells.end(), [](const std::string& c) { return trimBlanks(c).empty(); });
}

bool isTitle(const DelimitedRecord& r, const TableSource& source) {
    if (r.kind == Kind::comment) return normalizedText(r.text) == titleOfComment(source.section, source.comment);
    return onlyFirstCell(r) && normalizedText(r.cells.front()) == normalizedText(source.section);
}

// An INI-style section line: "[Name]" alone on its line.
bool isSectionLine(const DelimitedRecord& r) {
    if (!onlyFirstCell(r)) return false;
    const std::string_view first = trimBlanks(r.cells.front());
    return first.size() >= 2 && first.front() == '[' && first.back() == ']';
}

bool hasCell(const DelimitedRecord& r, const std::string& text) {
    const std::string wanted = normalizedText(text);
    return std::any_of(r.cells.begin(), r.cells.end(), [&](const std::string& c) { return normalizedText(c) == wanted; });
}

// What the shape of a cell says about the decimal mark.
enum class Shape { other, point, comma };

Shape numberShape(std::string_view s) {
    s = trimBlanks(s);
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i >= s.size() || (s[i] != '.' && s[i] != ',')) return Shape::other;
    const char mark = s[i++];
    std::size_t after = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++after;
    if (digits + after == 0) return Shape::other;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exponent = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exponent;
        if (exponent == 0) return Shape::other;
    }
    if (i != s.size()) return Shape::other;
    return mark == '.' ? Shape::point : Shape::comma;
}

struct Located {
    Table table;
    std::string problem;  // why the table was not found ("" found)
};

Located locate(const TableSource& source, const std::vector<DelimitedRecord>& records, const std::string& shown) {
    Located out;
    Table& t = out.table;
    std::size_t i = 0;
    const bool bounded = !source.section.empty() || !source.header.empty();
    if (!source.section.empty()) {
        while (i < records.size() && !isTitle(records[i], source)) ++i;
        if (i == records.size()) {
            out.problem = shown + ": no section line '" + source.section + "'";
            return out;
        }
        t.sectionLine = records[i].line;
        ++i;
    }
    const std::string after = t.sectionLine ? " after the section line '" + source.section + "' (line " +
                                                  std::to_string(t.sectionLine) + ")"
                                            : "";
    const auto nextCells = [&] {
        while (i < records.size() && records[i].kind != Kind::cells) ++i;
        return i < records.size();
    };
    if (source.hasHeader) {
        if (!source.header.empty()) {
            while (i < records.size() && !(records[i].kind == Kind::cells && hasCell(records[i], source.header))) ++i;
            if (i == records.size()) {
                out.problem = shown + ": no header row with a cell '" + source.header + "'" + after;
                return out;
            }
        } else if (!nextCells()) {
            out.problem = shown + ": no header row" + after;
            return out;
        }
        t.headerLine = records[i].line;
        for (const std::string& c : records[i].cells) t.header.emplace_back(trimBlanks(c));
        ++i;
    }
    for (int u = 0; u < source.unitRows && nextCells(); ++u, ++i) t.unitRows.push_back(records[i].cells);
    if (bounded) nextCells();
    for (; i < records.size(); ++i) {
        const DelimitedRecord& r = records[i];
        if (r.kind != Kind::cells || (bounded && isSectionLine(r))) {
            if (bounded) break;
            continue;
        }
        t.rows.push_back({r.line, r.cells});
    }
    return out;
}

std::size_t splitWidth(const Table& t) {
    if (t.headerLine != 0) return t.header.size();
    return t.rows.empty() ? 0 : t.rows.front().cells.size();
}

}  // namespace

Table readTable(const TableSource& source, std::string_view text, const std::string& shown,
                const std::string& relative) {
    Located found;
    if (source.separator != 0) {
        found = locate(source, splitDelimited(text, source.separator, source.comment, shown), shown);
        if (!found.problem.empty()) throw ImportError(found.problem);
    } else {
        std::string problem;
        bool located = false;
        for (const char candidate : {'\t', ';', ','}) {
            Located attempt = locate(source, splitDelimited(text, candidate, source.comment, shown), shown);
            if (!attempt.problem.empty()) {
                if (problem.empty()) problem = attempt.problem;
                continue;
            }
            attempt.table.separator = candidate;
            if (!located) found = attempt;
            located = true;
            if (splitWidth(attempt.table) >= 2) {
                found = std::move(attempt);
                break;
            }
        }
        if (!located) throw ImportError(problem);
        if (splitWidth(found.table) < 2) {
            const std::int64_t line =
                found.table.headerLine ? found.table.headerLine
                                       : (found.table.rows.empty() ? 0 : found.table.rows.front().line);
            throw ImportError(shown + (line ? ":" + std::to_string(line) : std::string()) +
                              ": cannot tell the separator: the " +
                              (found.table.headerLine ? "header row" : "first row") +
                              " does not split at a tab, ';' or ','; give the separator");
        }
        found.table.separatorDetected = true;
    }
    Table table = std::move(found.table);
    if (source.separator != 0) table.separator = source.separator;
    table.shown = shown;
    table.relative = relative;
    for (const std::string& m : source.missing) table.missing.push_back(normalizedText(m));
    if (source.decimal != 0) {
        table.decimal = source.decimal;
    } else {
        table.decimalDetected = true;
        table.decimal = '.';
        if (table.separator != ',') {
            bool comma = false, point = false;
            for (const TableRow& row : table.rows) {
                for (const std::string& cell : row.cells) {
                    const Shape s = numberShape(cell);
                    comma = comma || s == Shape::comma;
                    point = point || s == Shape::point;
                }
            }
            if (comma && !point) table.decimal = ',';
        }
    }
    return table;
}

int findColumn(const Table& table, const ColumnRef& ref, std::string_view what) {
    const std::string headerRow = table.shown + ":" + std::to_string(table.headerLine);
    if (ref.position > 0) {
        if (table.headerLine != 0 && static_cast<std::size_t>(ref.position) > table.header.size()) {
            throw ImportError(headerRow + ": no column " + std::to_string(ref.position) + " for " + std::string(what) +
                              ": the header row has " + std::to_string(table.header.size()) + " columns");
        }
        return ref.position - 1;
    }
    if (table.headerLine == 0)
        throw ImportError(table.shown + ": " + std::string(what) + ": the table has no header row; give a position");
    const std::string wanted = normalizedText(ref.header);
    std::vector<int> matches;
    for (std::size_t c = 0; c < table.header.size(); ++c) {
        if (normalizedText(table.header[c]) == wanted) matches.push_back(static_cast<int>(c));
    }
    if (matches.empty()) {
        std::string columns;
        for (std::size_t c = 0; c < table.header.size() && c < 20; ++c) {
            if (c) columns += ", ";
            columns += shownCell(table.header[c]);
        }
        if (table.header.size() > 20) columns += ", ...";
        throw ImportError(headerRow + ": no column '" + ref.header + "' for " + std::string(what) +
                          " in the header row (its columns: " + columns + ")");
    }
    if (matches.size() > 1) {
        throw ImportError(headerRow + ": columns " + std::to_string(matches[0] + 1) + " and " +
                          std::to_string(matches[1] + 1) + " are both headed '" + ref.header + "'; give " +
                          std::string(what) + " by position");
    }
    return matches.front();
}

std::string columnLabel(const Table& table, int column) {
    std::string label = "column " + std::to_string(column + 1);
    if (table.headerLine != 0 && static_cast<std::size_t>(column) < table.header.size() &&
        !table.header[static_cast<std::size_t>(column)].empty())
        label += " (" + shownCell(table.header[static_cast<std::size_t>(column)]) + ")";
    return label;
}

std::string cellPlace(const Table& table, std::int64_t line, int column) {
    return table.shown + ":" + std::to_string(line) + ": " + columnLabel(table, column) + ": ";
}

std::string_view cellText(const TableRow& row, int column) {
    if (column < 0 || static_cast<std::size_t>(column) >= row.cells.size()) return {};
    return trimBlanks(row.cells[static_cast<std::size_t>(column)]);
}

bool cellMissing(const Table& table, const TableRow& row, int column) {
    const std::string_view text = cellText(row, column);
    if (text.empty()) return true;
    if (table.missing.empty()) return false;
    const std::string n = normalizedText(text);
    return std::find(table.missing.begin(), table.missing.end(), n) != table.missing.end();
}

std::optional<double> cellNumber(const Table& table, const TableRow& row, int column) {
    if (cellMissing(table, row, column)) return std::nullopt;
    const std::string_view text = cellText(row, column);
    std::string s(text);
    bool ok = true;
    if (table.decimal == ',') {
        if (s.find('.') != std::string::npos) ok = false;
        std::replace(s.begin(), s.end(), ',', '.');
    }
    const char* begin = s.data();
    const char* end = s.data() + s.size();
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && (*begin == '+' || *begin == '-')) ok = false;
    }
    double value = 0.0;
    if (ok) {
        const auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
        ok = ec == std::errc() && ptr == end && std::isfinite(value);
        if (ec == std::errc::result_out_of_range) {
            throw ImportError(cellPlace(table, row.line, column) + "expected a number, found " + shownCell(text) +
                              " (out of the range of doubles)");
        }
    }
    if (!ok) {
        std::string hint;
        if (table.decimal == '.' && numberShape(text) == Shape::comma)
            hint = " (a decimal comma? give decimal = \",\")";
        else if (table.decimal == ',' && numberShape(text) == Shape::point)
            hint = " (a decimal point, but the table's decimal mark is ',')";
        throw ImportError(cellPlace(table, row.line, column) + "expected a number, found " + shownCell(text) + hint);
    }
    return value;
}

}  // namespace calvenor
