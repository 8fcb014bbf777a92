// Delimited text as laboratories export it, split into records by libcsv:
// RFC 4180 quoting, ',' ';' or tab between cells, LF, CR LF or CR line ends,
// a UTF-8 byte-order mark, comment lines and blank lines kept apart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace calvenor {

struct DelimitedRecord {
    enum class Kind { cells, blank, comment };
    Kind kind = Kind::cells;
    std::int64_t line = 0;           // line where the record starts, from 1
    std::vector<std::string> cells;  // cells: the cells, quotes removed, unquoted blanks around them dropped
    std::string text;                // comment: the line after its comment mark, blanks around it dropped
};

// The text of a delimited file without its UTF-8 byte-order mark. Refuses a
// UTF-16 text and a spreadsheet workbook with a message that says how to
// convert them. Throws ImportError (FileError when the file cannot be read).
std::string readDelimitedText(const std::filesystem::path& path, const std::string& shown);

// Splits a text into records. A line whose first non-blank characters are
// `comment` is a comment line ("" means none); a line of blanks, or of blank
// cells only, is a blank record. A quoted cell may span lines; the record
// then carries the line it starts on. Throws ImportError for a quote that is
// never closed.
std::vector<DelimitedRecord> splitDelimited(std::string_view text, char separator, std::string_view comment,
                                            const std::string& shown);

// Blanks (spaces, tabs, line ends) dropped at both ends.
std::string_view trimBlanks(std::string_view s);

// For matching header texts and section titles: blanks around dropped, runs
// of blanks inside made one space, ASCII letters in lower case.
std::string normalizedText(std::string_view s);

// A cell for a message: quoted with '...', control characters as \xNN,
// cut to 40 characters.
std::string shownCell(std::string_view cell);

}  // namespace calvenor
