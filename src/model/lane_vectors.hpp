// A lane type of lane_kernel.hpp over vector registers: R registers per
// value, each holding V::n doubles (and the same number of floats in the low
// part of a float register). With R > 1 every operation is R independent
// instructions, so the chains of R groups overlap.
//
// V gives the instructions of one instruction set (x86 SSE2 or AVX2):
//   reg, freg, n
//   set1, loadu, storeu, add, sub, mul, div, sqrt, negate, lt, le, gt,
//   blend(m, a, b) (a where m), movemask, maskOf(bits of n lanes),
//   narrow(reg) -> freg, wide(freg) -> reg, fset1, fadd, fsub, fmul, fdiv.
// Like lane_kernel.hpp, internal to the file that includes it.
#pragma once

#include <cmath>
#include <utility>

namespace calvenor::lanes {
namespace {

template <class V, int R>
struct VectorLanes {
    static constexpr int width = V::n * R;
    using reg = typename V::reg;
    using freg = typename V::freg;

    template <class T, class Fn, int... I>
    static T each(Fn fn, std::integer_sequence<int, I...>) {
        return T{{fn(I)...}};
    }
    template <class T, class Fn>
    static T each(Fn fn) {
        return each<T>(fn, std::make_integer_sequence<int, R>{});
    }

    struct D {
        reg v[R];
        static D all(double x) { return each<D>([&](int) { return V::set1(x); }); }
        friend D operator+(D a, D b) { return each<D>([&](int r) { return V::add(a.v[r], b.v[r]); }); }
        friend D operator-(D a, D b) { return each<D>([&](int r) { return V::sub(a.v[r], b.v[r]); }); }
        friend D operator*(D a, D b) { return each<D>([&](int r) { return V::mul(a.v[r], b.v[r]); }); }
        friend D operator/(D a, D b) { return each<D>([&](int r) { return V::div(a.v[r], b.v[r]); }); }
        friend D operator+(D a, double b) { return a + all(b); }
        friend D operator-(D a, double b) { return a - all(b); }
        friend D operator*(D a, double b) { return a * all(b); }
        friend D operator/(D a, double b) { return a / all(b); }
        friend D operator+(double a, D b) { return all(a) + b; }
        friend D operator-(double a, D b) { return all(a) - b; }
        friend D operator*(double a, D b) { return all(a) * b; }
        friend D operator/(double a, D b) { return all(a) / b; }
        friend D operator-(D a) { return each<D>([&](int r) { return V::negate(a.v[r]); }); }
    };

    struct F {
        freg v[R];
        friend F operator+(F a, F b) { return each<F>([&](int r) { return V::fadd(a.v[r], b.v[r]); }); }
        friend F operator-(F a, F b) { return each<F>([&](int r) { return V::fsub(a.v[r], b.v[r]); }); }
        friend F operator*(F a, F b) { return each<F>([&](int r) { return V::fmul(a.v[r], b.v[r]); }); }
        friend F operator/(F a, F b) { return each<F>([&](int r) { return V::fdiv(a.v[r], b.v[r]); }); }
    };

    struct M {
        reg v[R];
    };

    static D dup(double x) { return D::all(x); }
    static F fdup(float x) { return each<F>([&](int) { return V::fset1(x); }); }
    static D gather(const double* p) { return each<D>([&](int r) { return V::loadu(p + V::n * r); }); }
    static void put(D x, double* p) {
        for (int r = 0; r < R; ++r) V::storeu(p + V::n * r, x.v[r]);
    }

    static D sqrt(D x) { return each<D>([&](int r) { return V::sqrt(x.v[r]); }); }

    // The rounded value is kept opaque, so that no widening can be folded
    // into it.
    static F narrow(D x) {
        return each<F>([&](int r) {
            freg f = V::narrow(x.v[r]);
            __asm__("" : "+x"(f));
            return f;
        });
    }
    static D wide(F x) { return each<D>([&](int r) { return V::wide(x.v[r]); }); }
    static D single(D x) { return wide(narrow(x)); }

    // fn on every lane, through memory: no vector register lives across the
    // calls.
    template <class Fn>
    static D perLane(D x, Fn fn) {
        double t[width];
        put(x, t);
        for (int i = 0; i < width; ++i) t[i] = fn(t[i]);
        return gather(t);
    }
    static D exp(D x) { return perLane(x, [](double v) { return std::exp(v); }); }
    static D log(D x) { return perLane(x, [](double v) { return std::log(v); }); }

    static M lt(D a, D b) { return each<M>([&](int r) { return V::lt(a.v[r], b.v[r]); }); }
    static M le(D a, D b) { return each<M>([&](int r) { return V::le(a.v[r], b.v[r]); }); }
    static M gt(D a, D b) { return each<M>([&](int r) { return V::gt(a.v[r], b.v[r]); }); }
    // a where m is set, b elsewhere.
    static D select(M m, D a, D b) { return each<D>([&](int r) { return V::blend(m.v[r], a.v[r], b.v[r]); }); }
    static unsigned bits(M m) {
        unsigned b = 0;
        for (int r = 0; r < R; ++r) b |= V::movemask(m.v[r]) << (V::n * r);
        return b;
    }
    static M maskOf(unsigned bits) {
        constexpr unsigned laneBits = (1u << V::n) - 1;
        return each<M>([&](int r) { return V::maskOf((bits >> (V::n * r)) & laneBits); });
    }
};

}  // namespace
}  // namespace calvenor::lanes
