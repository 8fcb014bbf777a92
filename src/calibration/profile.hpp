// Profile likelihood: for each free parameter, the largest log-likelihood of
// the residuals (the model of uncertainty.hpp) with that parameter held at a
// value and the others re-optimised, over a range of values; the interval at
// a level is where it stays within chi2(1, level) / 2 of its maximum.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "calibration/parameter_table.hpp"
#include "calibration/uncertainty.hpp"
#include "io/json.hpp"
#include "objective/objective.hpp"
#include "report/profile_plot.hpp"

namespace calvenor {

struct ProfileSettings {
    std::vector<int> parameters;  // host indices of free parameters; empty: every free one
    double level = 0.95;
    int points = 20;              // per profile, half on each side of the estimate (more where the
                                  // threshold is not reached)
    NoiseModel noise;
    bool penalties = true;        // the sets the penalty factors would penalise are not admissible
    unsigned threads = 0;         // 0: the evaluator's own count
};

struct ProfilePoint {
    double value = 0.0;             // of the profiled parameter
    double logLikelihood = 0.0;     // the others re-optimised; -inf: no admissible set
    std::int64_t evaluations = 0;   // of its re-optimisation
};

struct ParameterProfile {
    int index = 0;                  // host order
    double estimate = 0.0;          // at the maximum-likelihood fit
    double standardError = 0.0;     // linearised, at that fit
    double lower = 0.0;             // the profile interval
    double upper = 0.0;
    bool openBelow = false;         // below the threshold down to the lower bound (or the admissible region's edge)
    bool openAbove = false;
    std::vector<ProfilePoint> curve;  // by value, the estimate included
    std::string verdict;
    bool complete = true;           // false: interrupted before both sides were done
};

struct ProfileResult {
    double level = 0.95;
    double threshold = 0.0;          // chi2(1, level) / 2
    ModelParameters start{};         // the calibration's best
    double startLogLikelihood = 0.0;
    ModelParameters estimate{};      // the maximum-likelihood fit from it
    double logLikelihood = 0.0;      // the largest found (the profiles included)
    std::int64_t fitEvaluations = 0;
    UncertaintyResult local;         // the linearised analysis at the estimate
    std::vector<ParameterProfile> profiles;
    std::vector<std::string> notes;
    std::string method;
    std::int64_t evaluations = 0;    // in all
    double seconds = 0.0;
    unsigned threads = 0;
    bool interrupted = false;
};

struct ProfileProgress {
    std::int64_t points = 0;         // profile points done
    std::int64_t plannedPoints = 0;  // at least this many in all
    std::int64_t evaluations = 0;
    double seconds = 0.0;
    std::string phase;               // "fit" (the maximum-likelihood fit) or "profile"
    bool phaseEnd = false;
};
using ProfileProgressFn = std::function<void(const ProfileProgress&)>;

// One side of one profile: values from the estimate towards a bound.
struct ProfileChain {
    std::size_t coordinate = 0;  // among the free parameters
    double direction = 1.0;      // -1 towards the lower bound
    std::vector<ProfilePoint> points;
    bool reachedBound = false;   // the last point is at the bound
    bool wall = false;           // the last point has no admissible set
    bool crossed = false;        // the last point is beyond the threshold
    bool interrupted = false;
};

// What every side of every profile starts from: the maximum-likelihood fit,
// the local analysis there, the steps, and the values the evaluator carried
// after them. profileLikelihood is planProfile, then profileChain for each of
// the chainCount() sides (in parallel, each on its own copy of the
// evaluator), then finishProfile; the parts may run in separate processes,
// each chain on an evaluator of the same tests.
struct ProfilePlan {
    ProfileResult result;          // so far: start, fit, local analysis, threshold, threads
    ParameterSettings parameters{};
    ProfileSettings settings;
    std::vector<int> free;         // host indices of the free parameters
    std::vector<std::size_t> chosen;  // the profiled ones, among the free
    std::vector<double> x;         // the estimate in unit-cube coordinates
    std::vector<double> steps;     // difference steps per free parameter
    std::vector<double> unitError; // standard error per free parameter, unit cube
    std::vector<double> range;     // upper - lower per free parameter
    double mlValue = 0.0;          // log-likelihood of the estimate
    int perSide = 1;
    std::vector<double> carried;   // Evaluator::carriedState() after the fit and the analysis
    std::int64_t evaluations = 0;  // of the fit and the analyses
    double seconds = 0.0;

    std::size_t chainCount() const { return 2 * chosen.size(); }
    // Side c (below, above, below, ... for the chosen parameters in order), not yet run.
    ProfileChain chainStart(std::size_t c) const;
};

ProfilePlan planProfile(Evaluator& evaluator, const ParameterSettings& parameters, const ModelParameters& start,
                        const ProfileSettings& settings, const ProfileProgressFn& progress = {},
                        const std::atomic<bool>* stop = nullptr);
// Side c of the plan on `own`, an evaluator of the plan's tests (its carried
// values are set to the plan's), on `threads` threads (0: as many as `own`
// has); adds its evaluations to `evaluations` and calls onPoint (if set)
// after each profile point. A stop ends it with `interrupted` set.
ProfileChain profileChain(Evaluator& own, const ProfilePlan& plan, std::size_t c, unsigned threads,
                          const std::atomic<bool>* stop, std::atomic<std::int64_t>& evaluations,
                          const std::function<void()>& onPoint = {});
// The result from the plan and every side in chain order.
ProfileResult finishProfile(ProfilePlan plan, std::vector<ProfileChain> chains, std::int64_t chainEvaluations,
                            double chainSeconds);

// Profiles the parameters on the evaluator's tests, starting from `start`
// (a calibration's best): first the maximum-likelihood fit from it, then the
// local analysis there, then the profiles. Every fit is Levenberg-Marquardt
// on the residuals, each iteration's Jacobian one parallel batch. Each side
// of each profile is one chain of re-optimisations, each warm-started from
// the chain's previous points, on its own copy of the evaluator; the chains
// run in parallel (the threads shared out among them). `stop` ends the work at the next evaluation,
// keeping the points done. The result does not depend on the thread count.
// Throws CalibrationError for unusable settings.
ProfileResult profileLikelihood(Evaluator& evaluator, const ParameterSettings& parameters,
                                const ModelParameters& start, const ProfileSettings& settings,
                                const ProfileProgressFn& progress = {}, const std::atomic<bool>* stop = nullptr);

// profile.json.
Json profileJson(const ProfileResult& result);

// The plot page of a result (drawProfilePage draws it).
ProfilePage profilePage(const ProfileResult& result, const std::string& dir);

}  // namespace calvenor
