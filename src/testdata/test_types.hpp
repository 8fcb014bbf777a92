// The test types: for each code, its names, the path the shear run follows and
// the measured quantities it is scored on. Scoring, plots, synthesis, the
// importer and the help texts all read this one table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace calvenor {

// Columns of measured, simulated and simulated-at-measured rows.
enum Column : int { strainCol = 0, qCol = 1, pCol = 2, evCol = 3, uCol = 4 };
inline constexpr int columnCount = 5;

// The scored quantities, in the order of the four error measures.
enum class Quantity : int { q = 0, p = 1, ev = 2, u = 3 };
inline constexpr int quantityCount = 4;
inline constexpr std::array<Column, quantityCount> quantityColumn = {qCol, pCol, evCol, uCol};
// Short names ("q", "p", "ev", "u") and the measure each feeds.
inline constexpr std::array<std::string_view, quantityCount> quantityName = {"q", "p", "ev", "u"};
inline constexpr std::array<std::string_view, quantityCount> measureName = {"ErrorObjqz", "ErrorObjpz",
                                                                           "ErrorObjev", "ErrorObju"};

struct TestType {
    std::int32_t code;
    std::string_view name;   // one word, for configuration files ("undrained")
    std::string_view title;  // for plots and reports
    std::string_view path;   // the condition each shear step holds
    std::array<bool, quantityCount> scored;  // q, p, ev, u
};

inline constexpr std::array<TestType, 5> testTypes = {{
    {1, "undrained", "Undrained, constant volume", "constant volume; pore pressure q/3 + p0 - p",
     {true, false, false, true}},
    {2, "constant-p", "Constant mean stress", "constant mean stress", {true, false, true, false}},
    {3, "drained", "Drained, constant cell pressure", "constant minor principal stress",
     {true, false, true, false}},
    {4, "K0", "Zero lateral strain", "zero strain on axis 2", {false, true, false, false}},
    {5, "isotropic", "Isotropic", "equal principal stresses and strains", {false, true, false, false}},
}};

// The entry of a code, or null for a code outside the table (such tests are
// simulated, change no stress and are scored on nothing).
inline const TestType* findTestType(std::int32_t code) {
    for (const TestType& t : testTypes) {
        if (t.code == code) return &t;
    }
    return nullptr;
}

// The entry of a name, matched without regard to case, or null.
inline const TestType* findTestType(std::string_view name) {
    for (const TestType& t : testTypes) {
        if (t.name.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
            same = lower(t.name[i]) == lower(name[i]);
        }
        if (same) return &t;
    }
    return nullptr;
}

// "1 undrained (constant volume; pore pressure ...), 2 constant-p (...), ...", for help texts.
inline std::string testTypeCodesText() {
    std::string s;
    for (const TestType& t : testTypes) {
        if (!s.empty()) s += ", ";
        s += std::to_string(t.code) + " " + std::string(t.name) + " (" + std::string(t.path) + ")";
    }
    return s;
}

inline bool isScored(std::int32_t code, Quantity quantity) {
    const TestType* t = findTestType(code);
    return t != nullptr && t->scored[static_cast<int>(quantity)];
}

}  // namespace calvenor
