#include "testdata/free_form.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/exact.hpp"

namespace calvenor::freeform {
namespace {

using calvenor::testing::sameDouble;

// Every value of the first read of `text`, read as numbers within one line.
std::vector<double> numbersOnFirstLine(std::string_view text) {
    Reader reader(text);
    std::vector<double> values;
    if (!reader.beginRead()) return values;
    while (reader.moreOnLine()) values.push_back(reader.readReal(false));
    return values;
}

std::string foundOf(std::string_view text, int valuesBefore) {
    Reader reader(text);
    reader.beginRead();
    try {
        for (int i = 0; i <= valuesBefore; ++i) reader.readReal(false);
    } catch (const ReadError& e) {
        return std::to_string(e.line()) + ": " + e.found();
    }
    return "no error";
}

TEST(FreeFormNumbers, AcceptsDecimalExponentAndSpecialForms) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::string, double>> cases = {
        {"269.2", 269.2},    {"0.1", 0.1},       {"-1.5E+3", -1500.0},
        {"1.0D-8", 1.0e-8},  {"3.0d-3", 3.0e-3}, {"2.0e2", 200.0},
        {"1.0+2", 100.0},    {"1-2", 0.01},      {"+.5", 0.5},
        {"5.", 5.0},         {"007", 7.0},       {"Inf", inf},
        {"-infinity", -inf}, {"+INF", inf},      {"1e400", inf},
        {"-1D400", -inf},    {"1e-400", 0.0},    {"4.9e-324", 4.9e-324},
    };
    for (const auto& [text, expected] : cases) {
        const auto value = parseReal(text);
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_TRUE(sameDouble(*value, expected)) << text << " read as " << *value;
    }
    EXPECT_TRUE(std::isnan(parseReal("NaN").value()));
    EXPECT_TRUE(std::isnan(parseReal("-nan").value()));
    EXPECT_TRUE(std::signbit(parseReal("-1e-400").value()));
}

TEST(FreeFormNumbers, RejectsMalformedText) {
    for (const char* text : {"", "+", ".", "-.", "e5", "1.0e", "1.0+", "1..0", "1e5x", "0x10",
                             "1,0", "nan1", "infinit", "1.0 ", "1.0E+-2", "D3"}) {
        EXPECT_FALSE(parseReal(text).has_value()) << text;
    }
}

TEST(FreeFormNumbers, IntegersAreDecimal32Bit) {
    std::int32_t v = 0;
    EXPECT_EQ(parseInt32("+7", v), IntegerStatus::ok);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(parseInt32("-2147483648", v), IntegerStatus::ok);
    EXPECT_EQ(v, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(parseInt32("2147483647", v), IntegerStatus::ok);
    EXPECT_EQ(v, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(parseInt32("2147483648", v), IntegerStatus::outOfRange);
    EXPECT_EQ(parseInt32("-99999999999999999999999", v), IntegerStatus::outOfRange);
    for (const char* text : {"", "-", "3.0", "1e3", "3x", " 3", "99999999999999999999x"})
        EXPECT_EQ(parseInt32(text, v), IntegerStatus::notInteger) << text;
}

TEST(FreeFormReader, SeparatorsAndLineEnds) {
    EXPECT_EQ(numbersOnFirstLine("1.0, 2.0\t3.0 ,4.0 , 5\r\n"),
              (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0}));
    EXPECT_EQ(numbersOnFirstLine("\t 1,2,3,\r\n4"), (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(numbersOnFirstLine("3*0.5 2*1 7"),
              (std::vector<double>{0.5, 0.5, 0.5, 1.0, 1.0, 7.0}));
    // A CR not followed by LF is part of the value.
    EXPECT_EQ(foundOf("1\r2 3\n", 0), "1: '1\\x0D2'");
}

TEST(FreeFormReader, ReadsStartOnNewLinesAndContinue) {
    Reader reader("1 2 99\n\n \t\r\n3\n  4,5\n6");
    ASSERT_TRUE(reader.beginRead());
    EXPECT_EQ(reader.readReal(), 1.0);
    EXPECT_EQ(reader.readReal(), 2.0);
    ASSERT_TRUE(reader.beginRead());  // 99 is left behind, blank lines passed over
    EXPECT_EQ(reader.line(), 4);
    EXPECT_EQ(reader.readReal(), 3.0);
    EXPECT_EQ(reader.readReal(), 4.0);  // continues on the next line
    EXPECT_EQ(reader.line(), 5);
    ASSERT_TRUE(reader.beginRead());
    EXPECT_EQ(reader.readReal(), 6.0);
    EXPECT_FALSE(reader.beginRead());
    try {
        reader.readReal();
        FAIL() << "read past the end";
    } catch (const ReadError& e) {
        EXPECT_EQ(e.found(), "end of file");
    }
}

TEST(FreeFormReader, NullsSlashesAndBadItemsAreErrors) {
    EXPECT_EQ(foundOf("1,,2", 1), "1: a null value");
    EXPECT_EQ(foundOf(",1", 0), "1: a null value");
    EXPECT_EQ(foundOf("1 3* 4", 1), "1: a null value '3*'");
    EXPECT_EQ(foundOf("1 / 2", 1), "1: '/'");
    EXPECT_EQ(foundOf("1 2/3", 2), "1: '/'");
    EXPECT_EQ(foundOf("0*5", 0), "1: '0*5' (a repeat count must be at least 1)");
    EXPECT_EQ(foundOf("\n\n1 abc", 1), "3: 'abc'");
    EXPECT_EQ(foundOf("'1.0'", 0), "1: \"'1.0'\"");
    EXPECT_EQ(foundOf("1 2", 2), "1: end of line");
}

TEST(FreeFormReader, Names) {
    Reader reader(
        "'with blank.txt' \"it\"\"s\" 'it''s' a/b\\c.txt,next\n"
        "2*'x y' 'a'/\n"
        "'open ended\n"
        "'a'b\n");
    ASSERT_TRUE(reader.beginRead());
    EXPECT_EQ(reader.readName(1000), "with blank.txt");
    EXPECT_EQ(reader.readName(1000), "it\"s");
    EXPECT_EQ(reader.readName(1000), "it's");
    EXPECT_EQ(reader.readName(1000), "a/b\\c.txt");
    EXPECT_EQ(reader.readName(3), "nex");
    ASSERT_TRUE(reader.beginRead());
    EXPECT_EQ(reader.readName(1000), "x y");
    EXPECT_EQ(reader.readName(1000), "x y");
    EXPECT_EQ(reader.readName(1000), "a");
    ASSERT_TRUE(reader.beginRead());
    try {
        reader.readName(1000);
        FAIL();
    } catch (const ReadError& e) {
        EXPECT_EQ(e.line(), 3);
        EXPECT_EQ(e.found(), "\"'open ended\" without its closing quote");
    }
    ASSERT_TRUE(reader.beginRead());
    try {
        reader.readName(1000);
        FAIL();
    } catch (const ReadError& e) {
        EXPECT_EQ(e.found(), "\"'a'b\" (text right after a closing quote)");
    }
}

TEST(FreeFormReader, IntegersOnly32BitDecimal) {
    Reader reader("-2 3.5 3000000000");
    reader.beginRead();
    EXPECT_EQ(reader.readInteger(), -2);
    try {
        reader.readInteger();
        FAIL();
    } catch (const ReadError& e) {
        EXPECT_EQ(e.found(), "'3.5'");
    }
    try {
        reader.readInteger();
        FAIL();
    } catch (const ReadError& e) {
        EXPECT_EQ(e.found(), "'3000000000' (outside the 32-bit integer range)");
    }
}

TEST(FreeFormReader, CountsNonBlankLinesUpToAnUnreadableOne) {
    Reader reader("a 1\n\n  b\r\n,\n/\n\t\r\n");
    const RecordCount plain = reader.countRecords();
    EXPECT_EQ(plain.records, 4);
    EXPECT_EQ(plain.stopLine, 0);

    Reader stopped("a\n\n'b\nc\n");
    const RecordCount early = stopped.countRecords();
    EXPECT_EQ(early.records, 1);
    EXPECT_EQ(early.stopLine, 3);
    ASSERT_TRUE(stopped.beginRead());  // counting leaves the reader at the start
    EXPECT_EQ(stopped.readName(10), "a");

    const std::string junk("\x00\x01\xff\xfe,\x7f\n\x00", 8);
    EXPECT_EQ(Reader(junk).countRecords().records, 2);
    EXPECT_EQ(Reader("").countRecords().records, 0);
    EXPECT_EQ(Reader("\n \n\r\n").countRecords().records, 0);
}

TEST(FreeFormReader, MessagesQuoteSafely) {
    EXPECT_EQ(quoteForMessage("abc"), "'abc'");
    EXPECT_EQ(quoteForMessage("it's"), "\"it's\"");
    EXPECT_EQ(quoteForMessage(std::string("a\0b\x1b", 4)), "'a\\x00b\\x1B'");
    EXPECT_EQ(quoteForMessage(std::string(50, 'x')),
              "'" + std::string(40, 'x') + "...' (50 characters)");
}

TEST(FreeFormReader, HugeLines) {
    // A number of 100 million digits reads in one pass.
    std::string line = "1." + std::string(100'000'000, '0') + "1 7";
    Reader reader(line);
    reader.beginRead();
    EXPECT_EQ(reader.readReal(false), 1.0);
    EXPECT_EQ(reader.readReal(false), 7.0);

    // Junk of the same size is reported with a short quote.
    line.assign(100'000'000, 'x');
    Reader junk(line);
    junk.beginRead();
    try {
        junk.readReal(false);
        FAIL();
    } catch (const ReadError& e) {
        EXPECT_EQ(e.found(), "'" + std::string(40, 'x') + "...' (100000000 characters)");
    }

    // A huge repeat count is not expanded.
    Reader repeat("99999999999999999999*2.5");
    repeat.beginRead();
    EXPECT_EQ(repeat.readReal(false), 2.5);
    EXPECT_TRUE(repeat.moreOnLine());
}

}  // namespace
}  // namespace calvenor::freeform
