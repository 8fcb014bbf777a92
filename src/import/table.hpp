// A table inside delimited files: found by its section title or header row,
// its columns found by header text or position, its cells read as numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calvenor {

// Where a column is: its header text (matched without regard to case and to
// blanks around and inside it) or its position, from 1.
struct ColumnRef {
    std::string header;
    int position = 0;
    bool given() const { return !header.empty() || position > 0; }
};

// Where a table's rows are and how to read them.
struct TableSource {
    std::vector<std::string> files;    // names or glob patterns (* ? [...]), relative to the base folder
    char separator = 0;                // ',', ';' or '\t'; 0: detected
    char decimal = 0;                  // '.' or ','; 0: detected
    std::string comment = "#";         // lines starting with it are comment lines ("" none)
    std::string section;               // the line that titles the table ("" none)
    std::string header;                // a cell of the header row ("" the first row)
    bool hasHeader = true;             // false: no header row, columns by position only
    int unitRows = 0;                  // rows between the header row and the data (units)
    std::vector<std::string> missing;  // cell texts that mean "not measured", as a blank cell does
    ColumnRef testId;                  // the column that splits the table into tests
};

struct TableRow {
    std::int64_t line = 0;
    std::vector<std::string> cells;
};

// A table read from one file.
struct Table {
    std::string shown;      // the file's name in messages
    std::string relative;   // the file's name in the report
    char separator = ',';
    bool separatorDetected = false;
    char decimal = '.';
    bool decimalDetected = false;
    std::int64_t sectionLine = 0;  // 0: no section title
    std::int64_t headerLine = 0;   // 0: no header row
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> unitRows;
    std::vector<TableRow> rows;
    std::vector<std::string> missing;  // normalised
};

// Finds the table in a file's text (see TableSource). A table found by its
// section title or header text ends at the first blank, comment or [section]
// line after its data begin; otherwise it runs to the end of the text, blank
// and comment lines skipped. The separator, when not given, is the first of
// tab, ';' and ',' that splits the header row (or the first row) into two or
// more cells; the decimal mark, when not given, is ',' when the separator is
// not ',' and the data hold numbers with a decimal comma but none with a
// decimal point. Throws ImportError.
Table readTable(const TableSource& source, std::string_view text, const std::string& shown,
                const std::string& relative);

// The 0-based index of a column; `what` names it in messages. Throws
// ImportError naming the header row ("FILE:LINE: no column 'X' for what ...").
int findColumn(const Table& table, const ColumnRef& ref, std::string_view what);

// "column 3 ('Axial strain')", or "column 3" without a header row.
std::string columnLabel(const Table& table, int column);

// A cell's text, blanks around dropped ("" beyond the row's end).
std::string_view cellText(const TableRow& row, int column);

// Whether a cell means "not measured": blank, or one of the table's missing texts.
bool cellMissing(const Table& table, const TableRow& row, int column);

// The number in a cell; nullopt when the cell is missing. Throws ImportError
// "FILE:LINE: column C ('H'): expected a number, found 'x'".
std::optional<double> cellNumber(const Table& table, const TableRow& row, int column);

// "FILE:LINE: column C ('H'): " for messages about a cell.
std::string cellPlace(const Table& table, std::int64_t line, int column);

}  // namespace calvenor
