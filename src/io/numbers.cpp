#include "io/numbers.hpp"

#include <charconv>
#include <cmath>

namespace calvenor {

namespace {

const char* nonFinite(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
}

}  // namespace

std::string shortest(double value) {
    if (!std::isfinite(value)) return nonFinite(value);
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string rounded(double value, int digits) {
    if (!std::isfinite(value)) return nonFinite(value);
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
    return std::string(buf, r.ptr);
}

}  // namespace calvenor
