// An evaluation allocates nothing once the store is loaded and the evaluator
// has run once: optimisers call it tens of thousands of times.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "model/lanes.hpp"
#include "objective/objective.hpp"
#include "support/exact.hpp"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace calvenor {
namespace {

TEST(Allocation, NoneDuringAnEvaluation) {
    const auto workload = testing::sharedDir() / "bench";
    const double params[] = {1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0};
    const double other[] = {1.28, 0.29, 0.0198, 0.104, 2.078, 0.0, 1.864, 0.194, 0.99};
    const double switches[] = {1.0, 0.0, 0.0};
    for (const LaneKernel* kernel : {static_cast<const LaneKernel*>(nullptr), &laneKernel()}) {
        for (unsigned threads : {1u, 2u}) {
            SCOPED_TRACE(std::string(kernel == nullptr ? "scalar" : kernel->name) + ", " + std::to_string(threads));
            Evaluator e(workload);
            e.setThreads(threads);
            e.setKernel(kernel);
            const double first = evaluateObjective(e, params, switches);
            const long before = allocations.load();
            double again = 0.0;
            for (int k = 0; k < 3; ++k) {
                evaluateObjective(e, other, switches);
                again = evaluateObjective(e, params, switches);
            }
            EXPECT_EQ(allocations.load() - before, 0);
            EXPECT_EQ(again, first);
        }
    }
}

}  // namespace
}  // namespace calvenor
