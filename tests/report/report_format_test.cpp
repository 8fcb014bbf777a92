#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "report/reports.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

TEST(FixedField, RightAlignsNineSignificantDigits) {
    EXPECT_EQ(fixedField(123.456789, 15), " 1.23456789E+02");
    EXPECT_EQ(fixedField(-0.0045, 15), "-4.50000000E-03");
    EXPECT_EQ(fixedField(1.3, 15), " 1.30000000E+00");
    EXPECT_EQ(fixedField(1.00000078e-08, 20), "      1.00000078E-08");
    EXPECT_EQ(fixedField(9.999999999, 15), " 1.00000000E+01");  // rounding carries into the exponent
    EXPECT_EQ(fixedField(1.5, 10, 3), " 1.500E+00");
}

TEST(FixedField, ZerosKeepTheirSign) {
    EXPECT_EQ(fixedField(0.0, 15), " 0.00000000E+00");
    EXPECT_EQ(fixedField(-0.0, 15), "-0.00000000E+00");
}

TEST(FixedField, ThreeDigitExponentsGiveUpMantissaDigitsOnlyWhenTheyMustFit) {
    EXPECT_EQ(fixedField(1e-300, 15), "1.00000000E-300");
    EXPECT_EQ(fixedField(-1e300, 15), "-1.0000000E+300");
    EXPECT_EQ(fixedField(-1.23456789e300, 15), "-1.2345679E+300");
    EXPECT_EQ(fixedField(-9.999999999e99, 15), "-1.0000000E+100");
    EXPECT_EQ(fixedField(-1e300, 20), "    -1.00000000E+300");
    EXPECT_EQ(fixedField(std::numeric_limits<double>::max(), 15), "1.79769313E+308");
    EXPECT_EQ(fixedField(-std::numeric_limits<double>::max(), 15), "-1.7976931E+308");
}

TEST(FixedField, Denormals) {
    const double smallest = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(fixedField(smallest, 15), "4.94065646E-324");
    EXPECT_EQ(fixedField(-smallest, 15), "-4.9406565E-324");
    EXPECT_EQ(fixedField(-smallest, 20), "    -4.94065646E-324");
    EXPECT_EQ(fixedField(1.5e-310, 15), "1.50000000E-310");
}

TEST(FixedField, NonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(fixedField(inf, 15), "       Infinity");
    EXPECT_EQ(fixedField(-inf, 15), "      -Infinity");
    EXPECT_EQ(fixedField(std::nan(""), 15), "            NaN");
    EXPECT_EQ(fixedField(-std::nan(""), 20), "                 NaN");
}

TEST(FixedField, EveryFieldHasExactlyItsWidth) {
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<std::uint64_t> bits;
    for (int k = 0; k < 20000; ++k) {
        const std::uint64_t b = bits(random);
        double v;
        std::memcpy(&v, &b, sizeof v);
        ASSERT_EQ(fixedField(v, 15).size(), 15u) << v;
        ASSERT_EQ(fixedField(v, 20).size(), 20u) << v;
    }
    EXPECT_EQ(fixedField(1.0, 3), "***");  // no rendering fits
}

TEST(FreeFormNumber, ShortestRoundTripAndNonFiniteWords) {
    EXPECT_EQ(freeFormNumber(1.4798316340538162), "1.4798316340538162");
    EXPECT_EQ(freeFormNumber(0.1), "0.1");
    EXPECT_EQ(freeFormNumber(20000.0), "20000");
    EXPECT_EQ(freeFormNumber(0.0), "0");
    EXPECT_EQ(freeFormNumber(-0.0), "-0");
    EXPECT_EQ(freeFormNumber(1e300), "1e+300");
    EXPECT_EQ(freeFormNumber(std::numeric_limits<double>::denorm_min()), "5e-324");
    EXPECT_EQ(freeFormNumber(std::numeric_limits<double>::infinity()), "Infinity");
    EXPECT_EQ(freeFormNumber(-std::numeric_limits<double>::infinity()), "-Infinity");
    EXPECT_EQ(freeFormNumber(std::nan("")), "NaN");
    EXPECT_EQ(freeFormNumber(-std::nan("")), "NaN");

    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint64_t> bits;
    for (int k = 0; k < 20000; ++k) {
        const std::uint64_t b = bits(random);
        double v;
        std::memcpy(&v, &b, sizeof v);
        if (!std::isfinite(v)) continue;
        const std::string text = freeFormNumber(v);
        ASSERT_TRUE(testing::sameDouble(std::strtod(text.c_str(), nullptr), v)) << text;
    }
}

}  // namespace
}  // namespace calvenor
