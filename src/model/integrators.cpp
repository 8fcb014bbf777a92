#include "model/integrators.hpp"

#include <stdexcept>
#include <string>

#include "model/model_state.hpp"

namespace calvenor {

void checkPathArrays(const PathArrays& out, int nPoints) {
    const auto n = static_cast<std::size_t>(nPoints < 1 ? 0 : nPoints);
    for (auto size : {out.epsAxial.size(), out.qDev.size(), out.pMean.size(),
                      out.voidRatio.size(), out.poreU.size(), out.epsVol.size()}) {
        if (size < n) {
            throw std::invalid_argument("output arrays hold " + std::to_string(size) +
                                        " points; " + std::to_string(nPoints) + " are needed");
        }
    }
}

namespace {

using model::ElasticCompliance;
using model::PathConstants;
using model::PointState;

// Raw pointers to the six curves, point 1 at index 0.
struct Curves {
    double* epsAxial;
    double* qDev;
    double* pMean;
    double* voidRatio;
    double* poreU;
    double* epsVol;
    explicit Curves(const PathArrays& a)
        : epsAxial(a.epsAxial.data()), qDev(a.qDev.data()), pMean(a.pMean.data()),
          voidRatio(a.voidRatio.data()), poreU(a.poreU.data()), epsVol(a.epsVol.data()) {}
};

// Compliance with entries held in single precision: dEps_j = K[j][l] dSigma_l.
using Compliance = float[3][3];

struct Increments {
    double ds1 = 0.0, ds2 = 0.0, ds3 = 0.0;  // principal stress increments
    double de2 = 0.0, de3 = 0.0;             // lateral strain increments
};

// The five increments that give the axial strain increment d under the
// conditions of test type Code, for compliance K and b-value b.
// Inlined into the step, so that the compliance and the increments stay in
// registers and the steps of a pair can interleave.
template <int Code>
[[gnu::always_inline]] inline void solveIncrements(const Compliance& K, double b, double d, Increments& inc) {
    const float K11 = K[0][0], K12 = K[0][1], K13 = K[0][2];
    const float K21 = K[1][0], K22 = K[1][1], K23 = K[1][2];
    const float K31 = K[2][0], K32 = K[2][1], K33 = K[2][2];
    if constexpr (Code == constantVolume) {
        const float C1 = (K11 + K21) + K31;
        const float C2 = (K12 + K22) + K32;
        const float C3 = (K13 + K23) + K33;
        const double A = C1 + b * C2;
        const double V = C3 + (1.0 - b) * C2;
        const double w = (K11 + b * K12) - (((1.0 - b) * K12 + K13) * A) / V;
        inc.ds1 = single(d / w);
        inc.ds3 = single(-(A * inc.ds1) / V);
        inc.ds2 = single(b * inc.ds1 + (1.0 - b) * inc.ds3);
        inc.de2 = single((K21 + b * K22) * inc.ds1 + ((1.0 - b) * K22 + K23) * inc.ds3);
        inc.de3 = single((K31 + b * K32) * inc.ds1 + ((1.0 - b) * K32 + K33) * inc.ds3);
    } else if constexpr (Code == constantMeanStress) {
        const float K11twice = K11 + K11;
        const double w = ((((-static_cast<double>(K11twice) + b * K11) + K12) - 2.0 * b * K12) + K13) +
                         b * K13;
        const float ds1 = toFloat((b - 2.0) * d / w);
        const float ds3 = toFloat((b + 1.0) * d / w);
        inc.ds1 = ds1;
        inc.ds2 = single((1.0 - 2.0 * b) * d / w);
        inc.ds3 = ds3;
        // Rows 2 and 3 with dSigma2 = -dSigma1 - dSigma3, all in single precision.
        inc.de2 = toFloat(((K21 * ds1 - K22 * ds1) - K22 * ds3) + K23 * ds3);
        inc.de3 = toFloat(((K31 * ds1 - K32 * ds1) - K32 * ds3) + K33 * ds3);
    } else if constexpr (Code == constantMinorStress) {
        const double w = K11 + b * K12;
        inc.ds1 = single(d / w);
        inc.ds2 = single((d * b) / w);
        inc.ds3 = 0.0;
        inc.de2 = single((K21 + b * K22) * inc.ds1);
        inc.de3 = single((K31 + b * K32) * inc.ds1);
    } else if constexpr (Code == zeroLateralStrain) {
        const float P1 = K12 * K21, P2 = K11 * K22, P3 = K22 * K13;
        const float P4 = K12 * K23, P5 = K13 * K21, P6 = K11 * K23;
        const float Q = ((P1 - P2) - P3) + P4;
        const double delta = ((((Q * b) - P5) + P2) + P6) - P1;
        const float K23plusK21 = K23 + K21;
        inc.ds1 = single(((K22 - b * K22) + K23) * d / delta);
        inc.ds2 = single((-K21 + K23plusK21 * b) * d / delta);
        inc.ds3 = single(-(K21 + b * K22) * d / delta);
        inc.de2 = 0.0;
        inc.de3 = 0.0;
    } else if constexpr (Code == isotropicPath) {
        const double ds = single(d / ((K11 + K12) + K13));
        inc.ds1 = inc.ds2 = inc.ds3 = ds;
        inc.de2 = inc.de3 = single(d);
    }
}

// Shear path of one test type code, one step at a time; Code 0 stands for
// every code outside 1..5.
template <int Code>
class ShearRun {
public:
    ShearRun(const PathConstants& c, const StartState& start, double b, int n, Curves out)
        : c_(c), out_(out), b_(b), eStart_(start.eStart), pStart_(start.pStart), n_(n),
          s1_(start.pStart + f1em8), s2_(start.pStart), s3_(start.pStart) {}

    // Takes point k to point k + 1. Returns false once the path is over.
    [[gnu::always_inline]] inline bool step() {
        constexpr bool solves = Code >= 1 && Code <= 5;
        constexpr bool floors = Code == isotropicPath;
        const int k = k_;
        const double d = c_.d;
        Curves& out = out_;
        Increments& inc = inc_;
        if constexpr (solves) {
            const PointState st = model::pointState<floors, model::flowRows(Code)>(c_, s1_, s2_, s3_, out.voidRatio[k]);
            out.qDev[k] = st.qf;
            out.pMean[k] = st.p;

            const ElasticCompliance ce = model::elasticCompliance(c_, st.pt);
            const Compliance Ke = {{ce.invE, ce.a, ce.a}, {ce.a, ce.invE, ce.a}, {ce.a, ce.a, ce.invE}};
            solveIncrements<Code>(Ke, b_, d, inc);

            if ((st.r1 * inc.ds1 + st.r2 * inc.ds2) + st.r3 * inc.ds3 > 0.0) {
                const double H = model::plasticModulus(c_, st);
                const double r[3] = {st.r1, st.r2, st.r3};
                const double m[3] = {st.m1, st.m2, st.m3};
                Compliance Kp = {};
                for (int j = 0; j < 3; ++j) {
                    for (int l = 0; l < 3; ++l) {
                        if (!model::reads(Code, j, l)) continue;
                        const double ce_jl = j == l ? static_cast<double>(ce.invE) : -ce.nuE;
                        Kp[j][l] = toFloat(ce_jl + (m[j] * (H * r[l])) / st.dil);
                    }
                }
                solveIncrements<Code>(Kp, b_, d, inc);
            }
        } else {
            // No stress change: only q and p of the start state are reported.
            out.qDev[k] = model::deviator(s1_, s2_, s3_);
            out.pMean[k] = (((s1_ + s2_) + s3_) / 3.0);
        }

        s1_ = s1_ + inc.ds1;
        s2_ = s2_ + inc.ds2;
        s3_ = s3_ + inc.ds3;
        eps1_ = eps1_ + d;
        eps2_ = eps2_ + inc.de2;
        eps3_ = eps3_ + inc.de3;
        const double ev = (eps1_ + eps2_) + eps3_;
        const double e = eStart_ - ev * (1.0 + eStart_);
        out.epsAxial[k + 1] = eps1_;
        out.epsVol[k + 1] = ev;
        out.voidRatio[k + 1] = e;

        const bool last = k + 2 == n_;
        if (Code == constantVolume || last) {
            const double q = model::deviator(s1_, s2_, s3_);
            const double p = model::meanStress(s1_, s2_, s3_);
            out.poreU[k + 1] = Code == constantVolume ? (q / 3.0 + pStart_) - p : 0.0;
            if (last) {
                out.qDev[k + 1] = q;
                out.pMean[k + 1] = p;
            }
        } else {
            out.poreU[k + 1] = 0.0;
        }
        ++k_;
        if (e <= 0.0) {
            reached_ = k + 2;
            return false;
        }
        return k_ + 1 < n_;
    }

    // Points reached: n, or the point whose void ratio ended the path.
    int reached() const { return reached_; }

private:
    const PathConstants& c_;
    Curves out_;
    const double b_;
    const double eStart_;
    const double pStart_;
    const int n_;
    int k_ = 0;
    int reached_ = n_;
    double s1_, s2_, s3_;
    double eps1_ = 0.0, eps2_ = 0.0, eps3_ = 0.0;
    Increments inc_;
};

template <int Code>
int shearPath(const PathConstants& c, const StartState& start, double b, int n, Curves out) {
    ShearRun<Code> run(c, start, b, n, out);
    while (run.step()) {
    }
    return run.reached();
}

// Two independent paths stepped alternately: the steps of one fill the
// pipeline while the other waits on its long chains of divisions.
template <int A, int B>
void shearPair(const PathConstants& ca, const StartState& sa, double ba, Curves outA, int& reachedA,
               const PathConstants& cb, const StartState& sb, double bb, Curves outB, int& reachedB) {
    ShearRun<A> a(ca, sa, ba, ca.n, outA);
    ShearRun<B> b(cb, sb, bb, cb.n, outB);
    bool moreA = true, moreB = true;
    while (moreA && moreB) {
        moreA = a.step();
        moreB = b.step();
    }
    while (moreA) moreA = a.step();
    while (moreB) moreB = b.step();
    reachedA = a.reached();
    reachedB = b.reached();
}

template <int A>
void shearPairFirst(int codeB, const PathConstants& ca, const StartState& sa, double ba, Curves outA,
                    int& reachedA, const PathConstants& cb, const StartState& sb, double bb, Curves outB,
                    int& reachedB) {
    switch (codeB) {
        case 1: return shearPair<A, 1>(ca, sa, ba, outA, reachedA, cb, sb, bb, outB, reachedB);
        case 2: return shearPair<A, 2>(ca, sa, ba, outA, reachedA, cb, sb, bb, outB, reachedB);
        case 3: return shearPair<A, 3>(ca, sa, ba, outA, reachedA, cb, sb, bb, outB, reachedB);
        case 4: return shearPair<A, 4>(ca, sa, ba, outA, reachedA, cb, sb, bb, outB, reachedB);
        case 5: return shearPair<A, 5>(ca, sa, ba, outA, reachedA, cb, sb, bb, outB, reachedB);
        default: return shearPair<A, 0>(ca, sa, ba, outA, reachedA, cb, sb, bb, outB, reachedB);
    }
}

}  // namespace

void runShearPathPair(const ModelConstants& model, const StartState& startA, const ShearSettings& a,
                      const PathArrays& arraysA, int& reachedA, const StartState& startB,
                      const ShearSettings& b, const PathArrays& arraysB, int& reachedB) {
    if (a.nPoints < 2 || b.nPoints < 2) {
        reachedA = runShearPath(model, startA, a, arraysA);
        reachedB = runShearPath(model, startB, b, arraysB);
        return;
    }
    checkPathArrays(arraysA, a.nPoints);
    checkPathArrays(arraysB, b.nPoints);
    const Curves outA(arraysA), outB(arraysB);
    outA.voidRatio[0] = startA.eStart;
    outA.epsAxial[0] = 0.0;
    outB.voidRatio[0] = startB.eStart;
    outB.epsAxial[0] = 0.0;
    const PathConstants ca = model::pathConstants(model, startA, a.bValue, a.strainRange, a.nPoints);
    const PathConstants cb = model::pathConstants(model, startB, b.bValue, b.strainRange, b.nPoints);
    switch (codeOf(a.testType)) {
        case 1: return shearPairFirst<1>(codeOf(b.testType), ca, startA, a.bValue, outA, reachedA, cb, startB, b.bValue, outB, reachedB);
        case 2: return shearPairFirst<2>(codeOf(b.testType), ca, startA, a.bValue, outA, reachedA, cb, startB, b.bValue, outB, reachedB);
        case 3: return shearPairFirst<3>(codeOf(b.testType), ca, startA, a.bValue, outA, reachedA, cb, startB, b.bValue, outB, reachedB);
        case 4: return shearPairFirst<4>(codeOf(b.testType), ca, startA, a.bValue, outA, reachedA, cb, startB, b.bValue, outB, reachedB);
        case 5: return shearPairFirst<5>(codeOf(b.testType), ca, startA, a.bValue, outA, reachedA, cb, startB, b.bValue, outB, reachedB);
        default: return shearPairFirst<0>(codeOf(b.testType), ca, startA, a.bValue, outA, reachedA, cb, startB, b.bValue, outB, reachedB);
    }
}

int runShearPath(const ModelConstants& model, const StartState& start, const ShearSettings& settings,
                 const PathArrays& arrays) {
    const int n = settings.nPoints;
    checkPathArrays(arrays, n);
    if (n < 1) return 0;
    const Curves out(arrays);
    out.voidRatio[0] = start.eStart;
    out.epsAxial[0] = 0.0;
    if (n < 2) return 1;
    const PathConstants c =
        model::pathConstants(model, start, settings.bValue, settings.strainRange, n);
    const double b = settings.bValue;
    switch (settings.testType) {
        case constantVolume: return shearPath<constantVolume>(c, start, b, n, out);
        case constantMeanStress: return shearPath<constantMeanStress>(c, start, b, n, out);
        case constantMinorStress: return shearPath<constantMinorStress>(c, start, b, n, out);
        case zeroLateralStrain: return shearPath<zeroLateralStrain>(c, start, b, n, out);
        case isotropicPath: return shearPath<isotropicPath>(c, start, b, n, out);
        default: return shearPath<0>(c, start, b, n, out);
    }
}

void integrateShearPath(const ModelConstants& model, const StartState& start,
                        const ShearSettings& settings, const PathArrays& arrays) {
    runShearPath(model, start, settings, arrays);
}

namespace {

// Drained isotropic compression. With Watch, the run also looks for the
// first interval of the mean-stress curve that brackets `target` and stops
// as soon as it is known.
template <bool Watch>
BracketSearch compressionPath(const ModelConstants& model, const StartState& start,
                              const CompressionSettings& settings, const PathArrays& arrays,
                              double target) {
    const int n = settings.nPoints;
    checkPathArrays(arrays, n);
    BracketSearch result{-1, false};
    if (n < 1) return result;
    const Curves out(arrays);
    out.voidRatio[0] = start.eStart;
    out.epsAxial[0] = 0.0;
    if (n < 2) return result;
    const PathConstants c =
        model::pathConstants(model, start, settings.zBlend, settings.strainRange, n);
    const double d = c.d;
    const double eStart = start.eStart;
    const double dLateral = single(d);
    // Intervals [j, j + 1] of the mean-stress curve checked so far.
    int checked = 0;
    auto brackets = [&](int j) { return out.pMean[j] <= target && target < out.pMean[j + 1]; };

    // All three stresses receive the same increment, so s1 keeps its small
    // excess over s2 and s3 for the whole path.
    double s1 = start.pStart + f1em8;
    double s2 = start.pStart;
    double s3 = start.pStart;
    double eps1 = 0.0;
    double eps2 = 0.0;
    double eps3 = 0.0;

    for (int k = 0; k + 1 < n; ++k) {
        const PointState st = model::pointState<true, 1>(c, s1, s2, s3, out.voidRatio[k]);
        out.qDev[k] = st.qf;
        out.pMean[k] = st.p;
        if constexpr (Watch) {
            if (k >= 1) {
                if (brackets(k - 1)) return {k - 1, false};
                checked = k;
            }
        }

        // Only the axial row of the compliance matters: equal stress
        // increments under an equal strain increment on every axis.
        const ElasticCompliance ce = model::elasticCompliance(c, st.pt);
        const float cE = (ce.a + ce.invE) + ce.a;
        double ds = single(d / cE);
        if ((st.r1 * ds + st.r2 * ds) + st.r3 * ds > 0.0) {
            const double H = c.lambdaKappaStar * (st.Mc4 - st.eta4) / (st.Mf4 - st.eta4);
            const double c1 = ((H * st.r1) * st.m1) / st.dil;
            const double c2 = ((H * st.r2) * st.m1) / st.dil;
            const double c3 = ((H * st.r3) * st.m1) / st.dil;
            const float b1 = toFloat(static_cast<double>(ce.invE) + c1);
            const float b2 = toFloat(c2 - ce.nuE);
            const float b3 = toFloat(-ce.nuE + c3);
            ds = single(d / ((b1 + b2) + b3));
        }

        s1 = s1 + ds;
        s2 = s2 + ds;
        s3 = s3 + ds;
        eps1 = eps1 + d;
        eps2 = eps2 + dLateral;
        eps3 = eps3 + dLateral;
        const double ev = (eps1 + eps2) + eps3;
        const double e = eStart - ev * (1.0 + eStart);
        out.epsAxial[k + 1] = eps1;
        out.epsVol[k + 1] = ev;
        out.voidRatio[k + 1] = e;
        out.poreU[k + 1] = 0.0;
        if (k + 2 == n) {
            out.qDev[k + 1] = model::deviator(s1, s2, s3);
            out.pMean[k + 1] = model::meanStress(s1, s2, s3);
        }
        if (e <= 0.0) {
            // The rest of the curve holds what the arrays held before.
            result.readUnwritten = k + 2 < n;
            break;
        }
    }
    if constexpr (Watch) {
        for (int j = checked; j + 1 < n; ++j) {
            if (brackets(j)) return {j, result.readUnwritten};
        }
    }
    return result;
}

}  // namespace

BracketSearch compressToPressure(const ModelConstants& model, const StartState& start,
                                 const CompressionSettings& settings, const PathArrays& arrays,
                                 double pTarget) {
    return compressionPath<true>(model, start, settings, arrays, pTarget);
}

void integrateIsotropicCompression(const ModelConstants& model, const StartState& start,
                                   const CompressionSettings& settings, const PathArrays& arrays) {
    compressionPath<false>(model, start, settings, arrays, 0.0);
}

}  // namespace calvenor
