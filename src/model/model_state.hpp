// The model-state computations shared by both path integrators: invariants,
// transformed stress, state parameter, stress ratios, the gradient of the
// transformed deviator stress and the yield-surface normal, the flow
// direction and the elastic compliance. Every grouping below is part of the
// result: the expressions are evaluated exactly in the order written.
#pragma once

#include <cmath>

#include "model/integrators.hpp"
#include "model/single.hpp"

namespace calvenor::model {

// Values fixed for the whole path.
struct PathConstants {
    double d;             // axial (or principal) strain increment of every step
    int n;                // points of the path
    double M, M2, M4;     // critical-state stress ratio and its powers
    double chi;
    double sm;
    double nu;
    double lambda;
    double lambdaMinusKappa;  // in double, unscaled
    double kappaStar;     // single(kappa / (1 + eStart))
    double lambdaKappaStar;  // single((lambda - kappa) / (1 + eStart))
    double Z;             // single-rounded blend of zFirst and zSecond
    double ps;            // single(exp((N - Z) / lambda) - 1)
    double P1;            // 1 + ps as a single-precision sum
    double sigma0;        // stress shift from cohesion
    // Constant factors of the step formulas, each formed exactly as the
    // formulas group it.
    double onePlusChi;    // 1 + chi
    double normalScale;   // (3 chi + 1) M^2
    double aqScale;       // 2 M^2 (1 + chi)
    double failureScale;  // 12 (3 - M) / M^2
    double stiffScale;    // 3 (1 - 2 nu)
};

inline PathConstants pathConstants(const ModelConstants& m, const StartState& start, double blend,
                                   double strainRange, int nPoints) {
    PathConstants c{};
    c.d = strainRange / static_cast<double>(nPoints - 1);
    c.n = nPoints;
    c.M = m.propm;
    c.M2 = square(m.propm);
    c.M4 = fourth(m.propm);
    c.chi = m.chi;
    c.sm = m.sm;
    c.nu = m.enu;
    c.lambda = m.plamda;
    c.lambdaMinusKappa = m.plamda - m.pkappa;
    c.kappaStar = single(m.pkappa / (1.0 + start.eStart));
    c.lambdaKappaStar = single((m.plamda - m.pkappa) / (1.0 + start.eStart));
    c.Z = single(m.zFirst - (m.zFirst - m.zSecond) * blend);
    const float psF = toFloat(std::exp((m.pnvoid - c.Z) / m.plamda) - 1.0);
    c.ps = psF;
    c.P1 = static_cast<double>(psF + 1.0f);
    c.sigma0 = m.cohesion / std::tan(std::asin(3.0 * m.propm / (m.propm + 6.0)));
    c.onePlusChi = 1.0 + m.chi;
    c.normalScale = (3.0 * m.chi + 1.0) * c.M2;
    c.aqScale = 2.0 * c.M2 * (1.0 + m.chi);
    c.failureScale = 12.0 * (3.0 - m.propm) / c.M2;
    c.stiffScale = 3.0 * (1.0 - 2.0 * m.enu);
    return c;
}

// Deviator stress of a principal stress state.
inline double deviator(double s1, double s2, double s3) {
    return fRootHalf * std::sqrt((square(s1 - s2) + square(s2 - s3)) + square(s1 - s3));
}

inline double meanStress(double s1, double s2, double s3) { return ((s1 + s2) + s3) / 3.0; }

// State of one point. `Floors` applies the small-value floors on the
// transformed-stress denominator and on q (isotropic paths);
// `FlowRows` is the number of axes whose flow direction is needed (1: the
// axial one only, as on the isotropic paths).
struct PointState {
    double p;      // mean stress
    double qf;     // deviator stress, floored where floors apply
    double eta;    // transformed stress ratio
    double eta4;
    double Mc4;
    double Mf4;
    double dil;    // volumetric flow term
    double r1, r2, r3;  // yield-surface normal
    double m1, m2, m3;  // flow direction
    double pt;     // shifted mean stress
};

template <bool Floors, int FlowRows>
inline PointState pointState(const PathConstants& c, double s1, double s2, double s3, double ek) {
    PointState st;
    // Invariants.
    const double I1 = (s1 + s2) + s3;
    const double I2 = (s2 * s3 + s1 * s2) + s1 * s3;
    const double I3 = (s1 * s2) * s3;
    const double p = I1 / 3.0;
    const double pt = c.sigma0 + p;

    // Transformed deviator stress.
    double B = I1 * I2 - 9.0 * I3;
    if (Floors && B < f1em10) B = f1em10;
    const double S = std::sqrt((I1 * I2 - I3) / B);
    const double D = 3.0 * S - 1.0;
    const double qc = 2.0 * I1 / D;

    const double q = deviator(s1, s2, s3);
    double qf = q;
    if (Floors && q < f1em10) qf = f1em10;

    // Transformed principal stresses.
    const double t1 = ((s1 - p) * qc) / qf + p;
    const double t2 = ((s2 - p) * qc) / qf + p;
    const double t3 = ((s3 - p) * qc) / qf + p;

    // Stress ratio and state parameter.
    const double eta = qc / pt;
    const double eta2 = eta * eta;
    const double eta4 = eta2 * eta2;
    const double shape = c.M2 - c.chi * eta2;
    const double L1 = std::log((pt + c.ps) / c.P1);
    const double L2 =
        std::log((pt * (1.0 + c.onePlusChi * eta2 / shape) + c.ps) / (pt + c.ps));
    const double xi = ((c.Z - c.lambda * L1) - c.lambdaMinusKappa * L2) - ek;
    const double Mf =
        6.0 / (1.0 + std::sqrt(c.failureScale * std::exp(-xi / c.lambdaMinusKappa) + 1.0));
    const double Mc = c.M * std::exp(-c.sm * xi);
    const double Mc2 = Mc * Mc;

    // Gradient of qc with respect to the principal stresses.
    const double I1sq = I1 * I1;
    const double G = S * (D * D) * (B * B);
    const double T0 = 2.0 / D + 24.0 * I1 * I2 * I3 / G;
    const double T2 = 24.0 * I1sq * I2 / G;
    const double T3 = 24.0 * I1sq * I3 / G;
    const double g1 = (T0 + (s2 + s3) * T3) - s2 * s3 * T2;
    const double g2 = (T0 + (s1 + s3) * T3) - s1 * s3 * T2;
    const double g3 = (T0 + (s1 + s2) * T3) - s1 * s2 * T2;

    // Yield-surface normal.
    const double Den = pt * shape * (c.M2 + eta2 + shape * c.ps / pt);
    const double Ap = (c.M4 - c.normalScale * eta2 - c.chi * eta4) / Den;
    const double Aq = c.aqScale * eta / Den;
    st.r1 = Aq * g1 + Ap * fOneThird;
    st.r2 = Aq * g2 + Ap * fOneThird;
    st.r3 = Aq * g3 + Ap * fOneThird;

    // Flow direction.
    const double flowScale = (eta2 + Mc2) * pt;
    st.dil = (Mc2 - eta2) / flowScale;
    const double gq = 2.0 * eta / flowScale;
    st.m1 = gq * ((2.0 * t1 - t2) - t3) / (2.0 * qc) + fOneThird * st.dil;
    st.m2 = FlowRows >= 2 ? gq * ((2.0 * t2 - t1) - t3) / (2.0 * qc) + fOneThird * st.dil : 0.0;
    st.m3 = FlowRows >= 3 ? gq * ((2.0 * t3 - t1) - t2) / (2.0 * qc) + fOneThird * st.dil : 0.0;

    st.p = p;
    st.qf = qf;
    st.eta = eta;
    st.eta4 = eta4;
    st.Mc4 = Mc2 * Mc2;
    st.Mf4 = fourth(Mf);
    st.pt = pt;
    return st;
}

// Elastic compliance at a point: 1/E on the diagonal (single division) and
// -nu/E off it, in double (nuE) and rounded (a).
struct ElasticCompliance {
    float invE;
    float a;
    double nuE;
};

inline ElasticCompliance elasticCompliance(const PathConstants& c, double pt) {
    const double E = single(c.stiffScale * (pt + c.ps) / c.kappaStar);
    ElasticCompliance k;
    k.invE = 1.0f / toFloat(E);
    k.nuE = c.nu / E;
    k.a = toFloat(-k.nuE);
    return k;
}

// Entries of the compliance that the increment solution of a test type code
// (1..5) reads.
constexpr bool reads(int code, int j, int l) {
    switch (code) {
        case constantMinorStress: return l < 2;
        case zeroLateralStrain: return j < 2;
        case isotropicPath: return j == 0;
        default: return true;
    }
}

// Rows of the flow direction that the plastic compliance of a code needs.
constexpr int flowRows(int code) {
    return code == isotropicPath ? 1 : code == zeroLateralStrain ? 2 : 3;
}

// Plastic modulus factor.
inline double plasticModulus(const PathConstants& c, const PointState& st) {
    return ((st.Mc4 - st.eta4) * c.lambdaKappaStar) / (st.Mf4 - st.eta4);
}

}  // namespace calvenor::model
