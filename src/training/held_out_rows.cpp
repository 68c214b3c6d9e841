#include "training/held_out_rows.h"

#include <algorithm>

namespace kestrin {

bool HeldOutRows::split(const SampleView& x, const SampleView& y) {
    const int32_t rows = std::min(x.rows, y.rows);
    if (rows < kFewestRows) return false;
    const int32_t held = (rows + kEvery - 1) / kEvery;
    fitX_ = SampleMatrix(rows - held, x.columns);
    fitY_ = SampleMatrix(rows - held, y.columns);
    heldX_ = SampleMatrix(held, x.columns);
    heldY_ = SampleMatrix(held, y.columns);
    fitWeights_.clear();
    heldWeights_.clear();
    int32_t fit = 0, out = 0;
    for (int32_t i = 0; i < rows; ++i) {
        const bool isHeld = i % kEvery == 0;
        double* toX = isHeld ? heldX_.row(out) : fitX_.row(fit);
        double* toY = isHeld ? heldY_.row(out) : fitY_.row(fit);
        std::copy(x.row(i), x.row(i) + x.columns, toX);
        std::copy(y.row(i), y.row(i) + y.columns, toY);
        if (y.weights != nullptr) (isHeld ? heldWeights_ : fitWeights_).push_back(y.weights[i]);
        (isHeld ? out : fit) += 1;
    }
    return true;
}

}  // namespace kestrin
