// exp, tanh and sigmoid in single precision, for the float32 scoring path.
//
// Templates over float and over 4, 8 or 16 floats in a GCC vector, with the
// same IEEE operations in the same order on every lane (no contraction: the
// build passes -ffp-contract=off), so every vector width gives the bits of the
// scalar form. One division each for sigmoid and tanh, none in exp. Errors
// (tests/cpp/test_fast_math_single.cpp): exp within 2 ulp of exact on its
// range, tanh and sigmoid within 3e-7 absolute, tanh on |x| < 0.17 within
// 6e-7 relative. Inputs beyond the normal float range of e^x are clamped to
// it (e^-87 for anything lower, e^88 for anything higher), which moves sigmoid
// and tanh by less than 1e-37.
#pragma once

#include <bit>
#include <cstdint>

namespace kestrin::fastmath::single {

// Always inlined: no vector crosses a call, so the ABI note is moot.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Int4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Int8 __attribute__((vector_size(32)));
typedef float Float16 __attribute__((vector_size(64)));
typedef int32_t Int16 __attribute__((vector_size(64)));

[[gnu::always_inline]] inline int32_t toBits(const float& x) { return std::bit_cast<int32_t>(x); }
[[gnu::always_inline]] inline float fromBits(const int32_t& b) { return std::bit_cast<float>(b); }
[[gnu::always_inline]] inline float select(bool mask, const float& a, const float& b) { return mask ? a : b; }
#define KESTRIN_SINGLE_VECTOR_HELPERS(F, I)                                                                           \
    [[gnu::always_inline]] inline I toBits(const F& x) { return reinterpret_cast<const I&>(x); }                      \
    [[gnu::always_inline]] inline F fromBits(const I& b) { return reinterpret_cast<const F&>(b); }                    \
    [[gnu::always_inline]] inline F select(const I& mask, const F& a, const F& b) { return mask ? a : b; }
KESTRIN_SINGLE_VECTOR_HELPERS(Float4, Int4)
KESTRIN_SINGLE_VECTOR_HELPERS(Float8, Int8)
KESTRIN_SINGLE_VECTOR_HELPERS(Float16, Int16)
#undef KESTRIN_SINGLE_VECTOR_HELPERS

namespace detail {

constexpr float kInvLn2 = 0x1.715476p+0f;
// ln 2 split so that k * kLn2Hi is exact for every |k| < 2^8.
constexpr float kLn2Hi = 0x1.62e400p-1f;
constexpr float kLn2Lo = 0x1.7f7d1cp-20f;
// Adding 1.5 * 2^23 rounds to an integer held in the low mantissa bits.
constexpr float kRound = 0x1.8p23f;
constexpr int32_t kRoundBits = 0x4b400000;
// e^r on |r| <= ln2 / 2: Taylor terms to r^6, truncation error below 2^-25.
constexpr float kE2 = 0x1.000000p-1f;
constexpr float kE3 = 0x1.555556p-3f;
constexpr float kE4 = 0x1.555556p-5f;
constexpr float kE5 = 0x1.111112p-7f;
constexpr float kE6 = 0x1.6c16c2p-10f;
// e^x is a normal float for x in this range; 2^k then fits one exponent field.
constexpr float kExpHigh = 88.0f;
constexpr float kExpLow = -87.0f;
// tanh is 1.0f from about 9.01 on.
constexpr float kTanhOne = 10.0f;
constexpr int32_t kSignBit = INT32_MIN;

}  // namespace detail

// e^x as 2^k (1 + p): p = e^r - 1 with r = x - k ln2, |r| <= ln2 / 2, and
// scale = 2^k. x must lie in [kExpLow, kExpHigh] or be NaN.
template <typename V>
struct ScaledExp {
    V p;
    V scale;
};
template <typename V>
[[gnu::always_inline]] inline ScaledExp<V> scaledExp(const V& x) {
    using namespace detail;
    const V shifted = x * kInvLn2 + kRound;
    const V kd = shifted - kRound;
    const auto k = toBits(shifted) - kRoundBits;
    const V r = (x - kd * kLn2Hi) - kd * kLn2Lo;
    return {r * (1.0f + r * (kE2 + r * (kE3 + r * (kE4 + r * (kE5 + r * kE6))))), fromBits((k + 127) << 23)};
}

template <typename V>
[[gnu::always_inline]] inline V exp(const V& input) {
    using namespace detail;
    V x = select(input > kExpHigh, V{} + kExpHigh, input);
    x = select(x < kExpLow, V{} + kExpLow, x);  // a NaN passes both
    const ScaledExp<V> e = scaledExp(x);
    return select(input != input, input + input, (1.0f + e.p) * e.scale);
}

// tanh |x| = m / (m + 2) with m = e^2|x| - 1 = (2^k - 1) + 2^k p, which keeps
// its relative accuracy near zero without a second series. The sign goes on
// last, so -0 stays -0.
template <typename V>
[[gnu::always_inline]] inline V tanh(const V& x) {
    using namespace detail;
    const auto sign = toBits(x) & kSignBit;
    const V a = fromBits(toBits(x) ^ sign);
    const V clamped = select(a > kTanhOne, V{} + kTanhOne, a);  // a NaN passes
    const ScaledExp<V> e = scaledExp(clamped + clamped);
    const V m = (e.scale - 1.0f) + e.scale * e.p;
    return fromBits(toBits(m / (m + 2.0f)) | sign);
}

template <typename V>
[[gnu::always_inline]] inline V sigmoid(const V& x) {
    return 1.0f / (1.0f + exp(-x));
}

#pragma GCC diagnostic pop

}  // namespace kestrin::fastmath::single
