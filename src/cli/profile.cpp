// calvenor profile: profile-likelihood intervals of a calibration's parameters.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "calibration/calibration.hpp"
#include "calibration/calibration_error.hpp"
#include "calibration/profile.hpp"
#include "cli/app.hpp"
#include "cli/progress.hpp"
#include "cli/signals.hpp"
#include "io/files.hpp"
#include "io/json.hpp"
#include "io/numbers.hpp"
#include "report/profile_plot.hpp"

namespace calvenor::cli {
namespace {

namespace fs = std::filesystem;

struct ProfileOptions {
    std::string dir;
    std::string from;
    std::string parameters;
    double level = 0.95;
    int points = 20;
    std::string noise;
    unsigned threads = 0;
    std::string out;
    bool quiet = false;
    bool noPlot = false;
};

std::vector<int> parameterList(const std::string& text) {
    std::vector<int> indices;
    std::stringstream in(text);
    std::string name;
    while (std::getline(in, name, ',')) {
        const int index = parameterIndex(name);
        if (index < 0) {
            throw UsageError("--parameters: unknown parameter '" + name + "' (the parameters are " +
                             parameterNameList() + ")");
        }
        if (std::find(indices.begin(), indices.end(), index) == indices.end()) indices.push_back(index);
    }
    if (indices.empty()) throw UsageError("--parameters: expected names separated by commas");
    return indices;
}

std::string interval(double lower, double upper, bool openBelow, bool openAbove) {
    return std::string(openBelow ? "(" : "[") + general(lower, 5) + ", " + general(upper, 5) + (openAbove ? ")" : "]");
}

void printProfile(std::ostream& out, const ProfileResult& r, const std::string& dir, const std::string& from) {
    out << "Profile likelihood of " << r.profiles.size() << " parameter" << (r.profiles.size() == 1 ? "" : "s")
        << ", tests in " << dir << ", from " << from << "\n";
    out << "  maximum-likelihood fit: log-likelihood " << general(r.logLikelihood, 8) << " (the calibration's best: "
        << general(r.startLogLikelihood, 8) << "), " << r.fitEvaluations << " evaluations\n";
    if (r.interrupted) out << "  interrupted: the profiles so far\n";
    const std::string levelText = rounded(r.level * 100.0, 6) + " %";
    char line[400];
    std::snprintf(line, sizeof line, "\n  %-10s %12s   %-27s %-27s %s\n", "parameter", "estimate",
                  (levelText + " profile interval").c_str(), "linearised interval", "verdict");
    out << line;
    for (const ParameterProfile& p : r.profiles) {
        const ParameterUncertainty* local = r.local.find(p.index);
        const std::string linear = local ? interval(local->lower, local->upper, false, false) : "";
        std::snprintf(line, sizeof line, "  %-10s %12s   %-27s %-27s %s\n",
                      std::string(parameterNames[static_cast<std::size_t>(p.index)]).c_str(),
                      general(p.estimate).c_str(), interval(p.lower, p.upper, p.openBelow, p.openAbove).c_str(),
                      linear.c_str(), p.verdict.c_str());
        out << line;
    }
    out << "\n  threshold    drop of the log-likelihood " << general(r.threshold, 4) << " (chi2(1) quantile / 2); "
        << "( or ) marks a side open up to the bound\n";
    for (const FisherDirection& d : r.local.directions) {
        if (!d.determined && !d.text.empty()) out << "  undetermined " << d.text << " (linearised)\n";
    }
    for (const std::string& note : r.notes) out << "  note         " << note << "\n";
    for (const std::string& note : r.local.notes) out << "  note         " << note << " (linearised)\n";
    out << "  evaluations  " << r.evaluations << " in " << fixed(r.seconds, 1) << " s on " << r.threads << " thread"
        << (r.threads == 1 ? "" : "s") << "\n";
}

void runProfile(const ProfileOptions& o, Context& ctx) {
    CalibrationRecord record;
    try {
        record = readCalibrationRecord(readFile(o.from), o.from);
    } catch (const FileError& e) {
        throw UsageError("--from: " + std::string(e.what()));
    } catch (const CalibrationError& e) {
        throw UsageError("--from: " + std::string(e.what()));
    }
    const std::string dir = !o.dir.empty() ? o.dir : !record.dir.empty() ? record.dir : ".";
    ProfileSettings settings;
    settings.level = o.level;
    settings.points = o.points;
    settings.threads = o.threads;
    settings.penalties = record.penalties;
    settings.noise = record.noise;
    if (!o.parameters.empty()) settings.parameters = parameterList(o.parameters);
    if (!o.noise.empty()) {
        try {
            settings.noise = parseNoiseModel(o.noise);
        } catch (const CalibrationError& e) {
            throw UsageError("--noise: " + std::string(e.what()));
        }
    }
    const fs::path outDir = o.out.empty() ? fs::path(o.from).parent_path() : fs::path(o.out);

    Evaluator evaluator{fs::path(dir)};
    try {
        evaluator.evaluate(record.parameters, {record.penalties, false, false});
    } catch (const LoadError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }
    // The tests must be those the calibration was run against.
    const TestStore& store = evaluator.store();
    bool same = record.tests.empty() || record.tests.size() == static_cast<std::size_t>(store.nTests);
    for (std::size_t t = 0; same && t < record.tests.size(); ++t) {
        same = record.tests[t].file == store.testFile[t] && record.tests[t].type == store.testType[t] &&
               record.tests[t].rows == store.rowCount[t];
    }
    if (!same) {
        ctx.err << "calvenor: the tests of " << dir << " are not those " << o.from
                << " was calibrated against (files, types or row counts differ); give the calibration's folder with "
                   "--dir\n";
        ctx.status = 1;
        return;
    }

    const bool live = !o.quiet && &ctx.err == &std::cerr && isatty(STDERR_FILENO);
    ProgressPrinter printer(ctx.err, live, o.quiet);
    const ProfileProgressFn progress = [&printer](const ProfileProgress& p) {
        if (p.phase == "fit") {
            printer.steps("maximum-likelihood fit", 1, 1, "fit", p.evaluations, p.seconds, p.phaseEnd);
        } else {
            printer.steps("profile", p.points, p.plannedPoints, "points", p.evaluations, p.seconds, p.phaseEnd);
        }
    };
    if (!o.quiet) {
        ctx.err << "calvenor: profile likelihood from " << o.from << " on the tests of " << dir
                << "; Ctrl-C stops with the profiles so far\n";
    }
    ProfileResult result;
    int stopStatus = 0;
    try {
        StopSignals signals;
        result = profileLikelihood(evaluator, record.settings, record.parameters, settings, progress,
                                   &signals.requested());
        if (signals.signal() != 0) stopStatus = signals.exitStatus();
    } catch (const CalibrationError& e) {
        if (!e.setting().empty()) throw UsageError("--" + e.setting() + ": " + e.what());
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }

    printProfile(ctx.out, result, dir, o.from);
    try {
        createFolder(outDir);
        writeFile(outDir / "profile.json", prettyJson(profileJson(result)));
        ctx.out << "\n  results      " << (outDir / "profile.json").string() << "\n";
    } catch (const FileError& e) {
        ctx.err << "calvenor: " << e.what() << "\n";
        ctx.status = 1;
        return;
    }
    if (!o.noPlot) {
        const PlotOutcome plots = drawProfilePage(profilePage(result, dir), outDir, "profile");
        for (const auto& w : plots.warnings) ctx.err << "calvenor: warning: " << w << "\n";
        for (const auto& f : plots.files) ctx.out << "  plot         " << f.string() << "\n";
    }
    if (result.interrupted && ctx.status == 0) ctx.status = stopStatus != 0 ? stopStatus : 130;
}

}  // namespace

void addProfileCommand(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<ProfileOptions>();
    CLI::App* sub = app.add_subcommand(
        "profile",
        "Profile-likelihood intervals of a calibration's free parameters: from the best set of OUT/calibration.json, "
        "the maximum-likelihood fit of the residuals (independent Gaussian, one standard deviation per scored "
        "quantity; docs/uncertainty.md), then for each parameter the best fit with it held at values stepping away "
        "to each side, the other free parameters re-optimised (Levenberg-Marquardt on the residuals, its Jacobians as parallel batches; the sides and "
        "parameters run in parallel). "
        "The interval at the level is where the log-likelihood stays within chi2(1, level) / 2 of its maximum; a "
        "side that stays within it up to its bound is open: not determined on that side. Writes OUT/profile.json "
        "and OUT/profile.png and .svg. Exit status 130, 143, 129 when stopped by Ctrl-C, SIGTERM, SIGHUP (the profiles so far are written).");
    sub->add_option("--from", o->from, "calibration.json written by calvenor calibrate")->required();
    sub->add_option("--dir", o->dir,
                    "folder that holds vornevResult/ with the calibration's tests (default: the dir recorded in "
                    "calibration.json)");
    sub->add_option("--parameters", o->parameters, "free parameters to profile, e.g. pnvoid,z (default: every free one)");
    sub->add_option("--level", o->level, "confidence level of the intervals (default 0.95)");
    sub->add_option("--points", o->points,
                    "points of each profile, half on each side of the estimate (default 20); a side that has not "
                    "reached the threshold after its share goes on with longer steps");
    sub->add_option("--noise", o->noise,
                    "known measurement noise per quantity, as in calvenor calibrate (default: as the calibration's "
                    "analysis had it)");
    sub->add_option("--threads", o->threads,
                    "threads (default 0: CALVENOR_THREADS if set, else all cores); the result does not depend on it");
    sub->add_option("--out", o->out, "folder for profile.json and the plot (default: the folder of --from)");
    sub->add_flag("--quiet", o->quiet, "no progress on stderr");
    sub->add_flag("--no-plot", o->noPlot, "do not draw the plot");
    sub->callback([o, &ctx] { runProfile(*o, ctx); });
}

}  // namespace calvenor::cli
