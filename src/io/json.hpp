// JSON through nlohmann's library, printed for people as well as programs:
// records of plain values on one line each, nested records one level at a time.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace calvenor {

using Json = nlohmann::ordered_json;

// `value` with two-space indentation, where every array or object that holds
// only numbers, strings, booleans and nulls (or such records) stays on one line.
std::string prettyJson(const Json& value);

// A number, or the string "inf", "-inf" or "nan" for a non-finite one (JSON
// has no non-finite numbers).
Json jsonNumber(double value);

// The double of a number or of "inf", "-inf", "nan"; throws std::invalid_argument otherwise.
double numberFromJson(const Json& value);

}  // namespace calvenor
