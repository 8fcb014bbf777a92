#include "import/delimited.hpp"

#include <csv.h>

#include <memory>

#include "import/import_error.hpp"
#include "io/files.hpp"
#include "io/text.hpp"

namespace calvenor {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where libcsv's callbacks put what they find.
struct Collector {
    std::vector<DelimitedRecord>& records;
    DelimitedRecord current;
    bool atRecordStart = true;
};

void onCell(void* cell, std::size_t size, void* data) {
    auto& c = *static_cast<Collector*>(data);
    if (cell == nullptr) size = 0;
    c.current.cells.emplace_back(static_cast<const char*>(cell), size);
}

void onRecordEnd(int, void* data) {
    auto& c = *static_cast<Collector*>(data);
    bool blank = true;
    for (const std::string& cell : c.current.cells) blank = blank && trimBlanks(cell).empty();
    if (blank) {
        c.current.kind = DelimitedRecord::Kind::blank;
        c.current.cells.clear();
    }
    c.records.push_back(std::move(c.current));
    c.current = {};
    c.atRecordStart = true;
}

struct FreeParser {
    void operator()(csv_parser* p) const {
        csv_free(p);
        delete p;
    }
};

}  // namespace

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string normalizedText(std::string_view s) {
    std::string out;
    bool space = false;
    for (const char ch : trimBlanks(s)) {
        if (isBlank(ch)) {
            space = true;
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    }
    return out;
}

std::string shownCell(std::string_view cell) {
    constexpr std::size_t limit = 40;
    std::string out = "'";
    std::size_t n = 0;
    for (const char ch : cell) {
        if (n++ == limit) {
            out += "...";
            break;
        }
        appendPrintable(out, ch);
    }
    return out + "'";
}

std::string readDelimitedText(const std::filesystem::path& path, const std::string& shown) {
    std::string text = readFile(path, shown);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0)
        throw ImportError(shown + ": UTF-16 text; save it as UTF-8 (iconv -f UTF-16 -t UTF-8 IN > OUT)");
    if (text.compare(0, 4, "PK\x03\x04") == 0)
        throw ImportError(shown + ": a spreadsheet workbook (XLSX or ODS), not text; save the sheet as CSV "
                                  "(xlsx2csv -n SHEET IN.xlsx OUT.csv, see docs/import.md)");
    if (text.compare(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") == 0)
        throw ImportError(shown + ": an Excel 97-2003 workbook (XLS), not text; save the sheet as CSV "
                                  "(see docs/import.md)");
    return text;
}

std::vector<DelimitedRecord> splitDelimited(std::string_view text, char separator, std::string_view comment,
                                            const std::string& shown) {
    std::vector<DelimitedRecord> records;
    std::unique_ptr<csv_parser, FreeParser> parser(new csv_parser);
    // Every unquoted line end ends a record, blank lines included.
    if (csv_init(parser.get(), CSV_REPALL_NL) != 0)
        throw ImportError(shown + ": out of memory while reading");
    csv_set_delim(parser.get(), static_cast<unsigned char>(separator));
    Collector collector{records, {}, true};

    const auto feed = [&](std::string_view piece) {
        if (csv_parse(parser.get(), piece.data(), piece.size(), onCell, onRecordEnd, &collector) != piece.size())
            throw ImportError(shown + ": cannot read: " + csv_strerror(csv_error(parser.get())));
    };
    std::int64_t lineNumber = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        // One physical line, its end (LF, CR LF or CR) fed as LF.
        std::size_t end = at;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
        const std::string_view line = text.substr(at, end - at);
        at = end;
        if (at < text.size() && text[at] == '\r') ++at;
        if (at < text.size() && text[at] == '\n') ++at;
        ++lineNumber;
        if (collector.atRecordStart) {
            const std::string_view content = trimBlanks(line);
            if (!comment.empty() && content.substr(0, comment.size()) == comment) {
                DelimitedRecord r;
                r.kind = DelimitedRecord::Kind::comment;
                r.line = lineNumber;
                r.text = std::string(trimBlanks(content.substr(comment.size())));
                records.push_back(std::move(r));
                continue;
            }
            collector.atRecordStart = false;
            collector.current.line = lineNumber;
        }
        feed(line);
        feed("\n");
    }
    // Every line was fed with its end, so only a quote left open keeps a record going.
    if (!collector.atRecordStart) {
        throw ImportError(shown + ":" + std::to_string(collector.current.line) +
                          ": a quoted cell in the row that starts on this line is never closed");
    }
    csv_fini(parser.get(), onCell, onRecordEnd, &collector);
    return records;
}

}  // namespace calvenor
