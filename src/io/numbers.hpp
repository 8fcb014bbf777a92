// The one formatter of doubles for text the tools write and print.
#pragma once

#include <string>

namespace calvenor {

// A double in the shortest form that reads back to the same bits
// (std::to_chars); non-finite values as "inf", "-inf", "nan".
std::string shortest(double value);

// A double rounded to `digits` significant digits for people to read
// ("100.1", "0.01815", "2.5e+04"); non-finite values as "inf", "-inf", "nan".
std::string rounded(double value, int digits = 4);

}  // namespace calvenor
