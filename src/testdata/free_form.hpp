// Free-form (list-directed) reading of text held in memory.
//
// Values are separated by blanks, tabs or a comma (blanks around the comma
// belong to it); a line end acts as a blank, and a CR just before the LF (or
// at the very end) is ignored. Each read starts at the beginning of a line,
// passes over blank lines and, when the line runs out, goes on into the
// following lines unless the caller keeps it to one line.
//
// Items: a value, optionally preceded by a repeat count ("3*0.0" is three
// zeros); a null value (two commas in a row, a comma opening a read, or "3*"
// with nothing after the asterisk); a slash, which in a number field ends the
// values. A name may be quoted with apostrophes or quotation marks (a doubled
// quote inside stands for one) and may then hold blanks; an unquoted name ends
// at a blank, tab, comma or line end. Null values and slashes never leave a
// field unset here: reading them is an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace calvenor::freeform {

// A read that did not find the value it wanted. found() describes what was
// there instead, ready to follow "found " in a message; line() is 1-based.
class ReadError : public std::runtime_error {
public:
    ReadError(std::int64_t line, std::string found);
    std::int64_t line() const { return line_; }
    const std::string& found() const { return found_; }

private:
    std::int64_t line_;
    std::string found_;
};

// Text quoted for a message: long text is cut (with its length in bytes
// added); control bytes and bytes that are not UTF-8 are shown as \xNN.
std::string quoteForMessage(std::string_view text);

// A real in decimal or exponent form (exponent letter E, e, D or d, or a
// signed exponent without a letter: "1.0+2" is 100), or NaN, Inf, Infinity in
// any case, each with an optional sign. Magnitudes beyond the double range
// give an infinity, those below it zero. Empty when the text is not a number.
std::optional<double> parseReal(std::string_view text);

// A 32-bit signed integer in plain decimal with an optional sign.
enum class IntegerStatus { ok, notInteger, outOfRange };
IntegerStatus parseInt32(std::string_view text, std::int32_t& value);

// Result of counting the records of a text.
struct RecordCount {
    std::int64_t records = 0;
    // 0 when counting reached the end of the text; otherwise the line whose
    // first value could not be read, where counting stopped.
    std::int64_t stopLine = 0;
};

class Reader {
public:
    // The text must outlive the reader.
    explicit Reader(std::string_view text) : text_(text) {}

    // Back to the start of the text, before the first read.
    void rewind();

    // Starts a read: moves to the beginning of the line after the one the last
    // read ended on (the first line for the first read) and passes over blank
    // lines. False when no non-blank line remains.
    bool beginRead();

    // 1-based line of the reading position.
    std::int64_t line() const { return line_; }

    // Whether another item (value or null) remains on the current line.
    bool moreOnLine();

    // The next value as a name, cut to at most maxLength characters. Throws
    // ReadError.
    std::string readName(std::size_t maxLength, bool continueOnNextLines = true);
    double readReal(bool continueOnNextLines = true);
    std::int32_t readInteger(bool continueOnNextLines = true);

    // Passes over what is left on the current line and returns how many
    // values (null values included, a repeat count counting each repeat) it
    // held: the values a read left unread. A slash ends them, as it ends the
    // values of a read.
    std::int64_t skipRestOfLine();

    // Counts records the way a list-directed read of one character value per
    // record does: each non-blank line is one record, up to the first line
    // whose first value cannot be read. Leaves the reader rewound.
    RecordCount countRecords();

private:
    enum class Kind { name, number };
    enum class ItemType {
        value,
        null,
        slash,
        endOfLine,
        endOfText,
        badRepeat,
        unterminatedQuote,
        junkAfterQuote
    };
    struct Item {
        ItemType type = ItemType::endOfText;
        std::string_view raw;  // the value as written, quotes included
        bool quoted = false;
        std::int64_t line = 0;
    };

    Item nextItem(Kind kind, bool continueOnNextLines);
    Item scanValue(std::size_t start, Kind kind);
    bool seekItemOnLine();
    bool toNextLine();
    bool atLineEnd(std::size_t p) const;
    bool endsToken(std::size_t p, Kind kind) const;
    [[noreturn]] void fail(const Item& item) const;

    std::string_view text_;
    std::size_t pos_ = 0;
    std::int64_t line_ = 1;
    bool readStarted_ = false;
    // A comma has been passed since the last item, so another comma makes a
    // null value (also true at the start of a read).
    bool commaSeen_ = true;
    std::int64_t repeatLeft_ = 0;
    Item repeatItem_;
};

}  // namespace calvenor::freeform
