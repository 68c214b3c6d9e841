// Refinement of a network's genes by gradient on a batch, written back into
// the network: every bias and forward weight the loss depends on moves, the
// structure stays. Two methods: Adam (Kingma and Ba's defaults but the rate),
// and L-BFGS (a few curvature pairs, backtracking to a sufficient decrease).
// Their state starts afresh on every call, so a refined network carries no
// optimizer state: its genes are all there is (what evolution keeps).
#pragma once

#include <cstdint>
#include <vector>

#include "network/network.h"
#include "training/gradient.h"
#include "training/sample_matrix.h"

namespace kestrin {

enum class RefineMethod : int32_t { kAdam = 0, kLbfgs = 1 };

struct RefineOptions {
    int steps = 0;
    double rate = 0.01;  // Adam's step size
    RefineMethod method = RefineMethod::kAdam;
    int maxPasses = 0;   // loss-and-gradient passes at most; 0: no cap
    double decay = 0.0;  // L-BFGS: penalty per squared weight, per sample
    // L-BFGS: rows held out of the fit (both null: none); the iterate whose
    // loss on them is lowest is kept, the start included.
    const SampleView* heldX = nullptr;
    const SampleView* heldY = nullptr;
    // L-BFGS with held-out rows: stop once this many passes have gone by
    // without a lower held-out loss (0: never), as the kept iterate is the
    // best held-out one, the passes after it are spent for nothing.
    int patience = 0;
};

class GradientRefiner {
public:
    // options.steps steps of loss lossId on x and y: Adam steps of size
    // `rate`, or L-BFGS iterations. Stops early, keeping the genes of the last
    // step whose loss and slopes were finite (and, for L-BFGS, when no step
    // along its direction lowers the loss), once maxPasses gradient passes
    // are spent, or after `patience` passes without a better held-out loss. L-BFGS minimises the loss plus decay / rows x the sum of the
    // squared weights (biases free); that and held-out rows keep a long
    // refinement from fitting the noise of a small batch. Draws no random
    // numbers. Returns the steps taken.
    int refine(Network& network, const SampleView& x, const SampleView& y, int32_t lossId, const RefineOptions& options);
    // Loss-and-gradient passes the last refine spent (an L-BFGS step may take several).
    int passes() const { return passes_; }

private:
    int adam(Network& network, const SampleView& x, const SampleView& y, int32_t lossId, int steps, double rate);
    int lbfgs(Network& network, const SampleView& x, const SampleView& y, int32_t lossId, const RefineOptions& options);
    // The genes the plan moves, in its order (steps' biases, then its weights), and back.
    void readGenes(const Network& network, std::vector<double>& genes) const;
    void writeGenes(const std::vector<double>& genes, Network& network) const;
    // Loss and slopes (into slopes) with genes in the plan; false when any is not finite.
    bool evaluateAt(const std::vector<double>& genes, const SampleView& x, const SampleView& y,
                    int32_t lossId, double& loss, std::vector<double>& slopes);

    GradientPass pass_;
    int passes_ = 0;
    double decay_ = 0.0;
    std::vector<double> first_, second_;  // Adam's moments
    // L-BFGS: genes, slopes, trial point, direction, and the curvature pairs (s, y) in a ring.
    std::vector<double> kept_;  // the genes with the lowest held-out loss
    std::vector<double> genes_, slopes_, trial_, trialSlopes_, direction_, alpha_, rho_;
    std::vector<std::vector<double>> steps_, changes_;
};

}  // namespace kestrin
