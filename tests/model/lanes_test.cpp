// The lane kernels against the scalar runs, to the bit: random parameter
// sets of every path code, paths that end early on their void ratio, groups
// with unused lanes, lanes of fewer than two points, and curves holding
// stale values beforehand, which every entry a run does not write must keep.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "model/lanes.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

using testing::sameDouble;

struct Curves {
    std::vector<std::vector<double>> v;
    PathArrays arrays() { return {v[0], v[1], v[2], v[3], v[4], v[5]}; }
};

// Six curves of `size` entries holding stale values between 0 and 1000.
Curves staleCurves(std::mt19937_64& rng, int size) {
    std::uniform_real_distribution<double> stale(0.0, 1000.0);
    Curves c{std::vector<std::vector<double>>(6, std::vector<double>(static_cast<std::size_t>(size)))};
    for (auto& curve : c.v) {
        for (double& x : curve) x = stale(rng);
    }
    return c;
}

double uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

ModelConstants randomModel(std::mt19937_64& rng) {
    ModelConstants m{};
    m.propm = uniform(rng, 1.05, 1.6);
    m.plamda = uniform(rng, 0.06, 0.2);
    m.pkappa = uniform(rng, 0.008, 0.045);
    m.enu = uniform(rng, 0.2, 0.34);
    m.pnvoid = uniform(rng, 1.7, 2.4);
    m.chi = uniform(rng, 0.0, 0.6);
    m.sm = uniform(rng, 0.3, 2.0);
    m.zFirst = m.pnvoid - uniform(rng, 0.03, 0.08);
    m.zSecond = m.zFirst - uniform(rng, 0.0, 0.05);
    m.cohesion = rng() % 2 == 0 ? 0.0 : uniform(rng, 0.0, 5.0);
    return m;
}

std::vector<const LaneKernel*> kernels() {
    std::vector<const LaneKernel*> k{&genericKernel()};
    if (&portableKernel() != &genericKernel()) k.push_back(&portableKernel());
    if (avx2Kernel() != nullptr) k.push_back(avx2Kernel());
    return k;
}

// Curve by curve and entry by entry, stale entries included.
void expectSameCurves(const Curves& expected, const Curves& got, const std::string& what) {
    static const char* names[] = {"epsAxial", "qDev", "pMean", "voidRatio", "poreU", "epsVol"};
    for (int c = 0; c < 6; ++c) {
        for (std::size_t i = 0; i < expected.v[c].size(); ++i) {
            if (!sameDouble(expected.v[c][i], got.v[c][i])) {
                ADD_FAILURE() << what << ": " << names[c] << "[" << i << "] is "
                              << ::testing::PrintToString(got.v[c][i]) << ", the scalar run gives "
                              << ::testing::PrintToString(expected.v[c][i]);
                return;
            }
        }
    }
}

TEST(LaneKernels, ShearPathsMatchTheScalarRuns) {
    std::mt19937_64 rng(20240611);
    // Six lanes of each code, interleaved: per code a full group of four and
    // a group with two unused lanes.
    const std::int32_t codes[] = {1, 2, 3, 4, 5, 7};
    const int points[] = {3000, 3000, 1200, 3000, 2, 3000};
    std::vector<ShearLane> lanes;
    std::vector<Curves> stale;
    for (int k = 0; k < 6; ++k) {
        for (std::int32_t code : codes) {
            ShearLane l;
            l.model = randomModel(rng);
            // Lanes 1 and 3 of each code start on a void ratio close to
            // zero and a long path: the drained paths end early.
            const bool closeToZero = k == 1 || k == 3;
            l.start = {uniform(rng, 60.0, 400.0), closeToZero ? uniform(rng, 0.01, 0.06) : uniform(rng, 0.7, 1.75)};
            l.settings = {k == 2 ? uniform(rng, 0.0, 1.0) : 0.0, code,
                          closeToZero ? uniform(rng, 0.3, 0.6) : uniform(rng, 0.02, 0.3), points[k]};
            lanes.push_back(l);
            stale.push_back(staleCurves(rng, 3000));
        }
    }
    // Below two points the lanes take the scalar run.
    for (int n : {0, 1}) {
        ShearLane l = lanes[0];
        l.settings.nPoints = n;
        lanes.push_back(l);
        stale.push_back(staleCurves(rng, 3000));
    }

    std::vector<Curves> expected = stale;
    std::vector<int> reached(lanes.size());
    int early = 0;
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        reached[i] = runShearPath(lanes[i].model, lanes[i].start, lanes[i].settings, expected[i].arrays());
        early += reached[i] < lanes[i].settings.nPoints ? 1 : 0;
    }
    EXPECT_GE(early, 8) << "too few paths end early to test the masking";

    // All lanes in one call (groups of six of a code), each code's lanes
    // three to a call (groups of three), and five lanes of five codes to a
    // call; each with the lanes of a group of one code, and of mixed codes.
    std::vector<std::vector<std::size_t>> calls(1), byThree, byFive;
    for (std::size_t i = 0; i < lanes.size(); ++i) calls[0].push_back(i);
    for (std::size_t c = 0; c < 6; ++c) {
        for (int half = 0; half < 2; ++half) {
            byThree.emplace_back();
            for (int k = 3 * half; k < 3 * half + 3; ++k) byThree.back().push_back(6 * static_cast<std::size_t>(k) + c);
        }
    }
    for (std::size_t i = 0; i < lanes.size(); i += 5) {
        byFive.emplace_back();
        for (std::size_t k = i; k < std::min(lanes.size(), i + 5); ++k) byFive.back().push_back(k);
    }
    for (const LaneKernel* kernel : kernels()) {
        for (const bool mixed : {false, true}) {
            for (const auto& split : {calls, byThree, byFive}) {
                std::vector<Curves> got = stale;
                std::vector<ShearLane> run = lanes;
                for (std::size_t i = 0; i < run.size(); ++i) run[i].out = got[i].arrays();
                std::vector<bool> ran(run.size(), false);
                for (const auto& call : split) {
                    std::vector<ShearLane> part;
                    for (std::size_t i : call) part.push_back(run[i]);
                    (mixed ? kernel->shearMixed : kernel->shear)(part);
                    for (std::size_t k = 0; k < call.size(); ++k) {
                        run[call[k]] = part[k];
                        ran[call[k]] = true;
                    }
                }
                for (std::size_t i = 0; i < run.size(); ++i) {
                    if (!ran[i]) continue;
                    const std::string what = std::string(kernel->name) + (mixed ? " mixed" : "") + ", " +
                                             std::to_string(split[0].size()) + " lanes a call, lane " +
                                             std::to_string(i) + " (type " +
                                             std::to_string(run[i].settings.testType) + ")";
                    EXPECT_EQ(run[i].reached, reached[i]) << what;
                    expectSameCurves(expected[i], got[i], what);
                }
            }
        }
    }
}

TEST(LaneKernels, CompressionRunsMatchTheScalarRuns) {
    std::mt19937_64 rng(7);
    // Targets the run brackets early, late or never, and runs whose void
    // ratio reaches zero so that the search goes on over stale entries.
    std::vector<CompressionLane> lanes;
    std::vector<Curves> stale;
    for (int k = 0; k < 15; ++k) {
        CompressionLane l;
        l.model = randomModel(rng);
        const bool closeToZero = k % 3 == 2;
        l.start = {uniform(rng, 20.0, 200.0), closeToZero ? uniform(rng, 0.02, 0.2) : uniform(rng, 0.8, 1.8)};
        l.settings = {uniform(rng, 0.0, 1.0), closeToZero ? 0.5 : uniform(rng, 0.05, 0.3), k == 4 ? 2 : 3000};
        l.pTarget = k % 3 == 1 ? 1e9 : l.start.pStart * uniform(rng, 1.01, 4.0);
        lanes.push_back(l);
        stale.push_back(staleCurves(rng, 3000));
    }
    for (int n : {0, 1}) {
        CompressionLane l = lanes[0];
        l.settings.nPoints = n;
        lanes.push_back(l);
        stale.push_back(staleCurves(rng, 3000));
    }
    {
        // A target equal to a point of the curve: the interval that starts there.
        CompressionLane l = lanes[0];
        Curves full = staleCurves(rng, 3000);
        compressToPressure(l.model, l.start, l.settings, full.arrays(), std::nan(""));
        l.pTarget = full.v[2][500];
        lanes.push_back(l);
        stale.push_back(staleCurves(rng, 3000));
    }

    std::vector<Curves> expected = stale;
    std::vector<BracketSearch> search(lanes.size());
    int found = 0, unwritten = 0, staleFound = 0;
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        const CompressionLane& l = lanes[i];
        search[i] = compressToPressure(l.model, l.start, l.settings, expected[i].arrays(), l.pTarget);
        found += search[i].interval >= 0 ? 1 : 0;
        unwritten += search[i].readUnwritten ? 1 : 0;
        staleFound += search[i].readUnwritten && search[i].interval >= 0 ? 1 : 0;
    }
    EXPECT_GE(found, 5);
    EXPECT_GE(unwritten, 3);
    EXPECT_GE(staleFound, 1);

    // All lanes in one call, and three to a call.
    for (const LaneKernel* kernel : kernels()) {
        for (std::size_t per : {lanes.size(), std::size_t{3}}) {
            std::vector<Curves> got = stale;
            std::vector<CompressionLane> run = lanes;
            for (std::size_t i = 0; i < run.size(); ++i) run[i].out = got[i].arrays();
            for (std::size_t first = 0; first < run.size(); first += per) {
                kernel->compress(std::span(run).subspan(first, std::min(per, run.size() - first)));
            }
            for (std::size_t i = 0; i < run.size(); ++i) {
                const std::string what = std::string(kernel->name) + ", " + std::to_string(per) +
                                         " lanes a call, lane " + std::to_string(i);
                EXPECT_EQ(run[i].search.interval, search[i].interval) << what;
                EXPECT_EQ(run[i].search.readUnwritten, search[i].readUnwritten) << what;
                expectSameCurves(expected[i], got[i], what);
            }
        }
    }
}

TEST(LaneKernels, ShortCurvesAreRefusedBeforeAnyLaneIsWritten) {
    std::mt19937_64 rng(3);
    Curves good = staleCurves(rng, 3000);
    const Curves before = good;
    std::vector<double> shortCurve(10, 0.0);
    std::vector<ShearLane> lanes(2);
    for (auto& l : lanes) {
        l.model = randomModel(rng);
        l.start = {100.0, 1.2};
        l.settings = {0.0, 3, 0.1, 3000};
    }
    lanes[0].out = good.arrays();
    lanes[1].out = good.arrays();
    lanes[1].out.poreU = shortCurve;
    for (const LaneKernel* kernel : kernels()) {
        EXPECT_THROW(kernel->shear(lanes), std::invalid_argument) << kernel->name;
        expectSameCurves(before, good, kernel->name);
    }
}

// Where the processor has AVX2 (as /proc/cpuinfo tells), it is chosen
// unless CALVENOR_KERNEL asks for another kernel.
TEST(LaneKernels, DispatchChoosesAvx2WhereTheProcessorHasIt) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    bool listed = false;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) {
            listed = (line + " ").find(" avx2 ") != std::string::npos;
            break;
        }
    }
#if defined(__x86_64__) && defined(__linux__)
    EXPECT_EQ(avx2Kernel() != nullptr, listed);
#endif
    const char* forced = std::getenv("CALVENOR_KERNEL");
    const std::string name = forced != nullptr ? forced : "";
    const LaneKernel* expected = avx2Kernel() != nullptr ? avx2Kernel() : &portableKernel();
    if (name == "portable" || name == portableKernel().name) expected = &portableKernel();
    if (name == "generic") expected = &genericKernel();
    EXPECT_EQ(&laneKernel(), expected) << laneKernel().name;
    if (avx2Kernel() == nullptr) GTEST_SKIP() << "no AVX2 here: only the portable kernel was compared";
}

}  // namespace
}  // namespace calvenor
