// Constraint values, penalties, scoring, the first-interval rule, the stop
// rule and batch evaluation against consecutive calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "model/lanes.hpp"
#include "objective/objective.hpp"
#include "support/exact.hpp"

namespace calvenor {
namespace {

namespace fs = std::filesystem;
using testing::sameDouble;
constexpr double inf = std::numeric_limits<double>::infinity();

ModelParameters params(double pkappa, double plamda, double pnvoid = 2.0, double z = 1.95) {
    return {1.3, 0.3, pkappa, plamda, pnvoid, 0.0, z, 0.2, 1.0};
}

TEST(Constraints, EdgeValuesAreThePlainDoubleResults) {
    const ConstraintValues equal = computeConstraints(params(0.02, 0.1, 1.95, 1.95));
    EXPECT_TRUE(sameDouble(equal.ps, 0.0));
    EXPECT_TRUE(sameDouble(equal.zMinusN, -0.0));
    EXPECT_TRUE(sameDouble(equal.psLowerMargin, 0.0));
    EXPECT_EQ(computeConstraints(params(0.1, 0.15)).kappaBound, 2.7755575615628914e-17);
    EXPECT_TRUE(sameDouble(computeConstraints(params(0.01, 0.15)).lambdaBound, 0.0));
    EXPECT_TRUE(std::isinf(computeConstraints(params(0.0, 0.1)).lambdaKappaRatio));
    EXPECT_TRUE(std::isnan(computeConstraints(params(0.02, 0.0, 1.95, 1.95)).ps));  // 0/0

    const double longer[] = {1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0, 99.0};
    const ModelParameters p = readParameters(longer);
    EXPECT_EQ(p.sm, 1.0);
    EXPECT_EQ(computePs(p), computeConstraints(p).ps);
    EXPECT_THROW(readParameters(std::span<const double>(longer, 8)), std::invalid_argument);
}

TEST(Penalties, ThresholdsAndDivisionByZero) {
    auto factors = [](const ModelParameters& p) { return penaltyFactors(p, computeConstraints(p)); };
    const auto plain = factors(params(0.02, 0.1));
    for (double f : plain) EXPECT_EQ(f, 1.0);

    // Slot 3 is 2.78e-17, not 0: violated. Slot 4 exactly 0: violated.
    EXPECT_EQ(factors(params(0.1, 0.15))[1], 1.2000000476837158);
    EXPECT_EQ(factors(params(0.01, 0.15))[2], 1.2000000476837158);
    // z above N and ps below 0 together.
    const auto inverted = factors(params(0.02, 0.1, 1.9, 1.95));
    EXPECT_EQ(inverted[0], 10.0);
    EXPECT_EQ(inverted[4], 10.0);
    // pnvoid exactly 3 z is not above it.
    EXPECT_EQ(factors(params(0.02, 10.0, 3.0, 1.0))[5], 1.0);
    EXPECT_EQ(factors(params(0.02, 10.0, 3.5, 1.0))[5], 2.5 / 3.5 + 1.100000023841858);

    // ps exactly 20000 (constraints built by hand: no parameters give it exactly).
    ConstraintValues c = computeConstraints(params(0.02, 0.1));
    c.ps = 20000.0;
    c.psUpperMargin = 0.0;
    EXPECT_EQ(penaltyFactors(params(0.02, 0.1), c)[3], 1.100000023841858);

    // plamda = pkappa: the bound of factor 7 divides by zero.
    ModelParameters same = params(0.05, 0.05);
    same.chi = 0.5;
    EXPECT_EQ(factors(same)[6], 1.0);  // +inf
    same.chi = 1.0;
    EXPECT_EQ(factors(same)[6], 1.0);  // nan
    same.chi = 1.5;
    EXPECT_EQ(factors(same)[6], 10.0);  // -inf
}

// One test of `type` with the given measured and simulated rows.
TestStore storeOf(int type, const std::vector<std::array<double, 5>>& measured,
                  const std::vector<std::array<double, 5>>& simulated, std::array<double, 4> scales) {
    TestStore s;
    s.nTests = 1;
    s.maxRows = static_cast<std::int32_t>(measured.size());
    s.testFile = {"T.txt"};
    s.curveFile = {"T-" + std::to_string(type) + ".DAT"};
    s.rowCount = {s.maxRows};
    s.testType = {type};
    s.pInitial = s.eInitial = s.pConsol = s.eConsol = s.strainRange = {0.0};
    s.qScale = {scales[0]};
    s.pScale = {scales[1]};
    s.evScale = {scales[2]};
    s.uScale = {scales[3]};
    s.measured = Array3(1, s.maxRows);
    s.simAtMeasured = Array3(1, s.maxRows);
    s.simCurve = Array3(1, pathPoints);
    for (int r = 0; r < s.maxRows; ++r) {
        for (int c = 0; c < columnCount; ++c) {
            s.measured(0, r, c) = measured[r][c];
            s.simAtMeasured(0, r, c) = simulated[r][c];
        }
    }
    return s;
}

TEST(Scoring, MeasuresShareTheHundredAmongQuantitiesWithRows) {
    // Type 2, two rows: q misfits 0.1 and 0.2, volumetric misfits 0 and 0.1.
    const TestStore s = storeOf(2, {{0, 0, 1, 0, 1}, {0, 0, 1, 0, 1}}, {{0, 0.1, 7, 0.0, 9}, {0, 0.2, 7, 0.1, 9}},
                                {1.0, 1.0, 1.0, 1.0});
    const ErrorMeasures m = scoreTests(s);
    EXPECT_DOUBLE_EQ(m.ErrorObjqz, 7.905694150420948);
    EXPECT_DOUBLE_EQ(m.ErrorObjev, 3.535533905932738);
    EXPECT_EQ(m.ErrorObjpz, 0.0);
    EXPECT_EQ(m.ErrorObju, 0.0);
    EXPECT_EQ(m.ErrorObjALL, ((m.ErrorObjqz + m.ErrorObjpz) + m.ErrorObjev) + m.ErrorObju);

    // A zero pore-pressure scale drops the quantity from the count: a = 1.
    const TestStore undrained = storeOf(1, {{0, 2, 1, 1, 0}}, {{0, 1, 1, 1, 5}}, {2.0, 1.0, 1.0, 0.0});
    EXPECT_EQ(scoreTests(undrained).ErrorObjqz, 50.0);
    EXPECT_EQ(scoreTests(undrained).ErrorObju, 0.0);

    // NaN misfit: the total becomes +inf, the measure stays NaN.
    const TestStore nan = storeOf(4, {{0, 1, 1, 1, 1}}, {{0, 1, std::nan(""), 1, 1}}, {1.0, 1.0, 1.0, 1.0});
    EXPECT_TRUE(std::isnan(scoreTests(nan).ErrorObjpz));
    EXPECT_EQ(scoreTests(nan).ErrorObjALL, inf);

    // Nothing scored at all: zero, also with penalties on.
    TestStore none = storeOf(7, {{0, 1, 1, 1, 1}}, {{0, 2, 2, 2, 2}}, {1.0, 1.0, 1.0, 1.0});
    Diagnostics d{};
    const double switches[] = {1.0, 0.0, 0.0};
    EXPECT_EQ(settleError(params(0.02, 0.1), scoreTests(none), switches, d), 0.0);
}

TEST(Interpolation, TakesTheFirstBracketingIntervalOfAWanderingCurve) {
    TestStore s = storeOf(3, {{0.0015, 0, 0, 0, 0}, {0.0035, 0, 0, 0, 0}, {-1.0, 0, 0, 0, 0}, {3.0, 0, 0, 0, 0}},
                          {{-7, -7, -7, -7, -7}, {-7, -7, -7, -7, -7}, {-7, -7, -7, -7, -7}, {-7, -7, -7, -7, -7}},
                          {1, 1, 1, 1});
    // Strain rises to 0.003, falls back to 0.001 and rises again; column 2
    // holds the point index so the interval used is visible.
    std::vector<double> strain(pathPoints), index(pathPoints);
    for (int l = 0; l < pathPoints; ++l) {
        strain[l] = l <= 3 ? 0.001 * l : (l <= 5 ? 0.001 * (6 - l) : 0.001 * (l - 4));
        index[l] = l;
    }
    std::copy(strain.begin(), strain.end(), s.simCurve.column(0, strainCol).begin());
    std::copy(index.begin(), index.end(), s.simCurve.column(0, qCol).begin());
    interpolateAtMeasured(s);
    EXPECT_DOUBLE_EQ(s.simAtMeasured(0, 0, qCol), 1.5);  // the rising interval [1, 2], not [6, 7]
    EXPECT_DOUBLE_EQ(s.simAtMeasured(0, 1, qCol), 7.5);  // only the third rise reaches 0.0035
    EXPECT_EQ(s.simAtMeasured(0, 1, strainCol), 0.0035);
    EXPECT_EQ(s.simAtMeasured(0, 2, qCol), -7.0);  // below the curve: untouched
    EXPECT_EQ(s.simAtMeasured(0, 3, qCol), -7.0);  // beyond it: untouched
}

// A folder with four tests: a direct shear with a row below zero strain
// (never bracketed), an undrained test consolidated from 50 kPa, a test
// consolidated to 2000 kPa (reached only for small lambda) and a
// zero-lateral-strain test.
void writeBatchCase(const fs::path& dir) {
    fs::create_directories(dir / "vornevResult");
    auto write = [&](const char* name, const char* text) { std::ofstream(dir / "vornevResult" / name) << text; };
    const char* list =
        "vornevResult\\A.txt 3 100.0 1.5388363552707274\n"
        "vornevResult\\N.txt 1 50.0 1.6\n"
        "vornevResult\\H.txt 2 100.0 1.5388363552707274\n"
        "vornevResult\\A.txt 4 100.0 1.5388363552707274\n";
    write("evReadInList.txt", list);
    write("evReadInListZong.txt", list);
    write("A.txt", "0 0 100 0 0\n-0.01 5 101 0.001 0\n0.02 80 126 0.005 0\n0.05 120 140 0.01 0\n");
    write("N.txt", "0 0 100 0 0\n0.01 40 95 0 10\n0.03 60 85 0 25\n0.08 70 80 0 30\n");
    write("H.txt", "0 0 2000 0 0\n0.02 500 2000 0.004 0\n0.05 900 2000 0.01 0\n");
}

std::vector<ModelParameters> batchSets() {
    std::vector<ModelParameters> sets;
    std::uint64_t state = 12345;
    auto uniform = [&](double lo, double hi) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return lo + (hi - lo) * static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    for (int k = 0; k < 40; ++k) {
        ModelParameters p;
        p.propm = uniform(1.0, 1.5);
        p.enu = uniform(0.2, 0.35);
        p.pkappa = uniform(0.01, 0.04);
        p.plamda = uniform(0.06, 0.25);
        p.pnvoid = uniform(1.9, 2.2);
        p.cohesion = 0.0;
        p.z = p.pnvoid - uniform(-0.02, 0.1);
        p.chi = uniform(0.0, 0.5);
        p.sm = uniform(0.5, 2.0);
        sets.push_back(p);
    }
    sets[7].plamda = std::nan("");
    return sets;
}


// The scalar paths (null) and every lane kernel this processor runs.
std::vector<const LaneKernel*> everyKernel() {
    std::vector<const LaneKernel*> k{nullptr, &genericKernel()};
    if (&portableKernel() != &genericKernel()) k.push_back(&portableKernel());
    if (avx2Kernel() != nullptr) k.push_back(avx2Kernel());
    return k;
}

std::string kernelName(const LaneKernel* kernel) { return kernel == nullptr ? "scalar" : kernel->name; }

TEST(Batch, EqualsConsecutiveCallsToTheBit) {
    const std::vector<ModelParameters> sets = batchSets();
    for (const auto& switches : {std::array<double, 3>{1, 0, 0}, std::array<double, 3>{0, 1, 0},
                                 std::array<double, 3>{1, 1, 1}}) {
        SCOPED_TRACE(::testing::PrintToString(switches));
        testing::TempDir seqDir;
        writeBatchCase(seqDir.path());

        Evaluator sequential(seqDir.path());
        sequential.setKernel(nullptr);
        std::vector<double> seqErrors;
        std::vector<Diagnostics> seqDiagnostics;
        std::vector<std::vector<Residual>> seqResiduals;
        int stops = 0;
        for (const ModelParameters& p : sets) {
            const HostParameters v = hostOrder(p);
            seqErrors.push_back(evaluateObjective(sequential, v, switches));
            seqDiagnostics.push_back(sequential.diagnostics());
            seqResiduals.push_back(sequential.lastStop().stopped() ? std::vector<Residual>{} : sequential.residuals());
            stops += seqErrors.back() == inf ? 1 : 0;
        }
        ASSERT_GT(stops, 2);
        ASSERT_LT(stops, 30);

        for (const LaneKernel* kernel : everyKernel()) {
            for (unsigned threads : {1u, 2u, 3u}) {
                SCOPED_TRACE(kernelName(kernel) + ", " + std::to_string(threads) + " threads");
                testing::TempDir batchDir;
                writeBatchCase(batchDir.path());
                Evaluator batch(batchDir.path());
                batch.setKernel(kernel);
                std::vector<double> errors(sets.size());
                std::vector<Diagnostics> diagnostics(sets.size());
                batch.evaluateBatch(sets, switchOptions(switches), errors, diagnostics, threads);
                for (std::size_t k = 0; k < sets.size(); ++k) {
                    EXPECT_TRUE(sameDouble(errors[k], seqErrors[k])) << k;
                    for (int i = 0; i < diagnosticsCount; ++i) {
                        EXPECT_TRUE(sameDouble(diagnostics[k].hostOrder()[i], seqDiagnostics[k].hostOrder()[i])) << k << " " << i;
                    }
                }
                // The state afterwards is that after the last call.
                const TestStore& a = batch.store();
                const TestStore& b = sequential.store();
                for (int t = 0; t < a.nTests; ++t) {
                    EXPECT_TRUE(sameDouble(a.eConsol[t], b.eConsol[t])) << t;
                    for (int c = 0; c < columnCount; ++c) {
                        for (int r = 0; r < a.rowCount[t]; ++r) {
                            EXPECT_TRUE(sameDouble(a.simAtMeasured(t, r, c), b.simAtMeasured(t, r, c)));
                        }
                        for (int l = 0; l < pathPoints; l += 7) {
                            ASSERT_TRUE(sameDouble(a.simCurve(t, l, c), b.simCurve(t, l, c))) << t << " " << l;
                        }
                    }
                }
                if (switches[1] != 0.0) {
                    for (const char* f : {"VORNevPicOutError.DAT", "MidPande.DAT", "A-3.DAT", "N-1.DAT", "H-2.DAT"}) {
                        EXPECT_EQ(testing::readAll(batchDir.path() / "vornevResult" / f), testing::readAll(seqDir.path() / "vornevResult" / f)) << f;
                    }
                }
                // With the residuals of each call: the same values, and the
                // residuals of the calls that completed, to the bit.
                testing::TempDir residualDir;
                writeBatchCase(residualDir.path());
                Evaluator withResiduals(residualDir.path());
                withResiduals.setKernel(kernel);
                std::vector<std::vector<double>> residuals;
                withResiduals.evaluateBatchResiduals(sets, switchOptions(switches), errors, diagnostics, residuals, threads);
                ASSERT_EQ(residuals.size(), sets.size());
                for (std::size_t k = 0; k < sets.size(); ++k) {
                    EXPECT_TRUE(sameDouble(errors[k], seqErrors[k])) << k;
                    ASSERT_EQ(residuals[k].size(), seqResiduals[k].size()) << k;
                    for (std::size_t i = 0; i < residuals[k].size(); ++i) {
                        EXPECT_TRUE(sameDouble(residuals[k][i], seqResiduals[k][i].value)) << k << " " << i;
                    }
                }
                // A later single call continues from the same state.
                const double v[] = {1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0};
                const double zeroReload[] = {switches[0], 0.0, 0.0};
                Evaluator copy = sequential;
                EXPECT_TRUE(sameDouble(evaluateObjective(batch, v, zeroReload), evaluateObjective(copy, v, zeroReload)));
            }
        }
    }
}

// A batch cut into parts evaluated on separate evaluators joins to the whole
// by the trace: a part run from other values than the whole had before it
// gives the same results as long as the values it read agree, the values it
// replaced do not depend on where it started, and a stopped call takes the
// diagnostics of the last completed call before it.
TEST(Batch, PartsJoinToTheWholeByTheirTrace) {
    const std::vector<ModelParameters> sets = batchSets();
    for (const auto& switches : {std::array<double, 3>{1, 0, 0}, std::array<double, 3>{0, 0, 1}}) {
        SCOPED_TRACE(::testing::PrintToString(switches));
        testing::TempDir dir;
        writeBatchCase(dir.path());
        Evaluator whole(dir.path());
        std::vector<double> errors(sets.size());
        std::vector<Diagnostics> diagnostics(sets.size());
        whole.evaluateBatch(sets, switchOptions(switches), errors, diagnostics, 2);

        for (std::size_t size : {std::size_t{1}, std::size_t{6}}) {
            Evaluator part(dir.path());
            part.loadTests();
            std::vector<double> carried(part.carriedState().size(), 0.0);
            Diagnostics last{};
            int reads = 0;
            struct Run {
                std::vector<double> errors;
                std::vector<Diagnostics> diagnostics;
                BatchTrace trace;
                std::vector<double> after;
            };
            const auto runPart = [&](std::span<const ModelParameters> slice, const std::vector<double>& from, int threads) {
                Run run{std::vector<double>(slice.size()), std::vector<Diagnostics>(slice.size()), {}, {}};
                part.restoreCarriedState(from);
                part.evaluateBatchTraced(slice, switchOptions(switches), run.errors, run.diagnostics, run.trace, nullptr,
                                         threads);
                run.after = part.carriedState();
                return run;
            };
            for (std::size_t a = 0; a < sets.size(); a += size) {
                const std::span<const ModelParameters> slice(sets.data() + a, std::min(size, sets.size() - a));
                const Run first = runPart(slice, carried, 1);
                const auto& [e, d, trace, after] = first;
                // From values that agree only where the part read them: the same results.
                std::vector<double> poisoned(carried.size(), std::numeric_limits<double>::quiet_NaN());
                for (std::size_t i = 0; i < carried.size(); ++i) {
                    if (trace.read[i]) poisoned[i] = carried[i];
                    reads += trace.read[i];
                }
                const Run second = runPart(slice, poisoned, 2);
                const auto& [e2, d2, trace2, after2] = second;
                for (std::size_t k = 0; k < slice.size(); ++k) {
                    EXPECT_TRUE(sameDouble(e[k], errors[a + k])) << a + k;
                    EXPECT_TRUE(sameDouble(e2[k], errors[a + k])) << a + k;
                    if (trace.completed[k]) last = d[k];
                    for (int i = 0; i < diagnosticsCount; ++i) {
                        EXPECT_TRUE(sameDouble(last.hostOrder()[i], diagnostics[a + k].hostOrder()[i])) << a + k;
                        if (trace.completed[k]) {
                            EXPECT_TRUE(sameDouble(d2[k].hostOrder()[i], d[k].hostOrder()[i]));
                        }
                    }
                }
                EXPECT_EQ(trace2.replaced, trace.replaced);
                for (std::size_t i = 0; i < carried.size(); ++i) {
                    if (trace.replaced[i]) {
                        EXPECT_TRUE(sameDouble(after2[i], after[i]));
                        carried[i] = after[i];
                    } else {
                        EXPECT_TRUE(sameDouble(after[i], carried[i]));
                    }
                }
            }
            // The joined values are those the whole batch left.
            const std::vector<double> expected = whole.carriedState();
            ASSERT_EQ(carried.size(), expected.size());
            for (std::size_t i = 0; i < carried.size(); ++i) EXPECT_TRUE(sameDouble(carried[i], expected[i])) << i;
            if (switches[2] == 0.0) {
                EXPECT_GT(reads, 0);
            }
        }
    }
}

void expectSameState(const TestStore& a, const TestStore& b) {
    ASSERT_EQ(a.nTests, b.nTests);
    for (int t = 0; t < a.nTests; ++t) {
        EXPECT_TRUE(sameDouble(a.eConsol[t], b.eConsol[t])) << t;
        for (int c = 0; c < columnCount; ++c) {
            for (int r = 0; r < a.rowCount[t]; ++r) {
                EXPECT_TRUE(sameDouble(a.simAtMeasured(t, r, c), b.simAtMeasured(t, r, c))) << t << " " << r;
            }
            for (int l = 0; l < pathPoints; ++l) {
                ASSERT_TRUE(sameDouble(a.simCurve(t, l, c), b.simCurve(t, l, c))) << t << " " << l << " " << c;
            }
        }
    }
}

// The stale-buffer case with a third test compressed from so loose a state
// that its void ratio reaches zero before the pressure: its search runs on
// into what the previous test left in the buffers.
void writeStaleCase(const fs::path& dir) {
    fs::copy(testing::sharedDir() / "vectors/evaluations/16-stale-buffers/vornevResult", dir / "vornevResult",
             fs::copy_options::recursive);
    fs::permissions(dir / "vornevResult", fs::perms::owner_all, fs::perm_options::add);
    fs::permissions(dir / "vornevResult/evReadInList.txt", fs::perms::owner_write, fs::perm_options::add);
    std::ofstream(dir / "vornevResult/evReadInList.txt")
        << "vornevResult\\A.txt 3 100.0 1.5388363552707274\n"
        << "vornevResult\\B.txt 5 50.0 0.3\n"
        << "vornevResult\\C.txt 2 20.0 0.02\n"
        << "vornevResult\\C.txt 2 20.0 0.25\n";
}

TEST(ParallelTests, EqualSequentialWhereStaleEntriesMatter) {
    const double v[] = {1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0};
    {
        // The case does exercise the fallback: the direct shear of test 2
        // ends early, and so does the compression of test 3.
        testing::TempDir dir;
        writeStaleCase(dir.path());
        Evaluator e(dir.path());
        const double switches[] = {0.0, 0.0, 0.0};
        evaluateObjective(e, v, switches);
        PathBuffers buffers;
        const ModelConstants model = modelConstants(readParameters(v));
        EXPECT_FALSE(simulateTest(model, e.store(), 0, buffers).readsPrevious);
        EXPECT_TRUE(simulateTest(model, e.store(), 1, buffers).readsPrevious);
        EXPECT_TRUE(simulateTest(model, e.store(), 2, buffers).readsPrevious);
    }
    for (const char* name : {"stale", "15-stop-rule", "16-stale-buffers", "17-unbracketed-rows-and-nan",
                             "01-random-set-1"}) {
        SCOPED_TRACE(name);
        testing::TempDir dir;
        if (std::string(name) == "stale") {
            writeStaleCase(dir.path());
        } else {
            fs::copy(testing::sharedDir() / "vectors/evaluations" / name / "vornevResult",
                     dir.path() / "vornevResult", fs::copy_options::recursive);
        }
        // The scalar paths on one thread against the scalar paths on three
        // and every lane kernel on one and three.
        Evaluator one(dir.path());
        one.setThreads(1);
        one.setKernel(nullptr);
        std::vector<Evaluator> others;
        for (const LaneKernel* kernel : everyKernel()) {
            for (unsigned threads : {1u, 3u}) {
                if (kernel == nullptr && threads == 1) continue;
                others.emplace_back(dir.path());
                others.back().setThreads(threads);
                others.back().setKernel(kernel);
            }
        }
        std::vector<ModelParameters> sets = batchSets();
        sets.push_back(readParameters(v));
        for (const auto& p : sets) {
            const HostParameters x = hostOrder(p);
            const double switches[] = {1.0, 0.0, 0.0};
            const double expected = evaluateObjective(one, x, switches);
            for (Evaluator& many : others) {
                SCOPED_TRACE(kernelName(many.kernel()) + ", " + std::to_string(many.threads()) + " threads");
                ASSERT_TRUE(sameDouble(evaluateObjective(many, x, switches), expected));
                for (int i = 0; i < diagnosticsCount; ++i) {
                    ASSERT_TRUE(sameDouble(one.diagnostics().hostOrder()[i], many.diagnostics().hostOrder()[i])) << i;
                }
                expectSameState(one.store(), many.store());
            }
        }
    }
}

// Tests of every path code (1..5 and one outside them), sheared directly
// and after a compression run: four direct tests of code 3 (a full lane
// group) and tests of other codes left over; shear runs ending early, direct
// (the next direct test then reads what it left) and after a compression
// run (which cleared the buffers before it), a compression run
// whose void ratio reaches zero before its pressure (its search reads on into
// the previous test's curves), and last a compression to 700 kPa that some
// sets do not reach.
void writeEveryCodeCase(const fs::path& dir) {
    writeStaleCase(dir);
    auto write = [&](const char* name, const std::string& text) { std::ofstream(dir / "vornevResult" / name) << text; };
    write("N.txt", "0 0 100 0 0\n0.01 40 95 0 10\n0.03 60 85 0 25\n0.08 70 80 0 30\n");
    write("H.txt", "0 0 700 0 0\n0.02 300 700 0.004 0\n0.12 500 700 0.01 0\n");
    const std::vector<std::string> entries = {
        "A.txt 3 100.0 1.5388363552707274", "N.txt 1 50.0 1.6", "B.txt 5 50.0 0.3",
        "A.txt 4 100.0 1.5388363552707274", "A.txt 3 100.0 1.5388363552707274", "C.txt 2 20.0 0.02",
        "N.txt 7 50.0 1.6", "A.txt 1 100.0 1.5388363552707274", "C.txt 2 20.0 0.25",
        "A.txt 3 100.0 1.5388363552707274", "B.txt 5 30.0 0.32", "A.txt 3 100.0 1.5388363552707274",
        "N.txt 2 50.0 1.6", "H.txt 4 100.0 1.5388363552707274"};
    // Twice, the second time from the seventh entry on: more tests than the
    // lane driver takes in one chunk, the first of the second chunk a direct
    // test whose run ends early on what the last of the first left.
    std::string list;
    for (std::size_t k = 0; k < 2 * entries.size(); ++k) {
        list += "vornevResult\\" + entries[k < entries.size() ? k : (k + 6) % entries.size()] + "\n";
    }
    write("evReadInList.txt", list);
    write("evReadInListZong.txt", list);
}

// Every entry of the simulated curves and values, and the consolidation
// states; the first difference only.
void expectSameCurves(const TestStore& a, const TestStore& b) {
    ASSERT_EQ(a.nTests, b.nTests);
    for (int t = 0; t < a.nTests; ++t) {
        ASSERT_TRUE(sameDouble(a.eConsol[t], b.eConsol[t])) << t;
        for (int c = 0; c < columnCount; ++c) {
            const auto x = a.simCurve.column(t, c), y = b.simCurve.column(t, c);
            const auto at = std::mismatch(x.begin(), x.end(), y.begin(), [](double u, double w) { return sameDouble(u, w); });
            ASSERT_TRUE(at.first == x.end()) << "test " << t << " column " << c << " point " << (at.first - x.begin());
            for (int r = 0; r < a.rowCount[t]; ++r) ASSERT_TRUE(sameDouble(a.simAtMeasured(t, r, c), b.simAtMeasured(t, r, c)));
        }
    }
}

// The lane drivers against the scalar paths on random parameter sets: one
// evaluation after another (on one and on three workers) and batches (sets
// in lane groups, and sets alone with their tests in lanes), every value,
// residual and curve entry to the bit, stops and stale entries included.
TEST(LaneDrivers, MatchTheScalarPathsOnRandomSets) {
    testing::TempDir dir;
    writeEveryCodeCase(dir.path());
    std::vector<ModelParameters> sets = batchSets();
    // Sets that compress so far that the void ratio ends the drained paths.
    for (int k = 0; k < 6; ++k) {
        ModelParameters p = sets[static_cast<std::size_t>(k)];
        p.plamda = 0.3 + 0.05 * k;
        p.pkappa = 0.05;
        sets.push_back(p);
    }

    Evaluator scalar(dir.path());
    scalar.setKernel(nullptr);
    scalar.setThreads(1);
    std::vector<Evaluator> lanes;
    for (const LaneKernel* kernel : everyKernel()) {
        for (unsigned threads : {1u, 3u}) {
            if (kernel == nullptr) continue;
            lanes.emplace_back(dir.path());
            lanes.back().setKernel(kernel);
            lanes.back().setThreads(threads);
        }
    }
    std::vector<double> errors;
    std::vector<Diagnostics> diagnostics;
    std::vector<std::vector<double>> residuals;
    int stops[3] = {0, 0, 0}, endsEarly = 0, readsPrevious = 0;
    for (const ModelParameters& p : sets) {
        errors.push_back(scalar.evaluate(p, {true, false, false}));
        diagnostics.push_back(scalar.diagnostics());
        residuals.emplace_back();
        if (!scalar.lastStop().stopped()) {
            for (const Residual& r : scalar.residuals()) residuals.back().push_back(r.value);
        }
        ++stops[static_cast<int>(scalar.lastStop().reason)];
        // What the sequential driver meets on the way.
        PathBuffers buffers;
        runDriver(p, scalar.store(), buffers, [&](int, double, double, const PathBuffers& b) {
            endsEarly += std::any_of(b.voidRatio.begin(), b.voidRatio.end(), [](double e) { return e <= 0.0; }) ? 1 : 0;
        });
        const ModelConstants model = modelConstants(p);
        buffers.clear();
        for (int t = 0; t < scalar.store().nTests; ++t) {
            const TestOutcome o = simulateTest(model, scalar.store(), t, buffers);
            readsPrevious += o.readsPrevious ? 1 : 0;
            if (!o.usable) break;
        }
        for (Evaluator& e : lanes) {
            SCOPED_TRACE(kernelName(e.kernel()) + ", " + std::to_string(e.threads()) + " threads");
            ASSERT_TRUE(sameDouble(e.evaluate(p, {true, false, false}), errors.back()));
            ASSERT_EQ(e.diagnostics().hostOrder(), scalar.diagnostics().hostOrder());
            ASSERT_EQ(e.lastStop().test, scalar.lastStop().test);
            ASSERT_EQ(e.lastStop().reason, scalar.lastStop().reason);
            expectSameCurves(e.store(), scalar.store());
        }
    }
    EXPECT_GE(stops[static_cast<int>(StopReason::pressureNotReached)], 5);
    EXPECT_GE(stops[static_cast<int>(StopReason::voidRatioNotPositive)], 2);
    EXPECT_GE(stops[static_cast<int>(StopReason::none)], 20);
    EXPECT_GE(endsEarly, 40);
    EXPECT_GE(readsPrevious, 40);

    // Batches: all sets (groups of sets in lanes), then on the same
    // evaluator (its batch buffers kept) the first five (a group of four, and
    // one set alone) against the same calls one by one from there.
    for (const LaneKernel* kernel : everyKernel()) {
        for (unsigned threads : {1u, 2u}) {
            SCOPED_TRACE(kernelName(kernel) + ", " + std::to_string(threads) + " threads");
            Evaluator batch(dir.path());
            batch.setKernel(kernel);
            Evaluator reference = scalar;
            for (std::size_t count : {sets.size(), std::size_t{5}}) {
                SCOPED_TRACE(std::to_string(count) + " sets");
                std::vector<double> e(count);
                std::vector<Diagnostics> d(count);
                std::vector<std::vector<double>> r;
                batch.evaluateBatchResiduals(std::span(sets).first(count), {true, false, false}, e, d, r, threads);
                for (std::size_t k = 0; k < count; ++k) {
                    const bool first = count == sets.size();
                    ASSERT_TRUE(sameDouble(e[k], first ? errors[k] : reference.evaluate(sets[k], {true, false, false})))
                        << k;
                    ASSERT_EQ(d[k].hostOrder(), first ? diagnostics[k].hostOrder() : reference.diagnostics().hostOrder())
                        << k;
                    if (!first) continue;
                    ASSERT_EQ(r[k].size(), residuals[k].size()) << k;
                    for (std::size_t i = 0; i < r[k].size(); ++i) ASSERT_TRUE(sameDouble(r[k][i], residuals[k][i])) << k;
                }
                expectSameCurves(batch.store(), reference.store());
            }
        }
    }
}

TEST(Evaluator, StopKeepsDiagnosticsAndBadInputLeavesTheStoreAlone) {
    testing::TempDir dir;
    writeBatchCase(dir.path());
    Evaluator evaluator(dir.path());
    const double good[] = {1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0};
    const double stops[] = {1.3, 0.3, 0.02, 0.25, 2.0, 0.0, 1.95, 0.2, 1.0};  // cannot reach 2000 kPa
    const double switches[] = {0.0, 0.0, 0.0};
    const double first = evaluateObjective(evaluator, good, switches);
    ASSERT_TRUE(std::isfinite(first));
    const HostDiagnostics kept = evaluator.diagnostics().hostOrder();
    EXPECT_EQ(evaluateObjective(evaluator, stops, switches), inf);
    EXPECT_EQ(evaluator.diagnostics().hostOrder(), kept);
    EXPECT_EQ(evaluateObjective(evaluator, good, switches), first);

    EXPECT_THROW(evaluateObjective(evaluator, std::span<const double>(good, 8), switches), std::invalid_argument);
    EXPECT_THROW(evaluateObjective(evaluator, good, std::span<const double>(switches, 2)), std::invalid_argument);
    EXPECT_EQ(evaluator.store().nTests, 4);

    // A load that fails names the file and line, and the next call recovers
    // once the file is fixed.
    std::ofstream(dir.path() / "vornevResult" / "H.txt") << "0 0 2000 0 0\n0.02 500 2000\n";
    const double reload[] = {0.0, 0.0, 1.0};
    try {
        evaluateObjective(evaluator, good, reload);
        FAIL() << "expected a load error";
    } catch (const LoadError& e) {
        EXPECT_NE(std::string(e.what()).find("H.txt:2: expected 5 numbers, found 3"), std::string::npos) << e.what();
    }
    EXPECT_EQ(evaluator.store().nTests, 0);
    writeBatchCase(dir.path());
    EXPECT_EQ(evaluateObjective(evaluator, good, switches), first);
}

}  // namespace
}  // namespace calvenor
