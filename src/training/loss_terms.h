// The terms of each loss and metric, written once for the reference evaluate
// (sample by sample) and the compiled scorer (a tile of samples at a time), so
// that both round every term the same way and give the same bits.
//
// Per-output terms take one target y and one prediction p; whole-row terms
// take a sample's targets y[0..width) and all its predictions p[0..outputs).
// The cross-entropies read the predictions as logits (what Keras calls
// from_logits=True) and are written in their stable forms: softplus without
// overflow, log-sum-exp shifted by the largest logit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "network/fast_math.h"

namespace kestrin {

inline double squaredError(double y, double p) {
    const double d = y - p;
    return d * d;
}

inline double absoluteError(double y, double p) { return std::fabs(y - p); }

// The 1e-10 keeps a zero target finite instead of dividing by zero.
inline double percentageError(double y, double p) { return std::fabs(y - p) * 100.0 / (std::fabs(y) + 1e-10); }

// -y log(sigmoid(p)) - (1-y) log(1-sigmoid(p)) = softplus(p) - y p, with
// softplus(p) = max(p, 0) + log1p(exp(-|p|)) finite for every finite p.
inline double sigmoidCrossEntropy(double y, double p) {
    return std::fmax(p, 0.0) - p * y + std::log1p(std::exp(-std::fabs(p)));
}

// 1 when thresholding p gives the target (0 or 1), as Keras's binary accuracy.
inline double thresholdHit(double y, double p, double threshold) { return (p > threshold ? 1.0 : 0.0) == y ? 1.0 : 0.0; }
// Predictions read as probabilities (Keras's threshold 0.5), or as logits (sigmoid above 0.5).
inline double binaryHit(double y, double p) { return thresholdHit(y, p, 0.5); }
inline double logitHit(double y, double p) { return thresholdHit(y, p, 0.0); }

// The larger of two values, a NaN b ignored: the running maximum of logSumExp,
// written as the tile loops write it so that both agree.
inline double largerOf(double largest, double b) { return b > largest ? b : largest; }

// What logSumExp adds to the largest logit: log of the sum of exp(p[k] - largest).
// An infinite largest logit is the result itself (inf - inf would make it NaN).
inline double logSumExpFrom(double largest, double sum) { return std::isinf(largest) ? largest : largest + std::log(sum); }

// log(sum exp(p[k])) over the outputs, shifted by the largest so that no exp
// overflows. fastmath's exp: the same bits in the scorer's loops over a tile.
inline double logSumExp(const double* p, int32_t outputs) {
    double largest = -std::numeric_limits<double>::infinity();
    for (int32_t k = 0; k < outputs; ++k) largest = largerOf(largest, p[k]);
    double sum = 0.0;
    for (int32_t k = 0; k < outputs; ++k) sum += fastmath::exp(p[k] - largest);
    return logSumExpFrom(largest, sum);
}

// First index of the largest value (ties go to the earlier one, as NumPy's argmax).
inline int32_t argmax(const double* v, int32_t n) {
    int32_t best = 0;
    for (int32_t k = 1; k < n; ++k) {
        if (v[k] > v[best]) best = k;
    }
    return best;
}

// A class index held as a double; -1 when it is not a whole number in [0, outputs).
inline int32_t classIndex(double y, int32_t outputs) {
    return y >= 0.0 && y < outputs && y == std::floor(y) ? static_cast<int32_t>(y) : -1;
}

constexpr double kNoTerm = std::numeric_limits<double>::quiet_NaN();

// Softmax cross-entropy: sum over k of y[k] (logsumexp(p) - p[k]), the targets
// one-hot or probabilities. Summed over the classes, not averaged, as in Keras.
inline double softmaxCrossEntropy(const double* y, int32_t width, const double* p, int32_t outputs) {
    if (width <= 0 || outputs <= 0) return kNoTerm;
    const double lse = logSumExp(p, outputs);
    double sum = 0.0;
    for (int32_t k = 0; k < width; ++k) sum += y[k] * (lse - p[k]);
    return sum;
}

// The same with the target a class index in y[0].
inline double sparseSoftmaxCrossEntropy(const double* y, int32_t width, const double* p, int32_t outputs) {
    const int32_t c = width > 0 ? classIndex(y[0], outputs) : -1;
    return c < 0 ? kNoTerm : logSumExp(p, outputs) - p[c];
}

inline double categoricalHit(const double* y, int32_t width, const double* p, int32_t outputs) {
    if (width <= 0 || outputs <= 0) return kNoTerm;
    return argmax(y, width) == argmax(p, outputs) ? 1.0 : 0.0;
}

inline double sparseCategoricalHit(const double* y, int32_t width, const double* p, int32_t outputs) {
    const int32_t c = width > 0 ? classIndex(y[0], outputs) : -1;
    return c < 0 ? kNoTerm : (argmax(p, outputs) == c ? 1.0 : 0.0);
}

// The derivative of each per-element error in the prediction p, a row per
// loss beside its term (gradient.h). |.| takes the subgradient 0 at 0.
inline double signOf(double d) { return d > 0.0 ? 1.0 : d < 0.0 ? -1.0 : 0.0; }
inline double squaredErrorSlope(double y, double p) { return 2.0 * (p - y); }
inline double absoluteErrorSlope(double y, double p) { return signOf(p - y); }
inline double percentageErrorSlope(double y, double p) { return signOf(p - y) * 100.0 / (std::fabs(y) + 1e-10); }
// sigmoid(p) - y, with the sigmoid written so that no exp overflows.
inline double sigmoidCrossEntropySlope(double y, double p) {
    const double e = std::exp(-std::fabs(p));
    return (p >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e)) - y;
}

// The slopes of the softmax cross-entropies in every logit p[0..outputs):
// softmax(p)[k] times the targets' sum, less the target of k. A sparse target
// is the one-hot row of its class; an index out of range gives zero slopes.
inline void softmaxCrossEntropySlopes(const double* y, int32_t width, const double* p, int32_t outputs,
                                      double* slopes) {
    const double lse = logSumExp(p, outputs);
    double targetSum = 0.0;
    for (int32_t k = 0; k < width; ++k) targetSum += y[k];
    for (int32_t k = 0; k < outputs; ++k) slopes[k] = std::exp(p[k] - lse) * targetSum - (k < width ? y[k] : 0.0);
}
inline void sparseSoftmaxCrossEntropySlopes(const double* y, int32_t width, const double* p, int32_t outputs,
                                            double* slopes) {
    const int32_t c = width > 0 ? classIndex(y[0], outputs) : -1;
    const double lse = logSumExp(p, outputs);
    for (int32_t k = 0; k < outputs; ++k) slopes[k] = c < 0 ? 0.0 : std::exp(p[k] - lse) - (k == c ? 1.0 : 0.0);
}

}  // namespace kestrin
