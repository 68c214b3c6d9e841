// A batch split for refinement that stops early: every fifth row is held
// out of the fit and only judges it, so a long L-BFGS run on a small, noisy
// batch keeps the genes that predicted the unseen rows best instead of the
// ones that fitted the noise. Strided, not a trailing slice, so that a batch
// sorted by target still holds out rows from its whole range. (Taking the
// rows in turns, so that every row is fitted in time, did worse on noisy
// batches.)
#pragma once

#include <cstdint>
#include <vector>

#include "training/sample_matrix.h"

namespace kestrin {

class HeldOutRows {
public:
    // Fewer rows than this are all fitted: a dozen held-out rows or fewer say
    // little about the rest, and in a tiny batch (XOR) every row must be fitted.
    static constexpr int32_t kFewestRows = 60;
    static constexpr int32_t kEvery = 5;

    // Splits x and y (their weights with them), holding out rows 0, 5, 10,
    // ...; false, with nothing split, when the batch is too small.
    bool split(const SampleView& x, const SampleView& y);

    SampleView fitX() const { return fitX_.view(); }
    SampleView fitY() const { return fitY_.view().weighted(fitWeights_.empty() ? nullptr : fitWeights_.data()); }
    SampleView heldX() const { return heldX_.view(); }
    SampleView heldY() const { return heldY_.view().weighted(heldWeights_.empty() ? nullptr : heldWeights_.data()); }

private:
    SampleMatrix fitX_, fitY_, heldX_, heldY_;
    std::vector<double> fitWeights_, heldWeights_;
};

}  // namespace kestrin
