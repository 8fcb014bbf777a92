// The lane steps of both integrators, written once for any lane type L and
// compiled once per instruction set (lanes.cpp, lanes_avx2.cpp). Every
// formula is the scalar one of model_state.hpp and integrators.cpp, with the
// same groupings and the same single-precision roundings; only +, -, *, /
// and sqrt run in lanes, and exp and log are the scalar library functions
// called lane by lane.
//
// A lane type L provides
//   width                       lanes per group
//   D, F, M                     doubles, floats and a comparison mask in lanes
//   dup(x), gather(p), put(v, p)  broadcast, load and store `width` doubles
//   D and F arithmetic          + - * / (and D with a double on either side), -D
//   sqrt, exp, log              per lane, exactly the scalar functions
//   narrow(D) -> F, wide(F) -> D, single(D)  the roundings to single precision
//   lt, le, gt -> M, select(m, a, b), bits(m), maskOf(bits)
//
// Everything below is internal to the file that includes it: the templates
// are instantiated with lane types of that file's own anonymous namespace, so
// no code compiled for one instruction set is shared with another file.
#pragma once

#include "model/integrators.hpp"
#include "model/model_state.hpp"

namespace calvenor::lanes {

inline constexpr int maxWidth = 8;

// Order of the curves in the pointer tables.
enum Curve { epsAxialCurve, qDevCurve, pMeanCurve, voidRatioCurve, poreUCurve, epsVolCurve, curveCount };

// Path code of a group whose lanes may be of any of the codes 1..5, each
// lane stepped by the rules of its own code.
inline constexpr int mixedCodes = -1;

// Up to maxWidth shear paths of one path code (0 for every code outside
// 1..5; mixedCodes: each lane's own code in `codes`), each with at least two
// points. Lanes from `count` on hold copies of lane 0's values and no
// curves; they are stepped but never written.
struct ShearGroup {
    int count = 0;
    int code = 0;
    int codes[maxWidth]{};
    model::PathConstants c[maxWidth]{};
    double b[maxWidth]{};
    double eStart[maxWidth]{};
    double pStart[maxWidth]{};
    int n[maxWidth]{};
    double* curve[maxWidth][curveCount]{};
    int reached[maxWidth]{};  // set by the kernel
};

// Up to maxWidth compression runs to a pressure, each with at least two
// points; unused lanes as above.
struct CompressionGroup {
    int count = 0;
    model::PathConstants c[maxWidth]{};
    double eStart[maxWidth]{};
    double pStart[maxWidth]{};
    double target[maxWidth]{};
    int n[maxWidth]{};
    double* curve[maxWidth][curveCount]{};
    BracketSearch search[maxWidth]{};  // set by the kernel
};

// The AVX2 kernel (lanes_avx2.cpp), built on x86-64 only.
void avx2ShearGroup(ShearGroup& group);
void avx2CompressionGroup(CompressionGroup& group);

namespace {

// The path constants of a group, one lane each.
template <class L>
struct LaneConstants {
    using D = typename L::D;
    D d, M, M2, M4, chi, sm, nu, lambda, lambdaMinusKappa, kappaStar, lambdaKappaStar, Z, ps, P1,
        sigma0, onePlusChi, normalScale, aqScale, failureScale, stiffScale;

    explicit LaneConstants(const model::PathConstants* c) {
        auto field = [c](double model::PathConstants::*f) {
            double v[L::width];
            for (int i = 0; i < L::width; ++i) v[i] = c[i].*f;
            return L::gather(v);
        };
        using P = model::PathConstants;
        d = field(&P::d);
        M = field(&P::M);
        M2 = field(&P::M2);
        M4 = field(&P::M4);
        chi = field(&P::chi);
        sm = field(&P::sm);
        nu = field(&P::nu);
        lambda = field(&P::lambda);
        lambdaMinusKappa = field(&P::lambdaMinusKappa);
        kappaStar = field(&P::kappaStar);
        lambdaKappaStar = field(&P::lambdaKappaStar);
        Z = field(&P::Z);
        ps = field(&P::ps);
        P1 = field(&P::P1);
        sigma0 = field(&P::sigma0);
        onePlusChi = field(&P::onePlusChi);
        normalScale = field(&P::normalScale);
        aqScale = field(&P::aqScale);
        failureScale = field(&P::failureScale);
        stiffScale = field(&P::stiffScale);
    }
};

template <class L>
typename L::D laneDeviator(typename L::D s1, typename L::D s2, typename L::D s3) {
    const auto a = s1 - s2, b = s2 - s3, c = s1 - s3;
    return fRootHalf * L::sqrt((a * a + b * b) + c * c);
}

template <class L>
typename L::D laneMeanStress(typename L::D s1, typename L::D s2, typename L::D s3) {
    return ((s1 + s2) + s3) / 3.0;
}

// model::PointState in lanes.
template <class L>
struct LanePoint {
    using D = typename L::D;
    D p, qf, eta4, Mc4, Mf4, dil, r1, r2, r3, m1, m2, m3, pt;
};

// model::pointState in lanes; with Floors 1 every lane takes the floors,
// with Floors 2 the lanes of floorLanes do.
template <class L, int Floors, int FlowRows>
[[gnu::always_inline]] inline LanePoint<L> lanePoint(const LaneConstants<L>& c, typename L::D s1,
                                                     typename L::D s2, typename L::D s3,
                                                     typename L::D ek,
                                                     typename L::M floorLanes = typename L::M{}) {
    using D = typename L::D;
    LanePoint<L> st;
    const D I1 = (s1 + s2) + s3;
    const D I2 = (s2 * s3 + s1 * s2) + s1 * s3;
    const D I3 = (s1 * s2) * s3;
    const D p = I1 / 3.0;
    const D pt = c.sigma0 + p;

    D B = I1 * I2 - 9.0 * I3;
    if constexpr (Floors == 1) B = L::select(L::lt(B, L::dup(f1em10)), L::dup(f1em10), B);
    if constexpr (Floors == 2) B = L::select(floorLanes, L::select(L::lt(B, L::dup(f1em10)), L::dup(f1em10), B), B);
    const D S = L::sqrt((I1 * I2 - I3) / B);
    const D D_ = 3.0 * S - 1.0;
    const D qc = 2.0 * I1 / D_;

    const D q = laneDeviator<L>(s1, s2, s3);
    D qf = q;
    if constexpr (Floors == 1) qf = L::select(L::lt(q, L::dup(f1em10)), L::dup(f1em10), q);
    if constexpr (Floors == 2) qf = L::select(floorLanes, L::select(L::lt(q, L::dup(f1em10)), L::dup(f1em10), q), q);

    const D t1 = ((s1 - p) * qc) / qf + p;
    const D t2 = ((s2 - p) * qc) / qf + p;
    const D t3 = ((s3 - p) * qc) / qf + p;

    const D eta = qc / pt;
    const D eta2 = eta * eta;
    const D eta4 = eta2 * eta2;
    const D shape = c.M2 - c.chi * eta2;
    const D L1 = L::log((pt + c.ps) / c.P1);
    const D L2 = L::log((pt * (1.0 + c.onePlusChi * eta2 / shape) + c.ps) / (pt + c.ps));
    const D xi = ((c.Z - c.lambda * L1) - c.lambdaMinusKappa * L2) - ek;
    const D Mf = 6.0 / (1.0 + L::sqrt(c.failureScale * L::exp(-xi / c.lambdaMinusKappa) + 1.0));
    const D Mc = c.M * L::exp(-c.sm * xi);
    const D Mc2 = Mc * Mc;

    const D I1sq = I1 * I1;
    const D G = S * (D_ * D_) * (B * B);
    const D T0 = 2.0 / D_ + 24.0 * I1 * I2 * I3 / G;
    const D T2 = 24.0 * I1sq * I2 / G;
    const D T3 = 24.0 * I1sq * I3 / G;
    const D g1 = (T0 + (s2 + s3) * T3) - s2 * s3 * T2;
    const D g2 = (T0 + (s1 + s3) * T3) - s1 * s3 * T2;
    const D g3 = (T0 + (s1 + s2) * T3) - s1 * s2 * T2;

    const D Den = pt * shape * (c.M2 + eta2 + shape * c.ps / pt);
    const D Ap = (c.M4 - c.normalScale * eta2 - c.chi * eta4) / Den;
    const D Aq = c.aqScale * eta / Den;
    st.r1 = Aq * g1 + Ap * fOneThird;
    st.r2 = Aq * g2 + Ap * fOneThird;
    st.r3 = Aq * g3 + Ap * fOneThird;

    const D flowScale = (eta2 + Mc2) * pt;
    st.dil = (Mc2 - eta2) / flowScale;
    const D gq = 2.0 * eta / flowScale;
    st.m1 = gq * ((2.0 * t1 - t2) - t3) / (2.0 * qc) + fOneThird * st.dil;
    st.m2 = st.m3 = L::dup(0.0);
    if constexpr (FlowRows >= 2) st.m2 = gq * ((2.0 * t2 - t1) - t3) / (2.0 * qc) + fOneThird * st.dil;
    if constexpr (FlowRows >= 3) st.m3 = gq * ((2.0 * t3 - t1) - t2) / (2.0 * qc) + fOneThird * st.dil;

    st.p = p;
    st.qf = qf;
    st.eta4 = eta4;
    st.Mc4 = Mc2 * Mc2;
    const D Mf2 = Mf * Mf;
    st.Mf4 = Mf2 * Mf2;
    st.pt = pt;
    return st;
}

// model::ElasticCompliance in lanes.
template <class L>
struct LaneCompliance {
    typename L::F invE, a;
    typename L::D nuE;
};

template <class L>
[[gnu::always_inline]] inline LaneCompliance<L> laneElastic(const LaneConstants<L>& c, typename L::D pt) {
    const typename L::D E = L::single(c.stiffScale * (pt + c.ps) / c.kappaStar);
    LaneCompliance<L> k;
    k.invE = L::fdup(1.0f) / L::narrow(E);
    k.nuE = c.nu / E;
    k.a = L::narrow(-k.nuE);
    return k;
}

template <class L>
struct LaneIncrements {
    typename L::D ds1, ds2, ds3, de2, de3;
};

// solveIncrements of integrators.cpp in lanes; K[j][l] in single precision.
template <class L, int Code>
[[gnu::always_inline]] inline LaneIncrements<L> laneSolve(const typename L::F (&K)[3][3], typename L::D b,
                                                          typename L::D d) {
    using D = typename L::D;
    using F = typename L::F;
    const F K11 = K[0][0], K12 = K[0][1], K13 = K[0][2];
    const F K21 = K[1][0], K22 = K[1][1], K23 = K[1][2];
    const F K31 = K[2][0], K32 = K[2][1], K33 = K[2][2];
    auto w_ = [](F x) { return L::wide(x); };
    LaneIncrements<L> inc;
    if constexpr (Code == constantVolume) {
        const F C1 = (K11 + K21) + K31;
        const F C2 = (K12 + K22) + K32;
        const F C3 = (K13 + K23) + K33;
        const D A = w_(C1) + b * w_(C2);
        const D V = w_(C3) + (1.0 - b) * w_(C2);
        const D w = (w_(K11) + b * w_(K12)) - (((1.0 - b) * w_(K12) + w_(K13)) * A) / V;
        inc.ds1 = L::single(d / w);
        inc.ds3 = L::single(-(A * inc.ds1) / V);
        inc.ds2 = L::single(b * inc.ds1 + (1.0 - b) * inc.ds3);
        inc.de2 = L::single((w_(K21) + b * w_(K22)) * inc.ds1 + ((1.0 - b) * w_(K22) + w_(K23)) * inc.ds3);
        inc.de3 = L::single((w_(K31) + b * w_(K32)) * inc.ds1 + ((1.0 - b) * w_(K32) + w_(K33)) * inc.ds3);
    } else if constexpr (Code == constantMeanStress) {
        const F K11twice = K11 + K11;
        const D w = ((((-w_(K11twice) + b * w_(K11)) + w_(K12)) - 2.0 * b * w_(K12)) + w_(K13)) + b * w_(K13);
        const F ds1 = L::narrow((b - 2.0) * d / w);
        const F ds3 = L::narrow((b + 1.0) * d / w);
        inc.ds1 = w_(ds1);
        inc.ds2 = L::single((1.0 - 2.0 * b) * d / w);
        inc.ds3 = w_(ds3);
        inc.de2 = w_(((K21 * ds1 - K22 * ds1) - K22 * ds3) + K23 * ds3);
        inc.de3 = w_(((K31 * ds1 - K32 * ds1) - K32 * ds3) + K33 * ds3);
    } else if constexpr (Code == constantMinorStress) {
        const D w = w_(K11) + b * w_(K12);
        inc.ds1 = L::single(d / w);
        inc.ds2 = L::single((d * b) / w);
        inc.ds3 = L::dup(0.0);
        inc.de2 = L::single((w_(K21) + b * w_(K22)) * inc.ds1);
        inc.de3 = L::single((w_(K31) + b * w_(K32)) * inc.ds1);
    } else if constexpr (Code == zeroLateralStrain) {
        const F P1 = K12 * K21, P2 = K11 * K22, P3 = K22 * K13;
        const F P4 = K12 * K23, P5 = K13 * K21, P6 = K11 * K23;
        const F Q = ((P1 - P2) - P3) + P4;
        const D delta = ((((w_(Q) * b) - w_(P5)) + w_(P2)) + w_(P6)) - w_(P1);
        const F K23plusK21 = K23 + K21;
        inc.ds1 = L::single(((w_(K22) - b * w_(K22)) + w_(K23)) * d / delta);
        inc.ds2 = L::single((-w_(K21) + w_(K23plusK21) * b) * d / delta);
        inc.ds3 = L::single(-(w_(K21) + b * w_(K22)) * d / delta);
        inc.de2 = L::dup(0.0);
        inc.de3 = L::dup(0.0);
    } else if constexpr (Code == isotropicPath) {
        const D ds = L::single(d / w_((K11 + K12) + K13));
        inc.ds1 = inc.ds2 = inc.ds3 = ds;
        inc.de2 = inc.de3 = L::single(d);
    }
    return inc;
}

// The lanes of each code present (bit c of `present`, lanes codeLanes[c])
// take the increments of their own code.
template <class L>
[[gnu::always_inline]] inline LaneIncrements<L> laneSolveMixed(const typename L::F (&K)[3][3], typename L::D b,
                                                               typename L::D d, const typename L::M (&codeLanes)[6],
                                                               unsigned present) {
    LaneIncrements<L> inc{L::dup(0.0), L::dup(0.0), L::dup(0.0), L::dup(0.0), L::dup(0.0)};
    auto take = [&](int code, const LaneIncrements<L>& x) {
        const typename L::M m = codeLanes[code];
        inc.ds1 = L::select(m, x.ds1, inc.ds1);
        inc.ds2 = L::select(m, x.ds2, inc.ds2);
        inc.ds3 = L::select(m, x.ds3, inc.ds3);
        inc.de2 = L::select(m, x.de2, inc.de2);
        inc.de3 = L::select(m, x.de3, inc.de3);
    };
    if (present & (1u << constantVolume)) take(constantVolume, laneSolve<L, constantVolume>(K, b, d));
    if (present & (1u << constantMeanStress)) take(constantMeanStress, laneSolve<L, constantMeanStress>(K, b, d));
    if (present & (1u << constantMinorStress)) take(constantMinorStress, laneSolve<L, constantMinorStress>(K, b, d));
    if (present & (1u << zeroLateralStrain)) take(zeroLateralStrain, laneSolve<L, zeroLateralStrain>(K, b, d));
    if (present & (1u << isotropicPath)) take(isotropicPath, laneSolve<L, isotropicPath>(K, b, d));
    return inc;
}

// Stores lane i of v at curve[i][c][index] for every lane i set in `lanes`.
template <class L, class Group>
[[gnu::always_inline]] inline void laneStore(Group& g, int c, int index, typename L::D v, unsigned lanes) {
    double x[L::width];
    L::put(v, x);
    for (int i = 0; i < L::width; ++i) {
        if (lanes & (1u << i)) g.curve[i][c][index] = x[i];
    }
}

// The shear paths of a group, stepped together; each lane follows
// ShearRun::step of integrators.cpp for its code.
template <class L, int Code>
void laneShear(ShearGroup& g) {
    using D = typename L::D;
    using F = typename L::F;
    using M = typename L::M;
    constexpr int W = L::width;
    constexpr bool mixed = Code == mixedCodes;
    constexpr bool solves = mixed || (Code >= 1 && Code <= 5);
    constexpr int floors = mixed ? 2 : Code == isotropicPath ? 1 : 0;
    constexpr int flowRows = mixed ? 3 : model::flowRows(Code);
    // Of a mixed group: the lanes of each code, the codes present and the
    // compliance entries any of them reads.
    M codeLanes[6]{};
    unsigned present = 0;
    unsigned readEntries = 0;
    if constexpr (mixed) {
        for (int code = constantVolume; code <= isotropicPath; ++code) {
            unsigned bits = 0;
            for (int i = 0; i < W; ++i) bits |= (g.codes[i] == code ? 1u : 0u) << i;
            codeLanes[code] = L::maskOf(bits);
            if (bits == 0) continue;
            present |= 1u << code;
            for (int j = 0; j < 3; ++j) {
                for (int l = 0; l < 3; ++l) readEntries |= (model::reads(code, j, l) ? 1u : 0u) << (3 * j + l);
            }
        }
    }
    const LaneConstants<L> c(g.c);
    const D b = L::gather(g.b);
    const D eStart = L::gather(g.eStart);
    const D pStart = L::gather(g.pStart);
    const D d = c.d;

    unsigned active = (1u << g.count) - 1;
    for (int i = 0; i < W; ++i) {
        g.reached[i] = g.n[i];
    }
    int maxN = 0;
    for (int i = 0; i < g.count; ++i) maxN = g.n[i] > maxN ? g.n[i] : maxN;

    D s1 = pStart + f1em8, s2 = pStart, s3 = pStart;
    D eps1 = L::dup(0.0), eps2 = L::dup(0.0), eps3 = L::dup(0.0);
    D ek = eStart;  // void ratio at point k
    LaneIncrements<L> inc{L::dup(0.0), L::dup(0.0), L::dup(0.0), L::dup(0.0), L::dup(0.0)};

    for (int k = 0; active != 0 && k + 1 < maxN; ++k) {
        if constexpr (solves) {
            const LanePoint<L> st = lanePoint<L, floors, flowRows>(c, s1, s2, s3, ek, codeLanes[isotropicPath]);
            laneStore<L>(g, qDevCurve, k, st.qf, active);
            laneStore<L>(g, pMeanCurve, k, st.p, active);

            const LaneCompliance<L> ce = laneElastic<L>(c, st.pt);
            const F Ke[3][3] = {{ce.invE, ce.a, ce.a}, {ce.a, ce.invE, ce.a}, {ce.a, ce.a, ce.invE}};
            if constexpr (mixed) {
                inc = laneSolveMixed<L>(Ke, b, d, codeLanes, present);
            } else {
                inc = laneSolve<L, Code>(Ke, b, d);
            }

            const M loading = L::gt((st.r1 * inc.ds1 + st.r2 * inc.ds2) + st.r3 * inc.ds3, L::dup(0.0));
            if ((L::bits(loading) & active) != 0) {
                const D H = ((st.Mc4 - st.eta4) * c.lambdaKappaStar) / (st.Mf4 - st.eta4);
                const D r[3] = {st.r1, st.r2, st.r3};
                const D m[3] = {st.m1, st.m2, st.m3};
                // Evaluated here by the compiler: no call of model::reads.
                constexpr bool reads[3][3] = {
                    {model::reads(Code, 0, 0), model::reads(Code, 0, 1), model::reads(Code, 0, 2)},
                    {model::reads(Code, 1, 0), model::reads(Code, 1, 1), model::reads(Code, 1, 2)},
                    {model::reads(Code, 2, 0), model::reads(Code, 2, 1), model::reads(Code, 2, 2)}};
                F Kp[3][3];
                for (int j = 0; j < 3; ++j) {
                    for (int l = 0; l < 3; ++l) {
                        // A code's solution reads only the entries it reads.
                        const bool read = mixed ? ((readEntries >> (3 * j + l)) & 1u) != 0 : reads[j][l];
                        if (!read) {
                            Kp[j][l] = L::fdup(0.0f);
                            continue;
                        }
                        const D ce_jl = j == l ? L::wide(ce.invE) : -ce.nuE;
                        Kp[j][l] = L::narrow(ce_jl + (m[j] * (H * r[l])) / st.dil);
                    }
                }
                LaneIncrements<L> plastic;
                if constexpr (mixed) {
                    plastic = laneSolveMixed<L>(Kp, b, d, codeLanes, present);
                } else {
                    plastic = laneSolve<L, Code>(Kp, b, d);
                }
                inc.ds1 = L::select(loading, plastic.ds1, inc.ds1);
                inc.ds2 = L::select(loading, plastic.ds2, inc.ds2);
                inc.ds3 = L::select(loading, plastic.ds3, inc.ds3);
                inc.de2 = L::select(loading, plastic.de2, inc.de2);
                inc.de3 = L::select(loading, plastic.de3, inc.de3);
            }
        } else {
            laneStore<L>(g, qDevCurve, k, laneDeviator<L>(s1, s2, s3), active);
            laneStore<L>(g, pMeanCurve, k, ((s1 + s2) + s3) / 3.0, active);
        }

        const D n1 = s1 + inc.ds1;
        const D n2 = s2 + inc.ds2;
        const D n3 = s3 + inc.ds3;
        const D e1 = eps1 + d;
        const D e2 = eps2 + inc.de2;
        const D e3 = eps3 + inc.de3;
        const D ev = (e1 + e2) + e3;
        const D e = eStart - ev * (1.0 + eStart);
        laneStore<L>(g, epsAxialCurve, k + 1, e1, active);
        laneStore<L>(g, epsVolCurve, k + 1, ev, active);
        laneStore<L>(g, voidRatioCurve, k + 1, e, active);

        unsigned last = 0;
        for (int i = 0; i < W; ++i) last |= (k + 2 == g.n[i] ? 1u : 0u) << i;
        last &= active;
        const bool undrained = mixed && (present & (1u << constantVolume)) != 0;
        if (Code == constantVolume || last != 0 || undrained) {
            const D q = laneDeviator<L>(n1, n2, n3);
            const D p = laneMeanStress<L>(n1, n2, n3);
            if constexpr (Code == constantVolume) {
                laneStore<L>(g, poreUCurve, k + 1, (q / 3.0 + pStart) - p, active);
            } else if (undrained) {
                laneStore<L>(g, poreUCurve, k + 1,
                             L::select(codeLanes[constantVolume], (q / 3.0 + pStart) - p, L::dup(0.0)), active);
            } else {
                laneStore<L>(g, poreUCurve, k + 1, L::dup(0.0), active);
            }
            laneStore<L>(g, qDevCurve, k + 1, q, last);
            laneStore<L>(g, pMeanCurve, k + 1, p, last);
        } else {
            laneStore<L>(g, poreUCurve, k + 1, L::dup(0.0), active);
        }

        const unsigned stopped = L::bits(L::le(e, L::dup(0.0))) & active;
        for (int i = 0; i < W; ++i) {
            if (stopped & (1u << i)) g.reached[i] = k + 2;
        }
        const unsigned ending = stopped | last;
        if (ending != 0) {
            // Lanes that are over keep the state they stepped from, so they
            // repeat a step already taken instead of wandering off.
            active &= ~ending;
            const M on = L::maskOf(active);
            s1 = L::select(on, n1, s1);
            s2 = L::select(on, n2, s2);
            s3 = L::select(on, n3, s3);
            eps1 = L::select(on, e1, eps1);
            eps2 = L::select(on, e2, eps2);
            eps3 = L::select(on, e3, eps3);
            ek = L::select(on, e, ek);
        } else {
            s1 = n1;
            s2 = n2;
            s3 = n3;
            eps1 = e1;
            eps2 = e2;
            eps3 = e3;
            ek = e;
        }
    }
}

template <class L>
void laneShearGroup(ShearGroup& g) {
    switch (g.code) {
        case mixedCodes: return laneShear<L, mixedCodes>(g);
        case constantVolume: return laneShear<L, constantVolume>(g);
        case constantMeanStress: return laneShear<L, constantMeanStress>(g);
        case constantMinorStress: return laneShear<L, constantMinorStress>(g);
        case zeroLateralStrain: return laneShear<L, zeroLateralStrain>(g);
        case isotropicPath: return laneShear<L, isotropicPath>(g);
        default: return laneShear<L, 0>(g);
    }
}

// The compression runs of a group, stepped together; each lane follows
// compressionPath<true> of integrators.cpp.
template <class L>
void laneCompressionGroup(CompressionGroup& g) {
    using D = typename L::D;
    using F = typename L::F;
    using M = typename L::M;
    constexpr int W = L::width;
    const LaneConstants<L> c(g.c);
    const D eStart = L::gather(g.eStart);
    const D pStart = L::gather(g.pStart);
    const D target = L::gather(g.target);
    const D d = c.d;
    const D dLateral = L::single(d);

    unsigned active = (1u << g.count) - 1;
    // Per lane: the first interval not yet checked, and whether the run
    // ended on its void ratio, leaving entries unwritten.
    int checked[W];
    bool unwritten[W];
    bool found[W];
    for (int i = 0; i < W; ++i) {
        checked[i] = 0;
        unwritten[i] = false;
        found[i] = false;
        g.search[i] = {-1, false};
    }
    int maxN = 0;
    for (int i = 0; i < g.count; ++i) maxN = g.n[i] > maxN ? g.n[i] : maxN;

    D s1 = pStart + f1em8, s2 = pStart, s3 = pStart;
    D eps1 = L::dup(0.0), eps2 = L::dup(0.0), eps3 = L::dup(0.0);
    D ek = eStart;
    D pPrevious = L::dup(0.0);  // mean stress at point k - 1

    for (int k = 0; active != 0 && k + 1 < maxN; ++k) {
        const LanePoint<L> st = lanePoint<L, true, 1>(c, s1, s2, s3, ek);
        laneStore<L>(g, qDevCurve, k, st.qf, active);
        laneStore<L>(g, pMeanCurve, k, st.p, active);
        if (k >= 1) {
            const unsigned brackets = L::bits(L::le(pPrevious, target)) & L::bits(L::lt(target, st.p)) & active;
            for (int i = 0; i < W; ++i) {
                if (active & (1u << i)) checked[i] = k;
                if (brackets & (1u << i)) {
                    g.search[i] = {k - 1, false};
                    found[i] = true;
                }
            }
            active &= ~brackets;
        }
        pPrevious = st.p;

        const LaneCompliance<L> ce = laneElastic<L>(c, st.pt);
        const F cE = (ce.a + ce.invE) + ce.a;
        D ds = L::single(d / L::wide(cE));
        const M loading = L::gt((st.r1 * ds + st.r2 * ds) + st.r3 * ds, L::dup(0.0));
        if ((L::bits(loading) & active) != 0) {
            const D H = c.lambdaKappaStar * (st.Mc4 - st.eta4) / (st.Mf4 - st.eta4);
            const D c1 = ((H * st.r1) * st.m1) / st.dil;
            const D c2 = ((H * st.r2) * st.m1) / st.dil;
            const D c3 = ((H * st.r3) * st.m1) / st.dil;
            const F b1 = L::narrow(L::wide(ce.invE) + c1);
            const F b2 = L::narrow(c2 - ce.nuE);
            const F b3 = L::narrow(-ce.nuE + c3);
            ds = L::select(loading, L::single(d / L::wide((b1 + b2) + b3)), ds);
        }

        const D n1 = s1 + ds;
        const D n2 = s2 + ds;
        const D n3 = s3 + ds;
        const D e1 = eps1 + d;
        const D e2 = eps2 + dLateral;
        const D e3 = eps3 + dLateral;
        const D ev = (e1 + e2) + e3;
        const D e = eStart - ev * (1.0 + eStart);
        laneStore<L>(g, epsAxialCurve, k + 1, e1, active);
        laneStore<L>(g, epsVolCurve, k + 1, ev, active);
        laneStore<L>(g, voidRatioCurve, k + 1, e, active);
        laneStore<L>(g, poreUCurve, k + 1, L::dup(0.0), active);

        unsigned last = 0;
        for (int i = 0; i < W; ++i) last |= (k + 2 == g.n[i] ? 1u : 0u) << i;
        last &= active;
        if (last != 0) {
            laneStore<L>(g, qDevCurve, k + 1, laneDeviator<L>(n1, n2, n3), last);
            laneStore<L>(g, pMeanCurve, k + 1, laneMeanStress<L>(n1, n2, n3), last);
        }
        const unsigned stopped = L::bits(L::le(e, L::dup(0.0))) & active;
        for (int i = 0; i < W; ++i) {
            if (stopped & (1u << i)) unwritten[i] = k + 2 < g.n[i];
        }
        const unsigned ending = stopped | last;
        if (ending != 0) {
            active &= ~ending;
            const M on = L::maskOf(active);
            s1 = L::select(on, n1, s1);
            s2 = L::select(on, n2, s2);
            s3 = L::select(on, n3, s3);
            eps1 = L::select(on, e1, eps1);
            eps2 = L::select(on, e2, eps2);
            eps3 = L::select(on, e3, eps3);
            ek = L::select(on, e, ek);
        } else {
            s1 = n1;
            s2 = n2;
            s3 = n3;
            eps1 = e1;
            eps2 = e2;
            eps3 = e3;
            ek = e;
        }
    }

    // Lanes whose run ended without the interval: the search goes on over
    // the curve as it stands, entries the run left included.
    for (int i = 0; i < g.count; ++i) {
        if (found[i]) continue;
        const double* p = g.curve[i][pMeanCurve];
        const double t = g.target[i];
        g.search[i] = {-1, unwritten[i]};
        for (int j = checked[i]; j + 1 < g.n[i]; ++j) {
            if (p[j] <= t && t < p[j + 1]) {
                g.search[i] = {j, unwritten[i]};
                break;
            }
        }
    }
}

}  // namespace
}  // namespace calvenor::lanes
