// The evaluation written the plain way, kept beside the benchmarks so every
// run measures the fast paths against it: the full compression run followed
// by a linear scan for the consolidation interval, linear scans of the strain
// curve for every measured row, tests one after another.
#pragma once

#include <span>

#include "objective/objective.hpp"

namespace calvenor::bench {

// One evaluation of a loaded store; the same results as Evaluator.
double straightforwardEvaluate(TestStore& store, PathBuffers& buffers, const ModelParameters& p,
                               std::span<const double> switches, Diagnostics& diagnostics);

// The linear-scan reading of every simulated curve at the measured strains.
void straightforwardInterpolate(TestStore& store);

}  // namespace calvenor::bench
