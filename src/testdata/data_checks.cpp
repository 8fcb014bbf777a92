#include "testdata/data_checks.hpp"

#include <cmath>
#include <cstdint>
#include <unordered_map>

#include "io/numbers.hpp"

namespace calvenor {

namespace {

constexpr int namedAtMost = 5;
// A volumetric strain of a type 1 test above this in magnitude is no
// round-off: the sample changed volume.
constexpr double drainedVolumetricStrain = 1e-6;

// A test's name in a message that may name several: at most 200 characters.
std::string shortName(std::string_view name) {
    std::string shown = displayName({}, name);
    if (shown.size() > 200) shown = shown.substr(0, 200) + "...";
    return shown;
}

// Where row r of test t is, or the test's list record when r < 0.
class Places {
public:
    Places(std::span<const LabTest> tests, std::span<const TestSource> sources) : tests_(tests), sources_(sources) {}

    std::string row(std::size_t t, std::size_t r) const {
        if (t < sources_.size() && r < sources_[t].rowLines.size())
            return sources_[t].file + ":" + std::to_string(sources_[t].rowLines[r]);
        return name(t) + ", row " + std::to_string(r + 1);
    }
    std::string record(std::size_t t) const {
        if (t < sources_.size() && sources_[t].listLine > 0)
            return sources_[t].list + ":" + std::to_string(sources_[t].listLine);
        return "test " + std::to_string(t + 1) + " (" + name(t) + ")";
    }
    // How a record is referred to after another one's place.
    std::string recordBefore(std::size_t t) const {
        if (t < sources_.size() && sources_[t].listLine > 0) return "line " + std::to_string(sources_[t].listLine);
        return "test " + std::to_string(t + 1);
    }
    std::string name(std::size_t t) const { return shortName(tests_[t].name); }

private:
    std::span<const LabTest> tests_;
    std::span<const TestSource> sources_;
};

std::string likewise(std::int64_t more, const char* what) {
    if (more <= 0) return "";
    return " (likewise on " + std::to_string(more) + " more " + what + (more > 1 ? "s" : "") + ")";
}

void checkRows(const LabTest& test, std::size_t t, const Places& at, std::vector<std::string>& out) {
    const auto& rows = test.rows;
    if (rows.empty()) return;
    // Percent: the largest finite |strain| above 1.
    std::size_t largest = rows.size();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const double a = std::fabs(rows[r][strainCol]);
        if (std::isfinite(a) && a > 1.0 && (largest == rows.size() || a > std::fabs(rows[largest][strainCol])))
            largest = r;
    }
    if (largest < rows.size()) {
        out.push_back(at.row(t, largest) + ": axial strain " + shortest(rows[largest][strainCol]) +
                      ": strains are plain numbers (0.05 for 5 %), so the strains look like percent");
    }
    const double first = rows[0][strainCol];
    if (first != 0.0 && !std::isnan(first)) {
        out.push_back(at.row(t, 0) + ": the first row is at axial strain " + shortest(first) +
                      ", not 0: shearing is simulated from strain 0 at this row's p (" + shortest(rows[0][pCol]) +
                      " kPa)");
    }
    std::size_t falling = 0;
    std::int64_t moreFalling = 0;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const double before = rows[r - 1][strainCol], now = rows[r][strainCol];
        if (std::isnan(before) || std::isnan(now) || now > before) continue;
        if (falling == 0) falling = r; else ++moreFalling;
    }
    if (falling > 0) {
        out.push_back(at.row(t, falling) + ": axial strain " + shortest(rows[falling][strainCol]) +
                      " after " + shortest(rows[falling - 1][strainCol]) +
                      " on the row before: rows should be in increasing strain" + likewise(moreFalling, "row"));
    }
    std::size_t negative = rows.size();
    std::int64_t moreNegative = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (!(rows[r][strainCol] < 0.0)) continue;
        if (negative == rows.size()) negative = r; else ++moreNegative;
    }
    if (negative < rows.size()) {
        out.push_back(at.row(t, negative) + ": negative axial strain " + shortest(rows[negative][strainCol]) +
                      ": extension is not modelled (compression is positive)" + likewise(moreNegative, "row"));
    }
    if (test.type == 1) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const double ev = rows[r][evCol];
            if (!(std::fabs(ev) > drainedVolumetricStrain) || !std::isfinite(ev)) continue;
            out.push_back(at.row(t, r) + ": volumetric strain " + shortest(ev) +
                          " in a type 1 test (undrained, constant volume): a drained test? Type 1 is scored on q "
                          "and u; type 3 (drained) on q and the volumetric strain");
            break;
        }
    }
}

std::string quantityList(const TestType& type) {
    std::vector<std::string_view> names;
    for (int k = 0; k < quantityCount; ++k) {
        if (type.scored[static_cast<std::size_t>(k)]) names.push_back(quantityName[static_cast<std::size_t>(k)]);
    }
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += i + 1 == names.size() ? " and " : ", ";
        s += names[i];
    }
    return s;
}

}  // namespace

std::vector<std::string> plausibilityWarnings(std::span<const LabTest> tests, std::span<const TestSource> sources) {
    std::vector<std::string> out;
    const Places at(tests, sources);
    std::unordered_map<std::string, std::size_t> seen;
    std::unordered_map<std::string, std::size_t> files;  // the rows of a file are checked once
    for (std::size_t t = 0; t < tests.size(); ++t) {
        const LabTest& test = tests[t];
        const auto [it, fresh] = seen.emplace(test.name + '\0' + std::to_string(test.type), t);
        if (!fresh) {
            out.push_back(at.record(t) + ": the same data file and type as " + at.recordBefore(it->second) + " (" +
                          at.name(t) + ", type " + std::to_string(test.type) + "): the test is scored twice");
        }
        if (files.emplace(test.name, t).second) checkRows(test, t, at, out);
    }
    return out;
}

std::string unscoredReason(const TestStore& store, int t) {
    const std::int32_t code = store.testType[t];
    const TestType* type = findTestType(code);
    if (type == nullptr) return "has type code " + std::to_string(code) + ", which no measure scores";
    const double scales[quantityCount] = {store.qScale[t], store.pScale[t], store.evScale[t], store.uScale[t]};
    for (int k = 0; k < quantityCount; ++k) {
        if (type->scored[static_cast<std::size_t>(k)] && scales[k] != 0.0) return "";
    }
    const std::string quantities = quantityList(*type);
    return "has type " + std::to_string(code) + ", scored on " + quantities + ", and its " + quantities +
           " are 0 in every row";
}

std::string nothingScoredReason(const TestStore& store) {
    if (store.nTests == 0) return "no test is scored: the list holds no tests";
    std::string named;
    for (int t = 0; t < store.nTests; ++t) {
        const std::string why = unscoredReason(store, t);
        if (why.empty()) return "";
        if (t < namedAtMost) named += (t > 0 ? "; " : "") + shortName(store.testFile[t]) + " " + why;
    }
    if (store.nTests > namedAtMost) named += "; and " + std::to_string(store.nTests - namedAtMost) + " more";
    return "no test is scored: " + named;
}

std::vector<std::string> scoringWarnings(const TestStore& store, std::span<const TestSource> sources,
                                         const std::string& listShown) {
    if (const std::string none = nothingScoredReason(store); !none.empty()) {
        return {listShown + ": " + none + "; every error value is 0"};
    }
    std::vector<std::string> out;
    for (int t = 0; t < store.nTests; ++t) {
        const std::string why = unscoredReason(store, t);
        if (why.empty()) continue;
        const auto k = static_cast<std::size_t>(t);
        const std::string where =
            k < sources.size() ? sources[k].list + ":" + std::to_string(sources[k].listLine) : listShown;
        out.push_back(where + ": " + shortName(store.testFile[t]) + " is not scored: it " + why +
                      ", so it adds nothing to the error value");
    }
    return out;
}

}  // namespace calvenor
