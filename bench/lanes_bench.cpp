// Time per set-step of the shear path (one parameter set taken one point on)
// for the scalar run, the interleaved pair and the lane kernels, per test
// type; and the compression run to a pressure, scalar and in lanes. The
// counter per_set_step is the figure to compare.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "model/integrators.hpp"
#include "model/lanes.hpp"

namespace calvenor::bench {
namespace {

constexpr int points = 3000;
constexpr int steps = points - 1;

// Four parameter sets near a normally consolidated clay at 100 kPa (M 1.3,
// lambda 0.1, kappa 0.02, nu 0.3, N 2.0, chi 0.2, m 1.0, Z 1.95): none of
// their paths ends early.
ModelConstants set(int k) {
    ModelConstants m{1.3, 0.1, 0.02, 0.3, 2.0, 0.2, 1.0, 1.95, 1.95, 0.0};
    m.propm += 0.05 * k;
    m.pkappa += 0.002 * k;
    m.chi += 0.05 * k;
    return m;
}
constexpr StartState start{100.0, 1.5388363552707274};

struct Curves {
    std::vector<std::vector<double>> v = std::vector<std::vector<double>>(6, std::vector<double>(points, 0.0));
    PathArrays arrays() { return {v[0], v[1], v[2], v[3], v[4], v[5]}; }
};

void perSetStep(benchmark::State& state, int sets) {
    state.counters["per_set_step"] = benchmark::Counter(
        static_cast<double>(sets) * steps, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

ShearSettings shear(benchmark::State& state) { return {0.0, static_cast<std::int32_t>(state.range(0)), 0.2, points}; }

void BM_SetStepScalar(benchmark::State& state) {
    Curves c;
    const ModelConstants m = set(0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(runShearPath(m, start, shear(state), c.arrays()));
    }
    perSetStep(state, 1);
}
BENCHMARK(BM_SetStepScalar)->ArgName("type")->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

void BM_SetStepPair(benchmark::State& state) {
    Curves a, b;
    const ModelConstants m = set(0);
    for (auto _ : state) {
        int ra = 0, rb = 0;
        runShearPathPair(m, start, shear(state), a.arrays(), ra, start, shear(state), b.arrays(), rb);
        benchmark::DoNotOptimize(ra + rb);
    }
    perSetStep(state, 2);
}
BENCHMARK(BM_SetStepPair)->ArgName("type")->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

void lanesBench(benchmark::State& state, const LaneKernel* kernel) {
    if (kernel == nullptr) {
        state.SkipWithError("kernel not available here");
        return;
    }
    const int sets = static_cast<int>(state.range(1));
    std::vector<Curves> curves(static_cast<std::size_t>(sets));
    std::vector<ShearLane> lanes(static_cast<std::size_t>(sets));
    for (int k = 0; k < sets; ++k) {
        lanes[k].model = set(k % 4);
        lanes[k].start = start;
        lanes[k].settings = shear(state);
        lanes[k].out = curves[k].arrays();
    }
    for (auto _ : state) {
        kernel->shear(lanes);
        benchmark::DoNotOptimize(lanes[0].reached);
    }
    perSetStep(state, sets);
}

void BM_SetStepGeneric(benchmark::State& state) { lanesBench(state, &genericKernel()); }
BENCHMARK(BM_SetStepGeneric)->ArgNames({"type", "sets"})->ArgsProduct({{1, 2, 3, 4, 5}, {4}})->Unit(benchmark::kMicrosecond);

void BM_SetStepPortable(benchmark::State& state) { lanesBench(state, &portableKernel()); }
BENCHMARK(BM_SetStepPortable)->ArgNames({"type", "sets"})->ArgsProduct({{1, 2, 3, 4, 5}, {4, 8}})->Unit(benchmark::kMicrosecond);

void BM_SetStepAvx2(benchmark::State& state) { lanesBench(state, avx2Kernel()); }
BENCHMARK(BM_SetStepAvx2)->ArgNames({"type", "sets"})->ArgsProduct({{1, 2, 3, 4, 5}, {4, 8}})->Unit(benchmark::kMicrosecond);

// Lanes of several path codes in mixed groups of the chosen kernel: the
// benchmark workload's tests (codes 1, 2, 3, 4, 5, 1, 2, 3, 1, 3, 2, 3) and
// parts of them.
void BM_SetStepMixed(benchmark::State& state) {
    static const std::vector<std::vector<std::int32_t>> patterns = {
        {1, 2, 3, 4, 5, 1, 2, 3, 1, 3, 2, 3}, {1, 1, 1, 2, 2, 2, 4, 5}, {1, 2, 4, 5}, {1, 1, 1, 4},
        {2, 2, 2, 5}, {3, 3, 3, 3}, {1, 2, 3, 1, 3, 2, 3, 3}, {4, 5}};
    const auto& codes = patterns[static_cast<std::size_t>(state.range(0))];
    const int sets = static_cast<int>(codes.size());
    const LaneKernel& kernel = laneKernel();
    std::vector<Curves> curves(static_cast<std::size_t>(sets));
    std::vector<ShearLane> lanes(static_cast<std::size_t>(sets));
    for (int k = 0; k < sets; ++k) {
        lanes[k].model = set(k % 4);
        lanes[k].start = start;
        lanes[k].settings = {0.0, codes[static_cast<std::size_t>(k)], 0.2, points};
        lanes[k].out = curves[k].arrays();
    }
    for (auto _ : state) {
        kernel.shearMixed(lanes);
        benchmark::DoNotOptimize(lanes[0].reached);
    }
    perSetStep(state, sets);
    std::string label = kernel.name;
    for (std::int32_t c : codes) label += " " + std::to_string(c);
    state.SetLabel(label);
}
BENCHMARK(BM_SetStepMixed)->ArgName("codes")->DenseRange(0, 7)->Unit(benchmark::kMicrosecond);

// Compression from 50 kPa to 200 kPa: the run stops once the interval is known.
constexpr CompressionSettings compression{0.0, 0.2, points};

void BM_CompressionScalar(benchmark::State& state) {
    Curves c;
    const ModelConstants m = set(0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(compressToPressure(m, {50.0, 1.6}, compression, c.arrays(), 200.0).interval);
    }
}
BENCHMARK(BM_CompressionScalar)->Unit(benchmark::kMicrosecond);

void compressionLanesBench(benchmark::State& state, const LaneKernel* kernel) {
    if (kernel == nullptr) {
        state.SkipWithError("kernel not available here");
        return;
    }
    std::vector<Curves> curves(4);
    std::vector<CompressionLane> lanes(4);
    for (int k = 0; k < 4; ++k) {
        lanes[k].model = set(0);
        lanes[k].start = {50.0, 1.6};
        lanes[k].settings = compression;
        lanes[k].out = curves[k].arrays();
        lanes[k].pTarget = 200.0;
    }
    for (auto _ : state) {
        kernel->compress(lanes);
        benchmark::DoNotOptimize(lanes[0].search.interval);
    }
    state.counters["per_set"] = benchmark::Counter(
        4.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CompressionPortable(benchmark::State& state) { compressionLanesBench(state, &portableKernel()); }
BENCHMARK(BM_CompressionPortable)->Unit(benchmark::kMicrosecond);
void BM_CompressionAvx2(benchmark::State& state) { compressionLanesBench(state, avx2Kernel()); }
BENCHMARK(BM_CompressionAvx2)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace calvenor::bench
