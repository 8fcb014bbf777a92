// Rounding to single precision and the single-precision constants of the model.
#pragma once

namespace calvenor {

// x rounded to the nearest float. The empty asm makes the rounded value
// opaque to the optimiser: GCC 12's vectoriser has been seen to drop a
// double -> float -> double round trip, which changes results.
inline float toFloat(double x) {
    float f = static_cast<float>(x);
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(f));
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__("" : "+w"(f));
#endif
    return f;
}

// x rounded to the nearest float and widened back to double.
inline double single(double x) { return static_cast<double>(toFloat(x)); }

// Integer powers by repeated multiplication, never the library power function.
inline double square(double x) { return x * x; }
inline double fourth(double x) { return (x * x) * (x * x); }

// The double values of single-precision literals used by the model.
inline constexpr double f1em8 = 9.99999993922529e-09;        // 1e-8f
inline constexpr double f1em10 = 1.000000013351432e-10;      // 1e-10f
inline constexpr double fOneThird = 0.3333333432674408;      // 1.0f/3
inline constexpr double fRootHalf = 0.7071067690849304;      // 0.70710678f
inline constexpr double f0p01 = 0.009999999776482582;        // 0.01f
inline constexpr double f1p2 = 1.2000000476837158;           // 1.2f
inline constexpr double f1p1 = 1.100000023841858;            // 1.1f

static_assert(f1em8 == static_cast<double>(1e-8f));
static_assert(f1em10 == static_cast<double>(1e-10f));
static_assert(fOneThird == static_cast<double>(1.0f / 3.0f));
static_assert(fRootHalf == static_cast<double>(0.70710678f));
static_assert(f0p01 == static_cast<double>(0.01f));
static_assert(f1p2 == static_cast<double>(1.2f));
static_assert(f1p1 == static_cast<double>(1.1f));

}  // namespace calvenor
