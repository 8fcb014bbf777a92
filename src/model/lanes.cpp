// The lane kernels: the generic and SSE2 lane types, the grouping of the
// lanes, and the choice of the kernel at run time.
#include "model/lanes.hpp"

#include <cstdlib>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "model/lane_kernel.hpp"
#include "model/lane_vectors.hpp"
#include "model/single.hpp"

namespace calvenor {
namespace lanes {
namespace {

// Four lanes in plain doubles and floats, one operation after another: as
// portable as the scalar code, and four independent chains of divisions for
// the processor to overlap. The kernel of processors without SSE2.
struct GenericLanes {
    static constexpr int width = 4;

    template <class T, class Fn, std::size_t... I>
    static T map(Fn fn, std::index_sequence<I...>) {
        return T{{fn(I)...}};
    }
    template <class T, class Fn>
    static T map(Fn fn) {
        return map<T>(fn, std::make_index_sequence<width>{});
    }

    struct D {
        double v[width];
        friend D operator+(const D& a, const D& b) { return map<D>([&](auto i) { return a.v[i] + b.v[i]; }); }
        friend D operator-(const D& a, const D& b) { return map<D>([&](auto i) { return a.v[i] - b.v[i]; }); }
        friend D operator*(const D& a, const D& b) { return map<D>([&](auto i) { return a.v[i] * b.v[i]; }); }
        friend D operator/(const D& a, const D& b) { return map<D>([&](auto i) { return a.v[i] / b.v[i]; }); }
        friend D operator+(const D& a, double b) { return map<D>([&](auto i) { return a.v[i] + b; }); }
        friend D operator-(const D& a, double b) { return map<D>([&](auto i) { return a.v[i] - b; }); }
        friend D operator*(const D& a, double b) { return map<D>([&](auto i) { return a.v[i] * b; }); }
        friend D operator/(const D& a, double b) { return map<D>([&](auto i) { return a.v[i] / b; }); }
        friend D operator+(double a, const D& b) { return map<D>([&](auto i) { return a + b.v[i]; }); }
        friend D operator-(double a, const D& b) { return map<D>([&](auto i) { return a - b.v[i]; }); }
        friend D operator*(double a, const D& b) { return map<D>([&](auto i) { return a * b.v[i]; }); }
        friend D operator/(double a, const D& b) { return map<D>([&](auto i) { return a / b.v[i]; }); }
        friend D operator-(const D& a) { return map<D>([&](auto i) { return -a.v[i]; }); }
    };

    struct F {
        float v[width];
        friend F operator+(const F& a, const F& b) { return map<F>([&](auto i) { return a.v[i] + b.v[i]; }); }
        friend F operator-(const F& a, const F& b) { return map<F>([&](auto i) { return a.v[i] - b.v[i]; }); }
        friend F operator*(const F& a, const F& b) { return map<F>([&](auto i) { return a.v[i] * b.v[i]; }); }
        friend F operator/(const F& a, const F& b) { return map<F>([&](auto i) { return a.v[i] / b.v[i]; }); }
    };

    using M = unsigned;  // bit i: lane i

    static D dup(double x) { return map<D>([&](auto) { return x; }); }
    static F fdup(float x) { return map<F>([&](auto) { return x; }); }
    static D gather(const double* p) { return map<D>([&](auto i) { return p[i]; }); }
    static void put(const D& x, double* p) {
        for (int i = 0; i < width; ++i) p[i] = x.v[i];
    }

    static D sqrt(const D& x) { return map<D>([&](auto i) { return std::sqrt(x.v[i]); }); }
    static D exp(const D& x) { return map<D>([&](auto i) { return std::exp(x.v[i]); }); }
    static D log(const D& x) { return map<D>([&](auto i) { return std::log(x.v[i]); }); }

    static F narrow(const D& x) { return map<F>([&](auto i) { return toFloat(x.v[i]); }); }
    static D wide(const F& x) { return map<D>([&](auto i) { return static_cast<double>(x.v[i]); }); }
    static D single(const D& x) { return map<D>([&](auto i) { return calvenor::single(x.v[i]); }); }

    template <class Cmp>
    static M compare(const D& a, const D& b, Cmp cmp) {
        M m = 0;
        for (int i = 0; i < width; ++i) m |= (cmp(a.v[i], b.v[i]) ? 1u : 0u) << i;
        return m;
    }
    static M lt(const D& a, const D& b) { return compare(a, b, [](double x, double y) { return x < y; }); }
    static M le(const D& a, const D& b) { return compare(a, b, [](double x, double y) { return x <= y; }); }
    static M gt(const D& a, const D& b) { return compare(a, b, [](double x, double y) { return x > y; }); }
    static D select(M m, const D& a, const D& b) {
        return map<D>([&](auto i) { return (m >> i) & 1u ? a.v[i] : b.v[i]; });
    }
    static unsigned bits(M m) { return m; }
    static M maskOf(unsigned bits) { return bits; }
};

#if defined(__SSE2__)
// SSE2, part of every x86-64 processor: two doubles per register. On many
// processors a division of two doubles in one register costs the divider
// what a single one does, and the divisions set the pace of the steps.
struct Sse2 {
    using reg = __m128d;
    using freg = __m128;
    static constexpr int n = 2;
    static reg set1(double x) { return _mm_set1_pd(x); }
    static reg loadu(const double* p) { return _mm_loadu_pd(p); }
    static void storeu(double* p, reg x) { _mm_storeu_pd(p, x); }
    static reg add(reg a, reg b) { return _mm_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm_div_pd(a, b); }
    static reg sqrt(reg a) { return _mm_sqrt_pd(a); }
    static reg negate(reg a) { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
    static reg lt(reg a, reg b) { return _mm_cmplt_pd(a, b); }
    static reg le(reg a, reg b) { return _mm_cmple_pd(a, b); }
    static reg gt(reg a, reg b) { return _mm_cmpgt_pd(a, b); }
    static reg blend(reg m, reg a, reg b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
    static unsigned movemask(reg m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static reg maskOf(unsigned bits) {
        return _mm_castsi128_pd(_mm_set_epi64x(bits & 2u ? -1 : 0, bits & 1u ? -1 : 0));
    }
    // Two floats in the low half of the register.
    static freg narrow(reg a) { return _mm_cvtpd_ps(a); }
    static reg wide(freg a) { return _mm_cvtps_pd(a); }
    static freg fset1(float x) { return _mm_set1_ps(x); }
    static freg fadd(freg a, freg b) { return _mm_add_ps(a, b); }
    static freg fsub(freg a, freg b) { return _mm_sub_ps(a, b); }
    static freg fmul(freg a, freg b) { return _mm_mul_ps(a, b); }
    static freg fdiv(freg a, freg b) { return _mm_div_ps(a, b); }
};

// Groups of up to four lanes in two registers per value, larger ones in four.
void sse2ShearGroup(ShearGroup& g) {
    if (g.count <= 4) return laneShearGroup<VectorLanes<Sse2, 2>>(g);
    laneShearGroup<VectorLanes<Sse2, 4>>(g);
}
void sse2CompressionGroup(CompressionGroup& g) {
    if (g.count <= 4) return laneCompressionGroup<VectorLanes<Sse2, 2>>(g);
    laneCompressionGroup<VectorLanes<Sse2, 4>>(g);
}
#endif

using ShearGroupFn = void (*)(ShearGroup&);
using CompressionGroupFn = void (*)(CompressionGroup&);

void curvePointers(const PathArrays& a, double* (&curve)[curveCount]) {
    curve[epsAxialCurve] = a.epsAxial.data();
    curve[qDevCurve] = a.qDev.data();
    curve[pMeanCurve] = a.pMean.data();
    curve[voidRatioCurve] = a.voidRatio.data();
    curve[poreUCurve] = a.poreU.data();
    curve[epsVolCurve] = a.epsVol.data();
}

// Lanes [0, count) of a group filled; the rest copy lane 0's values.
template <class Group>
void padGroup(Group& g, int count) {
    g.count = count;
    for (int i = count; i < maxWidth; ++i) {
        g.c[i] = g.c[0];
        g.eStart[i] = g.eStart[0];
        g.pStart[i] = g.pStart[0];
        g.n[i] = g.n[0];
        for (auto& p : g.curve[i]) p = nullptr;
        if constexpr (requires { g.codes[i]; }) g.codes[i] = g.codes[0];
        if constexpr (requires { g.b[i]; }) g.b[i] = g.b[0];
        if constexpr (requires { g.target[i]; }) g.target[i] = g.target[0];
    }
}

// The lanes of each path code in groups of `width`, in the order given (with
// `mixed`, the lanes of the codes 1..5 together); lanes of fewer than two
// points take the scalar run.
void shearLanes(std::span<ShearLane> lanes, int width, ShearGroupFn run, bool mixed) {
    for (const ShearLane& l : lanes) checkPathArrays(l.out, l.settings.nPoints);
    ShearGroup g;
    ShearLane* members[maxWidth];
    auto flush = [&](int count) {
        padGroup(g, count);
        run(g);
        for (int i = 0; i < count; ++i) members[i]->reached = g.reached[i];
    };
    static constexpr int byCode[] = {0, 1, 2, 3, 4, 5};
    static constexpr int codesTogether[] = {mixedCodes, 0};
    for (const int code : mixed ? std::span<const int>(codesTogether) : std::span<const int>(byCode)) {
        g.code = code;
        int count = 0;
        for (ShearLane& l : lanes) {
            const ShearSettings& s = l.settings;
            const int own = codeOf(s.testType);
            if (code == mixedCodes ? own == 0 : own != code) continue;
            if (s.nPoints < 2) {
                l.reached = runShearPath(l.model, l.start, s, l.out);
                continue;
            }
            l.out.voidRatio[0] = l.start.eStart;
            l.out.epsAxial[0] = 0.0;
            g.c[count] = model::pathConstants(l.model, l.start, s.bValue, s.strainRange, s.nPoints);
            g.b[count] = s.bValue;
            g.codes[count] = own;
            g.eStart[count] = l.start.eStart;
            g.pStart[count] = l.start.pStart;
            g.n[count] = s.nPoints;
            curvePointers(l.out, g.curve[count]);
            members[count] = &l;
            if (++count == width) {
                flush(count);
                count = 0;
            }
        }
        if (count > 0) flush(count);
    }
}

void compressionLanes(std::span<CompressionLane> lanes, int width, CompressionGroupFn run) {
    for (const CompressionLane& l : lanes) checkPathArrays(l.out, l.settings.nPoints);
    CompressionGroup g;
    CompressionLane* members[maxWidth];
    auto flush = [&](int count) {
        padGroup(g, count);
        run(g);
        for (int i = 0; i < count; ++i) members[i]->search = g.search[i];
    };
    int count = 0;
    for (CompressionLane& l : lanes) {
        const CompressionSettings& s = l.settings;
        if (s.nPoints < 2) {
            l.search = compressToPressure(l.model, l.start, s, l.out, l.pTarget);
            continue;
        }
        l.out.voidRatio[0] = l.start.eStart;
        l.out.epsAxial[0] = 0.0;
        g.c[count] = model::pathConstants(l.model, l.start, s.zBlend, s.strainRange, s.nPoints);
        g.eStart[count] = l.start.eStart;
        g.pStart[count] = l.start.pStart;
        g.target[count] = l.pTarget;
        g.n[count] = s.nPoints;
        curvePointers(l.out, g.curve[count]);
        members[count] = &l;
        if (++count == width) {
            flush(count);
            count = 0;
        }
    }
    if (count > 0) flush(count);
}

template <ShearGroupFn Group, int Width>
void shearKernel(std::span<ShearLane> lanes) {
    shearLanes(lanes, Width, Group, false);
}
template <ShearGroupFn Group, int Width>
void mixedShearKernel(std::span<ShearLane> lanes) {
    shearLanes(lanes, Width, Group, true);
}
template <CompressionGroupFn Group, int Width>
void compressionKernel(std::span<CompressionLane> lanes) {
    compressionLanes(lanes, Width, Group);
}

constexpr int genericWidth = GenericLanes::width;
const LaneKernel generic{"generic", genericWidth, shearKernel<laneShearGroup<GenericLanes>, genericWidth>,
                         compressionKernel<laneCompressionGroup<GenericLanes>, genericWidth>,
                         mixedShearKernel<laneShearGroup<GenericLanes>, genericWidth>, {2.5, 5.0}};
#if defined(__SSE2__)
const LaneKernel sse2{"sse2", 8, shearKernel<sse2ShearGroup, 8>, compressionKernel<sse2CompressionGroup, 8>,
                      mixedShearKernel<sse2ShearGroup, 8>, {1.6, 2.8}};
#endif

#if defined(CALVENOR_AVX2_KERNEL)
bool avx2Supported() {
    // libgcc's check covers both the processor and the operating system's
    // saving of the ymm registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

const LaneKernel& chooseKernel() {
    const char* forced = std::getenv("CALVENOR_KERNEL");
    const std::string_view name = forced != nullptr ? forced : "";
    if (name == "portable") return portableKernel();
    if (name == "generic") return generic;
#if defined(__SSE2__)
    if (name == "sse2") return sse2;
#endif
    return avx2Kernel() != nullptr ? *avx2Kernel() : portableKernel();
}

}  // namespace
}  // namespace lanes

const LaneKernel& genericKernel() { return lanes::generic; }

const LaneKernel& portableKernel() {
#if defined(__SSE2__)
    return lanes::sse2;
#else
    return lanes::generic;
#endif
}

const LaneKernel* avx2Kernel() {
#if defined(CALVENOR_AVX2_KERNEL)
    static const LaneKernel avx2{"avx2", 8, lanes::shearKernel<lanes::avx2ShearGroup, 8>,
                                 lanes::compressionKernel<lanes::avx2CompressionGroup, 8>,
                                 lanes::mixedShearKernel<lanes::avx2ShearGroup, 8>, {1.3, 2.45}};
    static const bool supported = lanes::avx2Supported();
    return supported ? &avx2 : nullptr;
#else
    return nullptr;
#endif
}

const LaneKernel& laneKernel() {
    static const LaneKernel& kernel = lanes::chooseKernel();
    return kernel;
}

const LaneKernel* defaultLaneKernel() {
    static const LaneKernel* const kernel = [] {
        const char* forced = std::getenv("CALVENOR_KERNEL");
        return forced != nullptr && std::string_view(forced) == "scalar" ? nullptr : &laneKernel();
    }();
    return kernel;
}

void runShearPaths(std::span<ShearLane> lanes) { laneKernel().shear(lanes); }

void compressToPressures(std::span<CompressionLane> lanes) { laneKernel().compress(lanes); }

}  // namespace calvenor
