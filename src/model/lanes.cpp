// The lane kernels: grouping of the lanes, the portable lane type, and the
// choice of the kernel at run time.
#include "model/lanes.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "model/lane_kernel.hpp"
#include "model/single.hpp"

namespace calvenor {
namespace lanes {
namespace {

// Four lanes in plain doubles and floats, one operation after another: as
// portable as the scalar code, and four independent chains of divisions for
// the processor to overlap.
struct PortableLanes {
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

int codeOf(std::int32_t testType) { return testType >= 1 && testType <= 5 ? testType : 0; }

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
        if constexpr (requires { g.b[i]; }) g.b[i] = g.b[0];
        if constexpr (requires { g.target[i]; }) g.target[i] = g.target[0];
    }
}

// The lanes of each path code in groups of `width`, in the order given;
// lanes of fewer than two points take the scalar run.
void shearLanes(std::span<ShearLane> lanes, int width, ShearGroupFn run) {
    for (const ShearLane& l : lanes) checkPathArrays(l.out, l.settings.nPoints);
    ShearGroup g;
    ShearLane* members[maxWidth];
    auto flush = [&](int count) {
        padGroup(g, count);
        run(g);
        for (int i = 0; i < count; ++i) members[i]->reached = g.reached[i];
    };
    for (int code = 0; code < 6; ++code) {
        g.code = code;
        int count = 0;
        for (ShearLane& l : lanes) {
            const ShearSettings& s = l.settings;
            if (codeOf(s.testType) != code) continue;
            if (s.nPoints < 2) {
                l.reached = runShearPath(l.model, l.start, s, l.out);
                continue;
            }
            l.out.voidRatio[0] = l.start.eStart;
            l.out.epsAxial[0] = 0.0;
            g.c[count] = model::pathConstants(l.model, l.start, s.bValue, s.strainRange, s.nPoints);
            g.b[count] = s.bValue;
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

void portableShear(std::span<ShearLane> lanes) {
    shearLanes(lanes, PortableLanes::width, laneShearGroup<PortableLanes>);
}
void portableCompress(std::span<CompressionLane> lanes) {
    compressionLanes(lanes, PortableLanes::width, laneCompressionGroup<PortableLanes>);
}

#if defined(CALVENOR_AVX2_KERNEL)
void avx2Shear(std::span<ShearLane> lanes) { shearLanes(lanes, 4, avx2ShearGroup); }
void avx2Compress(std::span<CompressionLane> lanes) { compressionLanes(lanes, 4, avx2CompressionGroup); }

bool avx2Supported() {
    // libgcc's check covers both the processor and the operating system's
    // saving of the ymm registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

const LaneKernel portable{"portable", PortableLanes::width, portableShear, portableCompress};

const LaneKernel& chooseKernel() {
    const LaneKernel* avx2 = avx2Kernel();
    const char* forced = std::getenv("CALVENOR_KERNEL");
    if (forced != nullptr && std::strcmp(forced, "portable") == 0) return portable;
    return avx2 != nullptr ? *avx2 : portable;
}

}  // namespace
}  // namespace lanes

const LaneKernel& portableKernel() { return lanes::portable; }

const LaneKernel* avx2Kernel() {
#if defined(CALVENOR_AVX2_KERNEL)
    static const LaneKernel avx2{"avx2", 4, lanes::avx2Shear, lanes::avx2Compress};
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

void runShearPaths(std::span<ShearLane> lanes) { laneKernel().shear(lanes); }

void compressToPressures(std::span<CompressionLane> lanes) { laneKernel().compress(lanes); }

}  // namespace calvenor
