// The loss table: one row per scoring function, indexed by its id. compile
// maps names to ids through it, the history and the progress line name their
// keys by it, and both scorers take each term from it.
//
// A row's term is either per output (averaged over the target's columns, as
// mse is) or per sample over the whole output row (the softmax losses, summed
// over the classes as Keras does). Ids 0-2 are the original three; the rest
// follow in the order they were added and never move, since saved compile
// states hold ids. Several rows may share a name: "accuracy" is whichever
// accuracy compile resolves it to, under the key Keras gives it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "training/loss_terms.h"

namespace kestrin {

enum LossId : int32_t {
    kMse = 0,
    kMae = 1,
    kMape = 2,
    kBinaryCrossentropy = 3,
    kCategoricalCrossentropy = 4,
    kSparseCategoricalCrossentropy = 5,
    kBinaryAccuracy = 6,
    kCategoricalAccuracy = 7,
    kSparseCategoricalAccuracy = 8,
    kBinaryAccuracyOfLogits = 9,  // "binary_accuracy" beside a cross-entropy: logits above 0 are class 1
    kAccuracyBinary = 10,         // "accuracy", resolved
    kAccuracyBinaryOfLogits = 11,
    kAccuracyCategorical = 12,
    kAccuracySparse = 13,
};

inline constexpr int32_t kLossCount = 14;

using ElementTerm = double (*)(double y, double p);
using RowTerm = double (*)(const double* y, int32_t width, const double* p, int32_t outputs);

struct LossRow {
    const char* name;
    int32_t id;
    ElementTerm element;  // per-output term, or null
    RowTerm row;          // whole-row term, or null
    bool isLoss;          // false: a metric only (selection would maximise a miss rate)
    bool classIndices;    // the targets are class indices, one column, not one value per output
};

inline constexpr std::array<LossRow, kLossCount> kLossTable = {{
    {"mse", kMse, squaredError, nullptr, true, false},
    {"mae", kMae, absoluteError, nullptr, true, false},
    {"mape", kMape, percentageError, nullptr, true, false},
    {"binary_crossentropy", kBinaryCrossentropy, sigmoidCrossEntropy, nullptr, true, false},
    {"categorical_crossentropy", kCategoricalCrossentropy, nullptr, softmaxCrossEntropy, true, false},
    {"sparse_categorical_crossentropy", kSparseCategoricalCrossentropy, nullptr, sparseSoftmaxCrossEntropy, true,
     true},
    {"binary_accuracy", kBinaryAccuracy, binaryHit, nullptr, false, false},
    {"categorical_accuracy", kCategoricalAccuracy, nullptr, categoricalHit, false, false},
    {"sparse_categorical_accuracy", kSparseCategoricalAccuracy, nullptr, sparseCategoricalHit, false, true},
    {"binary_accuracy", kBinaryAccuracyOfLogits, logitHit, nullptr, false, false},
    {"accuracy", kAccuracyBinary, binaryHit, nullptr, false, false},
    {"accuracy", kAccuracyBinaryOfLogits, logitHit, nullptr, false, false},
    {"accuracy", kAccuracyCategorical, nullptr, categoricalHit, false, false},
    {"accuracy", kAccuracySparse, nullptr, sparseCategoricalHit, false, true},
}};

inline constexpr bool knownLoss(int32_t id) { return id >= 0 && id < kLossCount; }

// Indexed by loss id; the same ids name the loss and the metrics.
inline constexpr std::array<const char*, kLossCount> kLossNames = [] {
    std::array<const char*, kLossCount> names{};
    for (int32_t id = 0; id < kLossCount; ++id) names[static_cast<size_t>(id)] = kLossTable[static_cast<size_t>(id)].name;
    return names;
}();

namespace detail {
template <ElementTerm term>
inline double sumOfTerms(const double* y, const double* p, int32_t width) {
    double sum = 0.0;
    for (int32_t k = 0; k < width; ++k) sum += term(y[k], p[k]);
    return sum;
}
}  // namespace detail

// Sum over k < width, in index order from 0.0, of the per-output term of id for
// targets y and predictions p; NaN for an id without one. The original three
// are spelt out so that their loops inline whatever the compiler decides.
inline double errorSum(int32_t id, const double* y, const double* p, int32_t width) {
    switch (id) {
        case kMse: return detail::sumOfTerms<squaredError>(y, p, width);
        case kMae: return detail::sumOfTerms<absoluteError>(y, p, width);
        case kMape: return detail::sumOfTerms<percentageError>(y, p, width);
        case kBinaryCrossentropy: return detail::sumOfTerms<sigmoidCrossEntropy>(y, p, width);
        case kBinaryAccuracy:
        case kAccuracyBinary: return detail::sumOfTerms<binaryHit>(y, p, width);
        case kBinaryAccuracyOfLogits:
        case kAccuracyBinaryOfLogits: return detail::sumOfTerms<logitHit>(y, p, width);
        default: return std::numeric_limits<double>::quiet_NaN();
    }
}

// What one sample adds to the score of id before the mean over samples: the
// per-output terms averaged over the width scored targets, or the row term.
inline double sampleTerm(int32_t id, const double* y, int32_t width, const double* p, int32_t outputs) {
    if (knownLoss(id) && kLossTable[static_cast<size_t>(id)].row != nullptr) {
        return kLossTable[static_cast<size_t>(id)].row(y, width, p, outputs);
    }
    return errorSum(id, y, p, width) / width;
}

// One per-element error of loss id (NaN for an id without a row), for the
// backward pass, which needs each sample's outputs at once.
inline double lossTerm(int32_t id, double y, double p) {
    switch (id) {
        case kMse: return squaredError(y, p);
        case kMae: return absoluteError(y, p);
        case kMape: return percentageError(y, p);
        case kBinaryCrossentropy: return sigmoidCrossEntropy(y, p);
        default: return std::numeric_limits<double>::quiet_NaN();
    }
}

// Whether lossSlope knows loss id.
inline bool hasLossSlope(int32_t id) { return id >= kMse && id <= kSparseCategoricalCrossentropy; }

// Whether id's term is over a sample's whole output row (the softmax losses).
inline bool isRowLoss(int32_t id) { return knownLoss(id) && kLossTable[static_cast<size_t>(id)].row != nullptr; }

// The slopes of a row loss in every output of one sample; zeros for an id without one.
inline void rowLossSlopes(int32_t id, const double* y, int32_t width, const double* p, int32_t outputs,
                          double* slopes) {
    switch (id) {
        case kCategoricalCrossentropy: softmaxCrossEntropySlopes(y, width, p, outputs, slopes); return;
        case kSparseCategoricalCrossentropy: sparseSoftmaxCrossEntropySlopes(y, width, p, outputs, slopes); return;
        default: std::fill(slopes, slopes + outputs, 0.0);
    }
}

// d error / d p for loss id; 0 for an id without a row.
inline double lossSlope(int32_t id, double y, double p) {
    switch (id) {
        case kMse: return squaredErrorSlope(y, p);
        case kMae: return absoluteErrorSlope(y, p);
        case kMape: return percentageErrorSlope(y, p);
        case kBinaryCrossentropy: return sigmoidCrossEntropySlope(y, p);
        default: return 0.0;
    }
}

}  // namespace kestrin
