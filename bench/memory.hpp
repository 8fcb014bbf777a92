// Memory of the process for the benchmarks: the heap bytes in use (every
// operator new of the program is counted) and the resident set.
#pragma once

#include <cstddef>

namespace calvenor::bench {

// Heap bytes allocated through operator new and not yet freed.
std::size_t heapInUse();
// The most heapInUse() has been since the last resetPeaks().
std::size_t heapPeak();
// The resident set now, and its peak since the last resetPeaks() (Linux:
// /proc/self/status; 0 elsewhere).
std::size_t residentBytes();
std::size_t residentPeakBytes();
// Starts both peaks again from the present values.
void resetPeaks();

}  // namespace calvenor::bench
