#include "calibration/calibration.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include "calibration/calibration_error.hpp"
#include "calibration/checkpoint.hpp"
#include "io/numbers.hpp"
#include "objective/explain.hpp"
#include "testdata/data_checks.hpp"
#include "testdata/test_store.hpp"

namespace calvenor {

EngineSettings engineSettings(const CalibrationSettings& settings) {
    EngineSettings engine;
    engine.algorithm = settings.algorithm;
    engine.generations = settings.generations;
    engine.population = settings.population;
    engine.polish = settings.polish;
    engine.seed = settings.seed ? *settings.seed : std::random_device{}();
    return engine;
}

std::string programName() { return std::string("calvenor ") + CALVENOR_VERSION; }

namespace {

// The list as messages name it.
std::string listShown(const Evaluator& evaluator) {
    return evaluator.hostStyle() ? displayName(evaluator.hostFolder(), workingListName) : "the test set";
}

// Refuses tests of which none is scored, and start values whose error value
// is not finite, before any search.
void checkBeforeSearch(Evaluator& evaluator, const CalibrationSettings& settings) {
    if (const std::string none = nothingScoredReason(evaluator.store()); !none.empty()) {
        throw CalibrationError(listShown(evaluator) + ": " + none + ": there is nothing to fit");
    }
    // The probe leaves the evaluator as it found it, so that the search
    // starts from the state of a first evaluation.
    const std::vector<double> state = evaluator.carriedState();
    const double error = evaluator.evaluate(startParameters(settings.parameters), {settings.penalties, false, false});
    if (!std::isfinite(error)) {
        throw CalibrationError("the start values give the error value " + shortest(error) + ": " +
                               nonFiniteExplanation(evaluator, error) + "; nothing can be fitted from there");
    }
    evaluator.restoreCarriedState(state);
}

void checkResume(const Checkpoint& c, const CalibrationOutcome& r) {
    if (c.program != r.program) {
        throw CalibrationError("the checkpoint was written by " + c.program + ", this is " + r.program +
                               ": resume it with that version");
    }
    for (const FileChecksum& f : c.files) {
        const auto now = std::find_if(r.files.begin(), r.files.end(), [&](const FileChecksum& g) { return g.file == f.file; });
        if (now == r.files.end() || now->sha256 != f.sha256) {
            throw CalibrationError(f.file + " has changed since the checkpoint was written (SHA-256 " +
                                   f.sha256.substr(0, 12) + "..., now " +
                                   (now == r.files.end() ? std::string("not read") : now->sha256.substr(0, 12) + "...") +
                                   "): the run cannot be resumed");
        }
    }
    if (c.files.size() != r.files.size()) {
        throw CalibrationError("the tests have changed since the checkpoint was written (" +
                               std::to_string(c.files.size()) + " files then, " + std::to_string(r.files.size()) +
                               " now): the run cannot be resumed");
    }
}

}  // namespace

CalibrationOutcome calibrate(Evaluator& evaluator, const CalibrationSettings& settings, bool writeReports,
                             const ProgressFn& progress, const std::atomic<bool>* stop) {
    CalibrationControl control;
    control.progress = progress;
    control.stop = stop;
    return calibrate(evaluator, settings, writeReports, control);
}

CalibrationOutcome calibrate(Evaluator& evaluator, const CalibrationSettings& settings, bool writeReports,
                             const CalibrationControl& control) {
    checkParameterSettings(settings.parameters, "parameters");
    if (settings.uncertainty && !(settings.uncertainty->level > 0.0 && settings.uncertainty->level < 1.0)) {
        throw CalibrationError("expected a level above 0 and below 1, found " + shortest(settings.uncertainty->level),
                               "level");
    }
    const EngineSettings engine = engineSettings(settings);
    CalibrationOutcome r;
    r.settings = settings;
    r.settings.seed = engine.seed;
    r.program = programName();

    evaluator.loadTests();
    r.files = dataFileChecksums(evaluator);
    if (control.resume != nullptr) checkResume(*control.resume, r);
    checkBeforeSearch(evaluator, settings);

    CalibrationObjective objective(evaluator, settings.parameters, settings.penalties, settings.threads,
                                   settings.maxEvaluations);
    r.threads = objective.threads();
    if (control.resume != nullptr) objective.replay(control.resume->record);
    const auto save = [&] {
        Checkpoint c;
        c.program = r.program;
        c.settings = r.settings;
        c.files = r.files;
        c.record = objective.record();
        control.checkpoint(c);
    };
    // Outlives the search, which calls afterBatch.
    auto last = std::chrono::steady_clock::now();
    if (control.checkpoint) {
        if (control.resume == nullptr) save();
        last = std::chrono::steady_clock::now();
        objective.afterBatch = [&] {
            const auto now = std::chrono::steady_clock::now();
            if (objective.replaying() || std::chrono::duration<double>(now - last).count() < control.checkpointSeconds)
                return;
            save();
            last = std::chrono::steady_clock::now();
        };
    }
    r.run = runCalibration(objective, engine, control.progress, control.stop);
    objective.afterBatch = {};
    if (control.checkpoint) save();
    if (!objective.hasBest()) throw CalibrationError("no parameter set was evaluated");
    r.best = objective.best();
    r.bestDuringSearch = objective.bestError();
    r.evaluations = objective.evaluations();

    // One more evaluation of the best set leaves its state (and reports) behind.
    r.error = evaluator.evaluate(r.best, {settings.penalties, writeReports, false});
    r.diagnostics = evaluator.diagnostics();
    if (!std::isfinite(r.error)) {
        throw CalibrationError("no parameter set of the search gave a finite error value (" +
                               std::to_string(r.evaluations) + " evaluations); at the best of them " +
                               nonFiniteExplanation(evaluator, r.error));
    }
    const TestStore& store = evaluator.store();
    for (int t = 0; t < store.nTests; ++t) {
        const auto k = static_cast<std::size_t>(t);
        r.tests.push_back({store.testFile[k], store.testType[k], store.rowCount[k], store.pInitial[k],
                           store.eInitial[k], store.pConsol[k], store.eConsol[k]});
    }
    if (!settings.uncertainty) {
        r.uncertaintySkipped = "not asked for";
    } else if (r.run.interrupted) {
        r.uncertaintySkipped = "the search was interrupted: the best set so far is no optimum to analyse";
    } else if (objective.dimension() == 0) {
        r.uncertaintySkipped = "no free parameter";
    } else {
        try {
            r.uncertainty = analyseUncertainty(evaluator, settings.parameters, r.best, settings.penalties,
                                               *settings.uncertainty, Estimator::errorValue, r.threads);
        } catch (const CalibrationError& e) {
            if (!e.setting().empty()) throw;
            r.uncertaintySkipped = e.what();
        }
    }
    return r;
}

namespace {

Json parametersJson(const ModelParameters& p) {
    Json j = Json::object();
    for (int i = 0; i < parameterCount; ++i) j[std::string(parameterNames[static_cast<std::size_t>(i)])] = jsonNumber(parameterAt(p, i));
    return j;
}

}  // namespace

Json outcomeJson(const CalibrationOutcome& r) {
    Json j = Json::object();
    j["program"] = r.program;
    j["dir"] = r.dir;
    j["config"] = r.config.empty() ? Json(nullptr) : Json(r.config);
    j["parameters"] = parametersJson(r.best);
    j["error"] = jsonNumber(r.error);
    j["bestErrorDuringSearch"] = jsonNumber(r.bestDuringSearch);
    Json measures = Json::object();
    for (int k = 0; k < quantityCount; ++k)
        measures[std::string(measureName[static_cast<std::size_t>(k)])] = jsonNumber(r.diagnostics.measure(Quantity(k)));
    j["measures"] = measures;
    Json diagnostics = Json::array();
    for (double v : r.diagnostics.hostOrder()) diagnostics.push_back(jsonNumber(v));
    j["diagnostics"] = diagnostics;
    j["evaluations"] = r.evaluations;
    j["maxEvaluations"] = r.settings.maxEvaluations;
    j["seconds"] = jsonNumber(r.run.seconds);
    j["evaluationsPerSecond"] = jsonNumber(r.run.seconds > 0 ? double(r.evaluations) / r.run.seconds : 0.0);
    j["threads"] = r.threads;
    j["seed"] = r.settings.seed.value_or(0);
    j["algorithm"] = r.settings.algorithm;
    j["penalties"] = r.settings.penalties;
    j["interrupted"] = r.run.interrupted;
    j["lookAheadMisses"] = r.run.lookAheadMisses;
    Json bounds = Json::object();
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterSetting& s = r.settings.parameters[static_cast<std::size_t>(i)];
        Json b = Json::object();
        if (s.fixed) {
            b["fixed"] = true;
            b["value"] = jsonNumber(s.start);
        } else {
            const std::string hit = boundHit(s, parameterAt(r.best, i));
            b["fixed"] = false;
            b["start"] = jsonNumber(s.start);
            b["lower"] = jsonNumber(s.lower);
            b["upper"] = jsonNumber(s.upper);
            b["atBound"] = hit.empty() ? Json(nullptr) : Json(hit);
        }
        bounds[std::string(parameterNames[static_cast<std::size_t>(i)])] = b;
    }
    j["bounds"] = bounds;
    j["uncertainty"] = r.uncertainty ? uncertaintyJson(*r.uncertainty) : Json{{"skipped", r.uncertaintySkipped}};
    Json tests = Json::array();
    for (const TestSummary& t : r.tests) {
        tests.push_back({{"file", t.file}, {"type", t.type}, {"rows", t.rows}, {"pInitial", jsonNumber(t.pInitial)},
                         {"eInitial", jsonNumber(t.eInitial)}, {"pConsol", jsonNumber(t.pConsol)},
                         {"eConsol", jsonNumber(t.eConsol)}});
    }
    j["tests"] = tests;
    Json files = Json::array();
    for (const FileChecksum& f : r.files) files.push_back({{"file", f.file}, {"sha256", f.sha256}});
    j["files"] = files;
    Json phases = Json::array();
    for (const PhaseSummary& p : r.run.phases) {
        phases.push_back({{"algorithm", p.algorithm}, {"population", p.population}, {"generations", p.generations},
                          {"evaluations", p.evaluations}, {"stop", p.stopReason}});
    }
    j["phases"] = phases;
    Json history = Json::array();
    for (const HistoryPoint& h : r.run.history) {
        history.push_back({{"phase", h.phase}, {"generation", h.generation}, {"evaluations", h.evaluations},
                           {"best", jsonNumber(h.best)}, {"seconds", jsonNumber(h.seconds)}});
    }
    j["history"] = history;
    j["reports"] = r.reports;
    j["plots"] = r.plots;
    return j;
}

CalibrationRecord readCalibrationRecord(const std::string& text, const std::string& shown) {
    Json j;
    try {
        j = Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw CalibrationError(shown + ": not a calibration record (" + std::string(e.what()) + ")");
    }
    CalibrationRecord record;
    const auto fail = [&](const std::string& what) -> void {
        throw CalibrationError(shown + ": " + what);
    };
    if (!j.is_object() || !j.contains("parameters") || !j["parameters"].is_object())
        fail("expected a calibration record with \"parameters\" (written by calvenor calibrate)");
    try {
        for (int i = 0; i < parameterCount; ++i) {
            const std::string name(parameterNames[static_cast<std::size_t>(i)]);
            if (!j["parameters"].contains(name)) fail("\"parameters\" has no \"" + name + "\"");
            parameterAt(record.parameters, i) = numberFromJson(j["parameters"][name]);
        }
        if (j.contains("penalties") && j["penalties"].is_boolean()) record.penalties = j["penalties"].get<bool>();
        if (j.contains("error")) record.error = numberFromJson(j["error"]);
        if (j.contains("dir") && j["dir"].is_string()) record.dir = j["dir"].get<std::string>();
        if (j.contains("uncertainty")) record.noise = noiseModelFromJson(j["uncertainty"]);
        if (j.contains("tests") && j["tests"].is_array()) {
            for (const Json& t : j["tests"]) {
                TestSummary summary;
                summary.file = t.at("file").get<std::string>();
                summary.type = t.at("type").get<std::int32_t>();
                summary.rows = t.at("rows").get<std::int32_t>();
                record.tests.push_back(summary);
            }
        }
        if (j.contains("bounds") && j["bounds"].is_object()) {
            for (int i = 0; i < parameterCount; ++i) {
                const std::string name(parameterNames[static_cast<std::size_t>(i)]);
                if (!j["bounds"].contains(name)) continue;
                const Json& b = j["bounds"][name];
                ParameterSetting& s = record.settings[static_cast<std::size_t>(i)];
                if (b.value("fixed", false)) {
                    const double v = numberFromJson(b.at("value"));
                    s = {v, v, v, true};
                } else {
                    s = {numberFromJson(b.at("start")), numberFromJson(b.at("lower")), numberFromJson(b.at("upper")),
                         false};
                }
            }
        }
    } catch (const CalibrationError&) {
        throw;
    } catch (const std::exception& e) {
        fail(std::string("unreadable calibration record: ") + e.what());
    }
    return record;
}

}  // namespace calvenor
