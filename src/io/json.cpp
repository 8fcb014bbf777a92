#include "io/json.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace calvenor {

namespace {

bool flat(const Json& value) {
    if (!value.is_structured()) return true;
    for (const auto& item : value) {
        if (item.is_structured()) return false;
    }
    return true;
}

// Whether a structured value prints on one line: flat, or a record of flat values.
bool compact(const Json& value) {
    if (flat(value)) return true;
    if (!value.is_object()) return false;
    for (const auto& item : value) {
        if (!flat(item)) return false;
    }
    return value.size() <= 1;
}

std::string oneLine(const Json& value) {
    if (!value.is_structured()) return value.dump();
    const bool object = value.is_object();
    std::string s(1, object ? '{' : '[');
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) s += ", ";
        first = false;
        if (object) s += Json(it.key()).dump() + ": ";
        s += oneLine(*it);
    }
    return s + (object ? '}' : ']');
}

void print(const Json& value, int indent, std::string& out) {
    if (compact(value) || value.empty()) {
        out += oneLine(value);
        return;
    }
    const bool object = value.is_object();
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    out += object ? "{\n" : "[\n";
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ",\n";
        first = false;
        out += pad;
        if (object) out += Json(it.key()).dump() + ": ";
        print(*it, indent + 2, out);
    }
    out += "\n" + std::string(static_cast<std::size_t>(indent), ' ') + (object ? "}" : "]");
}

}  // namespace

std::string prettyJson(const Json& value) {
    std::string out;
    print(value, 0, out);
    return out + "\n";
}

Json jsonNumber(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return value;
}

double numberFromJson(const Json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_string()) {
        const auto& s = value.get_ref<const std::string&>();
        if (s == "inf") return std::numeric_limits<double>::infinity();
        if (s == "-inf") return -std::numeric_limits<double>::infinity();
        if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    }
    throw std::invalid_argument("expected a number, found " + value.dump());
}

}  // namespace calvenor
