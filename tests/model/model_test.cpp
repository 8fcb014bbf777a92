// Rounding helpers, and physical checks of the integrators that would catch
// a wrong sign or a swapped argument.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model/integrators.hpp"
#include "model/single.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

TEST(Rounding, SingleAndFourthPowerAreExact) {
    EXPECT_EQ(single(0.1), 0.10000000149011612);
    EXPECT_EQ(single(16777217.0), 16777216.0);  // ties to even
    EXPECT_EQ(single(1e-46), 0.0);
    EXPECT_TRUE(std::isinf(single(1e39)));
    EXPECT_TRUE(std::isnan(single(std::nan(""))));
    // (x*x)*(x*x): neither x*x*x*x nor pow(x, 4) in the last bit.
    EXPECT_EQ(fourth(1.1), 1.4641000000000004);
    EXPECT_NE(fourth(1.1), 1.1 * 1.1 * 1.1 * 1.1);
    EXPECT_EQ(fourth(0.7), 0.24009999999999992);
    EXPECT_NE(fourth(0.7), std::pow(0.7, 4));
}

// M 1.3, lambda 0.1, kappa 0.02, nu 0.3, N 2.0, chi 0.2, m 1.0, Z 1.95, c 0.
constexpr ModelConstants clay{1.3, 0.1, 0.02, 0.3, 2.0, 0.2, 1.0, 1.95, 1.95, 0.0};
// Normally consolidated at 100 kPa for these parameters.
constexpr StartState normallyConsolidated{100.0, 1.5388363552707274};

struct Curves {
    explicit Curves(int n) : v(6, std::vector<double>(static_cast<std::size_t>(n), 0.0)) {}
    std::vector<std::vector<double>> v;
    PathArrays arrays() { return {v[0], v[1], v[2], v[3], v[4], v[5]}; }
    const std::vector<double>& epsAxial() const { return v[0]; }
    const std::vector<double>& q() const { return v[1]; }
    const std::vector<double>& p() const { return v[2]; }
    const std::vector<double>& e() const { return v[3]; }
    const std::vector<double>& u() const { return v[4]; }
    const std::vector<double>& epsVol() const { return v[5]; }
};

Curves shear(int type, const StartState& start = normallyConsolidated, double range = 0.25) {
    Curves c(3000);
    integrateShearPath(clay, start, {0.0, type, range, 3000}, c.arrays());
    return c;
}

TEST(ShearPath, DrainedPathsOnNormallyConsolidatedClayEndAtCriticalState) {
    const Curves meanStress = shear(constantMeanStress);
    EXPECT_NEAR(meanStress.q().back() / meanStress.p().back(), clay.propm, 0.01 * clay.propm);
    EXPECT_NEAR(meanStress.p().back(), 100.0, 1e-6);
    EXPECT_GT(meanStress.epsVol().back(), 0.0);  // contracts

    const Curves cellPressure = shear(constantMinorStress);
    EXPECT_NEAR(cellPressure.q().back() / cellPressure.p().back(), clay.propm, 0.03 * clay.propm);
    for (int i = 0; i < 3000; i += 250) {
        // With b = 0 the lateral stresses stay at the cell pressure.
        EXPECT_NEAR(cellPressure.p()[i] - cellPressure.q()[i] / 3.0, 100.0, 1e-5) << i;
    }
    EXPECT_LT(cellPressure.e().back(), normallyConsolidated.eStart);
}

TEST(ShearPath, UndrainedPathKeepsVolumeAndBuildsPorePressure) {
    const Curves c = shear(constantVolume);
    for (int i = 1; i < 3000; ++i) {
        EXPECT_LT(std::abs(c.epsVol()[i]), 1e-7) << i;
        EXPECT_NEAR(c.e()[i], normallyConsolidated.eStart, 1e-6) << i;
    }
    EXPECT_GT(c.u()[100], 0.0);
    EXPECT_GT(c.u()[2999], c.u()[100]);
    EXPECT_LT(c.p()[2999], 100.0);  // effective stress falls as pore pressure rises
    EXPECT_NEAR(c.q()[2999] / c.p()[2999], clay.propm, 0.01 * clay.propm);
}

TEST(IsotropicCompression, LoadsAlongTheCompressionLine) {
    Curves c(3000);
    integrateIsotropicCompression(clay, {20.0, 1.6972346606447364}, {0.0, 0.2, 3000}, c.arrays());
    for (int i = 1; i < 3000; ++i) {
        ASSERT_GT(c.p()[i], c.p()[i - 1]) << i;
        ASSERT_LT(c.e()[i], c.e()[i - 1]) << i;
        ASSERT_LT(c.q()[i], 1e-6) << i;
    }
    // On the normal compression line e = N - lambda ln p (ps is small here).
    const double p = c.p()[2999];
    EXPECT_NEAR(c.e()[2999], clay.pnvoid - clay.plamda * std::log(p), 0.02);
}

TEST(IsotropicCompression, EqualsTheIsotropicShearPath) {
    // Both integrators solve the same isotropic step; the compression run
    // only needs the axial row of the compliance.
    Curves a(3000), b(3000);
    const StartState start{35.0, 1.2};
    integrateIsotropicCompression(clay, start, {0.0, 0.15, 3000}, a.arrays());
    integrateShearPath(clay, start, {0.0, isotropicPath, 0.15, 3000}, b.arrays());
    for (int k = 0; k < 6; ++k) {
        for (int i = 0; i < 3000; ++i) {
            ASSERT_TRUE(testing::sameDouble(a.v[k][i], b.v[k][i])) << k << " " << i;
        }
    }
}

TEST(Integrators, RejectShortArraysAndWriteNothingBelowOnePoint) {
    std::vector<double> shortArray(10, 0.0), ok(3000, 0.0);
    const PathArrays out{shortArray, ok, ok, ok, ok, ok};
    EXPECT_THROW(integrateShearPath(clay, normallyConsolidated, {0.0, 3, 0.1, 3000}, out), std::invalid_argument);
    Curves c(1);
    c.v[0][0] = c.v[3][0] = -1.0;
    integrateShearPath(clay, normallyConsolidated, {0.0, 3, 0.1, 0}, c.arrays());
    EXPECT_EQ(c.v[0][0], -1.0);
    integrateShearPath(clay, normallyConsolidated, {0.0, 3, 0.1, 1}, c.arrays());
    EXPECT_EQ(c.v[0][0], 0.0);
    EXPECT_EQ(c.v[3][0], normallyConsolidated.eStart);
}

}  // namespace
}  // namespace calvenor
