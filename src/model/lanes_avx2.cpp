// The AVX2 lane kernel: four paths in the four doubles of a ymm register.
//
// This file alone is compiled with -mavx2 (and neither FMA nor contraction:
// the project's exactness flags apply here too), and it runs only after
// avx2Kernel() has checked the processor. So it calls no inline function of
// another file (such code would be shared with the portable build at link
// time): the lane type and every template it instantiates live in this
// file's anonymous namespace, and the groups arrive as plain records.
//
// Exactness: add, subtract, multiply, divide and square root are the IEEE
// operations lane by lane; a rounding to single precision is vcvtpd2ps, its
// result kept opaque to the optimiser, and the widening back is exact; exp
// and log are the scalar library functions, called for each lane on the
// values stored to memory (the compiler clears the upper halves of the
// registers before each call, so the library's code pays no penalty).
#include <immintrin.h>

#include <cmath>

#include "model/lane_kernel.hpp"

namespace calvenor::lanes {
namespace {

struct Avx2Lanes {
    static constexpr int width = 4;

    struct D {
        __m256d v;
        friend D operator+(D a, D b) { return {_mm256_add_pd(a.v, b.v)}; }
        friend D operator-(D a, D b) { return {_mm256_sub_pd(a.v, b.v)}; }
        friend D operator*(D a, D b) { return {_mm256_mul_pd(a.v, b.v)}; }
        friend D operator/(D a, D b) { return {_mm256_div_pd(a.v, b.v)}; }
        friend D operator+(D a, double b) { return a + D{_mm256_set1_pd(b)}; }
        friend D operator-(D a, double b) { return a - D{_mm256_set1_pd(b)}; }
        friend D operator*(D a, double b) { return a * D{_mm256_set1_pd(b)}; }
        friend D operator/(D a, double b) { return a / D{_mm256_set1_pd(b)}; }
        friend D operator+(double a, D b) { return D{_mm256_set1_pd(a)} + b; }
        friend D operator-(double a, D b) { return D{_mm256_set1_pd(a)} - b; }
        friend D operator*(double a, D b) { return D{_mm256_set1_pd(a)} * b; }
        friend D operator/(double a, D b) { return D{_mm256_set1_pd(a)} / b; }
        friend D operator-(D a) { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
    };

    struct F {
        __m128 v;
        friend F operator+(F a, F b) { return {_mm_add_ps(a.v, b.v)}; }
        friend F operator-(F a, F b) { return {_mm_sub_ps(a.v, b.v)}; }
        friend F operator*(F a, F b) { return {_mm_mul_ps(a.v, b.v)}; }
        friend F operator/(F a, F b) { return {_mm_div_ps(a.v, b.v)}; }
    };

    struct M {
        __m256d v;
    };

    static D dup(double x) { return {_mm256_set1_pd(x)}; }
    static F fdup(float x) { return {_mm_set1_ps(x)}; }
    static D gather(const double* p) { return {_mm256_loadu_pd(p)}; }
    static void put(D x, double* p) { _mm256_storeu_pd(p, x.v); }

    static D sqrt(D x) { return {_mm256_sqrt_pd(x.v)}; }

    static F narrow(D x) {
        __m128 f = _mm256_cvtpd_ps(x.v);
        __asm__("" : "+x"(f));
        return {f};
    }
    static D wide(F x) { return {_mm256_cvtps_pd(x.v)}; }
    static D single(D x) { return wide(narrow(x)); }

    template <class Fn>
    static D perLane(D x, Fn fn) {
        alignas(32) double t[width];
        _mm256_store_pd(t, x.v);
        t[0] = fn(t[0]);
        t[1] = fn(t[1]);
        t[2] = fn(t[2]);
        t[3] = fn(t[3]);
        return {_mm256_load_pd(t)};
    }
    static D exp(D x) { return perLane(x, [](double v) { return std::exp(v); }); }
    static D log(D x) { return perLane(x, [](double v) { return std::log(v); }); }

    static M lt(D a, D b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
    static M le(D a, D b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
    static M gt(D a, D b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
    // a where m is set, b elsewhere.
    static D select(M m, D a, D b) { return {_mm256_blendv_pd(b.v, a.v, m.v)}; }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m.v)); }
    static M maskOf(unsigned bits) {
        const __m256i lane = _mm256_set_epi64x(8, 4, 2, 1);
        const __m256i set = _mm256_and_si256(_mm256_set1_epi64x(bits), lane);
        return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(set, lane))};
    }
};

}  // namespace

void avx2ShearGroup(ShearGroup& group) { laneShearGroup<Avx2Lanes>(group); }

void avx2CompressionGroup(CompressionGroup& group) { laneCompressionGroup<Avx2Lanes>(group); }

}  // namespace calvenor::lanes
