// Benchmarks of the objective on the shared workload: twelve tests, eight of
// them consolidated first, 60 to 240 rows each.
#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "memory.hpp"
#include "model/integrators.hpp"
#include "model/lanes.hpp"
#include "objective/objective.hpp"
#include "straightforward.hpp"
#include "workload.hpp"

namespace calvenor::bench {
namespace {

const double switches[] = {1.0, 0.0, 0.0};


// The kernel of a benchmark's "kernel" argument: 0 the scalar paths, 1 the
// lane kernel chosen at run time (CALVENOR_KERNEL may name another).
const LaneKernel* kernelOf(std::int64_t arg) { return arg == 0 ? nullptr : &laneKernel(); }

void labelKernel(benchmark::State& state, const LaneKernel* kernel) {
    state.SetLabel(kernel == nullptr ? "scalar" : kernel->name);
}

// An evaluator with the workload loaded.
Evaluator loaded(unsigned threads, const LaneKernel* kernel = &laneKernel()) {
    Evaluator e(workload);
    e.setThreads(threads);
    e.setKernel(kernel);
    const double v[] = {1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0};
    evaluateObjective(e, v, switches);
    return e;
}

unsigned allThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

const double first[] = {1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0};

void BM_EvaluationStraightforward(benchmark::State& state) {
    Evaluator e = loaded(1);
    TestStore store = e.store();
    PathBuffers buffers;
    Diagnostics d{};
    const ModelParameters p = readParameters(first);
    const double expected = evaluateObjective(e, first, switches);
    if (straightforwardEvaluate(store, buffers, p, switches, d) != expected) {
        state.SkipWithError("the straightforward evaluation differs");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(straightforwardEvaluate(store, buffers, p, switches, d));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluationStraightforward)->Unit(benchmark::kMillisecond);

void BM_Evaluation(benchmark::State& state) {
    const LaneKernel* kernel = kernelOf(state.range(0));
    Evaluator e = loaded(static_cast<unsigned>(state.range(1)), kernel);
    for (auto _ : state) benchmark::DoNotOptimize(evaluateObjective(e, first, switches));
    state.SetItemsProcessed(state.iterations());
    labelKernel(state, kernel);
}
BENCHMARK(BM_Evaluation)
    ->ArgNames({"kernel", "threads"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// M 1.3, lambda 0.1, kappa 0.02, nu 0.3, N 2.0, chi 0.2, m 1.0, Z 1.95: a
// normally consolidated clay at 100 kPa.
constexpr ModelConstants clay{1.3, 0.1, 0.02, 0.3, 2.0, 0.2, 1.0, 1.95, 1.95, 0.0};

void BM_ShearPath(benchmark::State& state) {
    PathBuffers b;
    const auto type = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        integrateShearPath(clay, {100.0, 1.5388363552707274}, {0.0, type, 0.2, pathPoints}, b.arrays());
        benchmark::DoNotOptimize(b.qDev.data());
    }
}
BENCHMARK(BM_ShearPath)->ArgName("type")->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

void BM_CompressionFull(benchmark::State& state) {
    PathBuffers b;
    for (auto _ : state) {
        integrateIsotropicCompression(clay, {50.0, 1.6}, {0.0, 0.2, pathPoints}, b.arrays());
        benchmark::DoNotOptimize(b.pMean.data());
    }
}
BENCHMARK(BM_CompressionFull)->Unit(benchmark::kMicrosecond);

void BM_CompressionToPressure(benchmark::State& state) {
    PathBuffers b;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            compressToPressure(clay, {50.0, 1.6}, {0.0, 0.2, pathPoints}, b.arrays(), 200.0).interval);
    }
}
BENCHMARK(BM_CompressionToPressure)->Unit(benchmark::kMicrosecond);

void BM_InterpolationLinear(benchmark::State& state) {
    Evaluator e = loaded(1);
    TestStore store = e.store();
    for (auto _ : state) {
        straightforwardInterpolate(store);
        benchmark::DoNotOptimize(store.simAtMeasured(0, 0, 1));
    }
}
BENCHMARK(BM_InterpolationLinear)->Unit(benchmark::kMicrosecond);

void BM_Interpolation(benchmark::State& state) {
    Evaluator e = loaded(1);
    TestStore store = e.store();
    for (auto _ : state) {
        interpolateAtMeasured(store);
        benchmark::DoNotOptimize(store.simAtMeasured(0, 0, 1));
    }
}
BENCHMARK(BM_Interpolation)->Unit(benchmark::kMicrosecond);

std::vector<ModelParameters> batchSets(std::size_t size) {
    const std::vector<ModelParameters> base = workloadSets();
    std::vector<ModelParameters> sets(size);
    for (std::size_t k = 0; k < size; ++k) sets[k] = base[k % base.size()];
    return sets;
}

void BM_Batch(benchmark::State& state) {
    const LaneKernel* kernel = kernelOf(state.range(0));
    const auto size = static_cast<std::size_t>(state.range(1));
    const auto threads = static_cast<unsigned>(state.range(2) == 0 ? allThreads() : state.range(2));
    Evaluator e = loaded(threads, kernel);
    const std::vector<ModelParameters> sets = batchSets(size);
    std::vector<double> errors(size);
    std::vector<Diagnostics> diagnostics(size);
    for (auto _ : state) {
        e.evaluateBatch(sets, switchOptions(switches), errors, diagnostics);
        benchmark::DoNotOptimize(errors.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(size));
    state.counters["threads"] = threads;
    labelKernel(state, kernel);
}
// Threads 0 stands for every core.
BENCHMARK(BM_Batch)
    ->ArgNames({"kernel", "sets", "threads"})
    ->ArgsProduct({{0, 1}, {1, 64, 1024}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Memory a batch takes above the loaded evaluator (which has made one
// evaluation): the peak of the heap bytes in use, and of the resident set.
void BM_BatchMemory(benchmark::State& state) {
    const LaneKernel* kernel = kernelOf(state.range(0));
    const auto size = static_cast<std::size_t>(state.range(1));
    const unsigned threads = allThreads();
    const std::vector<ModelParameters> sets = batchSets(size);
    std::vector<double> errors(size);
    std::vector<Diagnostics> diagnostics(size);
    double heap = 0.0, resident = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        std::optional<Evaluator> e(loaded(threads, kernel));
        const std::size_t heapBefore = heapInUse();
        const std::size_t residentBefore = residentBytes();
        resetPeaks();
        state.ResumeTiming();
        e->evaluateBatch(sets, switchOptions(switches), errors, diagnostics);
        state.PauseTiming();
        heap = std::max(heap, static_cast<double>(heapPeak() - heapBefore));
        resident = std::max(resident, static_cast<double>(residentPeakBytes()) - static_cast<double>(residentBefore));
        e.reset();
        state.ResumeTiming();
    }
    constexpr double mb = 1024.0 * 1024.0;
    state.counters["heap_peak_MB"] = heap / mb;
    state.counters["rss_peak_MB"] = resident / mb;
    state.counters["threads"] = threads;
    labelKernel(state, kernel);
}
BENCHMARK(BM_BatchMemory)
    ->ArgNames({"kernel", "sets"})
    ->ArgsProduct({{0, 1}, {1024}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
}  // namespace calvenor::bench

BENCHMARK_MAIN();
