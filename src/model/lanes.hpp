// Many paths stepped together: each lane is one path with its own model
// values, start state, settings and curves, and gives exactly what the scalar
// integrator gives it, to the bit. The lanes of a group step in the lanes of
// one vector register where the processor has them (AVX2: four doubles).
//
// Lane rules, the same for every kernel:
// - Any number of lanes, of any path codes, may be handed over at once. The
//   kernel groups them by path code (test types 1..5, and every code outside
//   them as one more), `width` lanes to a group, in the order given; lanes of
//   the same code fill a group best when they come together. shearMixed
//   puts the codes 1..5 in the same groups.
// - No two curves may overlap: neither the six of one lane nor those of two
//   lanes.
// - A lane that stops (its path is over, its void ratio fell to zero or
//   below, its bracketing interval is known) writes nothing more while the
//   others of its group go on, so every curve entry the scalar run would not
//   write keeps what it held, stale values included.
// - Curves shorter than a lane's point count throw std::invalid_argument
//   before any lane is written.
#pragma once

#include <span>

#include "model/integrators.hpp"

namespace calvenor {

// A shear path: the arguments of runShearPath and, once run, its result.
struct ShearLane {
    ModelConstants model{};
    StartState start{};
    ShearSettings settings{};
    PathArrays out{};
    int reached = 0;  // what runShearPath returns
};

// A compression run to a pressure: the arguments of compressToPressure and,
// once run, its result.
struct CompressionLane {
    ModelConstants model{};
    StartState start{};
    CompressionSettings settings{};
    PathArrays out{};
    double pTarget = 0.0;
    BracketSearch search{-1, false};  // what compressToPressure returns
};

// One implementation of the lane steps.
struct LaneKernel {
    const char* name;  // "generic", "sse2" or "avx2"
    int width;         // lanes stepped together in one group at most
    void (*shear)(std::span<ShearLane> lanes);
    void (*compress)(std::span<CompressionLane> lanes);
    // As shear, but lanes of the codes 1..5 share groups whatever their
    // code, in the order given, each lane stepped by the rules of its own
    // code (a group computes the increments of every code it holds).
    void (*shearMixed)(std::span<ShearLane> lanes);
    // Time of a group of two to four lanes, and of a larger one, against a
    // single run (lane benchmarks): a group of up to four lanes takes one
    // register per value (SSE2: two), a larger one twice as many; the
    // generic kernel steps four lanes of plain doubles.
    double groupCost[2];
};

// The kernel in plain C++, for every processor.
const LaneKernel& genericKernel();
// The kernel of the portable build: SSE2 on x86-64 (every such processor
// has it), the generic kernel elsewhere.
const LaneKernel& portableKernel();
// The AVX2 kernel, or null where it is not built or the processor or the
// operating system does not support AVX2.
const LaneKernel* avx2Kernel();

// The kernel chosen once per process: the one CALVENOR_KERNEL names
// ("portable", "generic", "sse2", "avx2") where it is available, otherwise
// the AVX2 kernel where available, otherwise the portable one.
const LaneKernel& laneKernel();

// The kernel evaluations and batches use unless told otherwise: laneKernel(),
// or null, meaning the scalar paths (one test and one set after another),
// when CALVENOR_KERNEL is "scalar".
const LaneKernel* defaultLaneKernel();

// The lanes run on laneKernel().
void runShearPaths(std::span<ShearLane> lanes);
void compressToPressures(std::span<CompressionLane> lanes);

}  // namespace calvenor
