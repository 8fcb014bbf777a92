// Evaluations per second of the calibration objective on the shared
// workload (twelve tests, 60 to 240 rows each), as the search runs it: a
// generation of 32 parameter sets as one batch, and single sets as the local
// search asks for them; on one thread and on all cores.
#include <benchmark/benchmark.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "calibration/engine.hpp"
#include "objective/objective.hpp"
#include "workload.hpp"

#ifndef CALVENOR_SHARED_DIR
#define CALVENOR_SHARED_DIR "../shared"
#endif

namespace calvenor::bench {
namespace {


// 32 points of the unit cube around the workload's parameter sets, as a
// converging generation would hold them.
std::vector<std::vector<double>> generation(const CalibrationObjective& objective) {
    const std::vector<ModelParameters> sets = workloadSets();
    std::mt19937_64 rng(1);
    std::normal_distribution<double> jitter(0.0, 0.01);
    std::vector<std::vector<double>> points;
    for (std::size_t k = 0; points.size() < 32; ++k) {
        std::vector<double> x = objective.toUnit(sets[k % sets.size()]);
        for (double& v : x) v = std::clamp(v + jitter(rng), 0.0, 1.0);
        points.push_back(std::move(x));
    }
    return points;
}

unsigned allThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

void BM_CalibrationGeneration(benchmark::State& state) {
    Evaluator evaluator(workload);
    CalibrationObjective objective(evaluator, defaultParameterSettings(), true,
                                        static_cast<unsigned>(state.range(0)), std::int64_t{1} << 50);
    const auto points = generation(objective);
    objective.evaluate(points);  // loads the workload
    for (auto _ : state) benchmark::DoNotOptimize(objective.evaluate(points));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(points.size()));
    state.counters["evaluations/s"] =
        benchmark::Counter(static_cast<double>(points.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CalibrationGeneration)->ArgName("threads")->Arg(1)->Arg(allThreads())->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_CalibrationSingle(benchmark::State& state) {
    Evaluator evaluator(workload);
    CalibrationObjective objective(evaluator, defaultParameterSettings(), true,
                                        static_cast<unsigned>(state.range(0)), std::int64_t{1} << 50);
    const auto points = generation(objective);
    objective.evaluate({points[0]});
    std::size_t k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(objective.evaluate({points[k++ % points.size()]}));
    state.SetItemsProcessed(state.iterations());
    state.counters["evaluations/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CalibrationSingle)->ArgName("threads")->Arg(1)->Arg(allThreads())->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calvenor::bench

BENCHMARK_MAIN();
