// The search. pagmo's population-based algorithms (apart from the generational
// particle swarm) ask for the fitness of one point at a time. To evaluate a
// whole generation as one parallel batch, each generation is run twice: first
// on copies of the algorithm and population with a problem that only records
// the points asked for, then for real with a problem that answers from the
// batch-evaluated results. Within a generation these algorithms draw all their
// trial points before they look at any of the new fitness values, so the real
// run asks for exactly the recorded points; a point it asks for that was not
// recorded is evaluated on its own, so the search stays correct (and
// deterministic) for any algorithm.
#include "calibration/engine.hpp"

#include "calibration/algorithms.hpp"
#include "calibration/calibration_error.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>

#include <nlopt.hpp>
#include <pagmo/algorithm.hpp>
#include <pagmo/population.hpp>
#include <pagmo/problem.hpp>

namespace calvenor {

// ---------------------------------------------------------------------------
// The objective over the unit cube

CalibrationObjective::CalibrationObjective(Evaluator& evaluator, const ParameterSettings& parameters,
                                           bool penalties, unsigned threads, std::int64_t maxEvaluations)
    : evaluator_(evaluator), settings_(parameters), penalties_(penalties),
      threads_(threads != 0 ? threads : std::max(1u, evaluator.threads())),
      maxEvaluations_(maxEvaluations) {
    for (int i = 0; i < parameterCount; ++i) {
        if (!settings_[static_cast<std::size_t>(i)].fixed) free_.push_back(i);
    }
    evaluator_.setThreads(threads_);
}

ModelParameters CalibrationObjective::toParameters(std::span<const double> x) const {
    ModelParameters p = startParameters(settings_);
    for (std::size_t k = 0; k < free_.size(); ++k) {
        const ParameterSetting& s = settings_[static_cast<std::size_t>(free_[k])];
        const double u = std::isnan(x[k]) ? 0.0 : std::clamp(x[k], 0.0, 1.0);
        parameterAt(p, free_[k]) = std::clamp(s.lower + u * (s.upper - s.lower), s.lower, s.upper);
    }
    return p;
}

std::vector<double> CalibrationObjective::toUnit(const ModelParameters& p) const {
    std::vector<double> x(free_.size());
    for (std::size_t k = 0; k < free_.size(); ++k) {
        const ParameterSetting& s = settings_[static_cast<std::size_t>(free_[k])];
        x[k] = std::clamp((parameterAt(p, free_[k]) - s.lower) / (s.upper - s.lower), 0.0, 1.0);
    }
    return x;
}

std::vector<double> CalibrationObjective::startPoint() const { return toUnit(startParameters(settings_)); }

std::vector<double> CalibrationObjective::evaluate(const std::vector<std::vector<double>>& points) {
    if (static_cast<std::int64_t>(points.size()) > remaining()) {
        throw std::logic_error("calibration: evaluation budget exceeded");
    }
    std::vector<ModelParameters> sets;
    sets.reserve(points.size());
    for (const auto& x : points) sets.push_back(toParameters(x));
    std::vector<double> errors(points.size());
    if (onBatch) onBatch(sets);
    if (replaying()) {
        if (points.size() > replay_.errors.size() - replayed_) {
            throw CalibrationError("the resumed search asks for more evaluations in one batch than the checkpoint "
                                   "holds: it took another path than the interrupted run");
        }
        std::copy_n(replay_.errors.begin() + static_cast<std::ptrdiff_t>(replayed_), points.size(), errors.begin());
        replayed_ += points.size();
    } else {
        std::vector<Diagnostics> diagnostics(points.size());
        // A batch of one is one evaluation, whose tests are simulated in parallel.
        evaluator_.evaluateBatch(sets, options(), errors, diagnostics, threads_);
    }
    for (const ModelParameters& p : sets) {
        for (const double v : hostOrder(p)) {
            std::uint64_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            unsigned char bytes[8];
            for (int b = 0; b < 8; ++b) bytes[b] = static_cast<unsigned char>(bits >> (8 * b));
            digest_.update(bytes, sizeof bytes);
        }
    }
    errors_.insert(errors_.end(), errors.begin(), errors.end());
    evaluations_ += static_cast<std::int64_t>(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) {
        const double e = std::isnan(errors[k]) ? std::numeric_limits<double>::infinity() : errors[k];
        if (!hasBest_ || e < bestError_) {
            hasBest_ = true;
            bestError_ = e;
            best_ = sets[k];
            bestPoint_ = toUnit(sets[k]);
        }
    }
    if (!replay_.errors.empty() && replayed_ == replay_.errors.size()) finishReplay();
    if (afterBatch) afterBatch();
    return errors;
}

void CalibrationObjective::replay(SearchRecord record) {
    if (evaluations_ != 0) throw std::logic_error("calibration: a replay must start before the first evaluation");
    replay_ = std::move(record);
    replayed_ = 0;
    if (replay_.errors.empty()) finishReplay();
}

void CalibrationObjective::finishReplay() {
    if (digest_.hex() != replay_.pointsDigest) {
        throw CalibrationError("the resumed search asked for other parameter sets than the checkpoint records: it "
                               "took another path than the interrupted run");
    }
    try {
        evaluator_.restoreCarriedState(replay_.carried);
    } catch (const std::invalid_argument& e) {
        throw CalibrationError(std::string("the checkpoint does not fit the tests: ") + e.what());
    }
    replay_ = {};
    replayed_ = 0;
}

SearchRecord CalibrationObjective::record() const {
    return {errors_, digest_.hex(), evaluator_.carriedState()};
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr double infinity = std::numeric_limits<double>::infinity();

double fitnessValue(double error) { return std::isnan(error) ? infinity : error; }

std::vector<std::uint64_t> bitsOf(const std::vector<double>& x) {
    std::vector<std::uint64_t> key(x.size());
    std::memcpy(key.data(), x.data(), x.size() * sizeof(double));
    return key;
}

// State shared by every copy of the problem pagmo makes.
struct Session {
    CalibrationObjective* objective = nullptr;
    bool recording = false;
    std::vector<std::vector<double>> recorded;
    std::map<std::vector<std::uint64_t>, double> answers;
    std::int64_t misses = 0;
    bool exhausted = false;

    double fitnessOf(const std::vector<double>& x) {
        if (recording) {
            recorded.push_back(x);
            return infinity;
        }
        if (const auto it = answers.find(bitsOf(x)); it != answers.end()) return it->second;
        ++misses;
        if (objective->remaining() < 1) {
            exhausted = true;
            return infinity;
        }
        return fitnessValue(objective->evaluate({x})[0]);
    }
};

struct CalibrationProblem {
    std::shared_ptr<Session> session;
    std::size_t dim = 1;

    pagmo::vector_double fitness(const pagmo::vector_double& x) const { return {session->fitnessOf(x)}; }
    pagmo::vector_double batch_fitness(const pagmo::vector_double& dvs) const {
        pagmo::vector_double f(dvs.size() / dim);
        for (std::size_t k = 0; k < f.size(); ++k) {
            const pagmo::vector_double x(dvs.begin() + static_cast<std::ptrdiff_t>(k * dim),
                                         dvs.begin() + static_cast<std::ptrdiff_t>((k + 1) * dim));
            f[k] = session->fitnessOf(x);
        }
        return f;
    }
    bool has_batch_fitness() const { return true; }
    std::pair<pagmo::vector_double, pagmo::vector_double> get_bounds() const {
        return {pagmo::vector_double(dim, 0.0), pagmo::vector_double(dim, 1.0)};
    }
    std::string get_name() const { return "calvenor objective"; }
};

// Uniform double in [0, 1) from 53 bits of the engine, the same on every platform.
double unitUniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

class Search {
public:
    Search(CalibrationObjective& objective, const EngineSettings& settings, const ProgressFn& progress,
           const std::atomic<bool>* stop)
        : objective_(objective), settings_(settings), progress_(progress), stop_(stop), start_(Clock::now()) {}

    CalibrationRun run() {
        const std::int64_t budget = objective_.maxEvaluations();
        if (objective_.dimension() == 0) {
            // Nothing to fit: one evaluation of the fixed set.
            objective_.evaluate({std::vector<double>{}});
            note("fixed", 0, true);
            run_.phases.push_back({"fixed", 0, 0, 1, "no free parameter"});
        } else if (algorithm().global) {
            std::int64_t reserve = 0;
            if (settings_.polish) reserve = std::min(budget / 2, std::max<std::int64_t>(100, budget / 5));
            globalPhase(budget - reserve);
            if (settings_.polish && !stopping() && objective_.remaining() > 0 &&
                !(objective_.bestError() == 0.0)) {
                localPhase(std::string(polishAlgorithm), objective_.bestPoint(), 0.02);
            }
        } else {
            // A local search alone starts from the start values.
            objective_.evaluate({objective_.startPoint()});
            note(settings_.algorithm, 0, false);
            localPhase(settings_.algorithm, objective_.startPoint(), 0.1);
            run_.phases.back().evaluations += 1;
        }
        run_.interrupted = stopping();
        run_.seconds = seconds();
        return run_;
    }

private:
    CalibrationObjective& objective_;
    const EngineSettings& settings_;
    const ProgressFn& progress_;
    const std::atomic<bool>* stop_;
    Clock::time_point start_;
    CalibrationRun run_;

    bool stopping() const { return stop_ != nullptr && stop_->load(); }
    const AlgorithmInfo& algorithm() const {
        const AlgorithmInfo* a = findAlgorithm(settings_.algorithm);
        if (a == nullptr) {
            throw CalibrationError("unknown algorithm '" + settings_.algorithm + "' (expected one of " +
                                       algorithmNameList() + ")",
                                   "algorithm");
        }
        return *a;
    }
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    void note(const std::string& phase, std::int64_t generation, bool phaseEnd) {
        const double best = objective_.hasBest() ? objective_.bestError() : infinity;
        run_.history.push_back({phase, generation, objective_.evaluations(), best, seconds()});
        if (progress_) {
            progress_({phase, generation, objective_.evaluations(), objective_.maxEvaluations(), best, seconds(),
                       phaseEnd});
        }
    }

    void globalPhase(std::int64_t budgetEnd) {
        const AlgorithmInfo& info = algorithm();
        const std::string name(info.name);
        const std::size_t dim = objective_.dimension();
        const std::int64_t population = settings_.population.value_or(info.defaultPopulation(dim));
        if (population < info.minimumPopulation) {
            throw CalibrationError(name + " needs at least " + std::to_string(info.minimumPopulation) +
                                       " individuals, " + std::to_string(population) + " given",
                                   "population");
        }
        PhaseSummary phase{name, population, 0, 0, ""};
        const std::int64_t before = objective_.evaluations();
        if (population > budgetEnd - before) {
            phase.stopReason = "evaluation budget below one population";
            run_.phases.push_back(phase);
            // The start values still get their evaluation.
            objective_.evaluate({objective_.startPoint()});
            run_.phases.back().evaluations = 1;
            note(name, 0, true);
            return;
        }

        auto session = std::make_shared<Session>();
        session->objective = &objective_;
        pagmo::problem problem{CalibrationProblem{session, dim}};

        // First population: the start values and uniform points of the box.
        std::mt19937_64 rng(settings_.seed);
        std::vector<std::vector<double>> points;
        points.push_back(objective_.startPoint());
        while (static_cast<std::int64_t>(points.size()) < population) {
            std::vector<double> x(dim);
            for (double& v : x) v = unitUniform(rng);
            points.push_back(std::move(x));
        }
        const std::vector<double> errors = objective_.evaluate(points);
        pagmo::population pop{problem, 0u, settings_.seed};
        for (std::size_t k = 0; k < points.size(); ++k) pop.push_back(points[k], {fitnessValue(errors[k])});
        note(name, 0, false);

        pagmo::algorithm algorithm;
        info.makeGlobal(settings_.seed, algorithm);
        // The best error value after each generation, for the stall rule: the
        // phase ends when the best has not improved by 0.1 % over the last
        // `window` generations.
        std::vector<double> bests{objective_.bestError()};
        const std::int64_t window = 60;
        while (true) {
            if (stopping()) { phase.stopReason = "interrupted"; break; }
            if (objective_.bestError() == 0.0) { phase.stopReason = "exact fit (error value 0)"; break; }
            if (settings_.generations && phase.generations >= *settings_.generations) {
                phase.stopReason = "generation limit";
                break;
            }
            // Look ahead: which points does this generation ask for?
            {
                pagmo::algorithm trial = algorithm;
                pagmo::population trialPop = pop;
                session->recording = true;
                session->recorded.clear();
                try {
                    trial.evolve(trialPop);
                } catch (...) {
                    session->recording = false;
                    throw;
                }
                session->recording = false;
            }
            if (session->recorded.empty()) { phase.stopReason = "converged (algorithm tolerance)"; break; }
            if (static_cast<std::int64_t>(session->recorded.size()) > budgetEnd - objective_.evaluations()) {
                phase.stopReason = "evaluation budget";
                break;
            }
            const std::vector<double> values = objective_.evaluate(session->recorded);
            session->answers.clear();
            for (std::size_t k = 0; k < values.size(); ++k) {
                session->answers.emplace(bitsOf(session->recorded[k]), fitnessValue(values[k]));
            }
            pop = algorithm.evolve(pop);
            session->answers.clear();
            ++phase.generations;
            note(name, phase.generations, false);
            if (session->exhausted) { phase.stopReason = "evaluation budget"; break; }
            if (flat(pop)) { phase.stopReason = "converged (population collapsed)"; break; }
            bests.push_back(objective_.bestError());
            if (static_cast<std::int64_t>(bests.size()) > window) {
                const double before = bests[bests.size() - 1 - static_cast<std::size_t>(window)];
                const double now = bests.back();
                const bool improved = std::isfinite(now) && (!std::isfinite(before) || before - now > 1e-3 * before);
                if (!improved) {
                    phase.stopReason = "stalled (less than 0.1 % better in " + std::to_string(window) + " generations)";
                    break;
                }
            }
        }
        phase.evaluations = objective_.evaluations() - before;
        run_.lookAheadMisses += session->misses;
        run_.phases.push_back(phase);
        note(name, phase.generations, true);
    }

    // Every individual at the same point with the same error value.
    static bool flat(const pagmo::population& pop) {
        const auto& f = pop.get_f();
        const auto& x = pop.get_x();
        for (std::size_t k = 1; k < f.size(); ++k) {
            if (!(f[k][0] == f[0][0])) return false;
            for (std::size_t j = 0; j < x[k].size(); ++j) {
                if (std::abs(x[k][j] - x[0][j]) > 1e-12) return false;
            }
        }
        return true;
    }

    struct LocalState {
        Search* search;
        std::string phase;
        std::exception_ptr failure;
        double lastBest = infinity;
    };

    static double localObjective(const std::vector<double>& x, std::vector<double>&, void* data) {
        auto* s = static_cast<LocalState*>(data);
        CalibrationObjective& objective = s->search->objective_;
        if (s->search->stopping() || objective.remaining() < 1) throw nlopt::forced_stop();
        double e = infinity;
        try {
            e = objective.evaluate({x})[0];
        } catch (...) {
            s->failure = std::current_exception();
            throw nlopt::forced_stop();
        }
        const bool improved = objective.bestError() < s->lastBest;
        s->lastBest = objective.bestError();
        if (improved) {
            s->search->note(s->phase, 0, false);
        } else if (s->search->progress_) {
            s->search->progress_({s->phase, 0, objective.evaluations(), objective.maxEvaluations(),
                                  objective.bestError(), s->search->seconds(), false});
        }
        // BOBYQA builds quadratic models of the values: keep them finite.
        return std::isfinite(e) ? e : 1e10;
    }

    void localPhase(const std::string& name, std::vector<double> x, double step) {
        const std::int64_t before = objective_.evaluations();
        PhaseSummary phase{name, 0, 0, 0, ""};
        const AlgorithmInfo* info = findAlgorithm(name);
        auto kind = static_cast<nlopt::algorithm>(info != nullptr ? info->nloptAlgorithm : nlopt::LN_BOBYQA);
        // BOBYQA needs at least two variables; one is searched with the subplex method.
        if (kind == nlopt::LN_BOBYQA && x.size() < 2) kind = nlopt::LN_SBPLX;
        const unsigned n = static_cast<unsigned>(x.size());
        nlopt::opt opt(kind, n);
        opt.set_lower_bounds(std::vector<double>(n, 0.0));
        opt.set_upper_bounds(std::vector<double>(n, 1.0));
        opt.set_initial_step(step);
        opt.set_stopval(0.0);  // an error value of 0 cannot be bettered
        opt.set_xtol_abs(1e-10);
        opt.set_ftol_abs(1e-12);
        opt.set_maxeval(static_cast<int>(std::min<std::int64_t>(objective_.remaining(), 1 << 30)));
        LocalState state{this, name, nullptr, objective_.hasBest() ? objective_.bestError() : infinity};
        opt.set_min_objective(&Search::localObjective, &state);
        double value = 0.0;
        try {
            const nlopt::result r = opt.optimize(x, value);
            switch (r) {
            case nlopt::STOPVAL_REACHED: phase.stopReason = "exact fit (error value 0)"; break;
            case nlopt::MAXEVAL_REACHED: phase.stopReason = "evaluation budget"; break;
            default: phase.stopReason = "converged (local tolerance)"; break;
            }
        } catch (const nlopt::forced_stop&) {
            phase.stopReason = stopping() ? "interrupted" : "evaluation budget";
        } catch (const nlopt::roundoff_limited&) {
            phase.stopReason = "converged (round-off limited)";
        }
        if (state.failure) std::rethrow_exception(state.failure);
        phase.evaluations = objective_.evaluations() - before;
        run_.phases.push_back(phase);
        note(name, 0, true);
    }
};

}  // namespace

CalibrationRun runCalibration(CalibrationObjective& objective, const EngineSettings& settings,
                              const ProgressFn& progress, const std::atomic<bool>* stop) {
    if (objective.maxEvaluations() < 1) throw CalibrationError("at least 1 evaluation is needed", "max-evaluations");
    return Search(objective, settings, progress, stop).run();
}

}  // namespace calvenor
