// calvenor synth: synthetic tests from known parameters, written as a test
// set with the configuration that makes them again.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <set>
#include <sstream>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "calibration/parameter_table.hpp"
#include "calibration/synthesis.hpp"
#include "cli/app.hpp"
#include "cli/calibrate_config.hpp"
#include "io/files.hpp"
#include "io/numbers.hpp"
#include "objective/objective.hpp"
#include "report/plot.hpp"

namespace calvenor::cli {

namespace {

[[noreturn]] void fail(const std::string& file, const toml::node* node, const std::string& key,
                       const std::string& message) {
    std::string where = file;
    if (node != nullptr && node->source().begin.line > 0) where += ":" + std::to_string(node->source().begin.line);
    throw ConfigError(where + ": " + key + ": " + message);
}

double numberAt(const std::string& file, const toml::node& node, const std::string& key) {
    if (!node.is_number()) fail(file, &node, key, "expected a number");
    const double v = node.value<double>().value();
    if (!std::isfinite(v)) fail(file, &node, key, "expected a finite number");
    return v;
}

std::int64_t integerAt(const std::string& file, const toml::node& node, const std::string& key, std::int64_t low,
                       std::int64_t high) {
    if (!node.is_integer()) fail(file, &node, key, "expected a whole number");
    const std::int64_t v = node.value<std::int64_t>().value();
    if (v < low || v > high) {
        fail(file, &node, key,
             std::to_string(v) + " is out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")");
    }
    return v;
}

bool goodName(const std::string& name) {
    if (name.empty() || name.size() > 100) return false;
    return std::all_of(name.begin(), name.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '.';
    });
}

SynthTest readTest(const std::string& file, const toml::table& table, const std::string& key,
                   const ModelParameters& truth) {
    SynthTest t;
    std::optional<double> eInitial, pInitial;
    std::optional<std::string> name;
    bool typeGiven = false, pcGiven = false;
    for (auto&& [k, node] : table) {
        const std::string field(k.str());
        const std::string full = key + "." + field;
        if (field == "name") {
            const auto v = node.value<std::string>();
            if (!v || !goodName(*v)) fail(file, &node, full, "expected a name of letters, digits, '-', '_' or '.'");
            name = *v;
        } else if (field == "type") {
            t.type = static_cast<std::int32_t>(integerAt(file, node, full, 1, 5));
            typeGiven = true;
        } else if (field == "p_initial") {
            pInitial = numberAt(file, node, full);
            if (!(*pInitial > 0.0)) fail(file, &node, full, "expected a pressure above 0 kPa");
        } else if (field == "e_initial") {
            eInitial = numberAt(file, node, full);
            if (!(*eInitial > 0.0)) fail(file, &node, full, "expected a void ratio above 0");
        } else if (field == "p_consolidation") {
            t.pConsol = numberAt(file, node, full);
            if (!(t.pConsol > 0.0)) fail(file, &node, full, "expected a pressure above 0 kPa");
            pcGiven = true;
        } else if (field == "strain_max") {
            t.strainMax = numberAt(file, node, full);
            if (!(t.strainMax > 0.0 && t.strainMax <= 0.5)) {
                fail(file, &node, full, "expected an axial strain above 0 and at most 0.5 (plain, 0.15 is 15 %)");
            }
        } else if (field == "rows") {
            t.rows = static_cast<std::int32_t>(integerAt(file, node, full, 2, 2000));
        } else {
            fail(file, &node, full,
                 "unknown field (expected name, type, p_initial, e_initial, p_consolidation, strain_max, rows)");
        }
    }
    if (!typeGiven) fail(file, &table, key, "type is missing (1 to 5)");
    if (!pcGiven) fail(file, &table, key, "p_consolidation is missing (kPa)");
    t.pInitial = pInitial.value_or(std::min(50.0, t.pConsol));
    if (t.pConsol < t.pInitial) {
        fail(file, &table, key,
             "p_consolidation (" + shortest(t.pConsol) + ") is below p_initial (" + shortest(t.pInitial) +
                 "); consolidation only raises the pressure");
    }
    t.eInitial = eInitial.value_or(normalCompressionVoidRatio(truth, t.pInitial));
    t.name = name.value_or(defaultSynthName(t.type, t.pConsol));
    return t;
}

}  // namespace

void applySynthConfig(SynthConfig& config, std::string_view text, const std::string& fileName) {
    toml::table root;
    try {
        root = toml::parse(text, fileName);
    } catch (const toml::parse_error& e) {
        throw ConfigError(fileName + ":" + std::to_string(e.source().begin.line) + ": " +
                          std::string(e.description()));
    }
    // Parameters first: the default initial void ratios depend on them.
    if (const toml::node* node = root.get("parameters")) {
        const toml::table* table = node->as_table();
        if (!table) fail(fileName, node, "parameters", "expected a table of the nine parameter values");
        for (auto&& [k, v] : *table) {
            const std::string name(k.str());
            const int index = parameterIndex(name);
            if (index < 0) {
                fail(fileName, &v, "parameters." + name,
                     "unknown parameter (the parameters are propm, enu, pkappa, plamda, pnvoid, cohesion, z, chi, sm)");
            }
            parameterAt(config.parameters, index) = numberAt(fileName, v, "parameters." + name);
        }
    }
    bool testsGiven = false;
    for (auto&& [k, node] : root) {
        const std::string key(k.str());
        if (key == "parameters") continue;
        if (key == "noise") {
            config.noise = numberAt(fileName, node, key);
            if (config.noise < 0.0 || config.noise > 1.0) fail(fileName, &node, key, "expected a value from 0 to 1");
        } else if (key == "noise_model") {
            const auto v = node.value<std::string>();
            if (v && *v == "additive") config.noiseModel = SynthNoise::additive;
            else if (v && *v == "multiplicative") config.noiseModel = SynthNoise::multiplicative;
            else fail(fileName, &node, key, "expected \"additive\" or \"multiplicative\"");
        } else if (key == "seed") {
            config.seed = static_cast<std::uint32_t>(
                integerAt(fileName, node, key, 0, std::numeric_limits<std::uint32_t>::max()));
        } else if (key == "test") {
            const toml::array* tests = node.as_array();
            if (!tests || tests->empty()) fail(fileName, &node, key, "expected [[test]] tables");
            config.tests.clear();
            testsGiven = true;
            for (std::size_t i = 0; i < tests->size(); ++i) {
                const toml::table* table = (*tests)[i].as_table();
                const std::string tkey = "test[" + std::to_string(i + 1) + "]";
                if (!table) fail(fileName, &(*tests)[i], tkey, "expected a table");
                config.tests.push_back(readTest(fileName, *table, tkey, config.parameters));
            }
        } else {
            fail(fileName, &node, key, "unknown key (expected noise, noise_model, seed, [parameters] or [[test]])");
        }
    }
    if (!testsGiven) {
        // The default tests start on the normal compression line of the parameters given.
        const SynthConfig d = defaultSynthConfig();
        config.tests = d.tests;
        for (auto& t : config.tests) t.eInitial = normalCompressionVoidRatio(config.parameters, t.pInitial);
    }
    std::set<std::string> names;
    for (const auto& t : config.tests) {
        if (!names.insert(t.name).second) throw ConfigError(fileName + ": test: the name '" + t.name + "' is used twice");
    }
}

namespace {

const char* noiseModelName(SynthNoise model) { return model == SynthNoise::additive ? "additive" : "multiplicative"; }

}  // namespace

std::string synthConfigToml(const SynthConfig& config) {
    std::ostringstream out;
    out << "# Synthetic tests written by calvenor synth. The same files come back from\n"
           "#   calvenor synth --config synth.toml --out DIR\n"
           "# noise: standard deviation of the noise on q, p, ev and u; noise_model: \"multiplicative\" (a\n"
           "# fraction of each value) or \"additive\" (a fraction of each test's largest absolute value of the\n"
           "# quantity: Gaussian noise of that standard deviation in the normalised residuals)\n"
        << "noise = " << shortest(config.noise) << "\n"
        << "seed = " << config.seed << "\n"
        << "noise_model = \"" << noiseModelName(config.noiseModel) << "\"\n\n"
        << "# The true parameters.\n[parameters]\n";
    for (int i = 0; i < parameterCount; ++i) {
        out << parameterNames[static_cast<std::size_t>(i)] << " = " << shortest(parameterAt(config.parameters, i))
            << "\n";
    }
    out << "\n# Pressures in kPa; strain_max is plain (0.15 is 15 %); rows are evenly spaced from 0.\n";
    for (const auto& t : config.tests) {
        out << "\n[[test]]\n"
            << "name = \"" << t.name << "\"\n"
            << "type = " << t.type << "\n"
            << "p_initial = " << shortest(t.pInitial) << "\n"
            << "e_initial = " << shortest(t.eInitial) << "\n"
            << "p_consolidation = " << shortest(t.pConsol) << "\n"
            << "strain_max = " << shortest(t.strainMax) << "\n"
            << "rows = " << t.rows << "\n";
    }
    return out.str();
}

// ---------------------------------------------------------------------------
// The command

namespace {

struct SynthOptions {
    std::string out;
    std::string config;
    double noise = 0.0;
    std::string noiseModel;
    std::uint32_t seed = 1;
    bool noPlot = false;
    CLI::Option* noiseOption = nullptr;
    CLI::Option* seedOption = nullptr;
};

void runSynth(const SynthOptions& o, Context& ctx) {
    SynthConfig config = defaultSynthConfig();
    if (!o.config.empty()) applySynthConfig(config, readTextFile(o.config), o.config);
    if (o.noiseOption->count() > 0) {
        if (o.noise < 0.0 || o.noise > 1.0) throw UsageError("--noise: expected a value from 0 to 1");
        config.noise = o.noise;
    }
    if (o.seedOption->count() > 0) config.seed = o.seed;
    if (!o.noiseModel.empty()) config.noiseModel = o.noiseModel == "additive" ? SynthNoise::additive : SynthNoise::multiplicative;
    SynthResult result;
    const std::filesystem::path dir(o.out);
    try {
        result = synthesize(config);
        writeTestSet(dir, result.tests, result.tests);
        writeFile(dir / "synth.toml", synthConfigToml(config));
    } catch (const std::exception& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }
    ctx.out << "wrote " << config.tests.size() << " synthetic tests to " << (dir / "vornevResult").string()
            << " (noise " << shortest(config.noise)
            << (config.noise > 0.0 ? std::string(" ") + noiseModelName(config.noiseModel) : std::string()) << ", seed "
            << config.seed << ")\n"
            << "true parameters and configuration: " << (dir / "synth.toml").string() << "\n"
            << "error value at the true parameters (no penalties): " << shortest(result.errorAtTruth) << "\n";
    if (o.noPlot) return;
    PlotPage page;
    page.title = "Synthetic tests (noise " + shortest(config.noise) + "): points, the data; lines, the model with the true parameters";
    page.tests = plotTests(buildTestStore(result.tests), config.parameters);
    page.summaryTitle = "True parameters";
    for (int i = 0; i < parameterCount; ++i) {
        std::string line(parameterNames[static_cast<std::size_t>(i)]);
        line.resize(10, ' ');
        page.summary.push_back(line + shortest(parameterAt(config.parameters, i)));
    }
    const PlotOutcome plots = drawPlotPage(page, dir, "synth");
    for (const auto& w : plots.warnings) ctx.err << "calvenor: warning: " << w << "\n";
    for (const auto& f : plots.files) ctx.out << "plot: " << f.string() << "\n";
}

}  // namespace

void addSynthCommand(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<SynthOptions>();
    CLI::App* sub = app.add_subcommand(
        "synth",
        "Write synthetic tests from known parameters: DIR/vornevResult/ with both test lists and one data file "
        "per test (strain q p ev u, the model's curve read at evenly spaced strains, the first row at the "
        "consolidation pressure), DIR/synth.toml with the true parameters and the configuration, and a plot "
        "DIR/synth.png. Defaults: a clay (propm 1.2, enu 0.3, pkappa 0.02, plamda 0.12, pnvoid 2.3, "
        "cohesion 0, z 2.2, chi 0.2, sm 1.0), undrained (type 1) and drained (type 3) tests consolidated from "
        "50 kPa to 100, 200 and 400 kPa, 31 rows to 15 % axial strain.");
    sub->add_option("--out", o->out, "folder to write into (created if needed)")->required();
    sub->add_option("--config", o->config,
                    "TOML file: noise, noise_model, seed, [parameters] (the nine true values), [[test]] tables with name, "
                    "type, p_initial, e_initial, p_consolidation, strain_max, rows")
        ->check(CLI::ExistingFile);
    o->noiseOption = sub->add_option("--noise", o->noise,
                                     "standard deviation of the noise on q, p, ev and u (0.02 is 2 %; default 0; "
                                     "see --noise-model)");
    sub->add_option("--noise-model", o->noiseModel,
                    "multiplicative: each value times 1 + noise g (default); additive: each value plus noise g times "
                    "the test's largest absolute value of the quantity, Gaussian noise of standard deviation noise "
                    "in the normalised residuals, as the uncertainty analysis assumes (g standard normal, from the "
                    "seed)")
        ->check(CLI::IsMember({"multiplicative", "additive"}));
    o->seedOption = sub->add_option("--seed", o->seed, "seed of the noise (default 1)");
    sub->add_flag("--no-plot", o->noPlot, "do not draw DIR/synth.png");
    sub->callback([o, &ctx] { runSynth(*o, ctx); });
}

}  // namespace calvenor::cli
