// Why an evaluation gave no finite error value, in words a user can act on.
#pragma once

#include <string>

#include "objective/objective.hpp"

namespace calvenor {

// The test that stopped an evaluation and why, e.g.
//   "test 2 of the list (vornevResult/T2.txt, type 3) stopped the evaluation:
//    the compression run from the list pressure 50 kPa (void ratio 0.8)
//    never reached the test's first measured pressure 40 kPa (it is below the
//    list pressure, and the compression run only loads)".
// Empty when the evaluation did not stop.
std::string stopExplanation(const TestStore& store, const EvaluationStop& stop);

// Why the evaluator's last evaluation, which gave `error`, is not finite:
// the stop, or else the first residual that is not a finite number and
// whether its measured or its simulated value is to blame. Empty when `error`
// is finite.
std::string nonFiniteExplanation(const Evaluator& evaluator, double error);

}  // namespace calvenor
