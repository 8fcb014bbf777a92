#include "import/import.hpp"

#include <glob.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <memory>

#include "import/delimited.hpp"
#include "io/files.hpp"
#include "io/numbers.hpp"

namespace calvenor {

namespace fs = std::filesystem;

int measuredIndex(std::string_view key) {
    for (int i = 0; i < measuredCount; ++i) {
        if (measuredKeys[static_cast<std::size_t>(i)] == key) return i;
    }
    return -1;
}

namespace {

using M = Measured;

constexpr std::size_t at(M m) { return static_cast<std::size_t>(m); }

// Largest axial strain at the first row that still counts as the start of
// the shear (0.1 %).
constexpr double startStrainTolerance = 1e-3;

// How a data source gives each written quantity.
enum class QFrom { deviator, axialMinusRadial, none };
enum class PFrom { mean, axialAndRadial, radialAndDeviator };
enum class UAbsFrom { pore, excessPlusBack, notNeeded };
enum class EvFrom { volumetricStrain, volumeChange, voidRatio, none };
enum class UFrom { excess, poreMinusBack, none };

struct Plan {
    QFrom q = QFrom::none;
    PFrom p = PFrom::mean;
    UAbsFrom uAbs = UAbsFrom::notNeeded;
    EvFrom ev = EvFrom::none;
    UFrom u = UFrom::none;
};

std::string sourceKey(const ImportConfig& config, std::size_t s) {
    return config.data.size() == 1 ? std::string("data") : "data[" + std::to_string(s + 1) + "]";
}

Plan makePlan(const DataSource& d, const std::string& key) {
    const auto has = [&](M m) { return d.columns[at(m)].given(); };
    Plan plan;
    if (!has(M::axialStrain)) throw ImportError(key + ".columns: axial_strain is missing (every test needs it)");
    if (has(M::deviatorStress))
        plan.q = QFrom::deviator;
    else if (has(M::axialStress) && has(M::radialStress))
        plan.q = QFrom::axialMinusRadial;
    if (has(M::meanStress))
        plan.p = PFrom::mean;
    else if (has(M::axialStress) && has(M::radialStress))
        plan.p = PFrom::axialAndRadial;
    else if (has(M::radialStress) && has(M::deviatorStress))
        plan.p = PFrom::radialAndDeviator;
    else
        throw ImportError(key + ".columns: no mean stress: give mean_stress, or radial_stress with axial_stress or "
                                "deviator_stress");
    if (d.units.stresses == StressKind::total) {
        if (has(M::porePressure))
            plan.uAbs = UAbsFrom::pore;
        else if (has(M::excessPorePressure))
            plan.uAbs = UAbsFrom::excessPlusBack;
        else
            throw ImportError(key + ".units.stresses: the stresses are total, so p' needs the pore pressure: give "
                                    "pore_pressure, or excess_pore_pressure and a back pressure");
    }
    if (has(M::volumetricStrain))
        plan.ev = EvFrom::volumetricStrain;
    else if (has(M::volumeChange))
        plan.ev = EvFrom::volumeChange;
    else if (has(M::voidRatio))
        plan.ev = EvFrom::voidRatio;
    if (has(M::excessPorePressure))
        plan.u = UFrom::excess;
    else if (has(M::porePressure))
        plan.u = UFrom::poreMinusBack;
    return plan;
}

std::string typeText(std::int32_t code) {
    const TestType* t = findTestType(code);
    return std::to_string(code) + (t ? " (" + std::string(t->name) + ")" : std::string());
}

// A test's data file stem: letters, digits, '-', '_' and '.'; others become '_'.
std::string safeName(std::string_view id) {
    std::string name;
    for (const char ch : id) {
        const bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                        ch == '-' || ch == '_' || ch == '.';
        name += ok ? ch : '_';
    }
    if (name.empty() || name.front() == '.') name.insert(name.begin(), '_');
    return name;
}

std::string lowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// ---------------------------------------------------------------------------
// Files

struct SourceFile {
    fs::path path;
    std::string shown;     // in messages
    std::string relative;  // in the report
};

std::vector<SourceFile> expandFiles(const TableSource& source, const fs::path& base, const std::string& key) {
    std::vector<SourceFile> files;
    const auto add = [&](const fs::path& path, const fs::path& relative) {
        for (const SourceFile& f : files) {
            if (f.path == path) return;
        }
        files.push_back({path, path.lexically_normal().string(), relative.lexically_normal().string()});
    };
    if (source.files.empty()) throw ImportError(key + ".files: no file given");
    for (const std::string& pattern : source.files) {
        const fs::path p(pattern);
        const fs::path full = p.is_absolute() || base.empty() ? p : base / p;
        if (pattern.find_first_of("*?[") == std::string::npos) {
            add(full, p);
            continue;
        }
        glob_t found{};
        const int status = ::glob(full.c_str(), 0, nullptr, &found);
        std::vector<std::string> names;
        if (status == 0) {
            for (std::size_t i = 0; i < found.gl_pathc; ++i) names.emplace_back(found.gl_pathv[i]);
        }
        ::globfree(&found);
        if (names.empty()) throw ImportError(key + ".files: '" + pattern + "' matches no file");
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const fs::path match(name);
            add(match, p.is_absolute() || base.empty() ? match : match.lexically_relative(base));
        }
    }
    return files;
}

// ---------------------------------------------------------------------------
// The programme

struct ProgrammeRow {
    const Table* table = nullptr;
    std::int64_t line = 0;
    std::optional<std::int32_t> type;
    std::optional<double> pInitial, eInitial, backPressure, specimenVolume;
    std::string name;
};

std::int32_t typeOfCell(const Table& table, const TableRow& row, int column,
                        const std::vector<std::pair<std::string, std::int32_t>>& typeNames) {
    const std::string text(cellText(row, column));
    const std::string n = normalizedText(text);
    for (const auto& [name, code] : typeNames) {
        if (normalizedText(name) == n) return code;
    }
    if (const TestType* t = findTestType(std::string_view(text))) return t->code;
    if (!text.empty() && text.size() <= 2 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (const TestType* t = findTestType(static_cast<std::int32_t>(std::stoi(text)))) return t->code;
    }
    throw ImportError(cellPlace(table, row.line, column) + "expected a test type (1 to 5, undrained, constant-p, "
                                                          "drained, K0 or isotropic, or a name given in [types]), found " +
                      shownCell(text));
}

double stressFactor(StressUnit u) { return u == StressUnit::MPa ? 1000.0 : 1.0; }

// ---------------------------------------------------------------------------
// One test's rows

struct InputRow {
    std::int64_t line = 0;
    std::array<std::optional<double>, measuredCount> in;
};

struct DataTable {
    std::size_t source = 0;
    const Table* table = nullptr;
    std::array<int, measuredCount> column{};  // -1: not given
};

struct RawTest {
    std::string id;
    const DataTable* data = nullptr;
    std::vector<InputRow> rows;
    int idColumn = -1;
};

struct Row {
    std::int64_t line = 0;
    double strain = 0.0;
    std::array<std::optional<double>, quantityCount> value;  // q, p, ev, u
};

std::string list(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += i + 1 == items.size() ? " and " : ", ";
        out += items[i];
    }
    return out;
}

std::string plural(std::size_t n, const std::string& word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

const std::array<std::string_view, quantityCount> quantityLabel = {"q", "p'", "ev", "u"};
const std::array<std::string_view, quantityCount> quantityTitle = {"deviator stress q", "mean effective stress p'",
                                                                   "volumetric strain", "pore pressure u"};

class TestBuilder {
public:
    TestBuilder(const ImportConfig& config, const RawTest& raw, const Plan& plan, const TestSettings* entry,
                const ProgrammeRow* programme)
        : config_(config), raw_(raw), plan_(plan), entry_(entry), programme_(programme),
          table_(*raw.data->table), source_(config.data[raw.data->source]) {}

    LabTest build(std::string name, std::vector<std::string>& warnings, std::string& report);

private:
    const ImportConfig& config_;
    const RawTest& raw_;
    const Plan& plan_;
    const TestSettings* entry_;
    const ProgrammeRow* programme_;
    const Table& table_;
    const DataSource& source_;
    std::vector<std::string> warnings_;
    std::vector<std::string> notes_;

    std::string testName() const { return "test '" + raw_.id + "'"; }
    std::string where(std::int64_t line) const { return table_.shown + ":" + std::to_string(line) + ": "; }
    int col(M m) const { return raw_.data->column[at(m)]; }
    std::string colLabel(M m) const { return columnLabel(table_, col(m)); }
    std::string lines() const {
        return "lines " + std::to_string(raw_.rows.front().line) + " to " + std::to_string(raw_.rows.back().line);
    }

    template <class T>
    std::optional<T> setting(std::optional<T> TestSettings::*field, std::optional<T> ProgrammeRow::*column,
                             std::string& from) const {
        if (entry_ && (entry_->*field)) {
            from = "[[test]] '" + raw_.id + "'";
            return entry_->*field;
        }
        if (programme_ && (programme_->*column)) {
            from = "the programme, " + programme_->table->relative + ":" + std::to_string(programme_->line);
            return programme_->*column;
        }
        if (config_.defaults.*field) {
            from = "[tests]";
            return config_.defaults.*field;
        }
        return std::nullopt;
    }
};

LabTest TestBuilder::build(std::string name, std::vector<std::string>& warnings, std::string& report) {
    const double stress = stressFactor(source_.units.stress);
    std::string typeFrom, pFrom, eFrom, backFrom, volumeFrom;
    const std::optional<std::int32_t> type = setting(&TestSettings::type, &ProgrammeRow::type, typeFrom);
    if (!type)
        throw ImportError(table_.shown + ": " + testName() + " (" + lines() +
                          "): no test type: give type in [tests], in a [[test]] table or as a programme column");
    const std::optional<double> pGiven = setting(&TestSettings::pInitial, &ProgrammeRow::pInitial, pFrom);
    const std::optional<double> eGiven = setting(&TestSettings::eInitial, &ProgrammeRow::eInitial, eFrom);
    // A [[test]] table's "first row" wins over a programme value.
    const bool pFromRow = !pGiven || (entry_ && entry_->pInitialFromFirstRow);
    const bool eFromRow = !eGiven || (entry_ && entry_->eInitialFromFirstRow);
    double listP = pFromRow ? 0.0 : *pGiven * stress;
    double listE = eFromRow ? 0.0 : *eGiven;
    std::optional<double> back = setting(&TestSettings::backPressure, &ProgrammeRow::backPressure, backFrom);
    const std::optional<double> volume =
        setting(&TestSettings::specimenVolume, &ProgrammeRow::specimenVolume, volumeFrom);
    if (back) *back *= stress;
    if (eFromRow && col(M::voidRatio) < 0) {
        throw ImportError(table_.shown + ": " + testName() + " (" + lines() +
                          "): no e_initial: give it in [tests], in a [[test]] table or as a programme column, or "
                          "give a void_ratio column to take it from the first row");
    }
    if (plan_.uAbs == UAbsFrom::excessPlusBack && !back) {
        throw ImportError(table_.shown + ": " + testName() + " (" + lines() +
                          "): the stresses are total and the pore pressure is an excess pore pressure: give the "
                          "back pressure (back_pressure) in [tests], in a [[test]] table or as a programme column");
    }
    if (plan_.ev == EvFrom::volumeChange) {
        if (!volume)
            throw ImportError(table_.shown + ": " + testName() + " (" + lines() +
                              "): the volumetric strain comes from the volume change: give the specimen volume "
                              "(specimen_volume) in [tests], in a [[test]] table or as a programme column");
        if (!(*volume > 0.0))
            throw ImportError(table_.shown + ": " + testName() + ": specimen volume " + shortest(*volume) + " (from " +
                              volumeFrom + "): expected a volume above 0");
    }
    const bool scored[quantityCount] = {isScored(*type, Quantity::q), isScored(*type, Quantity::p),
                                        isScored(*type, Quantity::ev), isScored(*type, Quantity::u)};

    // Rows without an axial strain cannot be placed on the curve.
    std::vector<const InputRow*> rows;
    std::size_t noStrain = 0;
    std::int64_t firstNoStrain = 0;
    for (const InputRow& r : raw_.rows) {
        if (r.in[at(M::axialStrain)]) {
            rows.push_back(&r);
        } else if (noStrain++ == 0) {
            firstNoStrain = r.line;
        }
    }
    if (noStrain) {
        warnings_.push_back(where(firstNoStrain) + colLabel(M::axialStrain) + ": " + testName() + ": " +
                            plural(noStrain, "row") + " without an axial strain dropped (the first on this line)");
    }

    // Values of one input row, given the start of the test.
    const auto has = [](const InputRow& r, M m) { return r.in[at(m)].has_value(); };
    const auto v = [](const InputRow& r, M m) { return *r.in[at(m)]; };
    const auto qOf = [&](const InputRow& r) -> std::optional<double> {
        switch (plan_.q) {
            case QFrom::deviator: return r.in[at(M::deviatorStress)];
            case QFrom::axialMinusRadial:
                if (has(r, M::axialStress) && has(r, M::radialStress)) return v(r, M::axialStress) - v(r, M::radialStress);
                return std::nullopt;
            case QFrom::none: return std::nullopt;
        }
        return std::nullopt;
    };
    const auto uAbsOf = [&](const InputRow& r) -> std::optional<double> {
        if (plan_.uAbs == UAbsFrom::pore) return r.in[at(M::porePressure)];
        if (has(r, M::excessPorePressure)) return v(r, M::excessPorePressure) + *back;
        return std::nullopt;
    };
    const auto pOf = [&](const InputRow& r) -> std::optional<double> {
        std::optional<double> p;
        if (plan_.p == PFrom::mean) {
            p = r.in[at(M::meanStress)];
        } else if (plan_.p == PFrom::axialAndRadial) {
            if (has(r, M::axialStress) && has(r, M::radialStress))
                p = (v(r, M::axialStress) + 2.0 * v(r, M::radialStress)) / 3.0;
        } else if (has(r, M::radialStress) && has(r, M::deviatorStress)) {
            p = v(r, M::radialStress) + v(r, M::deviatorStress) / 3.0;
        }
        if (!p || plan_.uAbs == UAbsFrom::notNeeded) return p;
        const std::optional<double> u = uAbsOf(r);
        if (!u) return std::nullopt;
        return *p - *u;
    };

    // Whether a row gives a quantity (ev and u before their references are known).
    const auto available = [&](const InputRow& r, int k) {
        switch (k) {
            case 0: return qOf(r).has_value();
            case 1: return pOf(r).has_value();
            case 2:
                return (plan_.ev == EvFrom::volumetricStrain && has(r, M::volumetricStrain)) ||
                       (plan_.ev == EvFrom::volumeChange && has(r, M::volumeChange)) ||
                       (plan_.ev == EvFrom::voidRatio && has(r, M::voidRatio));
            default:
                return (plan_.u == UFrom::excess && has(r, M::excessPorePressure)) ||
                       (plan_.u == UFrom::poreMinusBack && has(r, M::porePressure));
        }
    };
    std::array<bool, quantityCount> inTest{};
    for (int k = 0; k < quantityCount; ++k) {
        inTest[static_cast<std::size_t>(k)] =
            std::any_of(rows.begin(), rows.end(), [&](const InputRow* r) { return available(*r, k); });
    }
    if (!inTest[1]) {
        throw ImportError(table_.shown + ": " + testName() + " (" + lines() +
                          "): no row gives the mean effective stress p' (the first row's p' is the pressure at "
                          "which the shear starts)");
    }
    // The first row is the start of the shear: it must give p', every
    // quantity the test is scored on, and the references that later rows are
    // measured from (the void ratio e0, the pore pressure at the start).
    const bool needVoidRatio = eFromRow || (plan_.ev == EvFrom::voidRatio && inTest[2]);
    const bool needPore = plan_.u == UFrom::poreMinusBack && !back && inTest[3];
    std::vector<std::string> needs = {"p'"};
    for (int k = 0; k < quantityCount; ++k) {
        if (k != 1 && scored[k] && inTest[static_cast<std::size_t>(k)]) needs.emplace_back(quantityLabel[static_cast<std::size_t>(k)]);
    }
    if (needVoidRatio) needs.push_back("the void ratio");
    if (needPore) needs.push_back("the pore pressure");
    const auto startable = [&](const InputRow& r) {
        for (int k = 0; k < quantityCount; ++k) {
            if ((k == 1 || (scored[k] && inTest[static_cast<std::size_t>(k)])) && !available(r, k)) return false;
        }
        return (!needVoidRatio || has(r, M::voidRatio)) && (!needPore || has(r, M::porePressure));
    };
    std::size_t lead = 0;
    while (lead < rows.size() && !startable(*rows[lead])) ++lead;
    if (lead == rows.size()) {
        throw ImportError(table_.shown + ": " + testName() + " (" + lines() + "): no row gives " + list(needs) +
                          " together, as the first row (the start of the shear) must");
    }
    if (lead > 0) {
        warnings_.push_back(where(rows.front()->line) + testName() + ": " + plural(lead, "leading row") +
                            " dropped: the first row is the start of the shear and must give " + list(needs));
        rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(lead));
    }
    const InputRow& start = *rows.front();
    const double e0 = has(start, M::voidRatio) ? v(start, M::voidRatio) : 0.0;
    if (needPore) {
        back = v(start, M::porePressure);
        backFrom = "the first row's pore pressure";
    }
    const auto evOf = [&](const InputRow& r) -> std::optional<double> {
        switch (plan_.ev) {
            case EvFrom::volumetricStrain: return r.in[at(M::volumetricStrain)];
            case EvFrom::volumeChange:
                if (has(r, M::volumeChange)) return v(r, M::volumeChange) / *volume;
                return std::nullopt;
            case EvFrom::voidRatio:
                if (has(r, M::voidRatio)) return (e0 - v(r, M::voidRatio)) / (1.0 + e0);
                return std::nullopt;
            case EvFrom::none: return std::nullopt;
        }
        return std::nullopt;
    };
    const auto uOf = [&](const InputRow& r) -> std::optional<double> {
        if (plan_.u == UFrom::excess) return r.in[at(M::excessPorePressure)];
        if (plan_.u == UFrom::poreMinusBack && has(r, M::porePressure) && back) return v(r, M::porePressure) - *back;
        return std::nullopt;
    };

    std::vector<Row> derived;
    derived.reserve(rows.size());
    for (const InputRow* r : rows) {
        Row row;
        row.line = r->line;
        row.strain = v(*r, M::axialStrain);
        row.value = {qOf(*r), pOf(*r), evOf(*r), uOf(*r)};
        derived.push_back(row);
    }

    // The input columns of a quantity, for naming a blank cell.
    const auto inputsOf = [&](int quantity) {
        std::vector<M> inputs;
        if (quantity == 0) {
            if (plan_.q == QFrom::deviator) inputs = {M::deviatorStress};
            if (plan_.q == QFrom::axialMinusRadial) inputs = {M::axialStress, M::radialStress};
        } else if (quantity == 1) {
            if (plan_.p == PFrom::mean) inputs = {M::meanStress};
            if (plan_.p == PFrom::axialAndRadial) inputs = {M::axialStress, M::radialStress};
            if (plan_.p == PFrom::radialAndDeviator) inputs = {M::radialStress, M::deviatorStress};
            if (plan_.uAbs == UAbsFrom::pore) inputs.push_back(M::porePressure);
            if (plan_.uAbs == UAbsFrom::excessPlusBack) inputs.push_back(M::excessPorePressure);
        } else if (quantity == 2) {
            if (plan_.ev == EvFrom::volumetricStrain) inputs = {M::volumetricStrain};
            if (plan_.ev == EvFrom::volumeChange) inputs = {M::volumeChange};
            if (plan_.ev == EvFrom::voidRatio) inputs = {M::voidRatio};
        } else {
            if (plan_.u == UFrom::excess) inputs = {M::excessPorePressure};
            if (plan_.u == UFrom::poreMinusBack) inputs = {M::porePressure};
        }
        return inputs;
    };
    const auto blankCell = [&](std::int64_t line, int quantity) {
        for (const InputRow* r : rows) {
            if (r->line != line) continue;
            for (const M m : inputsOf(quantity)) {
                if (!has(*r, m)) return colLabel(m);
            }
        }
        return std::string("a blank cell");
    };

    std::array<bool, quantityCount> measured{};
    std::vector<std::string> notMeasured;
    for (int k = 0; k < quantityCount; ++k) {
        const auto kk = static_cast<std::size_t>(k);
        measured[kk] = std::any_of(derived.begin(), derived.end(), [&](const Row& r) { return r.value[kk].has_value(); });
        if (!measured[kk]) {
            notMeasured.push_back(std::string(quantityLabel[kk]) + " (written as 0" +
                                  (scored[k] ? ", so its scale is 0 and the test is not scored on it)" : ")"));
            if (scored[k])
                warnings_.push_back(table_.shown + ": " + testName() + ": no row gives " +
                                    std::string(quantityTitle[kk]) + ": written as 0, so the test is not scored on it");
            continue;
        }
        std::size_t dropped = 0, zeroed = 0;
        std::int64_t firstLine = 0;
        std::vector<Row> kept;
        kept.reserve(derived.size());
        for (Row& r : derived) {
            if (r.value[kk]) {
                kept.push_back(r);
                continue;
            }
            if (dropped + zeroed == 0) firstLine = r.line;
            if (scored[k]) {
                ++dropped;
            } else {
                ++zeroed;
                r.value[kk] = 0.0;
                kept.push_back(r);
            }
        }
        if (dropped) {
            warnings_.push_back(where(firstLine) + testName() + ": " + plural(dropped, "row") + " without " +
                                std::string(quantityLabel[kk]) + " dropped (the first on this line: " +
                                blankCell(firstLine, k) + " is blank); type " + typeText(*type) + " tests are scored on it");
        }
        if (zeroed) {
            notes_.push_back(std::string(quantityLabel[kk]) + " is blank in " + plural(zeroed, "row") +
                             " (the first at line " + std::to_string(firstLine) + "): written as 0 there (not scored)");
        }
        derived = std::move(kept);
    }
    if (derived.size() < 2) {
        throw ImportError(table_.shown + ": " + testName() + " (" + lines() + "): " +
                          (derived.empty() ? std::string("no row") : "1 row (line " + std::to_string(derived.front().line) + ")") +
                          " left to write; a test needs at least 2 rows");
    }

    // Axial strain should increase.
    std::size_t outOfOrder = 0;
    std::int64_t firstOutOfOrder = 0;
    double below = 0.0, before = 0.0;
    for (std::size_t i = 1; i < derived.size(); ++i) {
        if (derived[i].strain < derived[i - 1].strain && outOfOrder++ == 0) {
            firstOutOfOrder = derived[i].line;
            below = derived[i].strain;
            before = derived[i - 1].strain;
        }
    }
    if (outOfOrder && config_.sortRows) {
        std::stable_sort(derived.begin(), derived.end(), [](const Row& a, const Row& b) { return a.strain < b.strain; });
        notes_.push_back("rows sorted by axial strain (" + plural(outOfOrder, "row") + " below the row before)");
    } else if (outOfOrder) {
        warnings_.push_back(where(firstOutOfOrder) + colLabel(M::axialStrain) + ": " + testName() +
                            ": the axial strain does not increase (" + shortest(below) + " after " + shortest(before) +
                            "; " + plural(outOfOrder, "row") +
                            " below the row before); the rows are kept in file order; give sort = true to sort them "
                            "by axial strain");
    }
    if (std::fabs(derived.front().strain) > startStrainTolerance) {
        warnings_.push_back(where(derived.front().line) + colLabel(M::axialStrain) + ": " + testName() +
                            ": the first row is at axial strain " + shortest(derived.front().strain) +
                            ", not at the start of the shear (0); the model's shear starts at 0 from the first "
                            "row's p'");
    }

    // The list state.
    const Row& first = derived.front();
    const double firstP = *first.value[1];
    if (pFromRow) {
        listP = firstP;
        pFrom = "the first row (line " + std::to_string(first.line) + ")";
    }
    if (eFromRow) {
        listE = e0;
        eFrom = "the first row's void ratio (line " + std::to_string(start.line) + ", " + colLabel(M::voidRatio) + ")";
    }
    if (!(std::isfinite(listP) && listP > 0.0))
        throw ImportError(table_.shown + ": " + testName() + ": p_initial " + shortest(listP) + " kPa (from " + pFrom +
                          "): expected a pressure above 0");
    if (!(std::isfinite(listE) && listE > 0.0))
        throw ImportError(table_.shown + ": " + testName() + ": e_initial " + shortest(listE) + " (from " + eFrom +
                          "): expected a void ratio above 0");
    if (!(firstP > 0.0))
        throw ImportError(where(first.line) + testName() + ": the first row's p' is " + shortest(firstP) +
                          " kPa; the shear must start at a pressure above 0");
    if (listP > firstP) {
        warnings_.push_back(table_.shown + ": " + testName() + ": p_initial " + shortest(listP) +
                            " kPa is above the first row's p' (" + shortest(firstP) +
                            " kPa); the test is consolidated only up to a pressure, never down");
    }

    // Thinning.
    std::vector<double> strain, q;
    for (const Row& r : derived) {
        strain.push_back(r.strain);
        q.push_back(r.value[0].value_or(0.0));
    }
    const std::vector<std::size_t> keep = thinnedRows(strain, q, static_cast<std::size_t>(config_.maxRows));
    std::size_t peak = 0;
    for (std::size_t i = 1; i < q.size(); ++i) {
        if (q[i] > q[peak]) peak = i;
    }

    LabTest test;
    test.name = ".\\vornevResult\\" + name + ".txt";
    test.type = *type;
    test.pInitial = listP;
    test.eInitial = listE;
    for (const std::size_t i : keep) {
        const Row& r = derived[i];
        test.rows.push_back({r.strain, r.value[0].value_or(0.0), r.value[1].value_or(0.0), r.value[2].value_or(0.0),
                             r.value[3].value_or(0.0)});
    }

    // The report.
    std::string& o = report;
    o += "\n## " + name + "\n\n";
    o += "- data file: `vornevResult/" + name + ".txt`\n";
    o += "- source: `" + table_.relative + "`, " + lines() + " (" + plural(raw_.rows.size(), "row") + ")";
    std::vector<std::string> found;
    if (table_.sectionLine) found.push_back("section '" + config_.data[raw_.data->source].table.section + "' at line " + std::to_string(table_.sectionLine));
    if (table_.headerLine) found.push_back("header row at line " + std::to_string(table_.headerLine));
    if (!table_.unitRows.empty()) found.push_back(plural(table_.unitRows.size(), "unit row"));
    if (raw_.idColumn >= 0) found.push_back("test id '" + raw_.id + "' in " + columnLabel(table_, raw_.idColumn));
    if (!found.empty()) o += "; " + list(found);
    o += "\n";
    o += std::string("- format: separator ") + (table_.separator == '\t' ? "tab" : std::string("'") + table_.separator + "'") +
         (table_.separatorDetected ? " (detected)" : "") + ", decimal " +
         (table_.decimal == ',' ? "comma" : "point") + (table_.decimalDetected ? " (detected)" : "") + "\n";
    o += "- type: " + typeText(*type) + ", from " + typeFrom + "\n";
    o += "- p_initial: " + shortest(listP) + " kPa, from " + pFrom + "\n";
    o += "- e_initial: " + shortest(listE) + ", from " + eFrom + "\n";

    const Units& u = source_.units;
    static constexpr std::array<std::string_view, measuredCount> measuredTitle = {
        "axial strain", "axial stress", "radial stress", "deviator stress", "mean stress", "pore pressure",
        "excess pore pressure", "volume change", "volumetric strain", "void ratio"};
    std::vector<std::string> columns;
    for (int m = 0; m < measuredCount; ++m) {
        const auto mi = static_cast<std::size_t>(m);
        if (raw_.data->column[mi] < 0) continue;
        columns.push_back(std::string(measuredTitle[mi]) + " " + columnLabel(table_, raw_.data->column[mi]) +
                          (u.negate[mi] ? " (sign reversed)" : ""));
    }
    o += "- columns: " + list(columns) + "\n";
    const StrainUnit evUnit = u.volumetricStrain.value_or(u.strain);
    o += std::string("- units: axial strain ") +
         (u.strain == StrainUnit::percent ? "in % (divided by 100)" : "plain") +
         (col(M::volumetricStrain) >= 0
              ? std::string(", volumetric strain ") + (evUnit == StrainUnit::percent ? "in % (divided by 100)" : "plain")
              : std::string()) +
         ", stresses in " + (u.stress == StressUnit::MPa ? "MPa (times 1000)" : "kPa") +
         (u.stresses == StressKind::total ? ", total" : ", effective") + "\n";
    const char* qText[] = {"q = deviator stress", "q = axial stress - radial stress", "q: not given"};
    o += std::string("- ") + qText[static_cast<int>(plan_.q)] + "\n";
    const char* pText[] = {"p' = mean stress", "p' = (axial stress + 2 radial stress)/3", "p' = radial stress + q/3"};
    o += std::string("- ") + pText[static_cast<int>(plan_.p)];
    if (plan_.uAbs == UAbsFrom::pore) o += " - pore pressure";
    if (plan_.uAbs == UAbsFrom::excessPlusBack)
        o += " - (excess pore pressure + back pressure " + shortest(*back) + " kPa, from " + backFrom + ")";
    o += "\n";
    switch (plan_.ev) {
        case EvFrom::volumetricStrain: o += "- ev = volumetric strain\n"; break;
        case EvFrom::volumeChange:
            o += "- ev = volume change / specimen volume " + shortest(*volume) + " (from " + volumeFrom + ")\n";
            break;
        case EvFrom::voidRatio:
            o += "- ev = (e0 - e)/(1 + e0), e0 = " + shortest(e0) + " (the first row's void ratio)\n";
            break;
        case EvFrom::none: o += "- ev: not given\n"; break;
    }
    switch (plan_.u) {
        case UFrom::excess: o += "- u = excess pore pressure\n"; break;
        case UFrom::poreMinusBack:
            o += "- u = pore pressure - back pressure " + shortest(back.value_or(0.0)) + " kPa (from " + backFrom + ")\n";
            break;
        case UFrom::none: o += "- u: not given\n"; break;
    }
    o += "- not measured: " + (notMeasured.empty() ? std::string("none") : list(notMeasured)) + "\n";
    for (const std::string& note : notes_) o += "- " + note + "\n";
    o += "- rows: " + std::to_string(raw_.rows.size()) + " read, " + std::to_string(derived.size()) + " usable, " +
         std::to_string(test.rows.size()) + " written";
    if (test.rows.size() < derived.size()) {
        o += " (thinned evenly in axial strain to at most " + std::to_string(config_.maxRows) +
             "; the first, the last and the peak q row, line " + std::to_string(derived[peak].line) + ", kept)";
    }
    o += "\n";
    const MeasuredRow& w = test.rows.front();
    o += "- first row written (line " + std::to_string(first.line) + "): strain " + shortest(w[0]) + ", q " +
         shortest(w[1]) + ", p' " + shortest(w[2]) + ", ev " + shortest(w[3]) + ", u " + shortest(w[4]) + "\n";
    if (warnings_.empty()) {
        o += "- warnings: none\n";
    } else {
        o += "- warnings:\n";
        // In the report, files are named as the description names them.
        for (const std::string& wt : warnings_) {
            const bool prefixed = wt.compare(0, table_.shown.size(), table_.shown) == 0;
            o += "  - " + (prefixed ? table_.relative + wt.substr(table_.shown.size()) : wt) + "\n";
        }
    }
    warnings.insert(warnings.end(), warnings_.begin(), warnings_.end());
    return test;
}

// ---------------------------------------------------------------------------

void checkSource(const TableSource& t, const std::string& key) {
    if (t.separator != 0 && t.separator != ',' && t.separator != ';' && t.separator != '\t')
        throw ImportError(key + ".separator: expected ',', ';' or a tab");
    if (t.decimal != 0 && t.decimal != '.' && t.decimal != ',')
        throw ImportError(key + ".decimal: expected '.' or ','");
    if (t.decimal == ',' && t.separator == ',')
        throw ImportError(key + ".decimal: a decimal comma needs another separator (';' or a tab)");
    if (t.unitRows < 0 || t.unitRows > 100) throw ImportError(key + ".unit_rows: expected 0 to 100");
    if (!t.hasHeader && !t.header.empty()) throw ImportError(key + ".header: the table has no header row");
}

}  // namespace

void checkImportConfig(const ImportConfig& config) {
    if (config.data.empty()) throw ImportError("data: no data table given");
    for (std::size_t s = 0; s < config.data.size(); ++s) {
        const std::string key = sourceKey(config, s);
        checkSource(config.data[s].table, key);
        makePlan(config.data[s], key);
        for (int m = 0; m < measuredCount; ++m) {
            const ColumnRef& ref = config.data[s].columns[static_cast<std::size_t>(m)];
            if (!config.data[s].table.hasHeader && !ref.header.empty())
                throw ImportError(key + ".columns." + std::string(measuredKeys[static_cast<std::size_t>(m)]) +
                                  ": the table has no header row; give a position");
        }
    }
    if (config.programme) {
        checkSource(config.programme->table, "programme");
        if (!config.programme->table.testId.given()) throw ImportError("programme.test_id: missing (the programme is keyed by test id)");
    }
    if (config.maxRows != 0 && config.maxRows < 3)
        throw ImportError("max_rows: expected 0 (keep every row) or at least 3 (the first, the last and the peak q row)");
    std::vector<std::string> ids;
    for (const TestSettings& t : config.tests) {
        if (t.id.empty()) throw ImportError("test: a [[test]] table without an id");
        if (std::find(ids.begin(), ids.end(), t.id) != ids.end())
            throw ImportError("test: the id '" + t.id + "' is given twice");
        ids.push_back(t.id);
    }
}

ImportResult importTests(const ImportConfig& config) {
    checkImportConfig(config);
    std::deque<Table> tables;

    // The programme, keyed by test id.
    std::map<std::string, ProgrammeRow> programme;
    std::vector<std::string> programmeOrder;
    std::vector<std::string> warnings;
    std::vector<std::string> general;       // warnings of no single test
    std::vector<std::string> generalShown;  // the same, files named as in the description
    if (config.programme) {
        const ProgrammeSource& ps = *config.programme;
        for (const SourceFile& f : expandFiles(ps.table, config.baseFolder, "programme")) {
            const Table& t = tables.emplace_back(readTable(ps.table, readDelimitedText(f.path, f.shown), f.shown, f.relative));
            const int id = findColumn(t, ps.table.testId, "programme.test_id");
            const auto column = [&](const ColumnRef& ref, const char* key) {
                return ref.given() ? findColumn(t, ref, std::string("programme.") + key) : -1;
            };
            const int type = column(ps.type, "type"), p = column(ps.pInitial, "p_initial"),
                      e = column(ps.eInitial, "e_initial"), b = column(ps.backPressure, "back_pressure"),
                      vol = column(ps.specimenVolume, "specimen_volume"), name = column(ps.name, "name");
            for (const TableRow& row : t.rows) {
                const std::string key(cellText(row, id));
                if (key.empty()) {
                    throw ImportError(cellPlace(t, row.line, id) + "expected a test id, found a blank cell");
                }
                if (const auto it = programme.find(key); it != programme.end()) {
                    throw ImportError(t.shown + ":" + std::to_string(row.line) + ": test '" + key +
                                      "' is in the programme twice (also " + it->second.table->shown + ":" +
                                      std::to_string(it->second.line) + ")");
                }
                ProgrammeRow pr;
                pr.table = &t;
                pr.line = row.line;
                if (type >= 0 && !cellMissing(t, row, type)) pr.type = typeOfCell(t, row, type, config.typeNames);
                const auto number = [&](int c, double factor) -> std::optional<double> {
                    if (c < 0) return std::nullopt;
                    const std::optional<double> value = cellNumber(t, row, c);
                    if (!value) return value;
                    return *value * factor;
                };
                // Stresses are converted with the data's factor when a test is built.
                pr.pInitial = number(p, 1.0);
                pr.eInitial = number(e, 1.0);
                pr.backPressure = number(b, 1.0);
                pr.specimenVolume = number(vol, 1.0);
                if (name >= 0) pr.name = std::string(cellText(row, name));
                programme.emplace(key, pr);
                programmeOrder.push_back(key);
            }
        }
    }

    // The data, split into tests.
    std::deque<DataTable> dataTables;
    std::vector<RawTest> raws;
    std::map<std::string, std::size_t> rawIndex;
    std::vector<Plan> plans;
    for (std::size_t s = 0; s < config.data.size(); ++s) {
        const DataSource& ds = config.data[s];
        const std::string key = sourceKey(config, s);
        plans.push_back(makePlan(ds, key));
        for (const SourceFile& f : expandFiles(ds.table, config.baseFolder, key)) {
            const Table& t = tables.emplace_back(readTable(ds.table, readDelimitedText(f.path, f.shown), f.shown, f.relative));
            DataTable& dt = dataTables.emplace_back();
            dt.source = s;
            dt.table = &t;
            for (int m = 0; m < measuredCount; ++m) {
                const ColumnRef& ref = ds.columns[static_cast<std::size_t>(m)];
                dt.column[static_cast<std::size_t>(m)] =
                    ref.given() ? findColumn(t, ref, key + ".columns." + std::string(measuredKeys[static_cast<std::size_t>(m)])) : -1;
            }
            const int idColumn = ds.table.testId.given() ? findColumn(t, ds.table.testId, key + ".test_id") : -1;
            const std::string fileId = fs::path(f.relative).stem().string();
            std::string current;
            for (const TableRow& row : t.rows) {
                std::string id = idColumn >= 0 ? std::string(cellText(row, idColumn)) : fileId;
                if (id.empty()) {
                    if (current.empty())
                        throw ImportError(cellPlace(t, row.line, idColumn) + "expected a test id, found a blank cell");
                    id = current;  // a blank id continues the test above
                }
                current = id;
                auto it = rawIndex.find(id);
                if (it == rawIndex.end()) {
                    it = rawIndex.emplace(id, raws.size()).first;
                    RawTest& r = raws.emplace_back();
                    r.id = id;
                    r.data = &dt;
                    r.idColumn = idColumn;
                } else if (raws[it->second].data != &dt) {
                    const RawTest& other = raws[it->second];
                    throw ImportError(t.shown + ":" + std::to_string(row.line) + ": test '" + id + "' is also in " +
                                      other.data->table->shown + " (line " + std::to_string(other.rows.front().line) +
                                      "); test ids must be unique");
                }
                RawTest& raw = raws[it->second];
                InputRow input;
                input.line = row.line;
                for (int m = 0; m < measuredCount; ++m) {
                    const auto mi = static_cast<std::size_t>(m);
                    const int c = dt.column[mi];
                    if (c < 0) continue;
                    std::optional<double> value = cellNumber(t, row, c);
                    if (!value) continue;
                    const M which = static_cast<M>(m);
                    if (ds.units.negate[mi]) *value = -*value;
                    if (which == M::axialStrain || which == M::volumetricStrain) {
                        const StrainUnit unit = which == M::axialStrain ? ds.units.strain
                                                                        : ds.units.volumetricStrain.value_or(ds.units.strain);
                        if (unit == StrainUnit::percent) {
                            *value = *value / 100.0;
                        } else if (std::fabs(*value) > 1.0) {
                            throw ImportError(cellPlace(t, row.line, c) + "strain " + std::string(cellText(row, c)) +
                                              " is above 1 with the strain unit \"plain\" (" +
                                              std::to_string(static_cast<long long>(std::fabs(*value) * 100.0)) +
                                              " %?); give units." +
                                              (which == M::axialStrain ? "strain" : "volumetric_strain") +
                                              " = \"%\" when the file gives percent");
                        }
                    } else if (which != M::volumeChange && which != M::voidRatio) {
                        *value = *value * stressFactor(ds.units.stress);
                    }
                    input.in[mi] = value;
                }
                raw.rows.push_back(input);
            }
        }
    }
    if (raws.empty()) throw ImportError("data: the tables hold no rows");

    // [[test]] ids must name tests of the data.
    std::vector<std::string> allIds;
    for (const RawTest& r : raws) allIds.push_back(r.id);
    const auto known = [&](const std::string& id) { return rawIndex.count(id) != 0; };
    const auto idList = [&] {
        std::vector<std::string> shown;
        for (std::size_t i = 0; i < allIds.size() && i < 20; ++i) shown.push_back("'" + allIds[i] + "'");
        return list(shown) + (allIds.size() > 20 ? ", ..." : "");
    };
    for (const TestSettings& t : config.tests) {
        if (!known(t.id)) throw ImportError("test: no test '" + t.id + "' in the data (its tests: " + idList() + ")");
    }
    if (config.working) {
        for (const std::string& id : *config.working) {
            if (!known(id)) throw ImportError("working: no test '" + id + "' in the data (its tests: " + idList() + ")");
        }
    }
    for (const std::string& id : programmeOrder) {
        if (!known(id)) {
            const ProgrammeRow& pr = programme.at(id);
            const std::string what = ":" + std::to_string(pr.line) + ": test '" + id + "' of the programme has no data rows";
            general.push_back(pr.table->shown + what);
            generalShown.push_back(pr.table->relative + what);
        }
    }

    ImportResult result;
    std::string sections;
    std::string summary;
    std::vector<std::string> names;
    for (const RawTest& raw : raws) {
        const TestSettings* entry = nullptr;
        for (const TestSettings& t : config.tests) {
            if (t.id == raw.id) entry = &t;
        }
        const auto pit = programme.find(raw.id);
        const ProgrammeRow* pr = pit == programme.end() ? nullptr : &pit->second;
        std::string name = entry && !entry->name.empty() ? entry->name : (pr && !pr->name.empty() ? pr->name : raw.id);
        name = safeName(name);
        for (const std::string& other : names) {
            if (lowerAscii(other) == lowerAscii(name))
                throw ImportError(raw.data->table->shown + ": test '" + raw.id + "': its data file name '" + name +
                                  ".txt' is taken by another test; give the tests names that differ");
        }
        names.push_back(name);
        // Stresses of the programme and of the description are in the data's unit.
        const std::size_t before = warnings.size();
        TestBuilder builder(config, raw, plans[raw.data->source], entry, pr);
        LabTest test = builder.build(name, warnings, sections);
        const bool inWorking =
            !config.working || std::find(config.working->begin(), config.working->end(), raw.id) != config.working->end();
        summary += "| " + name + " | " + typeText(test.type) + " | " + shortest(test.pInitial) + " | " +
                   shortest(test.eInitial) + " | " + std::to_string(raw.rows.size()) + " | " +
                   std::to_string(test.rows.size()) + " | " + std::to_string(warnings.size() - before) + " | " +
                   (inWorking ? "yes" : "no") + " |\n";
        if (inWorking) result.working.push_back(test);
        result.tests.push_back(std::move(test));
    }

    std::string& report = result.report;
    report = "# Import report\n\nWritten by `calvenor import`";
    if (!config.configName.empty()) report += " from `" + config.configName + "`";
    report += ": " + plural(result.tests.size(), "test") + " in `vornevResult/evReadInListZong.txt`, " +
              std::to_string(result.working.size()) + " of them in the working list `vornevResult/evReadInList.txt`.\n";
    report += "Strains are plain numbers and stresses kPa; compression is positive (axial strain and stresses in "
              "compression, volumetric strain in contraction); u is the excess pore pressure, 0 at the start of the "
              "shear.\n\n";
    report += "| test | type | p_initial (kPa) | e_initial | rows read | rows written | warnings | working list |\n";
    report += "|---|---|---|---|---|---|---|---|\n";
    report += summary;
    report += sections;
    if (!general.empty()) {
        report += "\n## Other warnings\n\n";
        for (const std::string& w : generalShown) report += "- " + w + "\n";
    }
    result.warnings = std::move(general);
    result.warnings.insert(result.warnings.end(), warnings.begin(), warnings.end());
    return result;
}

std::vector<fs::path> writeImport(const fs::path& dir, const ImportResult& result) {
    std::vector<fs::path> files = writeTestSet(dir, result.tests, result.working);
    const fs::path report = dir / "import-report.md";
    writeFile(report, result.report);
    files.push_back(report);
    return files;
}

}  // namespace calvenor
