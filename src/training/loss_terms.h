// The per-element error of each loss, written once for the reference evaluate
// (sample by sample) and the compiled scorer (a tile of samples at a time), so
// that both round every term the same way and give the same bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "training/evaluate.h"

namespace kestrin {

inline double squaredError(double y, double p) {
    const double d = y - p;
    return d * d;
}

inline double absoluteError(double y, double p) { return std::fabs(y - p); }

// The 1e-10 keeps a zero target finite instead of dividing by zero.
inline double percentageError(double y, double p) { return std::fabs(y - p) * 100.0 / (std::fabs(y) + 1e-10); }

// Sum over k < width, in index order from 0.0, of the per-element error of loss
// id for targets y and predictions p; NaN for an unknown id.
inline double errorSum(int32_t id, const double* y, const double* p, int32_t width) {
    double sum = 0.0;
    switch (id) {
        case kMse:
            for (int32_t k = 0; k < width; ++k) sum += squaredError(y[k], p[k]);
            return sum;
        case kMae:
            for (int32_t k = 0; k < width; ++k) sum += absoluteError(y[k], p[k]);
            return sum;
        case kMape:
            for (int32_t k = 0; k < width; ++k) sum += percentageError(y[k], p[k]);
            return sum;
        default:
            return std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace kestrin
