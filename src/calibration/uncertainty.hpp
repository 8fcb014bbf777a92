// How far to trust a calibration: the statistical model of the residuals, and
// the local (linearised) analysis at an estimate.
//
// The model: the normalised residuals r = (simulated - measured) / scale of
// every scored row (exactly as the error measures use them) are independent
// and Gaussian with mean 0 and one standard deviation per scored quantity
// (q, p, ev, u). A standard deviation is either known (the measurement noise
// the user gives, in the residuals' normalised units) or unknown and
// concentrated out at its maximum-likelihood value. The error value is not
// this likelihood (it adds root-mean-square misfits), so the analysis works
// on the residuals themselves: their Jacobian over the free parameters.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "calibration/parameter_table.hpp"
#include "io/json.hpp"
#include "objective/objective.hpp"

namespace calvenor {

// ---------------------------------------------------------------------------
// The statistical model

struct NoiseModel {
    // Per quantity (q, p, ev, u): above 0, the known standard deviation of
    // its normalised residuals (0.01: 1 % of each test's largest absolute
    // value of that quantity); 0, unknown.
    std::array<double, quantityCount> sigma{};
    bool known(Quantity q) const { return sigma[static_cast<int>(q)] > 0.0; }
};

// "q=0.01,ev=0.02" (quantities q, p, ev, u; each at most once; values above 0).
// Throws CalibrationError with the setting "noise".
NoiseModel parseNoiseModel(const std::string& text);
// The known standard deviations as "q=0.01,ev=0.02" ("" when none is known).
std::string noiseModelText(const NoiseModel& noise);

// The index of the quantity named "q", "p", "ev" or "u"; -1 for another name.
int quantityIndex(std::string_view name);

// The quantity of each residual of a store, in scoring order (it depends only
// on the tests, not on the simulated values).
std::vector<Quantity> residualQuantities(const TestStore& store);

// Sum of squares and count of the residuals of each quantity.
struct ResidualSums {
    std::array<double, quantityCount> sumSquares{};
    std::array<std::int64_t, quantityCount> count{};
};
ResidualSums residualSums(std::span<const double> residuals, std::span<const Quantity> quantities);

// The standard deviation of each quantity the likelihood uses: the known one,
// or the maximum-likelihood sqrt(S/n) (0 for a quantity without residuals).
std::array<double, quantityCount> noiseEstimate(const ResidualSums& sums, const NoiseModel& noise);

// The log-likelihood of the residuals, the unknown standard deviations
// concentrated out, constants included:
//   sum over quantities of -n/2 log(2 pi sigma^2) - S/(2 sigma^2).
// +inf when an unknown sigma's residuals are all 0.
double logLikelihood(const ResidualSums& sums, const NoiseModel& noise);
// The log-likelihood of one evaluation's residuals (`quantities` as
// residualQuantities gives them); -inf when there is not one residual per
// quantity (an evaluation that stopped has none) or no residual at all.
double residualLogLikelihood(std::span<const double> residuals, std::span<const Quantity> quantities,
                             const NoiseModel& noise);

// The quantities behind the seven penalty factors of the error value, each
// at least 0 where its factor penalises, and the condition each keeps.
std::array<double, 7> penaltyMargins(const ModelParameters& p);
inline constexpr std::array<std::string_view, 7> penaltyConditions = {
    "z <= pnvoid", "plamda > 1.5 pkappa", "plamda < 15 pkappa", "ps < 20000", "ps >= 0",
    "pnvoid <= 3 z", "sm + 1 <= (1 - chi) / ((plamda - pkappa) (1 + chi))"};
// Whether no penalty factor of the error value penalises the set.
bool admissible(const ModelParameters& p);

// The quantile of the standard normal distribution at p (0 < p < 1), and that
// of the chi-square distribution with one degree of freedom at `level`.
double normalQuantile(double p);
double chiSquare1Quantile(double level);

// ---------------------------------------------------------------------------
// The local analysis

struct UncertaintySettings {
    double level = 0.95;
    NoiseModel noise;
};

// What the estimate minimises: the error value (a calibration's best), or
// the likelihood's negative (a maximum-likelihood fit).
enum class Estimator { errorValue, likelihood };

struct ParameterUncertainty {
    int index = 0;                 // in the host order
    double estimate = 0.0;
    double standardError = 0.0;    // parameter units; inf when the tests leave it open
    double lower = 0.0;            // the interval at the level, within the bounds
    double upper = 0.0;
    bool identifiable = false;
    std::string bound;             // "lower", "upper" or ""
    std::string verdict;           // "well determined", "correlated with z at 0.97",
                                   // "not determined by these tests", "at the upper bound"
    std::string reason;            // the verdict with its grounds
};

// An eigen-direction of the Fisher information, in unit-cube coordinates.
struct FisherDirection {
    std::vector<double> vector;  // unit length, one entry per free parameter, largest entry positive
    double scale = 0.0;          // standard deviation along it (fraction of the box); inf: no information
    bool determined = true;      // its interval is narrower than the box
    std::string text;            // for an undetermined one, e.g. "pnvoid and z together (0.71 pnvoid +
                                 // 0.70 z) are not determined by these tests"
};

struct QuantityNoise {
    std::int64_t residuals = 0;  // 0: not scored
    bool known = false;          // given by the user; else estimated
    double sigma = 0.0;          // the standard deviation the analysis used
};

struct UncertaintyResult {
    double level = 0.95;
    double quantile = 0.0;  // of the standard normal distribution at (1 + level) / 2
    Estimator estimator = Estimator::errorValue;
    std::string method;
    std::array<QuantityNoise, quantityCount> noise{};
    double logLikelihood = 0.0;  // at the estimate
    std::vector<ParameterUncertainty> parameters;  // one per free parameter, host order
    std::vector<std::vector<double>> correlation;  // NaN where a parameter is not determined
    std::vector<std::vector<double>> covariance;   // parameter units
    std::vector<FisherDirection> directions;       // least determined first
    std::vector<double> steps;                     // finite-difference step per free parameter (unit cube)
    std::vector<std::string> notes;                // unstable derivatives, a search that had not converged
    std::int64_t evaluations = 0;
    double seconds = 0.0;

    // The entry of a parameter (host index), or null when it is fixed.
    const ParameterUncertainty* find(int index) const;
};

// The local analysis at `estimate`: the residual Jacobian over the free
// parameters of `parameters` by finite differences in unit-cube coordinates,
// evaluated as parallel batches on a copy of `evaluator` (which continues
// from its state; the evaluator itself is not changed); the Fisher
// information, the covariance of the estimate, standard errors, intervals at
// the level, correlations and verdicts. `penalties` is the error value's
// setting (it does not enter the likelihood). Throws CalibrationError when
// the estimate cannot be simulated or no residual is scored.
UncertaintyResult analyseUncertainty(const Evaluator& evaluator, const ParameterSettings& parameters,
                                     const ModelParameters& estimate, bool penalties,
                                     const UncertaintySettings& settings, Estimator estimator,
                                     unsigned threads = 0);

// The "uncertainty" record of calibration.json.
Json uncertaintyJson(const UncertaintyResult& result);

// The known standard deviations of a record written by uncertaintyJson.
NoiseModel noiseModelFromJson(const Json& uncertainty);

}  // namespace calvenor
