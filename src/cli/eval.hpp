// Calls of the objective read from a file and run in one module lifetime.
#pragma once

#include <array>
#include <iosfwd>
#include <string>
#include <vector>

#include "objective/objective.hpp"

namespace calvenor::cli {

struct Call {
    std::array<double, 9> parameters;
    std::array<double, 3> switches;
};

// One call per non-blank line: nine parameters, then three switches.
// Throws UsageError naming `name` and the line for a malformed line.
std::vector<Call> readCalls(std::istream& in, const std::string& name);

// Runs the calls in order; one line per call on `out`:
//   "call K error V diagnostics D1 ... D11" or "call K failed MESSAGE".
// Report warnings go to `err`.
void runCalls(Evaluator& evaluator, const std::vector<Call>& calls, std::ostream& out, std::ostream& err);

}  // namespace calvenor::cli
