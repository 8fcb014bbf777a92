// calvenor calibrate: fits the parameters to the tests of a folder.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "calibration/algorithms.hpp"
#include "calibration/calibration.hpp"
#include "calibration/calibration_error.hpp"
#include "calibration/checkpoint.hpp"
#include "cli/app.hpp"
#include "cli/calibrate_config.hpp"
#include "cli/signals.hpp"
#include "cli/progress.hpp"
#include "io/files.hpp"
#include "io/json.hpp"
#include "io/numbers.hpp"
#include "objective/objective.hpp"
#include "report/plot.hpp"
#include "report/reports.hpp"
#include "testdata/data_checks.hpp"

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
    bool noReports = false;
    bool reportsInData = false;
    std::string resume;
    double checkpointInterval = 60.0;
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

// Where the reports of the best set go.
enum class ReportPlace { out, data, none };

// A run as set up: the settings, the folders and what is written where;
// from the options (and configuration), or from the checkpoint of a run to
// resume.
struct RunPlan {
    CalibrateSetup setup;
    std::string dir;
    fs::path out;
    std::string config;
    ReportPlace reports = ReportPlace::out;
    std::optional<Checkpoint> resume;
};

const char* placeName(ReportPlace p) { return p == ReportPlace::out ? "out" : p == ReportPlace::data ? "data" : "none"; }

// What the front end records in a checkpoint to carry on from it.
Json frontEndJson(const RunPlan& plan) {
    std::error_code ec;
    return {{"dir", plan.dir},
            {"dirAbsolute", fs::absolute(plan.dir, ec).lexically_normal().string()},
            {"cwd", fs::current_path(ec).string()},
            {"config", plan.config},
            {"reports", placeName(plan.reports)}};
}

fs::path checkpointPath(const fs::path& out) { return out / "checkpoint.json"; }

RunPlan freshPlan(const CalibrateOptions& o) {
    RunPlan plan;
    plan.setup = setupFrom(o);
    // Without a seed one is drawn here, so it can be printed before the search.
    if (!plan.setup.settings.seed) plan.setup.settings.seed = std::random_device{}();
    plan.dir = o.dir;
    plan.out = plan.setup.out.empty() ? fs::path(o.dir) / "calvenor-calibration" : fs::path(plan.setup.out);
    plan.config = o.config;
    if (o.noReports && o.reportsInData) throw UsageError("--no-reports: give either --no-reports or --reports-in-data");
    plan.reports = o.noReports ? ReportPlace::none : o.reportsInData ? ReportPlace::data : ReportPlace::out;
    return plan;
}

RunPlan resumedPlan(const CalibrateOptions& o) {
    for (const auto& [name, option] : o.given) {
        if (name != "--threads" && option->count() > 0)
            throw UsageError("--resume: the run goes on as it was set up; " + name + " cannot be given with it");
    }
    RunPlan plan;
    plan.out = o.resume;
    const fs::path file = checkpointPath(plan.out);
    std::string text;
    try {
        text = readFile(file);
    } catch (const FileError& e) {
        throw UsageError(std::string(e.what()) + " (nothing to resume: a finished run removes its checkpoint)");
    }
    try {
        plan.resume = readCheckpoint(text, file.string());
    } catch (const CalibrationError& e) {
        throw UsageError(e.what());
    }
    plan.setup.settings = plan.resume->settings;
    if (o.has("--threads")) plan.setup.settings.threads = o.threads;
    const Json& f = plan.resume->frontEnd;
    try {
        // The folder as the run named it, unless the resumed run starts elsewhere.
        std::error_code ec;
        const bool sameFolder = f.at("cwd").get<std::string>() == fs::current_path(ec).string();
        plan.dir = sameFolder ? f.at("dir").get<std::string>() : f.at("dirAbsolute").get<std::string>();
        plan.config = f.at("config").get<std::string>();
        const std::string reports = f.at("reports").get<std::string>();
        plan.reports = reports == "none" ? ReportPlace::none : reports == "data" ? ReportPlace::data : ReportPlace::out;
    } catch (const std::exception& e) {
        throw UsageError(file.string() + ": unreadable checkpoint (" + e.what() + ")");
    }
    return plan;
}

// Writes the checkpoints of a run: atomically and durably, so that a crash
// leaves the previous checkpoint or the new one. A failure before the search
// ends the run; later ones are warned about once and the run goes on.
class CheckpointWriter {
public:
    CheckpointWriter(const RunPlan& plan, std::ostream& err)
        : file_(checkpointPath(plan.out)), frontEnd_(frontEndJson(plan)), err_(err) {}

    void operator()(const Checkpoint& c) {
        Checkpoint k = c;
        k.frontEnd = frontEnd_;
        try {
            writeFile(file_, checkpointText(k), file_.string(), true);
        } catch (const FileError& e) {
            if (c.record.errors.empty()) throw;
            if (!warned_) err_ << "calvenor: warning: " << e.what() << " (the run goes on without checkpoints)\n";
            warned_ = true;
        }
    }
    const fs::path& file() const { return file_; }

private:
    fs::path file_;
    Json frontEnd_;
    std::ostream& err_;
    bool warned_ = false;
};

// The parameters whose settings reach outside their physical ranges, at
// their line of the configuration file when it set them.
void printParameterWarnings(const RunPlan& plan, std::ostream& err) {
    for (const ParameterWarning& w : physicalRangeWarnings(plan.setup.settings.parameters)) {
        const int line = plan.setup.parameterLines[static_cast<std::size_t>(w.index)];
        const std::string where = line > 0 ? plan.config + ":" + std::to_string(line) + ": " : "";
        err << "calvenor: warning: " << where << w.message << "\n";
    }
}

void printBanner(const CalibrationSettings& settings, const Evaluator& evaluator, const RunPlan& plan,
                 std::ostream& err) {
    std::string names;
    int free = 0;
    for (int i = 0; i < parameterCount; ++i) {
        if (settings.parameters[static_cast<std::size_t>(i)].fixed) continue;
        names += " " + std::string(parameterNames[static_cast<std::size_t>(i)]);
        ++free;
    }
    const unsigned threads = settings.threads != 0 ? settings.threads : std::max(1u, evaluator.threads());
    const AlgorithmInfo& algorithm = *findAlgorithm(settings.algorithm);
    err << "calvenor: " << (plan.resume ? "resuming, " : "") << "fitting " << free << " parameters ("
        << (names.empty() ? " none" : names.substr(1)) << ") with " << settings.algorithm
        << (algorithm.global && settings.polish ? " then " + std::string(polishAlgorithm) : "") << ", at most "
        << settings.maxEvaluations << " evaluations, seed " << *settings.seed << ", " << threads
        << " threads; Ctrl-C stops with the best so far\n";
}

void runCalibrate(const CalibrateOptions& o, Context& ctx) {
    RunPlan plan = o.resume.empty() ? freshPlan(o) : resumedPlan(o);
    const CalibrationSettings& settings = plan.setup.settings;
    const fs::path& outDir = plan.out;
    if (findAlgorithm(settings.algorithm) == nullptr)
        throw UsageError("--algorithm: expected one of " + algorithmNameList());
    if (!(o.checkpointInterval >= 0.0)) throw UsageError("--checkpoint-interval: expected a number of seconds, at least 0");

    const auto fail = [&ctx](const std::string& message) {
        ctx.err << "calvenor: " << message << "\n";
        ctx.status = 1;
    };
    // The results' folder must take files before any time is spent.
    try {
        createFolder(outDir);
    } catch (const FileError& e) {
        return fail(e.what());
    }
    Evaluator evaluator{fs::path(plan.dir)};
    if (plan.reports == ReportPlace::out) evaluator.setReportFolder(outDir / "reports");
    try {
        evaluator.loadTests();
    } catch (const LoadError& e) {
        return fail(e.what());
    }
    // Tests of which none is scored are refused below: that warning would only repeat it.
    const std::string nothingScored = nothingScoredReason(evaluator.store());
    for (const auto& w : evaluator.warnings()) {
        if (nothingScored.empty() || w.find(nothingScored) == std::string::npos)
            ctx.err << "calvenor: warning: " << w << "\n";
    }
    printParameterWarnings(plan, ctx.err);

    const bool live = !o.quiet && &ctx.err == &std::cerr && isatty(STDERR_FILENO);
    ProgressPrinter printer(ctx.err, live, o.quiet);
    CheckpointWriter checkpoints(plan, ctx.err);
    StopSignals signals;
    CalibrationControl control;
    control.progress = [&printer](const ProgressInfo& p) { printer(p); };
    control.stop = &signals.requested();
    control.checkpoint = [&checkpoints](const Checkpoint& c) { checkpoints(c); };
    control.checkpointSeconds = o.checkpointInterval;
    if (plan.resume) control.resume = &*plan.resume;
    if (!o.quiet) printBanner(settings, evaluator, plan, ctx.err);

    CalibrationOutcome r;
    try {
        r = calibrate(evaluator, settings, plan.reports != ReportPlace::none, control);
    } catch (const LoadError& e) {
        return fail(e.what());
    } catch (const FileError& e) {
        return fail(e.what());
    } catch (const CalibrationError& e) {
        if (!e.setting().empty()) throw UsageError("--" + e.setting() + ": " + e.what());
        return fail(e.what());
    }
    r.dir = plan.dir;
    r.config = plan.config;
    // The reports: only the files that were written are listed; any that
    // could not be written fail the run.
    for (const auto& w : evaluator.warnings()) fail(w);
    for (const auto& file : evaluator.reportFiles()) r.reports.push_back(file.string());
    const TestStore& store = evaluator.store();

    if (!o.noPlot) {
        PlotPage page;
        page.title = "Calibration, " + plan.dir + ": error value " + general(r.error, 5) +
                     "  (points: measured; lines: simulated with the best parameters)";
        page.tests = plotTests(store, r.best);
        for (const HistoryPoint& h : r.run.history) page.convergence.push_back({h.evaluations, h.best, h.phase});
        page.summary = summaryLines(r);
        const PlotOutcome plots = drawPlotPage(page, outDir, "calibration");
        for (const auto& w : plots.warnings) ctx.err << "calvenor: warning: " << w << "\n";
        for (const auto& f : plots.files) r.plots.push_back(f.string());
    }

    printTable(ctx.out, r);
    bool recorded = false;
    try {
        writeFile(outDir / "calibration.json", prettyJson(outcomeJson(r)));
        ctx.out << "\n  results      " << (outDir / "calibration.json").string() << "\n";
        if (r.uncertainty) {
            ctx.out << "  profile      calvenor profile --dir " << plan.dir << " --from "
                    << (outDir / "calibration.json").string() << "  (intervals without the linearisation)\n";
        }
        recorded = true;
    } catch (const FileError& e) {
        fail(e.what());
    }
    for (const auto& p : r.plots) ctx.out << "  plot         " << p << "\n";
    if (plan.reports != ReportPlace::none) {
        const fs::path folder =
            plan.reports == ReportPlace::out ? outDir / "reports" : fs::path(plan.dir) / "vornevResult";
        ctx.out << "  reports      " << folder.string() << " (" << r.reports.size() << " file"
                << (r.reports.size() == 1 ? "" : "s") << ")\n";
    }
    if (signals.signal() != 0 && ctx.status == 0) ctx.status = signals.exitStatus();
    if (r.run.interrupted) {
        ctx.out << "  checkpoint   " << checkpoints.file().string() << " (calvenor calibrate --resume "
                << outDir.string() << " goes on)\n";
    } else if (recorded) {
        // A finished run needs no checkpoint.
        std::error_code ec;
        fs::remove(checkpoints.file(), ec);
    }
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
        "OUT/reports (under the names they have beside the data). Default bounds: propm [0.5, 2], pkappa "
        "[0.002, 0.1], plamda [0.02, 0.4], pnvoid [0.5, 3], z [0.4, 3], chi [0, 0.9], sm [0, 5]; enu fixed at "
        "0.3 and cohesion at 0. Refuses, before the search, tests of which none is scored and start values "
        "whose error value is not finite. OUT/checkpoint.json is written at the start and at least once a "
        "minute; --resume OUT continues a run that was stopped or killed, and ends with the result the run "
        "would have had, to the bit (the search is replayed from the recorded error values). Exit status: 0 "
        "done; 1 data that cannot be used, or results or reports not written; 2 bad option or configuration; "
        "130, 143, 129 when stopped by Ctrl-C, SIGTERM, SIGHUP (the results so far are written and the run can "
        "be resumed).");
    auto& g = o->given;
    g["--dir"] = sub->add_option("--dir", o->dir, "folder that holds vornevResult/")->capture_default_str();
    g["--config"] =
        sub->add_option("--config", o->config,
                        "TOML file: parameters (propm = { start = 1.2, lower = 0.8, upper = 1.8 }, enu = { fixed = "
                        "0.3 }) and options (algorithm, generations, population, max_evaluations, seed, threads, "
                        "penalties, polish, out: relative to the file's folder); the command-line options override it")
            ->check(CLI::ExistingFile);
    g["--algorithm"] = sub->add_option("--algorithm", o->algorithm,
                                       "cmaes, xnes, pso, de, sade (global, pagmo2) or nelder-mead, bobyqa, sbplx "
                                       "(local, NLopt, from the start values); default cmaes")
                           ->check(CLI::IsMember(algorithmChoices()));
    g["--generations"] = sub->add_option("--generations", o->generations,
                                         "most generations of the global search (default: until the budget is spent, "
                                         "the search converges, or its best error value improves by less than "
                                         "0.1 % in 60 generations)")
                             ->check(wholeNumber(1, std::int64_t{1} << 40));
    g["--population"] = sub->add_option("--population", o->population,
                                        "population of the global search (default, for n free parameters: "
                                        "max(16, 4 + 3n) for cmaes and xnes, 32 for pso, max(24, 5n) for de "
                                        "and sade)")
                            ->check(wholeNumber(5, 1000000));
    g["--max-evaluations"] = sub->add_option("--max-evaluations", o->maxEvaluations,
                                             "evaluation budget of the whole search (default 20000); a global search "
                                             "leaves a fifth of it (at least 100, at most half) to the polish")
                                 ->check(wholeNumber(1, std::int64_t{1} << 40));
    g["--seed"] = sub->add_option("--seed", o->seed, "seed of the search (default: drawn at random and printed)")
                      ->check(wholeNumber(0, 4294967295));
    g["--threads"] = sub->add_option("--threads", o->threads,
                                     "threads evaluating a generation (default 0: CALVENOR_THREADS if set, else all "
                                     "cores); the result does not depend on it")
                         ->check(wholeNumber(0, 4096));
    g["--penalties"] = sub->add_option("--penalties", o->penalties,
                                       "on: multiply the error value by the constraint penalty factors (default); "
                                       "off: plain error value")
                           ->check(CLI::IsMember({"on", "off"}));
    g["--polish"] = sub->add_option("--polish", o->polish, "on: BOBYQA after a global search (default); off: none")
                        ->check(CLI::IsMember({"on", "off"}));
    g["--out"] = sub->add_option("--out", o->out,
                                 "folder for calibration.json, the plots, the checkpoint and reports/ (default "
                                 "DIR/calvenor-calibration)");
    g["--no-reports"] = sub->add_flag("--no-reports", o->noReports, "do not write the reports of the best set");
    g["--reports-in-data"] = sub->add_flag(
        "--reports-in-data", o->reportsInData,
        "write the reports where the host module writes them (DIR/vornevResult and beside each data file), "
        "replacing what is there, instead of OUT/reports");
    sub->add_option("--resume", o->resume,
                    "continue the run whose results go to this folder, from its checkpoint.json, with the settings it "
                    "was started with (only --threads may be given besides)");
    sub->add_option("--checkpoint-interval", o->checkpointInterval,
                    "seconds between checkpoints (default 60; 0: after every batch of evaluations)")
        ->capture_default_str();
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
