// The AVX2 lane kernel: four paths in the four doubles of a ymm register,
// eight in two.
//
// This file alone is compiled with -mavx2 (and neither FMA nor contraction:
// the project's exactness flags apply here too), and it runs only after
// avx2Kernel() has checked the processor. So it calls no inline function of
// another file (such code could be shared with the portable build at link
// time): the lane type and every template it instantiates live in this
// file's anonymous namespace, and the groups arrive as plain records.
//
// Exactness: add, subtract, multiply, divide and square root are the IEEE
// operations lane by lane; a rounding to single precision is vcvtpd2ps and
// the widening back is exact; exp and log are the scalar library functions,
// called for each lane on values stored to memory (the compiler clears the
// upper halves of the registers before each call, so code compiled without
// AVX pays no transition penalty).
#include <immintrin.h>

#include "model/lane_kernel.hpp"
#include "model/lane_vectors.hpp"

namespace calvenor::lanes {
namespace {

struct Avx2 {
    using reg = __m256d;
    using freg = __m128;
    static constexpr int n = 4;
    static reg set1(double x) { return _mm256_set1_pd(x); }
    static reg loadu(const double* p) { return _mm256_loadu_pd(p); }
    static void storeu(double* p, reg x) { _mm256_storeu_pd(p, x); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm256_div_pd(a, b); }
    static reg sqrt(reg a) { return _mm256_sqrt_pd(a); }
    static reg negate(reg a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static reg lt(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static reg le(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static reg gt(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static reg blend(reg m, reg a, reg b) { return _mm256_blendv_pd(b, a, m); }
    static unsigned movemask(reg m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static reg maskOf(unsigned bits) {
        const __m256i lane = _mm256_set_epi64x(8, 4, 2, 1);
        const __m256i set = _mm256_and_si256(_mm256_set1_epi64x(bits), lane);
        return _mm256_castsi256_pd(_mm256_cmpeq_epi64(set, lane));
    }
    static freg narrow(reg a) { return _mm256_cvtpd_ps(a); }
    static reg wide(freg a) { return _mm256_cvtps_pd(a); }
    static freg fset1(float x) { return _mm_set1_ps(x); }
    static freg fadd(freg a, freg b) { return _mm_add_ps(a, b); }
    static freg fsub(freg a, freg b) { return _mm_sub_ps(a, b); }
    static freg fmul(freg a, freg b) { return _mm_mul_ps(a, b); }
    static freg fdiv(freg a, freg b) { return _mm_div_ps(a, b); }
};

}  // namespace

// Groups of up to four lanes take one register per value, larger ones two.
void avx2ShearGroup(ShearGroup& group) {
    if (group.count <= 4) return laneShearGroup<VectorLanes<Avx2, 1>>(group);
    laneShearGroup<VectorLanes<Avx2, 2>>(group);
}

void avx2CompressionGroup(CompressionGroup& group) {
    if (group.count <= 4) return laneCompressionGroup<VectorLanes<Avx2, 1>>(group);
    laneCompressionGroup<VectorLanes<Avx2, 2>>(group);
}

}  // namespace calvenor::lanes
