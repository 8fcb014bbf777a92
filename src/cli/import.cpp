// calvenor import: laboratory exports (CSV, TSV) into a test set, from an
// import description in TOML.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "cli/app.hpp"
#include "cli/calibrate_config.hpp"
#include "import/delimited.hpp"
#include "import/import.hpp"
#include "io/files.hpp"

namespace calvenor::cli {

namespace {

namespace fs = std::filesystem;

// Reads one import description; every message names the file, line and key.
class DescriptionReader {
public:
    explicit DescriptionReader(std::string file) : file_(std::move(file)) {}

    ImportConfig read(std::string_view text);

private:
    std::string file_;
    ImportConfig config_;

    [[noreturn]] void fail(const toml::node* node, const std::string& key, const std::string& message) const {
        std::string where = file_;
        if (node != nullptr && node->source().begin.line > 0) where += ":" + std::to_string(node->source().begin.line);
        throw ConfigError(where + ": " + key + ": " + message);
    }

    std::string text(const toml::node& node, const std::string& key, bool allowEmpty = false) const {
        const auto v = node.value<std::string>();
        if (!node.is_string() || !v) fail(&node, key, "expected a text in quotes");
        if (!allowEmpty && v->empty()) fail(&node, key, "expected a text that is not empty");
        return *v;
    }

    double number(const toml::node& node, const std::string& key) const {
        if (!node.is_number()) fail(&node, key, "expected a number");
        const double v = node.value<double>().value();
        if (!std::isfinite(v)) fail(&node, key, "expected a finite number");
        return v;
    }

    std::int64_t integer(const toml::node& node, const std::string& key, std::int64_t low, std::int64_t high) const {
        if (!node.is_integer()) fail(&node, key, "expected a whole number");
        const std::int64_t v = node.value<std::int64_t>().value();
        if (v < low || v > high)
            fail(&node, key,
                 std::to_string(v) + " is out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")");
        return v;
    }

    bool boolean(const toml::node& node, const std::string& key) const {
        if (!node.is_boolean()) fail(&node, key, "expected true or false");
        return node.value<bool>().value();
    }

    std::vector<std::string> texts(const toml::node& node, const std::string& key) const {
        if (node.is_string()) return {text(node, key)};
        const toml::array* a = node.as_array();
        if (!a) fail(&node, key, "expected a text or a list of texts");
        std::vector<std::string> out;
        for (std::size_t i = 0; i < a->size(); ++i) out.push_back(text((*a)[i], key + "[" + std::to_string(i + 1) + "]"));
        return out;
    }

    const toml::table& table(const toml::node& node, const std::string& key) const {
        const toml::table* t = node.as_table();
        if (!t) fail(&node, key, "expected a table");
        return *t;
    }

    ColumnRef column(const toml::node& node, const std::string& key) const {
        ColumnRef ref;
        if (node.is_integer()) {
            ref.position = static_cast<int>(integer(node, key, 1, 100000));
        } else if (node.is_string()) {
            ref.header = text(node, key);
        } else {
            fail(&node, key, "expected a header text in quotes or a column position from 1");
        }
        return ref;
    }

    std::int32_t type(const toml::node& node, const std::string& key) const {
        if (node.is_integer()) return static_cast<std::int32_t>(integer(node, key, 1, 5));
        const std::string name = text(node, key);
        if (const TestType* t = findTestType(std::string_view(name))) return t->code;
        for (const auto& [alias, code] : config_.typeNames) {
            if (normalizedText(alias) == normalizedText(name)) return code;
        }
        fail(&node, key, "unknown test type '" + name +
                             "' (expected 1 to 5, undrained, constant-p, drained, K0, isotropic or a name given in [types])");
    }

    void tableSourceKey(TableSource& t, const std::string& field, const toml::node& node, const std::string& key) const {
        if (field == "files") {
            t.files = texts(node, key);
            if (t.files.empty()) fail(&node, key, "expected at least one file name or pattern");
        } else if (field == "separator") {
            const std::string s = text(node, key);
            if (s == "auto") t.separator = 0;
            else if (s == "," || s == ";") t.separator = s[0];
            else if (s == "tab" || s == "\t") t.separator = '\t';
            else fail(&node, key, "expected \",\", \";\", \"tab\" or \"auto\"");
        } else if (field == "decimal") {
            const std::string s = text(node, key);
            if (s == "auto") t.decimal = 0;
            else if (s == "." || s == ",") t.decimal = s[0];
            else fail(&node, key, "expected \".\", \",\" or \"auto\"");
        } else if (field == "comment") {
            t.comment = text(node, key, true);
        } else if (field == "section") {
            t.section = text(node, key);
        } else if (field == "header") {
            if (node.is_boolean()) {
                t.hasHeader = boolean(node, key);
                t.header.clear();
            } else {
                t.header = text(node, key);
            }
        } else if (field == "unit_rows") {
            t.unitRows = static_cast<int>(integer(node, key, 0, 100));
        } else if (field == "missing") {
            t.missing = texts(node, key);
        } else if (field == "test_id") {
            t.testId = column(node, key);
        } else {
            throw std::out_of_range(field);
        }
    }

    Units units(const toml::table& t, const std::string& key) const {
        Units u;
        const auto strain = [&](const toml::node& node, const std::string& k) {
            const std::string s = text(node, k);
            if (s == "%" || s == "percent") return StrainUnit::percent;
            if (s == "plain") return StrainUnit::plain;
            fail(&node, k, "expected \"%\" or \"plain\" (0.05 is 5 %)");
        };
        for (auto&& [k, node] : t) {
            const std::string field(k.str());
            const std::string full = key + "." + field;
            if (field == "strain") {
                u.strain = strain(node, full);
            } else if (field == "volumetric_strain") {
                u.volumetricStrain = strain(node, full);
            } else if (field == "stress") {
                const std::string s = text(node, full);
                if (s == "kPa") u.stress = StressUnit::kPa;
                else if (s == "MPa") u.stress = StressUnit::MPa;
                else fail(&node, full, "expected \"kPa\" or \"MPa\"");
            } else if (field == "stresses") {
                const std::string s = text(node, full);
                if (s == "effective") u.stresses = StressKind::effective;
                else if (s == "total") u.stresses = StressKind::total;
                else fail(&node, full, "expected \"effective\" or \"total\"");
            } else if (field == "negate") {
                for (const std::string& name : texts(node, full)) {
                    const int m = measuredIndex(name);
                    if (m < 0) fail(&node, full, "unknown column '" + name + "' (expected " + measuredList() + ")");
                    u.negate[static_cast<std::size_t>(m)] = true;
                }
            } else {
                fail(&node, full, "unknown key (expected strain, volumetric_strain, stress, stresses, negate)");
            }
        }
        return u;
    }

    static std::string measuredList() {
        std::string out;
        for (std::size_t i = 0; i < measuredKeys.size(); ++i) out += (i ? ", " : "") + std::string(measuredKeys[i]);
        return out;
    }

    DataSource data(const toml::table& t, const std::string& key) const {
        DataSource d;
        for (auto&& [k, node] : t) {
            const std::string field(k.str());
            const std::string full = key + "." + field;
            if (field == "columns") {
                for (auto&& [ck, cnode] : table(node, full)) {
                    const std::string name(ck.str());
                    const int m = measuredIndex(name);
                    if (m < 0) fail(&cnode, full + "." + name, "unknown column (expected " + measuredList() + ")");
                    d.columns[static_cast<std::size_t>(m)] = column(cnode, full + "." + name);
                }
            } else if (field == "units") {
                d.units = units(table(node, full), full);
            } else {
                try {
                    tableSourceKey(d.table, field, node, full);
                } catch (const std::out_of_range&) {
                    fail(&node, full,
                         "unknown key (expected files, separator, decimal, comment, section, header, unit_rows, "
                         "missing, test_id, [columns], [units])");
                }
            }
        }
        if (d.table.files.empty()) fail(&t, key, "files is missing (the data files: names or patterns such as \"*.csv\")");
        return d;
    }

    // A test's values: [tests] (id "") or a [[test]] table.
    TestSettings settings(const toml::table& t, const std::string& key, bool entry) const {
        TestSettings s;
        for (auto&& [k, node] : t) {
            const std::string field(k.str());
            const std::string full = key + "." + field;
            const auto pressureOrFirstRow = [&](std::optional<double>& value, bool& firstRow) {
                if (node.is_string()) {
                    if (text(node, full) != "first row") fail(&node, full, "expected a number or \"first row\"");
                    firstRow = true;
                } else {
                    value = number(node, full);
                }
            };
            if (entry && field == "id") {
                s.id = text(node, full);
            } else if (entry && field == "name") {
                s.name = text(node, full);
                const bool good = s.name.size() <= 100 && std::all_of(s.name.begin(), s.name.end(), [](char ch) {
                                      return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '.';
                                  }) && s.name.front() != '.';
                if (!good) fail(&node, full, "expected a name of letters, digits, '-', '_' or '.'");
            } else if (field == "type") {
                s.type = type(node, full);
            } else if (field == "p_initial") {
                pressureOrFirstRow(s.pInitial, s.pInitialFromFirstRow);
            } else if (field == "e_initial") {
                pressureOrFirstRow(s.eInitial, s.eInitialFromFirstRow);
            } else if (field == "back_pressure") {
                s.backPressure = number(node, full);
            } else if (field == "specimen_volume") {
                s.specimenVolume = number(node, full);
            } else {
                fail(&node, full,
                     std::string("unknown key (expected ") + (entry ? "id, name, " : "") +
                         "type, p_initial, e_initial, back_pressure, specimen_volume)");
            }
        }
        if (entry && s.id.empty()) fail(&t, key, "id is missing (the test id as the data give it)");
        return s;
    }

    ProgrammeSource programme(const toml::table& t, const std::string& key) const {
        ProgrammeSource p;
        // By default the programme is read from the (first) data files, in their format.
        const TableSource& d = config_.data.front().table;
        p.table.files = d.files;
        p.table.separator = d.separator;
        p.table.decimal = d.decimal;
        p.table.comment = d.comment;
        p.table.missing = d.missing;
        for (auto&& [k, node] : t) {
            const std::string field(k.str());
            const std::string full = key + "." + field;
            if (field == "type") p.type = column(node, full);
            else if (field == "p_initial") p.pInitial = column(node, full);
            else if (field == "e_initial") p.eInitial = column(node, full);
            else if (field == "back_pressure") p.backPressure = column(node, full);
            else if (field == "specimen_volume") p.specimenVolume = column(node, full);
            else if (field == "name") p.name = column(node, full);
            else {
                try {
                    tableSourceKey(p.table, field, node, full);
                } catch (const std::out_of_range&) {
                    fail(&node, full,
                         "unknown key (expected files, separator, decimal, comment, section, header, unit_rows, "
                         "missing, test_id, type, p_initial, e_initial, back_pressure, specimen_volume, name)");
                }
            }
        }
        if (!p.table.testId.given()) fail(&t, key, "test_id is missing (the column of the test ids)");
        return p;
    }
};

ImportConfig DescriptionReader::read(std::string_view text) {
    toml::table root;
    try {
        root = toml::parse(text, file_);
    } catch (const toml::parse_error& e) {
        throw ConfigError(file_ + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    if (const toml::node* node = root.get("types")) {
        for (auto&& [k, v] : table(*node, "types")) {
            const std::string full = "types." + std::string(k.str());
            std::int32_t code = 0;
            if (v.is_integer()) {
                code = static_cast<std::int32_t>(integer(v, full, 1, 5));
            } else {
                const TestType* t = findTestType(std::string_view(this->text(v, full)));
                if (!t) fail(&v, full, "expected 1 to 5, undrained, constant-p, drained, K0 or isotropic");
                code = t->code;
            }
            config_.typeNames.emplace_back(std::string(k.str()), code);
        }
    }
    const toml::node* dataNode = root.get("data");
    if (!dataNode) throw ConfigError(file_ + ": data: missing (the [data] table: files, [data.columns], [data.units])");
    if (const toml::array* a = dataNode->as_array()) {
        if (a->empty()) fail(dataNode, "data", "expected [[data]] tables");
        for (std::size_t i = 0; i < a->size(); ++i) {
            const std::string key = a->size() == 1 ? "data" : "data[" + std::to_string(i + 1) + "]";
            config_.data.push_back(data(table((*a)[i], key), key));
        }
    } else {
        config_.data.push_back(data(table(*dataNode, "data"), "data"));
    }
    for (auto&& [k, node] : root) {
        const std::string key(k.str());
        if (key == "types" || key == "data") continue;
        if (key == "max_rows") {
            config_.maxRows = static_cast<std::int32_t>(integer(node, key, 0, std::numeric_limits<std::int32_t>::max()));
            if (config_.maxRows > 0 && config_.maxRows < 3)
                fail(&node, key, "expected 0 (every row) or at least 3 (the first, the last and the peak q row)");
        } else if (key == "sort") {
            config_.sortRows = boolean(node, key);
        } else if (key == "working") {
            config_.working = texts(node, key);
        } else if (key == "programme") {
            config_.programme = programme(table(node, key), key);
        } else if (key == "tests") {
            config_.defaults = settings(table(node, key), key, false);
        } else if (key == "test") {
            const toml::array* a = node.as_array();
            if (!a) fail(&node, key, "expected [[test]] tables");
            for (std::size_t i = 0; i < a->size(); ++i) {
                const std::string tkey = "test[" + std::to_string(i + 1) + "]";
                TestSettings s = settings(table((*a)[i], tkey), tkey, true);
                for (const TestSettings& other : config_.tests) {
                    if (other.id == s.id) fail(&(*a)[i], tkey + ".id", "the test '" + s.id + "' has a [[test]] table already");
                }
                config_.tests.push_back(std::move(s));
            }
        } else {
            fail(&node, key,
                 "unknown key (expected max_rows, sort, working, [data] or [[data]], [programme], [tests], [[test]], "
                 "[types])");
        }
    }
    try {
        checkImportConfig(config_);
    } catch (const ImportError& e) {
        throw ConfigError(file_ + ": " + e.what());
    }
    return std::move(config_);
}

struct ImportOptions {
    std::string config;
    std::string out;
};

void runImport(const ImportOptions& o, Context& ctx) {
    ImportConfig config = DescriptionReader(o.config).read(readTextFile(o.config));
    const fs::path configPath(o.config);
    config.baseFolder = configPath.parent_path();
    config.configName = configPath.filename().string();
    const fs::path dir(o.out);
    ImportResult result;
    try {
        result = importTests(config);
        writeImport(dir, result);
    } catch (const std::exception& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }
    for (const std::string& w : result.warnings) ctx.err << "calvenor: warning: " << w << "\n";
    std::size_t rows = 0;
    for (const LabTest& t : result.tests) rows += t.rows.size();
    const auto count = [](std::size_t n, const char* word) {
        return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
    };
    ctx.out << "imported " << count(result.tests.size(), "test") << " (" << count(rows, "row") << ") into "
            << (dir / "vornevResult").string() << "; working list: " << count(result.working.size(), "test") << "\n"
            << "report: " << (dir / "import-report.md").string() << " (" << count(result.warnings.size(), "warning")
            << ")\n";
}

}  // namespace

void addImportCommand(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<ImportOptions>();
    CLI::App* sub = app.add_subcommand(
        "import",
        "Import laboratory exports (CSV or TSV: header rows, units, a test-id column, a programme table, decimal "
        "commas) into a test set: DIR/vornevResult/ with both lists and one data file per test, and "
        "DIR/import-report.md with every conversion and warning. The import description (TOML) says where the rows "
        "are, which column is which, the units and each test's type and initial state; docs/import.md has complete "
        "examples. Relative file names in it are taken from its own folder.");
    sub->add_option("--config", o->config, "the import description (TOML)")->required()->check(CLI::ExistingFile);
    sub->add_option("--out", o->out, "folder to write the test set into (created if needed)")->required();
    sub->callback([o, &ctx] { runImport(*o, ctx); });
}

}  // namespace calvenor::cli
