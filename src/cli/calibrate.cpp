// calvenor calibrate: fits the parameters to the tests of a folder.
#include <unistd.h>

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include "calibration/algorithms.hpp"
#include "calibration/calibration.hpp"
#include "calibration/calibration_error.hpp"
#include "cli/app.hpp"
#include "cli/calibrate_config.hpp"
#include "cli/progress.hpp"
#include "io/files.hpp"
#include "io/json.hpp"
#include "io/numbers.hpp"
#include "objective/objective.hpp"
#include "report/plot.hpp"
#include "report/reports.hpp"

namespace calvenor::cli {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Options

std::vector<std::string> algorithmChoices() {
    std::vector<std::string> names;
    for (const AlgorithmInfo& a : algorithmTable()) names.emplace_back(a.name);
    return names;
}

struct CalibrateOptions {
    std::string dir = ".";
    std::string config;
    std::string algorithm;
    std::int64_t generations = 0;
    std::int64_t population = 0;
    std::int64_t maxEvaluations = 0;
    std::uint32_t seed = 0;
    unsigned threads = 0;
    std::string penalties;
    std::string polish;
    std::string out;
    bool quiet = false;
    bool noPlot = false;
    bool noUncertainty = false;
    double level = 0.95;
    std::string noise;
    std::map<std::string, CLI::Option*> given;
    bool has(const std::string& name) const { return given.at(name)->count() > 0; }
};

CalibrateSetup setupFrom(const CalibrateOptions& o) {
    CalibrateSetup setup;
    if (!o.config.empty()) readCalibrationConfig(setup, o.config);
    CalibrationSettings& s = setup.settings;
    if (o.has("--algorithm")) s.algorithm = o.algorithm;
    if (o.has("--generations")) s.generations = o.generations;
    if (o.has("--population")) s.population = o.population;
    if (o.has("--max-evaluations")) s.maxEvaluations = o.maxEvaluations;
    if (o.has("--seed")) s.seed = o.seed;
    if (o.has("--threads")) s.threads = o.threads;
    if (o.has("--penalties")) s.penalties = o.penalties == "on";
    if (o.has("--polish")) s.polish = o.polish == "on";
    if (o.has("--out")) setup.out = o.out;
    if (o.noUncertainty) {
        s.uncertainty.reset();
    } else {
        s.uncertainty->level = o.level;
        try {
            if (!o.noise.empty()) s.uncertainty->noise = parseNoiseModel(o.noise);
        } catch (const CalibrationError& e) {
            throw UsageError("--noise: " + std::string(e.what()));
        }
    }
    return setup;
}

// ---------------------------------------------------------------------------
// Results

std::string phasesText(const CalibrationRun& run) {
    std::string s;
    for (const PhaseSummary& p : run.phases) {
        if (!s.empty()) s += ", then ";
        s += p.algorithm;
        if (p.population > 0) {
            s += " (population " + std::to_string(p.population) + ", " + std::to_string(p.generations) +
                 " generations, ";
        } else {
            s += " (";
        }
        s += std::to_string(p.evaluations) + (p.evaluations == 1 ? " evaluation; " : " evaluations; ") +
             p.stopReason + ")";
    }
    return s;
}

void printTable(std::ostream& out, const CalibrationOutcome& r) {
    const CalibrationSettings& settings = r.settings;
    const std::string& dir = r.dir;
    const auto tests = r.tests.size();
    out << "Calibration against " << tests << " test" << (tests == 1 ? "" : "s") << " in " << dir << "\n";
    out << "  search: " << phasesText(r.run) << "\n";
    if (r.run.interrupted) out << "  interrupted: the best parameters found so far\n";
    const std::optional<UncertaintyResult>& u = r.uncertainty;
    out << "\n  parameter        value        lower        upper";
    if (u) out << "   std. error   " << std::left << std::setw(26) << (rounded(u->level * 100.0, 6) + " % interval") << std::right << "verdict";
    out << "\n";
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterSetting& s = settings.parameters[static_cast<std::size_t>(i)];
        char line[320];
        const double v = parameterAt(r.best, i);
        const ParameterUncertainty* pu = u ? u->find(i) : nullptr;
        if (s.fixed) {
            std::snprintf(line, sizeof line, "  %-10s %12s   (fixed)",
                          std::string(parameterNames[static_cast<std::size_t>(i)]).c_str(),
                          general(v).c_str());
        } else if (pu != nullptr) {
            std::string verdict = pu->verdict;
            if (!pu->bound.empty() && verdict.find("bound") == std::string::npos) verdict += "; at the " + pu->bound + " bound";
            const std::string interval = "[" + general(pu->lower, 5) + ", " + general(pu->upper, 5) + "]";
            std::snprintf(line, sizeof line, "  %-10s %12s %12s %12s %12s   %-25s %s",
                          std::string(parameterNames[static_cast<std::size_t>(i)]).c_str(), general(v).c_str(),
                          general(s.lower).c_str(), general(s.upper).c_str(), general(pu->standardError, 4).c_str(),
                          interval.c_str(), verdict.c_str());
        } else {
            const std::string hit = boundHit(s, v);
            std::snprintf(line, sizeof line, "  %-10s %12s %12s %12s%s",
                          std::string(parameterNames[static_cast<std::size_t>(i)]).c_str(), general(v).c_str(),
                          general(s.lower).c_str(), general(s.upper).c_str(),
                          hit.empty() ? "" : ("   at " + hit + " bound").c_str());
        }
        out << line << "\n";
    }
    if (u) {
        std::string noise;
        bool known = false;
        for (int k = 0; k < quantityCount; ++k) {
            const QuantityNoise& q = u->noise[static_cast<std::size_t>(k)];
            if (q.residuals == 0) continue;
            noise += (noise.empty() ? "" : "  ") + std::string(quantityName[static_cast<std::size_t>(k)]) + " " +
                     general(q.sigma, 4) + (q.known ? " (given)" : "");
            known |= q.known;
        }
        out << "\n  noise        " << noise << "  (standard deviations of the normalised residuals"
            << (known ? "" : ", estimated") << ")\n";
        for (const FisherDirection& d : u->directions) {
            if (!d.determined && !d.text.empty()) out << "  undetermined " << d.text << "\n";
        }
        for (const std::string& note : u->notes) out << "  note         " << note << "\n";
        out << "  uncertainty  linearised at the best set: " << u->evaluations << " evaluations in "
            << fixed(u->seconds, 2) << " s (docs/uncertainty.md)\n";
    } else if (!r.uncertaintySkipped.empty() && r.uncertaintySkipped != "not asked for") {
        out << "\n  uncertainty  not analysed: " << r.uncertaintySkipped << "\n";
    }
    out << "\n  error value  " << general(r.error, 9) << (settings.penalties ? "" : " (no penalties)") << "\n";
    out << "  measures     ";
    for (int k = 0; k < quantityCount; ++k)
        out << (k ? "  " : "") << measureName[k] << " " << general(r.diagnostics.measure(Quantity(k)), 6);
    out << "\n  evaluations  " << r.evaluations << " in " << fixed(r.run.seconds, 1) << " s ("
        << fixed(r.run.seconds > 0 ? double(r.evaluations) / r.run.seconds : 0.0, 0) << " per second on "
        << r.threads << " thread" << (r.threads == 1 ? "" : "s") << "), seed " << *r.settings.seed << "\n";
}

std::vector<std::string> summaryLines(const CalibrationOutcome& r) {
    const CalibrationSettings& settings = r.settings;
    std::vector<std::string> lines;
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterSetting& s = settings.parameters[static_cast<std::size_t>(i)];
        std::string name(parameterNames[static_cast<std::size_t>(i)]);
        name.resize(10, ' ');
        std::string value = general(parameterAt(r.best, i), 6);
        value.resize(12, ' ');
        std::string note;
        if (s.fixed) {
            note = "fixed";
        } else {
            note = "[" + general(s.lower, 4) + ", " + general(s.upper, 4) + "]";
            const std::string hit = boundHit(s, parameterAt(r.best, i));
            if (!hit.empty()) note += " at " + hit + " bound";
        }
        lines.push_back(name + value + note);
    }
    lines.push_back("");
    lines.push_back("error value   " + general(r.error, 6));
    for (int k = 0; k < quantityCount; ++k) {
        std::string name(measureName[k]);
        name.resize(14, ' ');
        lines.push_back(name + general(r.diagnostics.measure(Quantity(k)), 6));
    }
    lines.push_back("evaluations   " + std::to_string(r.evaluations) + " in " + fixed(r.run.seconds, 1) + " s");
    return lines;
}

void runCalibrate(const CalibrateOptions& o, Context& ctx) {
    CalibrateSetup setup = setupFrom(o);
    // Without a seed one is drawn here, so it can be printed before the search.
    if (!setup.settings.seed) setup.settings.seed = std::random_device{}();
    const CalibrationSettings& settings = setup.settings;
    const fs::path outDir = setup.out.empty() ? fs::path(o.dir) / "calvenor-calibration" : fs::path(setup.out);
    if (findAlgorithm(settings.algorithm) == nullptr)
        throw UsageError("--algorithm: expected one of " + algorithmNameList());

    Evaluator evaluator{fs::path(o.dir)};
    const bool live = !o.quiet && &ctx.err == &std::cerr && isatty(STDERR_FILENO);
    ProgressPrinter printer(ctx.err, live, o.quiet);
    const ProgressFn progress = [&printer](const ProgressInfo& p) { printer(p); };
    if (!o.quiet) {
        std::string names;
        int free = 0;
        for (int i = 0; i < parameterCount; ++i) {
            if (settings.parameters[static_cast<std::size_t>(i)].fixed) continue;
            names += " " + std::string(parameterNames[static_cast<std::size_t>(i)]);
            ++free;
        }
        const unsigned threads = settings.threads != 0 ? settings.threads : std::max(1u, evaluator.threads());
        const AlgorithmInfo& algorithm = *findAlgorithm(settings.algorithm);
        ctx.err << "calvenor: fitting " << free << " parameters (" << (names.empty() ? " none" : names.substr(1))
                << ") with " << settings.algorithm
                << (algorithm.global && settings.polish ? " then " + std::string(polishAlgorithm) : "")
                << ", at most " << settings.maxEvaluations << " evaluations, seed " << *settings.seed << ", " << threads
                << " threads; Ctrl-C stops with the best so far\n";
    }

    CalibrationOutcome r;
    try {
        InterruptGuard guard;
        r = calibrate(evaluator, settings, true, progress, &interruptRequested);
    } catch (const LoadError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    } catch (const CalibrationError& e) {
        if (!e.setting().empty()) throw UsageError("--" + e.setting() + ": " + e.what());
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }
    r.dir = o.dir;
    for (const auto& w : evaluator.warnings()) ctx.err << "calvenor: warning: " << w << "\n";
    const TestStore& store = evaluator.store();
    r.reports.push_back(hostPath(o.dir, errorReportName).string());
    r.reports.push_back(hostPath(o.dir, stateFileName).string());
    for (const auto& name : store.curveFile) r.reports.push_back(hostPath(o.dir, name).string());

    bool outReady = true;
    try {
        createFolder(outDir);
    } catch (const FileError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        outReady = false;
    }
    if (!o.noPlot && outReady) {
        PlotPage page;
        page.title = "Calibration, " + o.dir + ": error value " + general(r.error, 5) +
                     "  (points: measured; lines: simulated with the best parameters)";
        page.tests = plotTests(store, r.best);
        for (const HistoryPoint& h : r.run.history) page.convergence.push_back({h.evaluations, h.best, h.phase});
        page.summary = summaryLines(r);
        const PlotOutcome plots = drawPlotPage(page, outDir, "calibration");
        for (const auto& w : plots.warnings) ctx.err << "calvenor: warning: " << w << "\n";
        for (const auto& f : plots.files) r.plots.push_back(f.string());
    }

    printTable(ctx.out, r);
    if (outReady) {
        try {
            writeFile(outDir / "calibration.json", prettyJson(outcomeJson(r)));
            ctx.out << "\n  results      " << (outDir / "calibration.json").string() << "\n";
            if (r.uncertainty) {
                ctx.out << "  profile      calvenor profile --dir " << o.dir << " --from "
                        << (outDir / "calibration.json").string() << "  (intervals without the linearisation)\n";
            }
        } catch (const FileError& e) {
            ctx.err << "calvenor: " << e.what() << "\n";
            ctx.status = 1;
        }
    }
    for (const auto& p : r.plots) ctx.out << "  plot         " << p << "\n";
    ctx.out << "  reports      " << (fs::path(o.dir) / "vornevResult").string() << " ("
            << r.reports.size() << " files)\n";
    if (r.run.interrupted && ctx.status == 0) ctx.status = 130;
}

}  // namespace

void addCalibrateCommand(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<CalibrateOptions>();
    CLI::App* sub = app.add_subcommand(
        "calibrate",
        "Fit the model parameters to the tests listed in DIR/vornevResult/evReadInList.txt: a global search "
        "(pagmo2; by default CMA-ES) followed by a local polish (NLopt BOBYQA), each generation evaluated as "
        "one parallel batch. Prints the best parameters with their standard errors, intervals and a verdict on how "
        "well the tests determine each (a local analysis at the best set; --no-uncertainty skips it), the error "
        "value and its four measures; writes "
        "OUT/calibration.json, OUT/calibration.png and .svg, and the three reports of the best set into "
        "DIR/vornevResult. Default bounds: propm [0.5, 2], pkappa [0.002, 0.1], plamda [0.02, 0.4], pnvoid "
        "[0.5, 3], z [0.4, 3], chi [0, 0.9], sm [0, 5]; enu fixed at 0.3 and cohesion at 0. Exit status 130 "
        "when stopped by Ctrl-C (the results so far are written).");
    sub->add_option("--dir", o->dir, "folder that holds vornevResult/")->capture_default_str();
    sub->add_option("--config", o->config,
                    "TOML file: parameters (propm = { start = 1.2, lower = 0.8, upper = 1.8 }, enu = { fixed = 0.3 }) "
                    "and options (algorithm, generations, population, max_evaluations, seed, threads, penalties, "
                    "polish, out); the command-line options override it")
        ->check(CLI::ExistingFile);
    auto& g = o->given;
    g["--algorithm"] = sub->add_option("--algorithm", o->algorithm,
                                       "cmaes, xnes, pso, de, sade (global, pagmo2) or nelder-mead, bobyqa, sbplx "
                                       "(local, NLopt, from the start values); default cmaes")
                           ->check(CLI::IsMember(algorithmChoices()));
    g["--generations"] = sub->add_option("--generations", o->generations,
                                         "most generations of the global search (default: until the budget is spent, "
                                         "the search converges, or its best error value improves by less than "
                                         "0.1 % in 60 generations)")
                             ->check(CLI::PositiveNumber);
    g["--population"] = sub->add_option("--population", o->population,
                                        "population of the global search (default, for n free parameters: "
                                        "max(16, 4 + 3n) for cmaes and xnes, 32 for pso, max(24, 5n) for de "
                                        "and sade)")
                            ->check(CLI::Range(5, 1000000));
    g["--max-evaluations"] = sub->add_option("--max-evaluations", o->maxEvaluations,
                                             "evaluation budget of the whole search (default 20000); a global search "
                                             "leaves a fifth of it (at least 100, at most half) to the polish")
                                 ->check(CLI::PositiveNumber);
    g["--seed"] = sub->add_option("--seed", o->seed, "seed of the search (default: drawn at random and printed)");
    g["--threads"] = sub->add_option("--threads", o->threads,
                                     "threads evaluating a generation (default 0: CALVENOR_THREADS if set, else all "
                                     "cores); the result does not depend on it");
    g["--penalties"] = sub->add_option("--penalties", o->penalties,
                                       "on: multiply the error value by the constraint penalty factors (default); "
                                       "off: plain error value")
                           ->check(CLI::IsMember({"on", "off"}));
    g["--polish"] = sub->add_option("--polish", o->polish, "on: BOBYQA after a global search (default); off: none")
                        ->check(CLI::IsMember({"on", "off"}));
    g["--out"] = sub->add_option("--out", o->out, "folder for calibration.json and the plots (default DIR/calvenor-calibration)");
    sub->add_flag("--quiet", o->quiet, "no progress on stderr");
    sub->add_flag("--no-plot", o->noPlot, "do not draw the plots");
    sub->add_flag("--no-uncertainty", o->noUncertainty,
                  "skip the local analysis at the best set (standard errors, intervals, correlations, verdicts; "
                  "see docs/uncertainty.md)");
    sub->add_option("--level", o->level, "confidence level of the intervals (default 0.95)");
    sub->add_option("--noise", o->noise,
                    "known measurement noise per quantity as standard deviations of the normalised residuals, "
                    "e.g. q=0.01,ev=0.02 (0.01: 1 % of each test's largest absolute value of the quantity); "
                    "quantities not given are estimated from the residuals (default: all estimated)");
    sub->callback([o, &ctx] { runCalibrate(*o, ctx); });
}

}  // namespace calvenor::cli
