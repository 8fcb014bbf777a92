#include "calibration/profile.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>

#include <Eigen/Dense>

#include "calibration/calibration_error.hpp"
#include "calibration/engine.hpp"
#include "io/numbers.hpp"
#include "objective/worker_pool.hpp"

namespace calvenor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double infinity = std::numeric_limits<double>::infinity();
struct Interrupted {};

// Maximises the log-likelihood over chosen coordinates of the unit cube by
// Levenberg-Marquardt on the residuals (for unknown standard deviations the
// Gauss-Newton model of the concentrated log-likelihood weights quantity k by
// n_k / S_k, for known ones by 1 / sigma_k^2). The residual Jacobian of each
// iteration is one parallel batch of central difference quotients (one-sided
// at a bound), so every re-optimisation's evaluations run in parallel. All
// evaluations are consecutive calls on one evaluator.
class LikelihoodFit {
public:
    LikelihoodFit(Evaluator& evaluator, const CalibrationObjective& cube, const NoiseModel& noise, bool penalties,
                  std::vector<double> steps, const std::atomic<bool>* stop, std::atomic<std::int64_t>& counter)
        : evaluator_(evaluator), cube_(cube), noise_(noise), penalties_(penalties), steps_(std::move(steps)),
          stop_(stop), counter_(counter) {}

    // Residuals of the points (empty for a point that is not admissible,
    // cannot be simulated or has a residual that is not finite).
    std::vector<std::vector<double>> residualsOf(const std::vector<std::vector<double>>& points) {
        if (stop_ != nullptr && stop_->load()) throw Interrupted{};
        std::vector<std::vector<double>> out(points.size());
        std::vector<ModelParameters> sets;
        std::vector<std::size_t> where;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const ModelParameters m = cube_.toParameters(points[i]);
            if (penalties_ && !admissible(m)) {
                ++inadmissible;
                continue;
            }
            sets.push_back(m);
            where.push_back(i);
        }
        if (sets.empty()) return out;
        std::vector<double> errors(sets.size());
        std::vector<Diagnostics> diagnostics(sets.size());
        std::vector<std::vector<double>> values;
        evaluator_.evaluateBatchResiduals(sets, {false, false, false}, errors, diagnostics, values);
        evaluations += static_cast<std::int64_t>(sets.size());
        counter_ += static_cast<std::int64_t>(sets.size());
        for (std::size_t k = 0; k < sets.size(); ++k) {
            const bool finite = std::all_of(values[k].begin(), values[k].end(), [](double v) { return std::isfinite(v); });
            if (finite) out[where[k]] = std::move(values[k]);
            else ++unsimulated;
        }
        return out;
    }

    // The log-likelihood of a residual vector (-inf for an empty one).
    double logLikelihoodOf(const std::vector<double>& r) {
        if (r.empty()) return -infinity;
        if (quantities_.empty()) quantities_ = residualQuantities(evaluator_.store());
        return residualLogLikelihood(r, quantities_, noise_);
    }

    // From x, over the coordinates `moving`; leaves the best point in x and
    // returns its log-likelihood (-inf when x itself has none). Throws
    // Interrupted when the stop flag is set.
    double maximise(std::vector<double>& x, const std::vector<std::size_t>& moving) {
        makeAdmissible(x, moving);
        std::vector<double> r = residualsOf({x})[0];
        double f = -logLikelihoodOf(r);
        // The model has no finite curves for some scattered sets (holes of
        // the likelihood): from such a start, try starts shifted a little
        // (the same shifts every time), all evaluated as one batch.
        if (!std::isfinite(f) && !moving.empty()) {
            std::vector<std::vector<double>> starts;
            std::uint64_t state = 0x9e3779b97f4a7c15ULL;
            for (const double size : {1e-6, 1e-5, 1e-4, 1e-3, 1e-6, 1e-5, 1e-4, 1e-3}) {
                std::vector<double> y = x;
                for (std::size_t i : moving) {
                    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
                    const double u = static_cast<double>(state >> 11) * 0x1.0p-53 * 2.0 - 1.0;
                    y[i] = std::clamp(y[i] + size * u, 0.0, 1.0);
                }
                starts.push_back(std::move(y));
            }
            std::vector<std::vector<double>> rs = residualsOf(starts);
            for (std::size_t k = 0; k < starts.size() && !std::isfinite(f); ++k) {
                const double fk = -logLikelihoodOf(rs[k]);
                if (std::isfinite(fk)) {
                    x = starts[k];
                    r = std::move(rs[k]);
                    f = fk;
                }
            }
        }
        if (!std::isfinite(f) || moving.empty()) return -f;
        const std::size_t m = moving.size();
        double mu = 1e-3;
        for (int iteration = 0; iteration < 40; ++iteration) {
            const std::size_t n = r.size();
            const ResidualSums sums = residualSums(r, quantities_);
            std::array<double, quantityCount> weight{};
            for (std::size_t k = 0; k < quantityCount; ++k) {
                weight[k] = noise_.sigma[k] > 0.0 ? 1.0 / (noise_.sigma[k] * noise_.sigma[k])
                            : sums.sumSquares[k] > 0.0 ? static_cast<double>(sums.count[k]) / sums.sumSquares[k]
                                                       : 0.0;
            }
            // The Jacobian over the moving coordinates.
            std::vector<std::vector<double>> points;
            std::vector<bool> central(m);
            std::vector<double> direction(m, 1.0);
            for (std::size_t c = 0; c < m; ++c) {
                const std::size_t i = moving[c];
                const double h = steps_[i];
                central[c] = x[i] - h >= 0.0 && x[i] + h <= 1.0;
                direction[c] = x[i] + 2.0 * h <= 1.0 ? 1.0 : -1.0;
                std::vector<double> a = x, b = x;
                a[i] = central[c] ? x[i] + h : x[i] + direction[c] * h;
                b[i] = central[c] ? x[i] - h : x[i] + direction[c] * 2.0 * h;
                points.push_back(std::move(a));
                points.push_back(std::move(b));
            }
            const std::vector<std::vector<double>> around = residualsOf(points);
            Eigen::MatrixXd jacobian = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(m));
            std::vector<bool> known(m, true);
            for (std::size_t c = 0; c < m; ++c) {
                const std::vector<double>& a = around[2 * c];
                const std::vector<double>& b = around[2 * c + 1];
                const double h = steps_[moving[c]];
                for (std::size_t i = 0; i < n; ++i) {
                    double d;
                    if (a.size() == n && b.size() == n) {
                        d = central[c] ? (a[i] - b[i]) / (2.0 * h) : direction[c] * (-3.0 * r[i] + 4.0 * a[i] - b[i]) / (2.0 * h);
                    } else if (a.size() == n) {  // one neighbour only: first order
                        d = (central[c] ? 1.0 : direction[c]) * (a[i] - r[i]) / h;
                    } else if (b.size() == n && central[c]) {
                        d = (r[i] - b[i]) / h;
                    } else {
                        known[c] = false;
                        break;
                    }
                    jacobian(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(c)) = d;
                }
            }
            Eigen::VectorXd root(static_cast<Eigen::Index>(n)), rv(static_cast<Eigen::Index>(n));
            for (std::size_t i = 0; i < n; ++i) {
                root(static_cast<Eigen::Index>(i)) = std::sqrt(weight[static_cast<std::size_t>(quantities_[i])]);
                rv(static_cast<Eigen::Index>(i)) = r[i];
            }
            const Eigen::MatrixXd wj = root.asDiagonal() * jacobian;
            const Eigen::VectorXd g = wj.transpose() * (root.asDiagonal() * rv);
            const Eigen::MatrixXd h = wj.transpose() * wj;
            // Coordinates that move: known derivatives, and not pressed against a bound.
            std::vector<Eigen::Index> active;
            for (std::size_t c = 0; c < m; ++c) {
                const double u = x[moving[c]];
                const double gc = g(static_cast<Eigen::Index>(c));
                if (!known[c] || (u <= 0.0 && gc > 0.0) || (u >= 1.0 && gc < 0.0)) continue;
                active.push_back(static_cast<Eigen::Index>(c));
            }
            if (active.empty()) break;
            const auto a = static_cast<Eigen::Index>(active.size());
            Eigen::MatrixXd ha(a, a);
            Eigen::VectorXd ga(a);
            double largest = 0.0;
            for (Eigen::Index p = 0; p < a; ++p) {
                ga(p) = g(active[static_cast<std::size_t>(p)]);
                for (Eigen::Index q = 0; q < a; ++q) {
                    ha(p, q) = h(active[static_cast<std::size_t>(p)], active[static_cast<std::size_t>(q)]);
                }
                largest = std::max(largest, ha(p, p));
            }
            std::vector<std::size_t> stepped;
            for (Eigen::Index p = 0; p < a; ++p) stepped.push_back(moving[static_cast<std::size_t>(active[static_cast<std::size_t>(p)])]);
            // The steps stay in the directions Z: all of them, or with the
            // penalties on, those along the edges of the admissible region
            // that x lies on and the Gauss-Newton step would cross.
            Eigen::MatrixXd z = Eigen::MatrixXd::Identity(a, a);
            if (penalties_) {
                Eigen::MatrixXd regular = ha;
                for (Eigen::Index p = 0; p < a; ++p) regular(p, p) += 1e-10 * largest + 1e-300;
                const Eigen::VectorXd free = regular.ldlt().solve(-ga);
                const Eigen::MatrixXd normals = edgeNormals(x, stepped, free);
                if (normals.cols() >= a) break;  // held on every side
                if (normals.cols() > 0) {
                    const Eigen::HouseholderQR<Eigen::MatrixXd> qr(normals);
                    const Eigen::MatrixXd q = qr.householderQ();
                    z = q.rightCols(a - normals.cols());
                }
            }
            const Eigen::MatrixXd hz = z.transpose() * ha * z;
            const Eigen::VectorXd gz = z.transpose() * ga;
            // Converged when the Gauss-Newton step promises less than 1e-5.
            {
                Eigen::MatrixXd regular = hz;
                for (Eigen::Index p = 0; p < hz.rows(); ++p) regular(p, p) += 1e-10 * largest + 1e-300;
                const double promise = 0.5 * gz.dot(regular.ldlt().solve(gz));
                if (!(promise > 1e-5)) break;
            }
            // Trial steps at four dampings, as one batch; the best that
            // improves is taken.
            bool accepted = false;
            for (int round = 0; round < 3 && !accepted; ++round) {
                std::vector<std::vector<double>> trials;
                std::vector<double> dampings;
                for (const double factor : {0.25, 1.0, 4.0, 16.0}) {
                    const double damping = mu * factor;
                    Eigen::MatrixXd damped = hz;
                    for (Eigen::Index p = 0; p < hz.rows(); ++p) {
                        damped(p, p) += damping * std::max(hz(p, p), 1e-12 * largest) + 1e-300;
                    }
                    const Eigen::VectorXd delta = z * damped.ldlt().solve(-gz);
                    std::vector<double> trial = x;
                    for (Eigen::Index p = 0; p < a; ++p) {
                        const std::size_t i = moving[static_cast<std::size_t>(active[static_cast<std::size_t>(p)])];
                        trial[i] = std::clamp(x[i] + (std::isfinite(delta(p)) ? delta(p) : 0.0), 0.0, 1.0);
                    }
                    makeAdmissible(trial, stepped);
                    if (trial == x) continue;
                    trials.push_back(std::move(trial));
                    dampings.push_back(damping);
                }
                if (trials.empty()) break;
                std::vector<std::vector<double>> rs = residualsOf(trials);
                std::size_t chosen = trials.size();
                double lowest = f;
                for (std::size_t t = 0; t < trials.size(); ++t) {
                    const double ft = -logLikelihoodOf(rs[t]);
                    if (ft < lowest) {
                        lowest = ft;
                        chosen = t;
                    }
                }
                if (chosen < trials.size()) {
                    x = std::move(trials[chosen]);
                    r = std::move(rs[chosen]);
                    f = lowest;
                    mu = std::max(dampings[chosen] / 2.0, 1e-9);
                    accepted = true;
                } else {
                    mu *= 256.0;
                }
            }
            if (!accepted) break;
        }
        return -f;
    }

    // With the penalties on, moves y over the coordinates `movable` into
    // the region no penalty factor penalises: Newton steps on each violated
    // constraint (closed formulas, differentiated by differences; no
    // evaluation), so that fits slide along its edge instead of stopping
    // there.
    void makeAdmissible(std::vector<double>& y, const std::vector<std::size_t>& movable) const {
        if (!penalties_ || movable.empty()) return;
        for (int pass = 0; pass < 8; ++pass) {
            const ModelParameters m = cube_.toParameters(y);
            if (admissible(m)) return;
            const std::array<double, 7> v = violations(m);
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (!(v[i] >= 0.0)) continue;
                std::vector<double> gradient(movable.size());
                double norm2 = 0.0;
                for (std::size_t c = 0; c < movable.size(); ++c) {
                    std::vector<double> moved = y;
                    const double h = y[movable[c]] + 1e-7 <= 1.0 ? 1e-7 : -1e-7;
                    moved[movable[c]] += h;
                    gradient[c] = (violations(cube_.toParameters(moved))[i] - v[i]) / h;
                    if (!std::isfinite(gradient[c])) gradient[c] = 0.0;
                    norm2 += gradient[c] * gradient[c];
                }
                if (!(norm2 > 0.0)) continue;
                // Onto the edge, and 1e-6 of the box beyond it.
                const double shift = v[i] / norm2 + 1e-6 / std::sqrt(norm2);
                for (std::size_t c = 0; c < movable.size(); ++c) {
                    y[movable[c]] = std::clamp(y[movable[c]] - shift * gradient[c], 0.0, 1.0);
                }
            }
        }
    }

    std::int64_t evaluations = 0;
    std::int64_t inadmissible = 0;  // sets the penalty factors rule out
    std::int64_t unsimulated = 0;   // sets without finite residuals

private:
    // The gradients (over the coordinates `movable`, as columns) of the
    // constraints whose edge x lies on (within 1e-5 of the box) and that the
    // step would cross.
    Eigen::MatrixXd edgeNormals(const std::vector<double>& x, const std::vector<std::size_t>& movable,
                                const Eigen::VectorXd& step) const {
        const std::array<double, 7> v = violations(cube_.toParameters(x));
        std::vector<std::array<double, 7>> moved(movable.size());
        std::vector<double> h(movable.size());
        for (std::size_t c = 0; c < movable.size(); ++c) {
            std::vector<double> y = x;
            h[c] = y[movable[c]] + 1e-7 <= 1.0 ? 1e-7 : -1e-7;
            y[movable[c]] += h[c];
            moved[c] = violations(cube_.toParameters(y));
        }
        std::vector<Eigen::VectorXd> normals;
        for (std::size_t i = 0; i < v.size(); ++i) {
            Eigen::VectorXd n(static_cast<Eigen::Index>(movable.size()));
            for (std::size_t c = 0; c < movable.size(); ++c) {
                const double d = (moved[c][i] - v[i]) / h[c];
                n(static_cast<Eigen::Index>(c)) = std::isfinite(d) ? d : 0.0;
            }
            const double size = n.norm();
            if (!(size > 0.0) || !std::isfinite(v[i])) continue;
            if (v[i] > -1e-5 * size && n.dot(step) > 0.0) normals.push_back(n / size);
        }
        Eigen::MatrixXd out(static_cast<Eigen::Index>(movable.size()), static_cast<Eigen::Index>(normals.size()));
        for (std::size_t k = 0; k < normals.size(); ++k) out.col(static_cast<Eigen::Index>(k)) = normals[k];
        return out;
    }

    static std::array<double, 7> violations(const ModelParameters& p) { return penaltyMargins(p); }

    Evaluator& evaluator_;
    const CalibrationObjective& cube_;
    const NoiseModel& noise_;
    bool penalties_;
    std::vector<double> steps_;
    const std::atomic<bool>* stop_;
    std::atomic<std::int64_t>& counter_;
    std::vector<Quantity> quantities_;
};

using Chain = ProfileChain;

std::string threeDigits(double v) { return rounded(v, 4); }

}  // namespace

ProfilePlan planProfile(Evaluator& evaluator, const ParameterSettings& parameters, const ModelParameters& start,
                        const ProfileSettings& settings, const ProfileProgressFn& progress,
                        const std::atomic<bool>* stop) {
    const auto started = Clock::now();
    checkParameterSettings(parameters, "parameters");
    if (!(settings.level > 0.0 && settings.level < 1.0)) {
        throw CalibrationError("expected a level above 0 and below 1, found " + shortest(settings.level), "level");
    }
    if (settings.points < 2 || settings.points > 1000) {
        throw CalibrationError("expected 2 to 1000 points, found " + std::to_string(settings.points), "points");
    }
    ProfileResult result;
    result.level = settings.level;
    result.threshold = chiSquare1Quantile(settings.level) / 2.0;
    result.start = start;

    CalibrationObjective cube(evaluator, parameters, false, settings.threads, 1);
    result.threads = cube.threads();
    const std::vector<int>& free = cube.freeIndices();
    const std::size_t p = free.size();
    if (p == 0) throw CalibrationError("no free parameter to profile");
    std::vector<std::size_t> chosen;
    for (int index : settings.parameters) {
        const auto at = std::find(free.begin(), free.end(), index);
        if (at == free.end()) {
            throw CalibrationError(std::string(parameterNames[static_cast<std::size_t>(index)]) +
                                       " is fixed in this calibration; the free parameters are the ones to profile",
                                   "parameters");
        }
        chosen.push_back(static_cast<std::size_t>(at - free.begin()));
    }
    if (chosen.empty()) {
        for (std::size_t j = 0; j < p; ++j) chosen.push_back(j);
    }

    std::atomic<std::int64_t> pointsDone{0}, evaluations{0};
    const int perSide = std::max(1, settings.points / 2);
    std::mutex progressMutex;
    const auto report = [&](const std::string& phase, bool end) {
        if (!progress) return;
        std::lock_guard<std::mutex> lock(progressMutex);
        progress({pointsDone.load(), static_cast<std::int64_t>(chosen.size()) * 2 * perSide, evaluations.load(),
                  std::chrono::duration<double>(Clock::now() - started).count(), phase, end});
    };

    // The difference steps of the linearised analysis at the calibration's
    // best, then the maximum-likelihood fit from it.
    const UncertaintyResult atStart = analyseUncertainty(evaluator, parameters, start, settings.penalties,
                                                         {settings.level, settings.noise}, Estimator::errorValue,
                                                         result.threads);
    evaluations += atStart.evaluations;
    std::vector<double> steps = atStart.steps;
    for (double& h : steps) {
        // Not below 0.00125 of the range: smaller steps amplify the model's rounding.
        h = std::isfinite(h) ? std::max(h, 0.00125) : 0.00125;
    }
    std::vector<double> x = cube.toUnit(start);
    std::vector<std::size_t> all(p);
    for (std::size_t j = 0; j < p; ++j) all[j] = j;
    {
        // The start value (one evaluation) is taken even when a stop came
        // during the analysis above: an interrupted profile reports from it.
        LikelihoodFit once(evaluator, cube, settings.noise, settings.penalties, steps, nullptr, evaluations);
        result.startLogLikelihood = once.logLikelihoodOf(once.residualsOf({x})[0]);
        LikelihoodFit fit(evaluator, cube, settings.noise, settings.penalties, steps, stop, evaluations);
        if (!std::isfinite(result.startLogLikelihood)) {
            throw CalibrationError(result.startLogLikelihood > 0
                                       ? "the calibration fits these tests exactly: there is no noise to build a "
                                         "likelihood on"
                                       : "the calibration's parameters cannot be simulated on these tests, or are "
                                         "outside the admissible region");
        }
        try {
            result.logLikelihood = fit.maximise(x, all);
        } catch (const Interrupted&) {
            result.interrupted = true;
            x = cube.toUnit(start);
            result.logLikelihood = result.startLogLikelihood;
        }
        result.estimate = cube.toParameters(x);
        result.fitEvaluations = once.evaluations + fit.evaluations;
        report("fit", true);
    }
    const double mlValue = result.logLikelihood;

    // The linearised analysis there: standard errors set the steps, and its
    // covariance predicts where the other parameters go.
    result.local = analyseUncertainty(evaluator, parameters, result.estimate, settings.penalties,
                                      {settings.level, settings.noise}, Estimator::likelihood, result.threads);
    evaluations += result.local.evaluations;
    for (std::size_t j = 0; j < p; ++j) {
        if (std::isfinite(result.local.steps[j])) steps[j] = std::max(result.local.steps[j], 0.00125);
    }
    std::vector<double> unitError(p), range(p);
    for (std::size_t j = 0; j < p; ++j) {
        const ParameterSetting& s = parameters[static_cast<std::size_t>(free[j])];
        range[j] = s.upper - s.lower;
        unitError[j] = result.local.parameters[j].standardError / range[j];
    }

    ProfilePlan plan;
    plan.result = std::move(result);
    plan.parameters = parameters;
    plan.settings = settings;
    plan.free = free;
    plan.chosen = std::move(chosen);
    plan.x = std::move(x);
    plan.steps = std::move(steps);
    plan.unitError = std::move(unitError);
    plan.range = std::move(range);
    plan.mlValue = mlValue;
    plan.perSide = perSide;
    plan.carried = evaluator.carriedState();
    plan.evaluations = evaluations.load();
    plan.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return plan;
}

ProfileChain ProfilePlan::chainStart(std::size_t c) const {
    ProfileChain chain;
    chain.coordinate = chosen[c / 2];
    chain.direction = c % 2 == 0 ? -1.0 : 1.0;
    return chain;
}

ProfileChain profileChain(Evaluator& own, const ProfilePlan& plan, std::size_t c, unsigned threads,
                          const std::atomic<bool>* stop, std::atomic<std::int64_t>& evaluations,
                          const std::function<void()>& onPoint) {
    ProfileChain chain = plan.chainStart(c);
    own.restoreCarriedState(plan.carried);
    const std::size_t j = chain.coordinate;
    const ProfileResult& result = plan.result;
    const ProfileSettings& settings = plan.settings;
    const std::vector<double>& x = plan.x;
    const std::size_t p = plan.free.size();
    const int perSide = plan.perSide;
    const double mlValue = plan.mlValue;
    CalibrationObjective cube(own, plan.parameters, false, threads, 1);
    LikelihoodFit fit(own, cube, settings.noise, settings.penalties, plan.steps, stop, evaluations);
    std::vector<std::size_t> others;
    for (std::size_t k = 0; k < p; ++k) {
        if (k != j) others.push_back(k);
    }
    const double distance = chain.direction < 0 ? x[j] : 1.0 - x[j];
    if (!(distance > 1e-12)) {
        chain.reachedBound = true;  // the estimate is at this bound
        return chain;
    }
    const double reach = std::isfinite(plan.unitError[j]) ? std::min(2.8 * plan.unitError[j], distance) : distance;
    double step = std::max(1e-4, reach / perSide);
    std::vector<double> previous = x, before;
    double value = x[j];
    int halvings = 0, refinements = 0;
    double lastDrop = 0.0;
    for (int k = 1; k <= 3 * perSide + 8; ++k) {
        const double next = value + chain.direction * step;
        const bool last = chain.direction < 0 ? next <= 1e-12 : next >= 1.0 - 1e-12;
        const double target = last ? (chain.direction < 0 ? 0.0 : 1.0) : next;
        // Warm start: the line through the chain's last two
        // points, or for the first point the local regression
        // of the others on this parameter.
        std::vector<double> guess = previous;
        for (std::size_t o : others) {
            double slope = 0.0;
            if (!before.empty() && previous[j] != before[j]) {
                slope = (previous[o] - before[o]) / (previous[j] - before[j]);
            } else if (result.local.parameters[j].identifiable) {
                slope = result.local.covariance[o][j] / result.local.covariance[j][j] * plan.range[j] / plan.range[o];
            }
            if (std::isfinite(slope)) guess[o] = std::clamp(previous[o] + slope * (target - previous[j]), 0.0, 1.0);
        }
        guess[j] = target;
        const std::int64_t spent = fit.evaluations;
        double l = -infinity;
        try {
            l = fit.maximise(guess, others);
            // A predicted start without likelihood, or a fit that drops by
            // much more than the last step did (the fit may have stuck):
            // also from the previous point and from the estimate, keeping
            // the best.
            for (const std::vector<double>* from : {static_cast<const std::vector<double>*>(&previous), &x}) {
                if (std::isfinite(l) && mlValue - l <= lastDrop + 1.0) break;
                std::vector<double> other = *from;
                other[j] = target;
                const double better = fit.maximise(other, others);
                if (better > l || !std::isfinite(l)) {
                    l = better;
                    guess = std::move(other);
                }
            }
        } catch (const Interrupted&) {
            chain.interrupted = true;
            return chain;
        }
        if (!std::isfinite(l) && halvings < 4) {
            // No admissible, simulable set here: closer to the last point.
            ++halvings;
            step /= 2.0;
            continue;
        }
        chain.points.push_back({parameterAt(cube.toParameters(guess), plan.free[j]), l, fit.evaluations - spent});
        if (onPoint) onPoint();
        if (!std::isfinite(l)) {
            chain.wall = true;
            return chain;
        }
        if (mlValue - l > result.threshold) {
            // Far past the threshold in one step: closer, to place the crossing.
            if (mlValue - l > 3.0 * result.threshold && refinements < 3) {
                ++refinements;
                step /= 2.0;
                continue;
            }
            chain.crossed = true;
            return chain;
        }
        if (last) {
            chain.reachedBound = true;
            return chain;
        }
        before = previous;
        previous = guess;
        value = target;
        lastDrop = mlValue - l;
        if (k >= perSide && mlValue - l < result.threshold / 4.0) step *= 2.0;
    }
    return chain;
}

ProfileResult finishProfile(ProfilePlan plan, std::vector<ProfileChain> chains, std::int64_t chainEvaluations,
                            double chainSeconds) {
    ProfileResult result = std::move(plan.result);
    const ProfileSettings& settings = plan.settings;
    const ParameterSettings& parameters = plan.parameters;
    const std::vector<int>& free = plan.free;
    const std::vector<std::size_t>& chosen = plan.chosen;
    const double mlValue = plan.mlValue;
    for (Chain& c : chains) {
        result.interrupted = result.interrupted || c.interrupted;
        // Refined crossings came after the points beyond them: by distance from the estimate.
        std::stable_sort(c.points.begin(), c.points.end(), [&c](const ProfilePoint& a, const ProfilePoint& b) {
            return c.direction * a.value < c.direction * b.value;
        });
    }

    // The largest log-likelihood found, and each profile against it.
    double best = mlValue;
    for (const Chain& c : chains) {
        for (const ProfilePoint& pt : c.points) best = std::max(best, pt.logLikelihood);
    }
    if (best > mlValue + 1e-3) {
        result.notes.push_back("a profile point fits better than the maximum-likelihood fit (by " +
                               threeDigits(best - mlValue) +
                               " in log-likelihood): that fit had not found the maximum; the curves are measured "
                               "from the best value found");
    }
    result.logLikelihood = best;
    for (std::size_t s = 0; s < chosen.size(); ++s) {
        const std::size_t j = chosen[s];
        const int index = free[j];
        const ParameterSetting& setting = parameters[static_cast<std::size_t>(index)];
        const Chain& below = chains[2 * s];
        const Chain& above = chains[2 * s + 1];
        ParameterProfile profile;
        profile.index = index;
        profile.estimate = parameterAt(result.estimate, index);
        profile.standardError = result.local.parameters[j].standardError;
        for (auto it = below.points.rbegin(); it != below.points.rend(); ++it) profile.curve.push_back(*it);
        profile.curve.push_back({profile.estimate, mlValue, 0});
        for (const ProfilePoint& pt : above.points) profile.curve.push_back(pt);
        profile.complete = !below.interrupted && !above.interrupted;

        // Each side: where the drop first passes the threshold (linear in
        // its square root, which a quadratic profile makes a straight line),
        // or the last point reached.
        const double root = std::sqrt(result.threshold);
        const auto side = [&](const Chain& chain, double& end, bool& open) {
            double lastValue = profile.estimate, lastDrop = best - mlValue;
            open = false;
            for (const ProfilePoint& pt : chain.points) {
                const double drop = best - pt.logLikelihood;
                if (!std::isfinite(pt.logLikelihood)) break;  // the edge: open up to the last point
                if (drop > result.threshold) {
                    const double a = std::sqrt(std::max(0.0, lastDrop));
                    const double b = std::isfinite(drop) ? std::sqrt(drop) : infinity;
                    end = std::isfinite(b) && b > a ? lastValue + (pt.value - lastValue) * (root - a) / (b - a) : pt.value;
                    return;
                }
                lastValue = pt.value;
                lastDrop = drop;
            }
            end = chain.reachedBound ? (chain.direction < 0 ? setting.lower : setting.upper) : lastValue;
            open = chain.reachedBound || chain.wall;
        };
        side(below, profile.lower, profile.openBelow);
        side(above, profile.upper, profile.openAbove);
        const std::string hit = boundHit(setting, profile.estimate);
        if (!profile.complete) {
            profile.verdict = "incomplete: interrupted";
        } else if (profile.openBelow && profile.openAbove) {
            profile.verdict = "not determined by these tests";
        } else if (profile.openBelow || profile.openAbove) {
            const bool low = profile.openBelow;
            const Chain& open = low ? below : above;
            if (hit == (low ? "lower" : "upper")) {
                profile.verdict = "at the " + hit + " bound: not determined " + (low ? "below" : "above");
            } else if (open.wall) {
                profile.verdict = std::string("not determined ") + (low ? "below" : "above") +
                                  " (up to the edge of the admissible region)";
            } else {
                profile.verdict = std::string("not determined ") + (low ? "below" : "above");
            }
        } else {
            profile.verdict = "determined";
        }
        result.profiles.push_back(std::move(profile));
    }
    for (const Chain& c : chains) {
        if (!c.crossed && !c.reachedBound && !c.wall && !c.interrupted && !c.points.empty()) {
            result.notes.push_back(std::string(parameterNames[static_cast<std::size_t>(free[c.coordinate])]) +
                                   ": the profile " + (c.direction < 0 ? "below" : "above") +
                                   " the estimate ended at its last point before reaching the threshold or the bound");
        }
    }
    result.evaluations = plan.evaluations + chainEvaluations;
    result.method =
        "Profile likelihood. Model: the normalised residuals of every scored row are independent Gaussian with "
        "one standard deviation per scored quantity, " +
        std::string(noiseModelText(settings.noise).empty() ? "each concentrated out at its maximum-likelihood value"
                                                           : "known where given (" + noiseModelText(settings.noise) +
                                                                 "), else concentrated out") +
        ". First the maximum-likelihood fit from the calibration's best; then for each parameter, values "
        "stepping away from it on each side, the other free parameters re-optimised at each, warm-started "
        "from the previous points. Every fit is Levenberg-Marquardt on the residuals (the Gauss-Newton model of the "
        "log-likelihood; each iteration's Jacobian one parallel batch of central differences), until the drop of the log-likelihood passes chi2(1, level) / 2 or the bound. "
        "Interval: where the drop stays below that threshold; a side that reaches its bound (or, with the "
        "penalties on, the edge of the region the penalty factors leave unpenalised) below it is open. Assumes a "
        "correct model and independent errors; it does not assume linearity.";
    result.seconds = plan.seconds + chainSeconds;
    return result;
}

Json profileJson(const ProfileResult& r) {
    Json j = Json::object();
    j["level"] = jsonNumber(r.level);
    j["threshold"] = jsonNumber(r.threshold);
    j["method"] = r.method;
    j["objective"] = "drop of the log-likelihood from the largest found (each curve point: [value, drop])";
    Json parameters = Json::object();
    for (const ParameterProfile& p : r.profiles) {
        Json curve = Json::array();
        for (const ProfilePoint& pt : p.curve) {
            curve.push_back({jsonNumber(pt.value), jsonNumber(r.logLikelihood - pt.logLikelihood)});
        }
        const ParameterUncertainty* local = r.local.find(p.index);
        std::int64_t spent = 0;
        for (const ProfilePoint& pt : p.curve) spent += pt.evaluations;
        parameters[std::string(parameterNames[static_cast<std::size_t>(p.index)])] = {
            {"interval", {jsonNumber(p.lower), jsonNumber(p.upper)}},
            {"open_below", p.openBelow},
            {"open_above", p.openAbove},
            {"curve", curve},
            {"estimate", jsonNumber(p.estimate)},
            {"verdict", p.verdict},
            {"complete", p.complete},
            {"linearised", local == nullptr ? Json(nullptr)
                                            : Json{{"interval", {jsonNumber(local->lower), jsonNumber(local->upper)}},
                                                   {"standard_error", jsonNumber(local->standardError)},
                                                   {"verdict", local->verdict}}},
            {"evaluations", spent}};
    }
    j["parameters"] = parameters;
    Json start = Json::object(), estimate = Json::object();
    for (int i = 0; i < parameterCount; ++i) {
        const std::string name(parameterNames[static_cast<std::size_t>(i)]);
        start[name] = jsonNumber(parameterAt(r.start, i));
        estimate[name] = jsonNumber(parameterAt(r.estimate, i));
    }
    j["start"] = start;
    j["startLogLikelihood"] = jsonNumber(r.startLogLikelihood);
    j["estimate"] = estimate;
    j["logLikelihood"] = jsonNumber(r.logLikelihood);
    j["fitEvaluations"] = r.fitEvaluations;
    j["local"] = uncertaintyJson(r.local);
    j["notes"] = r.notes;
    j["evaluations"] = r.evaluations;
    j["seconds"] = jsonNumber(r.seconds);
    j["threads"] = r.threads;
    j["interrupted"] = r.interrupted;
    return j;
}


ProfileResult profileLikelihood(Evaluator& evaluator, const ParameterSettings& parameters,
                                const ModelParameters& start, const ProfileSettings& settings,
                                const ProfileProgressFn& progress, const std::atomic<bool>* stop) {
    ProfilePlan plan = planProfile(evaluator, parameters, start, settings, progress, stop);
    const auto started = Clock::now();
    std::vector<ProfileChain> chains;
    for (std::size_t c = 0; c < plan.chainCount(); ++c) chains.push_back(plan.chainStart(c));
    std::atomic<std::int64_t> pointsDone{0}, evaluations{0};
    std::mutex progressMutex;
    const auto report = [&](bool end) {
        if (!progress) return;
        std::lock_guard<std::mutex> lock(progressMutex);
        progress({pointsDone.load(), static_cast<std::int64_t>(plan.chosen.size()) * 2 * plan.perSide,
                  plan.evaluations + evaluations.load(),
                  plan.seconds + std::chrono::duration<double>(Clock::now() - started).count(), "profile", end});
    };
    if (!plan.result.interrupted) {
        // The chains, in parallel, each on its own copy of the evaluator.
        const unsigned threads = plan.result.threads;
        const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(threads, chains.size()));
        const unsigned perChain = std::max(1u, threads / std::max(1u, workers));
        WorkerPool pool(std::max(1u, workers));
        std::vector<std::exception_ptr> failures(chains.size());
        const std::function<void()> onPoint = [&] {
            ++pointsDone;
            report(false);
        };
        pool.run(chains.size(), [&](std::size_t c, unsigned) {
            try {
                Evaluator own = evaluator;
                chains[c] = profileChain(own, plan, c, perChain, stop, evaluations, onPoint);
            } catch (...) {
                failures[c] = std::current_exception();
            }
        });
        for (const auto& f : failures) {
            if (f) std::rethrow_exception(f);
        }
    }
    report(true);
    return finishProfile(std::move(plan), std::move(chains), evaluations.load(),
                         std::chrono::duration<double>(Clock::now() - started).count());
}

ProfilePage profilePage(const ProfileResult& result, const std::string& dir) {
    ProfilePage page;
    page.title = "Profile likelihood, " + dir + " (points: re-optimised fits; red: the threshold of the " +
                 rounded(result.level * 100.0, 6) + " % interval; dashed: the linearised parabola)";
    page.level = result.level;
    page.threshold = result.threshold;
    for (const ParameterProfile& p : result.profiles) {
        ProfilePanel panel;
        panel.name = std::string(parameterNames[static_cast<std::size_t>(p.index)]);
        for (const ProfilePoint& pt : p.curve) panel.curve.emplace_back(pt.value, result.logLikelihood - pt.logLikelihood);
        panel.estimate = p.estimate;
        panel.lower = p.lower;
        panel.upper = p.upper;
        panel.openBelow = p.openBelow;
        panel.openAbove = p.openAbove;
        panel.standardError = p.standardError;
        panel.verdict = p.verdict;
        page.panels.push_back(std::move(panel));
    }
    return page;
}

}  // namespace calvenor
