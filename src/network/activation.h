// Activation functions and the ids that name them. An id is stored per node;
// ids outside 0..3 are legal (an import may produce them) and evaluate to 0.0.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "network/fast_math.h"

namespace kestrin {

enum ActivationId : int32_t {
    kSigmoid = 0,
    kTanh = 1,
    kRelu = 2,
    kLinear = 3,
};

inline constexpr int32_t kActivationCount = 4;

// Indexed by id; the only names an id has.
inline constexpr std::array<const char*, kActivationCount> kActivationNames = {
    "sigmoid", "tanh", "relu", "linear"};

// sigmoid and tanh over one double or a fastmath::Double4, with the same
// operations on every lane: the per-sample pass and the batch scorer, which
// runs them on whole vectors of samples, get the same bits (fast_math.h).
// Always inlined, so no vector crosses a call and the ABI note is moot.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <typename V>
[[gnu::always_inline]] inline V sigmoidOf(const V& x) {
    return 1.0 / (1.0 + fastmath::exp(-x));
}
template <typename V>
[[gnu::always_inline]] inline V tanhOf(const V& x) {
    return fastmath::tanh(x);
}
#pragma GCC diagnostic pop

inline double SIGMOID(double x) { return sigmoidOf(x); }
inline double TANH(double x) { return tanhOf(x); }
inline double RELU(double x) { return x > 0.0 ? x : 0.0; }
inline double LINEAR(double x) { return x; }
inline double STEP(double x) { return x > 0.0 ? 1.0 : 0.0; }
inline double SINUSOID(double x) { return std::sin(x); }

inline double activation_function(int32_t id, double x) {
    switch (id) {
        case kSigmoid: return SIGMOID(x);
        case kTanh: return TANH(x);
        case kRelu: return RELU(x);
        case kLinear: return LINEAR(x);
        default: return 0.0;
    }
}

// The table's name for id, or nullptr for an id without a name.
inline const char* activationName(int32_t id) {
    return id >= 0 && id < kActivationCount ? kActivationNames[id] : nullptr;
}

// 0..3 for the table's names (exact, case-sensitive), 4 for anything else.
int32_t nameToInt(std::string_view name);

// A random id in 0..3 from the C library generator (seeded on first use).
int32_t randomActivation();

}  // namespace kestrin
