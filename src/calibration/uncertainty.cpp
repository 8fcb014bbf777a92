#include "calibration/uncertainty.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <sstream>

#include "calibration/calibration_error.hpp"
#include "io/numbers.hpp"

namespace calvenor {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

}  // namespace

// ---------------------------------------------------------------------------
// The statistical model

int quantityIndex(std::string_view name) {
    for (int k = 0; k < quantityCount; ++k) {
        if (quantityName[static_cast<std::size_t>(k)] == name) return k;
    }
    return -1;
}

NoiseModel parseNoiseModel(const std::string& text) {
    NoiseModel noise;
    const auto fail = [&](const std::string& what) -> void {
        throw CalibrationError("expected QUANTITY=SIGMA pairs separated by commas (quantities q, p, ev, u; "
                               "sigma above 0, in the residuals' normalised units), " + what,
                               "noise");
    };
    std::stringstream in(text);
    std::string item;
    std::array<bool, quantityCount> seen{};
    while (std::getline(in, item, ',')) {
        const auto eq = item.find('=');
        if (eq == std::string::npos) fail("found '" + item + "'");
        const std::string name = item.substr(0, eq), value = item.substr(eq + 1);
        const int k = quantityIndex(name);
        if (k < 0) fail("found the quantity '" + name + "'");
        if (seen[static_cast<std::size_t>(k)]) fail("found " + name + " twice");
        seen[static_cast<std::size_t>(k)] = true;
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(v) || !(v > 0.0)) {
            fail("found " + name + "='" + value + "'");
        }
        noise.sigma[static_cast<std::size_t>(k)] = v;
    }
    if (text.empty()) fail("found nothing");
    return noise;
}

std::string noiseModelText(const NoiseModel& noise) {
    std::string s;
    for (int k = 0; k < quantityCount; ++k) {
        if (!noise.known(Quantity(k))) continue;
        if (!s.empty()) s += ",";
        s += std::string(quantityName[static_cast<std::size_t>(k)]) + "=" +
             shortest(noise.sigma[static_cast<std::size_t>(k)]);
    }
    return s;
}

std::vector<Quantity> residualQuantities(const TestStore& store) {
    std::vector<Quantity> quantities;
    visitResiduals(store, [&](int, int, Quantity q, double) { quantities.push_back(q); });
    return quantities;
}

ResidualSums residualSums(std::span<const double> residuals, std::span<const Quantity> quantities) {
    ResidualSums sums;
    for (std::size_t i = 0; i < residuals.size(); ++i) {
        const auto k = static_cast<std::size_t>(quantities[i]);
        sums.sumSquares[k] += residuals[i] * residuals[i];
        ++sums.count[k];
    }
    return sums;
}

std::array<double, quantityCount> noiseEstimate(const ResidualSums& sums, const NoiseModel& noise) {
    std::array<double, quantityCount> sigma{};
    for (std::size_t k = 0; k < quantityCount; ++k) {
        if (noise.sigma[k] > 0.0) sigma[k] = noise.sigma[k];
        else if (sums.count[k] > 0) sigma[k] = std::sqrt(sums.sumSquares[k] / static_cast<double>(sums.count[k]));
    }
    return sigma;
}

double logLikelihood(const ResidualSums& sums, const NoiseModel& noise) {
    const std::array<double, quantityCount> sigma = noiseEstimate(sums, noise);
    double value = 0.0;
    for (std::size_t k = 0; k < quantityCount; ++k) {
        const auto n = static_cast<double>(sums.count[k]);
        if (sums.count[k] == 0) continue;
        if (!std::isfinite(sums.sumSquares[k])) return -infinity;
        if (sigma[k] == 0.0) return infinity;
        const double variance = sigma[k] * sigma[k];
        value += -0.5 * n * std::log(2.0 * std::numbers::pi * variance) - sums.sumSquares[k] / (2.0 * variance);
    }
    return value;
}

double residualLogLikelihood(std::span<const double> residuals, std::span<const Quantity> quantities,
                             const NoiseModel& noise) {
    if (residuals.size() != quantities.size() || residuals.empty()) return -infinity;
    return logLikelihood(residualSums(residuals, quantities), noise);
}

bool admissible(const ModelParameters& p) {
    for (double factor : penaltyFactors(p, computeConstraints(p))) {
        if (factor != 1.0) return false;
    }
    return true;
}

std::array<double, 7> penaltyMargins(const ModelParameters& p) {
    const ConstraintValues c = computeConstraints(p);
    return {c.zMinusN,
            c.kappaBound,
            c.lambdaBound,
            c.psUpperMargin,
            c.psLowerMargin,
            p.pnvoid - 3.0 * p.z,
            p.sm + 1.0 - (1.0 - p.chi) / ((p.plamda - p.pkappa) * (p.chi + 1.0))};
}

double normalQuantile(double p) {
    if (!(p > 0.0 && p < 1.0)) return p == 0.0 ? -infinity : p == 1.0 ? infinity : notANumber;
    // Acklam's rational approximation (relative error below 1.2e-9), then
    // Newton steps on the exact distribution function.
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                               1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                               6.680131188771972e+01,  -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                               -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    double x;
    if (p < 0.02425) {
        const double q = std::sqrt(-2.0 * std::log(p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
    } else if (p > 1.0 - 0.02425) {
        const double q = std::sqrt(-2.0 * std::log(1.0 - p));
        x = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
    } else {
        const double q = p - 0.5, r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
    }
    for (int i = 0; i < 2; ++i) {
        const double cdf = 0.5 * std::erfc(-x / std::numbers::sqrt2);
        const double density = std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi);
        if (density > 0.0) x -= (cdf - p) / density;
    }
    return x;
}

double chiSquare1Quantile(double level) {
    const double z = normalQuantile(0.5 * (1.0 + level));
    return z * z;
}

// ---------------------------------------------------------------------------
// The local analysis

const ParameterUncertainty* UncertaintyResult::find(int index) const {
    for (const ParameterUncertainty& p : parameters) {
        if (p.index == index) return &p;
    }
    return nullptr;
}

namespace {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

// Finite-difference steps in unit-cube coordinates, largest first; each
// column is taken at the step whose derivative agrees best with that at the
// next larger step.
constexpr std::array<double, 4> differenceSteps = {0.02, 0.005, 0.00125, 0.0003125};
// Columns whose two best steps differ by more than this (relative) are flagged.
constexpr double stableAgreement = 0.05;
// Singular values of the weighted Jacobian below this share of the largest
// carry no usable information (the derivatives are not that accurate).
constexpr double rankTolerance = 1e-7;
// A parameter's share of a direction without information that makes it undetermined.
constexpr double nullLoading = 0.1;
// A derivative that changes by more than this share across half an
// interval makes the interval unreliable.
constexpr double bendLimit = 0.5;
// Correlations at least this strong are named in the verdict.
constexpr double strongCorrelation = 0.95;

std::string rounded2(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// The pseudo-inverse of M'M from the singular value decomposition of M,
// dropping singular values below the tolerance.
Matrix pseudoInverseGram(const Matrix& m) {
    const Eigen::JacobiSVD<Matrix> svd(m, Eigen::ComputeThinV);
    const Vector& s = svd.singularValues();
    const double top = s.size() > 0 ? s(0) : 0.0;
    Vector inverse = Vector::Zero(s.size());
    for (Eigen::Index i = 0; i < s.size(); ++i) {
        if (s(i) > rankTolerance * top && s(i) > 0.0) inverse(i) = 1.0 / (s(i) * s(i));
    }
    return svd.matrixV() * inverse.asDiagonal() * svd.matrixV().transpose();
}

std::string directionText(const std::vector<double>& v, const std::vector<std::string>& names) {
    std::vector<std::size_t> order;
    for (std::size_t j = 0; j < v.size(); ++j) {
        if (std::abs(v[j]) >= 0.25) order.push_back(j);
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return std::abs(v[a]) > std::abs(v[b]); });
    if (order.empty()) return {};
    if (order.size() == 1) return names[order[0]] + " is not determined by these tests";
    std::string who, combination;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::size_t j = order[i];
        who += (i == 0 ? "" : i + 1 == order.size() ? " and " : ", ") + names[j];
        const double c = v[j];
        combination += (i == 0 ? (c < 0 ? "-" : "") : (c < 0 ? " - " : " + ")) + rounded2(std::abs(c)) + " " + names[j];
    }
    return who + " together (" + combination + ") are not determined by these tests";
}

struct Weights {
    const Vector& fisherRoot;  // 1 / sigma per residual
    const Vector& errorRoot;   // square roots of the error value's weights
    const Vector& spread;      // the error value's weight times sigma
};

// The covariance of an estimate over the parameters of the Jacobian's
// columns (unit-cube coordinates), and the Fisher directions.
struct Spread {
    std::vector<FisherDirection> directions;  // in decreasing information, without text
    std::vector<bool> onNull;                 // a parameter loads on a direction without information
    Matrix alone;                             // from the tests alone
    Matrix used;                              // with the undetermined directions limited by the box
};

Matrix estimateCovariance(const Matrix& jacobian, const Weights& w, Estimator estimator) {
    if (estimator == Estimator::likelihood) return pseudoInverseGram(w.fisherRoot.asDiagonal() * jacobian);
    // The error value's minimum is a weighted least-squares estimate:
    // H+ B H+ with H = J'AJ and B = J'A Sigma A J.
    const Matrix hInverse = pseudoInverseGram(w.errorRoot.asDiagonal() * jacobian);
    const Matrix root = w.spread.asDiagonal() * jacobian;
    return hInverse * (root.transpose() * root) * hInverse;
}

Spread spreadOver(const Matrix& jacobian, const Weights& w, Estimator estimator, double quantile) {
    const auto q = static_cast<std::size_t>(jacobian.cols());
    Spread out;
    // The eigen-directions of the Fisher information J'WJ.
    const Eigen::JacobiSVD<Matrix> svd(w.fisherRoot.asDiagonal() * jacobian, Eigen::ComputeThinV);
    const Vector& singular = svd.singularValues();
    const double top = singular.size() > 0 ? singular(0) : 0.0;
    out.onNull.assign(q, false);
    for (std::size_t i = 0; i < q; ++i) {
        FisherDirection d;
        d.vector.resize(q);
        std::size_t largest = 0;
        for (std::size_t j = 0; j < q; ++j) {
            d.vector[j] = svd.matrixV()(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(i));
            if (std::abs(d.vector[j]) > std::abs(d.vector[largest])) largest = j;
        }
        if (d.vector[largest] < 0) {
            for (double& v : d.vector) v = -v;
        }
        const double s = singular(static_cast<Eigen::Index>(i));
        const bool none = !(s > rankTolerance * top && s > 0.0);
        d.scale = none ? infinity : 1.0 / s;
        // Undetermined: the interval along the direction is wider than the
        // box is in that direction (the sum of the entries' magnitudes).
        double width = 0.0;
        for (double v : d.vector) width += std::abs(v);
        d.determined = !none && 2.0 * quantile * d.scale < width;
        for (std::size_t j = 0; j < q && none; ++j) {
            if (std::abs(d.vector[j]) > nullLoading) out.onNull[j] = true;
        }
        out.directions.push_back(std::move(d));
    }
    out.alone = estimateCovariance(jacobian, w, estimator);
    // The covariance the intervals use: the determined directions' with the
    // undetermined ones held; then each undetermined direction with the
    // variance whose interval spans the box along it (the bounds, not the
    // tests, limit how far the estimate may move there).
    out.used = Matrix::Zero(static_cast<Eigen::Index>(q), static_cast<Eigen::Index>(q));
    std::vector<Eigen::Index> kept;
    for (std::size_t i = 0; i < q; ++i) {
        if (out.directions[i].determined) kept.push_back(static_cast<Eigen::Index>(i));
    }
    if (!kept.empty()) {
        Matrix basis(static_cast<Eigen::Index>(q), static_cast<Eigen::Index>(kept.size()));
        for (std::size_t c = 0; c < kept.size(); ++c) basis.col(static_cast<Eigen::Index>(c)) = svd.matrixV().col(kept[c]);
        out.used += basis * estimateCovariance(jacobian * basis, w, estimator) * basis.transpose();
    }
    for (std::size_t i = 0; i < q; ++i) {
        const FisherDirection& d = out.directions[i];
        if (d.determined) continue;
        double width = 0.0;
        for (double v : d.vector) width += std::abs(v);
        const double along = std::min(d.scale, width / (2.0 * quantile));
        const Vector v = svd.matrixV().col(static_cast<Eigen::Index>(i));
        out.used += (along * along) * (v * v.transpose());
    }
    out.used = (0.5 * (out.used + out.used.transpose())).eval();  // exactly symmetric
    return out;
}

}  // namespace

UncertaintyResult analyseUncertainty(const Evaluator& evaluator, const ParameterSettings& parameters,
                                     const ModelParameters& estimate, bool penalties,
                                     const UncertaintySettings& settings, Estimator estimator, unsigned threads) {
    const auto started = std::chrono::steady_clock::now();
    if (!(settings.level > 0.0 && settings.level < 1.0)) {
        throw CalibrationError("expected a level between 0 and 1, found " + shortest(settings.level), "level");
    }
    UncertaintyResult result;
    result.level = settings.level;
    result.quantile = normalQuantile(0.5 * (1.0 + settings.level));
    result.estimator = estimator;

    Evaluator copy = evaluator;
    copy.setThreads(threads != 0 ? threads : std::max(1u, evaluator.threads()));
    std::vector<int> free;
    std::vector<double> u0;
    std::vector<std::string> names;
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterSetting& s = parameters[static_cast<std::size_t>(i)];
        if (s.fixed) continue;
        free.push_back(i);
        u0.push_back(std::clamp((parameterAt(estimate, i) - s.lower) / (s.upper - s.lower), 0.0, 1.0));
        names.emplace_back(parameterNames[static_cast<std::size_t>(i)]);
    }
    const std::size_t p = free.size();
    // The estimate with free parameter j at unit coordinate u.
    const auto moved = [&](std::size_t j, double u) {
        const ParameterSetting& s = parameters[static_cast<std::size_t>(free[j])];
        ModelParameters m = estimate;
        parameterAt(m, free[j]) = std::clamp(s.lower + u * (s.upper - s.lower), s.lower, s.upper);
        return m;
    };

    // The sets: the estimate, then for each free parameter and step the two
    // points of its difference quotient.
    struct Quotient {
        bool central;
        double direction;  // one-sided: +1 into the box from the lower side, -1 from the upper
    };
    std::vector<ModelParameters> sets{estimate};
    std::vector<std::array<Quotient, differenceSteps.size()>> quotients(p);
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t s = 0; s < differenceSteps.size(); ++s) {
            const double h = differenceSteps[s];
            Quotient q{u0[j] - h >= 0.0 && u0[j] + h <= 1.0, u0[j] + 2.0 * h <= 1.0 ? 1.0 : -1.0};
            quotients[j][s] = q;
            sets.push_back(moved(j, q.central ? u0[j] + h : u0[j] + q.direction * h));
            sets.push_back(moved(j, q.central ? u0[j] - h : u0[j] + q.direction * 2.0 * h));
        }
    }
    std::vector<double> errors(sets.size());
    std::vector<Diagnostics> diagnostics(sets.size());
    std::vector<std::vector<double>> residuals;
    copy.evaluateBatchResiduals(sets, {penalties, false, false}, errors, diagnostics, residuals);
    result.evaluations = static_cast<std::int64_t>(sets.size());

    const std::vector<double>& r0 = residuals[0];
    if (r0.empty()) throw CalibrationError("the estimate cannot be simulated: no residuals to analyse");
    const std::vector<Quantity> quantities = residualQuantities(copy.store());
    const std::size_t n = r0.size();
    if (quantities.size() != n) throw CalibrationError("internal: residual count changed during the analysis");

    // The standard deviations: known, or estimated with the degrees of
    // freedom the fit used shared out in proportion to the residuals.
    const ResidualSums sums = residualSums(r0, quantities);
    result.logLikelihood = logLikelihood(sums, settings.noise);
    const std::array<double, quantityCount> mlSigma = noiseEstimate(sums, settings.noise);
    const double dofFactor = n > p ? std::sqrt(static_cast<double>(n) / static_cast<double>(n - p)) : infinity;
    std::array<double, quantityCount> sigma{};
    for (std::size_t k = 0; k < quantityCount; ++k) {
        QuantityNoise& q = result.noise[k];
        q.residuals = sums.count[k];
        q.known = settings.noise.sigma[k] > 0.0;
        sigma[k] = q.known ? settings.noise.sigma[k] : mlSigma[k] * dofFactor;
        q.sigma = q.residuals > 0 ? sigma[k] : 0.0;
        if (q.residuals > 0 && !(sigma[k] > 0.0 && std::isfinite(sigma[k]))) {
            result.notes.push_back("the residuals of " + std::string(quantityName[k]) +
                                   " are all 0: its noise cannot be estimated (an exact fit)");
            sigma[k] = std::numeric_limits<double>::min();
        }
    }

    // The Jacobian, column by column.
    Matrix jacobian(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(p));
    result.steps.assign(p, 0.0);
    std::vector<std::string> unstable;
    bool incomplete = false;
    const auto finite = [n](const std::vector<double>& v) {
        return v.size() == n && std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
    };
    std::vector<std::string> unsimulated;
    // Norm of the residuals' second derivative at each step; -1: unknown.
    std::vector<std::array<double, differenceSteps.size()>> curvature(p);
    for (auto& c : curvature) c.fill(-1.0);
    for (std::size_t j = 0; j < p; ++j) {
        std::array<Vector, differenceSteps.size()> columns;
        std::array<bool, differenceSteps.size()> usable{};
        for (std::size_t s = 0; s < differenceSteps.size(); ++s) {
            const std::vector<double>& a = residuals[1 + (j * differenceSteps.size() + s) * 2];
            const std::vector<double>& b = residuals[2 + (j * differenceSteps.size() + s) * 2];
            // A neighbour that cannot be simulated, or whose curves are not
            // finite, gives no difference quotient at this step.
            usable[s] = finite(a) && finite(b);
            if (!usable[s]) continue;
            const double h = differenceSteps[s];
            const Quotient& q = quotients[j][s];
            Vector c(static_cast<Eigen::Index>(n));
            for (std::size_t i = 0; i < n; ++i) {
                c(static_cast<Eigen::Index>(i)) =
                    q.central ? (a[i] - b[i]) / (2.0 * h)
                              : q.direction * (-3.0 * r0[i] + 4.0 * a[i] - b[i]) / (2.0 * h);
            }
            columns[s] = c;
            // The second derivative at this step.
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double d2 = q.central ? (a[i] - 2.0 * r0[i] + b[i]) / (h * h) : (b[i] - 2.0 * a[i] + r0[i]) / (h * h);
                sum += d2 * d2;
            }
            curvature[j][s] = std::sqrt(sum);
        }
        // The smaller step of the two usable steps that agree best.
        std::size_t best = differenceSteps.size();
        double agreement = infinity;
        for (std::size_t t = 1; t < differenceSteps.size(); ++t) {
            for (std::size_t s = 0; s < t; ++s) {
                if (!usable[s] || !usable[t]) continue;
                const double size = columns[t].norm();
                const double rel = size > 0.0 ? (columns[t] - columns[s]).norm() / size
                                              : (columns[s].norm() > 0.0 ? infinity : 0.0);
                if (best == differenceSteps.size() || rel < agreement) {
                    agreement = rel;
                    best = t;
                }
            }
        }
        if (best == differenceSteps.size()) {
            // Only one usable step: taken unchecked.
            for (std::size_t s = 0; s < differenceSteps.size() && best == differenceSteps.size(); ++s) {
                if (usable[s]) best = s;
            }
        }
        if (best == differenceSteps.size()) {
            incomplete = true;
            unsimulated.push_back(names[j]);
            jacobian.col(static_cast<Eigen::Index>(j)).setZero();
            result.steps[j] = notANumber;
            continue;
        }
        // A parameter that moves no residual beyond the model's rounding
        // (about 1e-6 of a residual) has no measurable effect: no instability.
        const double effect = columns[best].norm() * differenceSteps[best] / std::sqrt(static_cast<double>(n));
        if (agreement > stableAgreement && effect > 1e-6) unstable.push_back(names[j]);
        jacobian.col(static_cast<Eigen::Index>(j)) = columns[best];
        result.steps[j] = differenceSteps[best];
    }
    if (!unsimulated.empty()) {
        std::string list;
        for (const auto& u : unsimulated) list += (list.empty() ? "" : ", ") + u;
        result.notes.push_back("sets next to the estimate with other values of " + list +
                               " cannot be simulated: no derivatives, so not determined here");
    }
    if (!unstable.empty()) {
        std::string list;
        for (const auto& u : unstable) list += (list.empty() ? "" : ", ") + u;
        result.notes.push_back("the derivatives of the residuals with respect to " + list +
                               " change with the step by more than 5 %: their intervals are less reliable");
    }

    // Weights: the likelihood's 1/sigma^2, and the error value's own (its
    // gradient weights quantity k's residuals by 1 / (n_k sigma_k)).
    Vector fisherRoot(static_cast<Eigen::Index>(n)), errorRoot(static_cast<Eigen::Index>(n)),
        spread(static_cast<Eigen::Index>(n)), r(static_cast<Eigen::Index>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(quantities[i]);
        const double a = 1.0 / (static_cast<double>(sums.count[k]) * std::max(mlSigma[k], std::numeric_limits<double>::min()));
        fisherRoot(static_cast<Eigen::Index>(i)) = 1.0 / sigma[k];
        errorRoot(static_cast<Eigen::Index>(i)) = std::sqrt(a);
        spread(static_cast<Eigen::Index>(i)) = a * sigma[k];
        r(static_cast<Eigen::Index>(i)) = r0[i];
    }
    const Weights weights{fisherRoot, errorRoot, spread};
    const Spread full = spreadOver(jacobian, weights, estimator, result.quantile);
    for (const FisherDirection& d : full.directions) {
        result.directions.push_back(d);
        if (!d.determined) result.directions.back().text = directionText(d.vector, names);
    }
    // The estimate of the parameters inside their bounds behaves as if those
    // at a bound were fixed there (the search held them): their covariance
    // with the others held. The parameters at a bound keep the full one.
    std::vector<bool> atBound(p, false);
    std::vector<Eigen::Index> inside;
    for (std::size_t j = 0; j < p; ++j) {
        const ParameterSetting& s = parameters[static_cast<std::size_t>(free[j])];
        atBound[j] = !boundHit(s, parameterAt(estimate, free[j])).empty();
        if (!atBound[j]) inside.push_back(static_cast<Eigen::Index>(j));
    }
    Matrix covariance = full.alone, used = full.used;
    std::vector<bool> onNullDirection = full.onNull;
    const bool heldFit = !inside.empty() && inside.size() < p;
    if (heldFit) {
        Matrix columns(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(inside.size()));
        for (std::size_t c = 0; c < inside.size(); ++c) columns.col(static_cast<Eigen::Index>(c)) = jacobian.col(inside[c]);
        const Spread held = spreadOver(columns, weights, estimator, result.quantile);
        for (std::size_t a = 0; a < inside.size(); ++a) {
            onNullDirection[static_cast<std::size_t>(inside[a])] = held.onNull[a];
            for (std::size_t b = 0; b < inside.size(); ++b) {
                covariance(inside[a], inside[b]) = held.alone(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b));
                used(inside[a], inside[b]) = held.used(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b));
            }
        }
    }

    // Per parameter.
    result.covariance.assign(p, std::vector<double>(p, 0.0));
    result.correlation.assign(p, std::vector<double>(p, notANumber));
    std::vector<double> unitError(p);
    for (std::size_t j = 0; j < p; ++j) {
        const int index = free[j];
        const ParameterSetting& s = parameters[static_cast<std::size_t>(index)];
        const double range = s.upper - s.lower;
        ParameterUncertainty u;
        u.index = index;
        u.estimate = parameterAt(estimate, index);
        u.bound = boundHit(s, u.estimate);
        // The verdict from the tests alone; the interval of a determined
        // parameter from the covariance with the bounds' limit.
        const double alone =
            std::sqrt(std::max(0.0, covariance(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(j))));
        unitError[j] = std::sqrt(std::max(0.0, used(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(j))));
        bool onNull = onNullDirection[j];
        if (incomplete && std::isnan(result.steps[j])) onNull = true;
        const bool wider = !(2.0 * result.quantile * alone < 1.0);
        u.identifiable = !onNull && !wider;
        u.standardError = onNull ? infinity : (u.identifiable ? unitError[j] : alone) * range;
        const double half = result.quantile * u.standardError;
        u.lower = u.identifiable ? std::max(s.lower, u.estimate - half) : s.lower;
        u.upper = u.identifiable ? std::min(s.upper, u.estimate + half) : s.upper;
        if (!u.identifiable) {
            u.verdict = "not determined by these tests";
            u.reason = u.verdict + (onNull ? ": they do not act on it, or only together with other parameters"
                                           : ": the interval at the level is wider than the bounds");
            if (!u.bound.empty()) u.reason += "; at the " + u.bound + " bound";
        } else if (!u.bound.empty()) {
            u.verdict = "at the " + u.bound + " bound";
            u.reason = u.verdict + ": the tests may favour values beyond it; the interval is one-sided";
        }
        result.parameters.push_back(u);
        for (std::size_t k = 0; k < p; ++k) {
            result.covariance[j][k] = used(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(k)) * range *
                                      (parameters[static_cast<std::size_t>(free[k])].upper -
                                       parameters[static_cast<std::size_t>(free[k])].lower);
        }
    }
    for (std::size_t j = 0; j < p; ++j) {
        ParameterUncertainty& u = result.parameters[j];
        if (!u.identifiable) continue;
        double strongest = 0.0;
        std::size_t with = j;
        for (std::size_t k = 0; k < p; ++k) {
            if (!result.parameters[k].identifiable) continue;
            // Two parameters inside their bounds correlate as the held
            // estimate has them; a pair with one at a bound as the full one.
            const auto a = static_cast<Eigen::Index>(j), b = static_cast<Eigen::Index>(k);
            const bool fromFull = heldFit && (atBound[j] || atBound[k]);
            const double rho = k == j      ? 1.0
                               : fromFull ? full.used(a, b) / std::sqrt(full.used(a, a) * full.used(b, b))
                                          : used(a, b) / (unitError[j] * unitError[k]);
            result.correlation[j][k] = std::clamp(rho, -1.0, 1.0);
            // The verdict of a parameter inside its bounds looks at the
            // others inside: those at a bound are held where they are.
            if (k != j && !fromFull && std::abs(rho) > std::abs(strongest)) {
                strongest = rho;
                with = k;
            }
        }
        if (!u.verdict.empty()) continue;
        // How much the derivative changes across half the interval: the
        // second derivative over the smallest step of 0.005 or 0.02 at least
        // as wide (smaller steps would measure the model's rounding).
        const double slope = jacobian.col(static_cast<Eigen::Index>(j)).norm();
        const double half = result.quantile * unitError[j];
        double second = -1.0;
        for (std::size_t st : {std::size_t{1}, std::size_t{0}}) {
            if (curvature[j][st] >= 0.0 && (second < 0.0 || differenceSteps[st] < half)) second = curvature[j][st];
            if (second >= 0.0 && differenceSteps[st] >= half) break;
        }
        const double bend = slope > 0.0 && second >= 0.0 ? second * half / slope : 0.0;
        if (bend > bendLimit) {
            u.verdict = "determined, but the model bends within the interval";
            u.reason = u.verdict + ": its derivatives change by " + rounded(100.0 * bend, 2) +
                       " % across half the interval, so the linearised interval is unreliable; calvenor profile "
                       "gives the interval without the linearisation";
            continue;
        }
        if (std::abs(strongest) >= strongCorrelation) {
            u.verdict = "correlated with " + names[with] + " at " + rounded2(strongest);
            u.reason = u.verdict + ": determined, but only together with it";
        } else {
            u.verdict = "well determined";
            u.reason = u.verdict;
        }
    }

    // Least determined first.
    std::vector<std::size_t> order(p);
    for (std::size_t i = 0; i < p; ++i) order[i] = p - 1 - i;
    std::vector<FisherDirection> sorted;
    for (std::size_t i : order) sorted.push_back(result.directions[i]);
    result.directions = std::move(sorted);

    // An estimate on the edge of the region the penalty factors leave free
    // (within 1e-5 of the box): the linearised intervals do not see the edge.
    std::vector<std::string> edges;
    if (penalties) {
        const std::array<double, 7> margin = penaltyMargins(estimate);
        for (std::size_t i = 0; i < margin.size(); ++i) {
            double norm2 = 0.0;
            for (std::size_t j = 0; j < p; ++j) {
                const double h = u0[j] + 1e-7 <= 1.0 ? 1e-7 : -1e-7;
                const double d = (penaltyMargins(moved(j, u0[j] + h))[i] - margin[i]) / h;
                if (std::isfinite(d)) norm2 += d * d;
            }
            const std::string condition(penaltyConditions[i == 4 ? 0 : i]);
            if (norm2 > 0.0 && std::isfinite(margin[i]) && margin[i] > -1e-5 * std::sqrt(norm2) &&
                std::find(edges.begin(), edges.end(), condition) == edges.end()) {
                edges.push_back(condition);
                result.notes.push_back("the estimate lies on the edge of the region the penalty factors leave free (" +
                                       condition +
                                       "): the tests favour sets beyond it, and the linearised intervals ignore the "
                                       "edge; the profile likelihood respects it");
            }
        }
    }

    // Had the search converged? One Gauss-Newton step of what the estimate
    // minimises, over the parameters inside their bounds, in standard errors
    // (not on an edge, where the step would leave the region).
    if (edges.empty()) {
        std::vector<Eigen::Index> inside;
        for (std::size_t j = 0; j < p; ++j) {
            if (result.parameters[j].bound.empty() && result.parameters[j].identifiable) inside.push_back(static_cast<Eigen::Index>(j));
        }
        if (!inside.empty()) {
            const Vector& w = estimator == Estimator::likelihood ? fisherRoot : errorRoot;
            Matrix m(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(inside.size()));
            for (std::size_t c = 0; c < inside.size(); ++c) m.col(static_cast<Eigen::Index>(c)) = w.asDiagonal() * jacobian.col(inside[c]);
            const Vector step = -pseudoInverseGram(m) * (m.transpose() * (w.asDiagonal() * r));
            double worst = 0.0;
            std::size_t at = 0;
            for (std::size_t c = 0; c < inside.size(); ++c) {
                const double e = unitError[static_cast<std::size_t>(inside[c])];
                const double moved = e > 0.0 ? std::abs(step(static_cast<Eigen::Index>(c))) / e : 0.0;
                if (moved > worst) {
                    worst = moved;
                    at = static_cast<std::size_t>(inside[c]);
                }
            }
            if (worst > 0.5) {
                result.notes.push_back("the search may not have converged: one Gauss-Newton step from the estimate "
                                       "moves " + names[at] + " by " + rounded(worst, 2) + " standard errors");
            }
        }
    }

    std::string noiseWords;
    bool anyKnown = false, anyEstimated = false;
    for (std::size_t k = 0; k < quantityCount; ++k) {
        if (result.noise[k].residuals == 0) continue;
        (result.noise[k].known ? anyKnown : anyEstimated) = true;
    }
    noiseWords = anyKnown && anyEstimated ? "known where given, else estimated from the residuals"
                 : anyKnown              ? "given by the user"
                                         : "estimated from the residuals";
    result.method =
        "Linearised analysis at the estimate. Model: the normalised residuals (simulated - measured) / scale of "
        "every scored row are independent Gaussian with mean 0 and one standard deviation per scored quantity "
        "(q, p, ev, u), " + noiseWords +
        " (sum of squares / (n - p n_k / n)). Jacobian of the residuals over the free parameters by finite "
        "differences in unit-cube coordinates (central inside the bounds, one-sided of second order at a bound; "
        "of the steps 0.02, 0.005, 0.00125 and 0.0003125 of the range, the one that agrees best with the next "
        "larger). " +
        std::string(estimator == Estimator::likelihood
                        ? "Covariance: the pseudo-inverse of the Fisher information J'WJ (W = 1/sigma^2)"
                        : "Covariance of the calibration's estimate, the minimum of the error value (a weighted "
                          "least-squares estimate, weights 1/(n_k sigma_k) by quantity): H+ B H+ with H = J'AJ "
                          "and B = J'A S A J (S = sigma^2); it equals the inverse Fisher information J'WJ when the "
                          "weights are those of the likelihood") +
        "; singular values below 1e-7 of the largest dropped. An eigen-direction of the Fisher information whose "
        "interval is wider than the bounds is undetermined: it enters the covariance with the variance that spreads "
        "its interval over the bounds, no more. Interval: estimate +- z se within the bounds. A parameter is not "
        "determined when its interval from the tests alone is wider than its bounds, or it moves along a "
        "direction the residuals do not change. Assumes a correct model, independent errors and a locally linear model: "
        "correlated logger noise or model error make the intervals too narrow; the profile likelihood "
        "(calvenor profile) does not need the linearity.";
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

// ---------------------------------------------------------------------------
// JSON

Json uncertaintyJson(const UncertaintyResult& r) {
    Json j = Json::object();
    j["level"] = jsonNumber(r.level);
    j["method"] = r.method;
    j["estimator"] = r.estimator == Estimator::likelihood ? "maximum likelihood" : "minimum error value";
    Json parameters = Json::object();
    std::vector<std::string> names;
    for (const ParameterUncertainty& p : r.parameters) {
        const std::string name(parameterNames[static_cast<std::size_t>(p.index)]);
        names.push_back(name);
        parameters[name] = {{"interval", {jsonNumber(p.lower), jsonNumber(p.upper)}},
                            {"standard_error", jsonNumber(p.standardError)},
                            {"identifiable", p.identifiable},
                            {"reason", p.reason},
                            {"verdict", p.verdict},
                            {"estimate", jsonNumber(p.estimate)},
                            {"bound", p.bound.empty() ? Json(nullptr) : Json(p.bound)}};
    }
    j["parameters"] = parameters;
    Json matrix = Json::array();
    for (const auto& row : r.correlation) {
        Json values = Json::array();
        for (double v : row) values.push_back(std::isnan(v) ? Json(nullptr) : jsonNumber(v));
        matrix.push_back(values);
    }
    j["correlation"] = {{"names", names}, {"matrix", matrix}};
    Json covariance = Json::array();
    for (const auto& row : r.covariance) {
        Json values = Json::array();
        for (double v : row) values.push_back(jsonNumber(v));
        covariance.push_back(values);
    }
    j["covariance"] = covariance;
    Json directions = Json::array();
    for (const FisherDirection& d : r.directions) {
        Json v = Json::array();
        for (double x : d.vector) v.push_back(jsonNumber(x));
        directions.push_back({{"scale", jsonNumber(d.scale)}, {"determined", d.determined}, {"vector", v},
                              {"text", d.text}});
    }
    j["directions"] = directions;
    Json noise = Json::object();
    for (std::size_t k = 0; k < quantityCount; ++k) {
        const QuantityNoise& q = r.noise[k];
        if (q.residuals == 0) continue;
        noise[std::string(quantityName[k])] = {{"sigma", jsonNumber(q.sigma)}, {"known", q.known},
                                               {"residuals", q.residuals}};
    }
    j["noise"] = noise;
    j["logLikelihood"] = jsonNumber(r.logLikelihood);
    Json steps = Json::array();
    for (double h : r.steps) steps.push_back(jsonNumber(h));
    j["steps"] = steps;
    j["notes"] = r.notes;
    j["evaluations"] = r.evaluations;
    j["seconds"] = jsonNumber(r.seconds);
    return j;
}

NoiseModel noiseModelFromJson(const Json& uncertainty) {
    NoiseModel noise;
    if (!uncertainty.is_object() || !uncertainty.contains("noise") || !uncertainty["noise"].is_object()) return noise;
    for (int k = 0; k < quantityCount; ++k) {
        const std::string name(quantityName[static_cast<std::size_t>(k)]);
        const Json& all = uncertainty["noise"];
        if (!all.contains(name)) continue;
        const Json& q = all[name];
        if (q.is_object() && q.value("known", false) && q.contains("sigma")) {
            noise.sigma[static_cast<std::size_t>(k)] = numberFromJson(q["sigma"]);
        }
    }
    return noise;
}

}  // namespace calvenor
