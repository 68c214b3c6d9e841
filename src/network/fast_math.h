// exp and tanh without calls or branches, so that loops over samples vectorise.
//
// Each function is one template over double, Double4 and Double8 (four or eight
// doubles in a GCC vector): the same IEEE operations in the same order on every lane, so a
// scalar caller (the per-sample pass) and a vector caller (the batch scorer) get
// the same bits, on every target, as long as nothing contracts a * b + c (the
// build passes -ffp-contract=off). Both are exact at 0, +-inf and NaN. exp is
// within one ulp of the C library (0.89 ulp of exact at worst); tanh is within
// 1.07 ulp of exact, hence within one ulp of the C library except on
// 2^-5 < |x| < 1, where the library's own error reaches 2.1 ulp and the two
// may differ by two (tests/cpp/test_fast_math.cpp).
#pragma once

#include <bit>
#include <cstdint>

namespace kestrin::fastmath {

// Everything here is always inlined, so vectors never cross a call (whose ABI
// would differ between a default and an AVX caller); the note about that is moot.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

typedef double Double4 __attribute__((vector_size(32)));
typedef int64_t Int4 __attribute__((vector_size(32)));
// Eight lanes, for CPUs with 512-bit vector units.
typedef double Double8 __attribute__((vector_size(64)));
typedef int64_t Int8 __attribute__((vector_size(64)));

[[gnu::always_inline]] inline int64_t toBits(const double& x) { return std::bit_cast<int64_t>(x); }
[[gnu::always_inline]] inline double fromBits(const int64_t& b) { return std::bit_cast<double>(b); }
[[gnu::always_inline]] inline Int4 toBits(const Double4& x) { return reinterpret_cast<const Int4&>(x); }
[[gnu::always_inline]] inline Double4 fromBits(const Int4& b) { return reinterpret_cast<const Double4&>(b); }
[[gnu::always_inline]] inline double select(bool mask, const double& a, const double& b) { return mask ? a : b; }
[[gnu::always_inline]] inline Double4 select(const Int4& mask, const Double4& a, const Double4& b) { return mask ? a : b; }
[[gnu::always_inline]] inline Int8 toBits(const Double8& x) { return reinterpret_cast<const Int8&>(x); }
[[gnu::always_inline]] inline Double8 fromBits(const Int8& b) { return reinterpret_cast<const Double8&>(b); }
[[gnu::always_inline]] inline Double8 select(const Int8& mask, const Double8& a, const Double8& b) { return mask ? a : b; }

namespace detail {

constexpr double kInvLn2 = 0x1.71547652b82fep+0;
// ln 2 split so that k * kLn2Hi is exact for every |k| < 2^21.
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
// Adding 1.5 * 2^52 rounds to an integer held in the low mantissa bits.
constexpr double kRound = 0x1.8p52;
constexpr int64_t kRoundBits = 0x4338000000000000;
// r (e^r + 1) / (e^r - 1) = 2 + r^2 P(r^2) on |r| <= ln2 / 2, error below 2^-59.
constexpr double kP1 = 1.66666666666666019037e-01;
constexpr double kP2 = -2.77777777770155933842e-03;
constexpr double kP3 = 6.61375632143793436117e-05;
constexpr double kP4 = -1.65339022054652515390e-06;
constexpr double kP5 = 4.13813679705723846039e-08;
// Beyond these e^x overflows or rounds to zero; clamping keeps k small.
constexpr double kExpHigh = 709.8;
constexpr double kExpLow = -745.2;

// tanh x = x + x s Q(s), s = x^2, for |x| < kTanhSmall: a Chebyshev fit of
// degree 11, relative error below 2^-56.
constexpr double kTanhSmall = 0.625;
constexpr double kQ[] = {
    -0x1.5555555555555p-2, 0x1.11111111110a8p-3,  -0x1.ba1ba1ba0f126p-5, 0x1.664f487e0a749p-6,
    -0x1.226e3473dce5cp-7, 0x1.d6d39ae3905e2p-9,  -0x1.7d9f6f23e8682p-10, 0x1.3526e9ed54da1p-11,
    -0x1.f243823c8c981p-13, 0x1.8445870f6fe41p-14, -0x1.05bbdae896297p-15, 0x1.b33642a122cddp-18};
constexpr int kQDegree = 11;
// tanh is 1.0 in double precision from about 19.06 on.
constexpr double kTanhOne = 20.0;
constexpr int64_t kSignBit = INT64_MIN;

}  // namespace detail

template <typename V>
[[gnu::always_inline]] inline V exp(const V& input) {
    using namespace detail;
    V x = select(input > kExpHigh, V{} + kExpHigh, input);
    x = select(x < kExpLow, V{} + kExpLow, x);  // a NaN passes both
    // x = k ln2 + r with |r| <= ln2 / 2, r kept as hi - lo.
    const V shifted = x * kInvLn2 + kRound;
    const V kd = shifted - kRound;
    const auto k = toBits(shifted) - kRoundBits;
    const V hi = x - kd * kLn2Hi;
    const V lo = kd * kLn2Lo;
    const V r = hi - lo;
    const V t = r * r;
    const V c = r - t * (kP1 + t * (kP2 + t * (kP3 + t * (kP4 + t * kP5))));
    const V y = 1.0 - ((lo - (r * c) / (2.0 - c)) - hi);
    // 2^k in two factors, so that neither leaves the exponent range on its own.
    const auto half = k >> 1;
    const V low = fromBits((half + 1023) << 52);
    const V high = fromBits((k - half + 1023) << 52);
    return select(input != input, input + input, y * low * high);
}

template <typename V>
[[gnu::always_inline]] inline V tanh(const V& x) {
    using namespace detail;
    const auto sign = toBits(x) & kSignBit;
    const V a = fromBits(toBits(x) ^ sign);
    // Near zero: the odd series, on |x| (the sign goes on last, so -0 stays -0).
    const V s = a * a;
    V q = V{} + kQ[kQDegree];
    for (int i = kQDegree - 1; i >= 0; --i) q = q * s + kQ[i];
    const V small = a + a * (s * q);
    // Further out: 1 - 2 / (e^2a + 1), the rounding error of e^2a + 1 corrected.
    const V clamped = select(a > kTanhOne, V{} + kTanhOne, a);
    const V e = exp(clamped + clamped);
    const V d = e + 1.0;
    const V dError = (e - d) + 1.0;  // exact: e >= 1
    const V quotient = 2.0 / d;
    const V corrected = quotient - quotient * quotient * dError * 0.5;
    const V large = 1.0 - corrected;
    return fromBits(toBits(select(a < kTanhSmall, small, large)) | sign);
}

#pragma GCC diagnostic pop

}  // namespace kestrin::fastmath
