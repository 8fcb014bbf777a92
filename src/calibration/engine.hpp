// The calibration search: the objective over the free parameters, evaluated
// a generation at a time as one parallel batch, and the optimisers that drive
// it (pagmo2 for the global search, NLopt for the local one).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "calibration/parameter_table.hpp"
#include "io/sha256.hpp"
#include "objective/objective.hpp"

namespace calvenor {

// The evaluations of a search so far, for a checkpoint: the error value of
// each in order, a digest of the parameter sets evaluated (SHA-256 of their
// bits, in order) and what the evaluator carries to later evaluations
// (Evaluator::carriedState) after them.
struct SearchRecord {
    std::vector<double> errors;
    std::string pointsDigest;
    std::vector<double> carried;
};

// The objective as the optimisers see it: a point x of the unit cube, one
// coordinate per free parameter (x = 0 at its lower bound, 1 at its upper
// bound), mapped to the nine parameters with the fixed ones filled in. Every
// evaluation goes through the one Evaluator, as consecutive evaluations with
// the penalties as configured and no reports or reloads, and the best point
// so far is kept (the first of equal error values, in evaluation order).
class CalibrationObjective {
public:
    // threads 0: the evaluator's own thread count.
    CalibrationObjective(Evaluator& evaluator, const ParameterSettings& parameters, bool penalties,
                         unsigned threads, std::int64_t maxEvaluations);

    std::size_t dimension() const { return free_.size(); }
    const std::vector<int>& freeIndices() const { return free_; }
    const ParameterSettings& settings() const { return settings_; }

    ModelParameters toParameters(std::span<const double> x) const;
    std::vector<double> toUnit(const ModelParameters& p) const;
    std::vector<double> startPoint() const;

    // Evaluates the points as consecutive calls, in parallel on the
    // configured threads; returns their error values. Never more than
    // remaining() points: throws std::logic_error otherwise.
    std::vector<double> evaluate(const std::vector<std::vector<double>>& points);

    std::int64_t evaluations() const { return evaluations_; }
    std::int64_t maxEvaluations() const { return maxEvaluations_; }
    std::int64_t remaining() const { return maxEvaluations_ - evaluations_; }
    bool hasBest() const { return hasBest_; }
    double bestError() const { return bestError_; }
    const ModelParameters& best() const { return best_; }
    const std::vector<double>& bestPoint() const { return bestPoint_; }
    unsigned threads() const { return threads_; }
    Evaluator& evaluator() { return evaluator_; }
    EvaluationOptions options() const { return {penalties_, false, false}; }

    // Sees every batch of parameter sets just before it is evaluated.
    std::function<void(std::span<const ModelParameters>)> onBatch;
    // Called after every batch, evaluated or answered from a replay.
    std::function<void()> afterBatch;

    // Replays a record: the first record.errors.size() evaluations are
    // answered from it instead of evaluated (a search is deterministic given
    // its seed and the answers, so it takes the same path), then the
    // evaluator's carried state is restored and evaluation goes on. The
    // evaluator must hold the record's tests. Throws CalibrationError when
    // the search asks for other parameter sets than the record's.
    void replay(SearchRecord record);
    bool replaying() const { return replayed_ < replay_.errors.size(); }
    // The record of the evaluations so far.
    SearchRecord record() const;

private:
    Evaluator& evaluator_;
    ParameterSettings settings_;
    std::vector<int> free_;
    bool penalties_;
    unsigned threads_;
    std::int64_t maxEvaluations_;
    std::int64_t evaluations_ = 0;
    bool hasBest_ = false;
    double bestError_ = 0.0;
    ModelParameters best_{};
    std::vector<double> bestPoint_;
    std::vector<double> errors_;  // of every evaluation, in order
    Sha256 digest_;               // of every parameter set evaluated
    SearchRecord replay_;
    std::size_t replayed_ = 0;

    void finishReplay();
};

struct EngineSettings {
    std::string algorithm = "cmaes";
    std::optional<std::int64_t> generations;
    std::optional<std::int64_t> population;
    std::uint32_t seed = 1;
    bool polish = true;
};

struct ProgressInfo {
    std::string phase;         // algorithm name
    std::int64_t generation;   // generations of the global phase so far (local phase: 0)
    std::int64_t evaluations;  // total so far
    std::int64_t maxEvaluations;
    double best;               // best error value so far
    double seconds;            // since the start
    bool phaseEnd = false;     // last report of its phase
};
using ProgressFn = std::function<void(const ProgressInfo&)>;

struct HistoryPoint {
    std::string phase;
    std::int64_t generation;
    std::int64_t evaluations;
    double best;
    double seconds;
};

struct PhaseSummary {
    std::string algorithm;
    std::int64_t population = 0;     // 0 for a local algorithm
    std::int64_t generations = 0;
    std::int64_t evaluations = 0;    // spent in this phase
    std::string stopReason;
};

struct CalibrationRun {
    std::vector<PhaseSummary> phases;
    std::vector<HistoryPoint> history;
    bool interrupted = false;
    double seconds = 0.0;
    // Points a generation asked for that its look-ahead had not evaluated
    // (evaluated on their own, in order; 0 for the supplied algorithms).
    std::int64_t lookAheadMisses = 0;
};

// Runs the search on `objective`. `stop` (may be null) ends it cleanly at the
// next generation or local step, keeping the best point so far. The error
// values and the best point are the same whatever the thread count. Throws
// CalibrationError for settings the algorithm cannot work with.
CalibrationRun runCalibration(CalibrationObjective& objective, const EngineSettings& settings,
                              const ProgressFn& progress, const std::atomic<bool>* stop);

}  // namespace calvenor
