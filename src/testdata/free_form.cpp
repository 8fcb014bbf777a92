#include "testdata/free_form.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace calvenor::freeform {

namespace {

constexpr std::size_t messageTextLimit = 40;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isQuote(char c) { return c == '\'' || c == '"'; }

bool equalsIgnoringCase(std::string_view a, std::string_view lowerB) {
    if (a.size() != lowerB.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerB[i]) return false;
    }
    return true;
}

// Decimal exponent of the leading nonzero digit of int.frac (1 for "5",
// 0 for ".5", -1 for ".05"), plus exp; saturated well inside int64.
std::int64_t decimalMagnitude(std::string_view intDigits, std::string_view fracDigits,
                              std::int64_t exp) {
    std::int64_t mag = 0;
    const auto nz = intDigits.find_first_not_of('0');
    if (nz != std::string_view::npos) {
        mag = static_cast<std::int64_t>(intDigits.size() - nz);
    } else {
        const auto fz = fracDigits.find_first_not_of('0');
        mag = -static_cast<std::int64_t>(fz == std::string_view::npos ? 0 : fz);
    }
    return mag + exp;
}

// Length of the UTF-8 sequence starting at text[i], or 0 when none is there.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else
        return 0;
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    return length;
}

}  // namespace

ReadError::ReadError(std::int64_t line, std::string found)
    : std::runtime_error("line " + std::to_string(line) + ": found " + found),
      line_(line),
      found_(std::move(found)) {}

std::string quoteForMessage(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string body;
    std::size_t i = 0;
    std::size_t shown = 0;
    for (; i < text.size() && shown < messageTextLimit; ++shown) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            body += static_cast<char>(c);
            ++i;
        } else if (const std::size_t length = c >= 0x80 ? utf8Length(text, i) : 0; length > 0) {
            body.append(text.substr(i, length));
            i += length;
        } else {
            body += "\\x";
            body += hex[c >> 4];
            body += hex[c & 0xF];
            ++i;
        }
    }
    const bool cut = i < text.size();
    const bool hasApostrophe = body.find('\'') != std::string::npos;
    const bool hasQuotation = body.find('"') != std::string::npos;
    const char delimiter = hasApostrophe && !hasQuotation ? '"' : '\'';
    std::string out = delimiter + body + (cut ? "..." : "") + delimiter;
    if (cut) out += " (" + std::to_string(text.size()) + " characters)";
    return out;
}

std::optional<double> parseReal(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    const std::string_view word = s.substr(i);
    if (equalsIgnoringCase(word, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }
    if (equalsIgnoringCase(word, "inf") || equalsIgnoringCase(word, "infinity")) {
        const double inf = std::numeric_limits<double>::infinity();
        return negative ? -inf : inf;
    }

    const std::size_t intStart = i;
    while (i < n && isDigit(s[i])) ++i;
    const std::string_view intDigits = s.substr(intStart, i - intStart);
    std::string_view fracDigits;
    if (i < n && s[i] == '.') {
        const std::size_t fracStart = ++i;
        while (i < n && isDigit(s[i])) ++i;
        fracDigits = s.substr(fracStart, i - fracStart);
    }
    if (intDigits.empty() && fracDigits.empty()) return std::nullopt;

    bool expNegative = false;
    std::string_view expDigits;
    if (i < n) {
        const char c = s[i];
        if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
            ++i;
            if (i < n && (s[i] == '+' || s[i] == '-')) {
                expNegative = s[i] == '-';
                ++i;
            }
        } else if (c == '+' || c == '-') {
            expNegative = c == '-';
            ++i;
        } else {
            return std::nullopt;
        }
        const std::size_t expStart = i;
        while (i < n && isDigit(s[i])) ++i;
        expDigits = s.substr(expStart, i - expStart);
        if (expDigits.empty()) return std::nullopt;
    }
    if (i != n) return std::nullopt;

    // The exponent, saturated: anything this large is out of range anyway.
    std::int64_t exp = 0;
    for (const char c : expDigits) {
        exp = exp * 10 + (c - '0');
        if (exp > 1'000'000'000'000LL) break;
    }
    if (expNegative) exp = -exp;

    // Rewritten as "[-]int.frac" "e" exponent for from_chars, on the stack
    // unless the digits are many.
    char exponentText[24];
    const auto [exponentEnd, exponentEc] =
        std::to_chars(exponentText, exponentText + sizeof exponentText, exp);
    (void)exponentEc;
    const std::string_view exponent(exponentText,
                                    static_cast<std::size_t>(exponentEnd - exponentText));
    const std::string_view whole = intDigits.empty() ? std::string_view("0") : intDigits;
    const std::size_t length =
        (negative ? 1 : 0) + whole.size() + 1 + fracDigits.size() + 1 + exponent.size();
    char small[128];
    std::string large;
    char* out = small;
    if (length > sizeof small) {
        large.resize(length);
        out = large.data();
    }
    char* p = out;
    const auto put = [&p](std::string_view part) {
        part.copy(p, part.size());
        p += part.size();
    };
    if (negative) *p++ = '-';
    put(whole);
    *p++ = '.';
    put(fracDigits);
    *p++ = 'e';
    put(exponent);

    double value = 0.0;
    const auto [end, ec] = std::from_chars(out, p, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        const bool overflow = decimalMagnitude(intDigits, fracDigits, exp) > 0;
        value = overflow ? std::numeric_limits<double>::infinity() : 0.0;
        return negative ? -value : value;
    }
    if (ec != std::errc() || end != p) return std::nullopt;
    return value;
}

IntegerStatus parseInt32(std::string_view s, std::int32_t& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    if (i == s.size()) return IntegerStatus::notInteger;
    std::int64_t magnitude = 0;
    bool tooLarge = false;
    for (; i < s.size(); ++i) {
        if (!isDigit(s[i])) return IntegerStatus::notInteger;
        if (!tooLarge) {
            magnitude = magnitude * 10 + (s[i] - '0');
            if (magnitude > 2147483648LL) tooLarge = true;
        }
    }
    if (tooLarge || magnitude > (negative ? 2147483648LL : 2147483647LL))
        return IntegerStatus::outOfRange;
    value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return IntegerStatus::ok;
}

void Reader::rewind() {
    pos_ = 0;
    line_ = 1;
    readStarted_ = false;
    commaSeen_ = true;
    repeatLeft_ = 0;
}

bool Reader::atLineEnd(std::size_t p) const {
    if (p >= text_.size()) return true;
    const char c = text_[p];
    if (c == '\n') return true;
    return c == '\r' && (p + 1 == text_.size() || text_[p + 1] == '\n');
}

bool Reader::endsToken(std::size_t p, Kind kind) const {
    if (atLineEnd(p)) return true;
    const char c = text_[p];
    return isBlank(c) || c == ',' || (kind == Kind::number && c == '/');
}

bool Reader::toNextLine() {
    const auto lf = text_.find('\n', pos_);
    if (lf == std::string_view::npos) {
        pos_ = text_.size();
        return false;
    }
    pos_ = lf + 1;
    ++line_;
    return true;
}

bool Reader::beginRead() {
    if (readStarted_) toNextLine();
    readStarted_ = true;
    commaSeen_ = true;
    repeatLeft_ = 0;
    for (;;) {
        std::size_t p = pos_;
        while (p < text_.size() && isBlank(text_[p])) ++p;
        if (!atLineEnd(p)) return true;
        if (!toNextLine()) return false;
    }
}

bool Reader::seekItemOnLine() {
    for (;;) {
        while (pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
        if (atLineEnd(pos_)) return false;
        if (text_[pos_] == ',' && !commaSeen_) {
            commaSeen_ = true;
            ++pos_;
            continue;
        }
        return true;
    }
}

bool Reader::moreOnLine() { return repeatLeft_ > 0 || seekItemOnLine(); }

Reader::Item Reader::nextItem(Kind kind, bool continueOnNextLines) {
    if (repeatLeft_ > 0) {
        --repeatLeft_;
        return repeatItem_;
    }
    while (!seekItemOnLine()) {
        if (!continueOnNextLines) return {ItemType::endOfLine, {}, false, line_};
        if (!toNextLine()) return {ItemType::endOfText, {}, false, line_};
    }
    const std::size_t start = pos_;
    const char c = text_[start];
    if (c == ',') {
        ++pos_;  // stays a separator for what follows: commaSeen_ remains set
        return {ItemType::null, text_.substr(start, 1), false, line_};
    }
    if (c == '/' && kind == Kind::number)
        return {ItemType::slash, text_.substr(start, 1), false, line_};

    // A repeat count: digits directly followed by an asterisk.
    std::size_t p = start;
    while (p < text_.size() && isDigit(text_[p])) ++p;
    if (p > start && p < text_.size() && text_[p] == '*') {
        std::int64_t count = 0;
        for (std::size_t i = start; i < p; ++i) {
            count = count * 10 + (text_[i] - '0');
            if (count > 1'000'000'000'000LL) break;
        }
        const std::size_t valueStart = p + 1;
        Item item;
        if (count == 0) {
            std::size_t e = valueStart;
            while (!endsToken(e, kind)) ++e;
            pos_ = e;
            return {ItemType::badRepeat, text_.substr(start, e - start), false, line_};
        }
        if (endsToken(valueStart, kind)) {
            pos_ = valueStart;
            item = {ItemType::null, text_.substr(start, valueStart - start), false, line_};
        } else {
            item = scanValue(valueStart, kind);
            if (item.type != ItemType::value) return item;
        }
        commaSeen_ = false;
        repeatItem_ = item;
        repeatLeft_ = count - 1;
        return item;
    }

    Item item = scanValue(start, kind);
    if (item.type == ItemType::value) commaSeen_ = false;
    return item;
}

Reader::Item Reader::scanValue(std::size_t start, Kind kind) {
    const char c = text_[start];
    if (isQuote(c)) {
        std::size_t p = start + 1;
        for (;;) {
            if (atLineEnd(p)) {
                pos_ = p;
                return {ItemType::unterminatedQuote, text_.substr(start, p - start), true, line_};
            }
            if (text_[p] == c) {
                if (p + 1 < text_.size() && text_[p + 1] == c) {
                    p += 2;
                    continue;
                }
                break;
            }
            ++p;
        }
        const std::size_t end = p + 1;
        // After the closing quote comes a separator (or a slash ending the values).
        if (!endsToken(end, kind) && text_[end] != '/') {
            std::size_t e = end;
            while (!endsToken(e, kind)) ++e;
            pos_ = e;
            return {ItemType::junkAfterQuote, text_.substr(start, e - start), true, line_};
        }
        pos_ = end;
        return {ItemType::value, text_.substr(start, end - start), true, line_};
    }
    std::size_t p = start;
    while (!endsToken(p, kind)) ++p;
    pos_ = p;
    return {ItemType::value, text_.substr(start, p - start), false, line_};
}

void Reader::fail(const Item& item) const {
    switch (item.type) {
        case ItemType::null:
            throw ReadError(item.line, item.raw.size() > 1
                                           ? "a null value " + quoteForMessage(item.raw)
                                           : std::string("a null value"));
        case ItemType::slash:
            throw ReadError(item.line, "'/'");
        case ItemType::endOfLine:
            throw ReadError(item.line, "end of line");
        case ItemType::endOfText:
            throw ReadError(item.line, "end of file");
        case ItemType::badRepeat:
            throw ReadError(item.line,
                            quoteForMessage(item.raw) + " (a repeat count must be at least 1)");
        case ItemType::unterminatedQuote:
            throw ReadError(item.line, quoteForMessage(item.raw) + " without its closing quote");
        case ItemType::junkAfterQuote:
            throw ReadError(item.line,
                            quoteForMessage(item.raw) + " (text right after a closing quote)");
        case ItemType::value:
            break;
    }
    throw ReadError(item.line, quoteForMessage(item.raw));
}

std::string Reader::readName(std::size_t maxLength, bool continueOnNextLines) {
    const Item item = nextItem(Kind::name, continueOnNextLines);
    if (item.type != ItemType::value) fail(item);
    if (!item.quoted) return std::string(item.raw.substr(0, maxLength));
    const char quote = item.raw.front();
    const std::string_view inner = item.raw.substr(1, item.raw.size() - 2);
    std::string name;
    for (std::size_t i = 0; i < inner.size() && name.size() < maxLength; ++i) {
        name += inner[i];
        if (inner[i] == quote) ++i;  // a doubled quote stands for one
    }
    return name;
}

double Reader::readReal(bool continueOnNextLines) {
    const Item item = nextItem(Kind::number, continueOnNextLines);
    if (item.type != ItemType::value) fail(item);
    if (!item.quoted) {
        if (const auto value = parseReal(item.raw)) return *value;
    }
    fail(item);
}

std::int32_t Reader::readInteger(bool continueOnNextLines) {
    const Item item = nextItem(Kind::number, continueOnNextLines);
    if (item.type != ItemType::value) fail(item);
    std::int32_t value = 0;
    const IntegerStatus status =
        item.quoted ? IntegerStatus::notInteger : parseInt32(item.raw, value);
    if (status == IntegerStatus::ok) return value;
    if (status == IntegerStatus::outOfRange)
        throw ReadError(item.line,
                        quoteForMessage(item.raw) + " (outside the 32-bit integer range)");
    fail(item);
}

std::int64_t Reader::skipRestOfLine() {
    std::int64_t count = 0;
    for (;;) {
        if (repeatLeft_ > 0) {
            count += repeatLeft_;
            repeatLeft_ = 0;
        }
        const Item item = nextItem(Kind::number, false);
        if (item.type == ItemType::endOfLine || item.type == ItemType::endOfText || item.type == ItemType::slash)
            return count;
        ++count;
    }
}

RecordCount Reader::countRecords() {
    rewind();
    RecordCount count;
    while (beginRead()) {
        const Item item = nextItem(Kind::name, true);
        if (item.type == ItemType::value || item.type == ItemType::null ||
            item.type == ItemType::slash) {
            ++count.records;
        } else {
            count.stopLine = item.line;
            break;
        }
    }
    rewind();
    return count;
}

}  // namespace calvenor::freeform
