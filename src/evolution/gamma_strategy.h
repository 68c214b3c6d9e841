// The third strategy, behind the optimizer "gamma": CMA-ES on a network's
// biases and weights (cma_distribution.h), with structure that grows when the
// search stalls and restarts with a larger sample when it converges.
//
// The topology: a network with hidden nodes is searched as it is, its genes
// the first mean. One without (a new Model(inputs, outputs)) is replaced by a
// small dense one: `hidden` tanh nodes (refineHidden where gradient passes
// refine the mean: they tune more genes per evaluation) fed by the inputs,
// linear outputs fed by the inputs and the hidden nodes; the hidden nodes' incoming weights start at
// random (LeCun's spread), every other gene at 0, so it computes 0. Each gene's
// initial spread is stepSize (refineStepSize where gradient steps refine the
// mean), divided by the square root of its target's fan-in for a weight and,
// where samples search alone, of the fan-in plus one for a bias.
//
// A step samples 2 x popSize - 2 networks and scores them beside the mean and
// the best network so far (scored again, so it is judged on the current batch
// or fitness): the loops' 2 x popSize evaluations per step. A CMA
// generation spans `span` steps (1 until a restart), after which the
// distribution is updated from all its samples. The population after a step
// is the best popSize of its candidates.
//
// Growth: when the best loss has not improved by 0.1% for growPatience + 30 x
// genes / samples generations (refineGrowPatience alone where gradient passes
// refine the mean, and never while the held-out penalty is on), one tanh node
// is inserted before the outputs with outgoing weights 0 (the function stays
// the same), its genes appended to the
// mean (incoming weights drawn with LeCun's spread) with the initial spreads,
// but the outgoing weights with the current step size. Where samples search
// alone it is off by default: the genes a node adds slow the search more than
// its capacity helps.
//
// Gradient steps: where the loop can refine (evolve), each generation begins
// with refinePasses loss-and-gradient passes of L-BFGS on the mean, which the
// samples then surround: the gradient walks down the valley the samples found,
// the samples look past the local minimum the gradient would stop in. The
// refinement may hold out rows and keep what predicts them best (holdOut),
// and then ends once 20 passes have not predicted them better.
//
// Weight decay that follows the held-out rows: when no pass of a refinement
// predicted them better than the mean it started from, all the passes could
// still fit was the batch's noise, and the next refinement's penalty doubles
// (from 0.1, up to maxWeightDecay); a refinement that moved the mean halves
// it (to 0 below 0.1). On data without noise the passes keep predicting the
// held-out rows better and the penalty stays 0; weightDecay is its floor.
//
// While that penalty is on, the loop keeps the mean as its best rather than
// the sample with the lowest loss: on noisy data a sample's lead on the batch
// is mostly noise it fitted, while the mean, refined to predict the held-out
// rows and the average of the samples that led, predicts unseen rows better.
//
// Restarts (IPOP): when the distribution has collapsed, or the samples of a
// generation all score the same, it starts again around the best network seen,
// with the initial spread and a span twice as long.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "evolution/cma_distribution.h"
#include "evolution/gene_layout.h"
#include "evolution/strategy.h"

namespace kestrin {

struct GammaSettings {
    double stepSize = 1.0;          // initial sigma, and the spread of new genes, where samples search alone
    double refineStepSize = 0.25;  // the same where gradient passes refine the mean
    int hidden = 8;            // hidden nodes of the start built for a model without any, where samples search alone
    int refineHidden = 16;     // the same where gradient passes refine the mean
    int growPatience = 0;      // stalled generations before a node is added, where samples search alone; 0: never
    int refineGrowPatience = 60;  // the same where gradient passes refine the mean
    int maxHidden = 32;        // hidden nodes growth stops at
    int separableAbove = 200;  // gene count above which C is diagonal
    int refinePasses = 100;    // gradient passes on the mean per generation, where the loop has gradients; 0: none
    double weightDecay = 0.0;  // the refinement's penalty per squared weight, per sample, at least
    double maxWeightDecay = 16.0;  // the penalty held-out rows may raise it to; 0: it stays weightDecay
    bool holdOut = true;       // the refinement keeps the genes that best predict rows it did not fit

    std::string problem() const;
};

class GammaStrategy final : public EvolutionStrategy {
public:
    explicit GammaStrategy(const GammaSettings& settings = {});

    std::vector<Network> initialPopulation(const Network& start, int popSize, const Poll& poll) override;
    ScoreRows step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) override;
    // Handed by the loop before the first population, so the start fits it.
    void useRefiner(Refiner refiner) override { refiner_ = std::move(refiner); }
    // The mean while the held-out penalty is on, else the lowest loss.
    std::optional<size_t> bestOf(const ScoreRows& scores) const override;

    std::vector<double> savedState() const override;
    void restoreState(const std::vector<double>& state) override;

    // For tests and callers that look inside.
    const CmaDistribution& distribution() const { return cma_; }
    const GeneLayout& layout() const { return layout_; }
    int span() const { return span_; }
    int32_t hiddenNodes() const { return template_.size - template_.inputs - template_.outputs; }
    // The penalty the next refinement asks for.
    double weightDecay() const { return std::max(settings_.weightDecay, heldOutDecay_); }

private:
    void begin(const Network& start, int popSize);
    void resetDistribution(const std::vector<double>& mean);
    // Sizes the per-generation buffers for the current dimension and span.
    void sizeBuffers();
    // L-BFGS on the mean, at the start of a generation.
    void refineMean();
    // Follows a refinement that held rows out: stayed is whether it left the mean where it was.
    void adaptDecay(bool stayed);
    void endGeneration();
    // Stalled generations before growth.
    int patience() const;
    void grow();
    void restart();
    int samplesPerStep() const { return 2 * popSize_ - 2; }
    bool refining() const { return refiner_ && settings_.refinePasses > 0; }
    int growPatience() const { return refining() ? settings_.refineGrowPatience : settings_.growPatience; }
    // The spread a distribution starts with, and new genes get.
    double initialSpread() const { return refining() ? settings_.refineStepSize : settings_.stepSize; }

    GammaSettings settings_;
    Refiner refiner_;
    std::vector<Network> refined_;  // the mean, as the one network handed to the refiner
    Network template_;  // the topology, with the genes of the mean
    Network start_;     // the topology before any growth, for restoring
    GeneLayout layout_;
    CmaDistribution cma_;
    int popSize_ = 0;
    int span_ = 1;          // steps per CMA generation
    int stepsDone_ = 0;     // steps of the current generation so far
    int grown_ = 0;         // nodes inserted
    int restarts_ = 0;
    int stalled_ = 0;       // generations since the best loss last improved
    double bestLoss_ = 0;   // best loss seen, +inf before the first
    double reference_ = 0;  // the best loss when it last improved by more than a stall
    double generationBest_ = 0;
    double generationWorst_ = 0;
    double heldOutDecay_ = 0;  // the penalty the held-out rows have asked for
    bool meanLeads_ = false;   // the last step put the mean first, as its best
    std::vector<double> bestGenes_;
    // The samples of the current generation: their steps y and losses.
    std::vector<double> sampleY_;
    std::vector<double> sampleLoss_;
    // Scratch of one step, kept to reuse the storage.
    std::vector<Network> candidates_;
    std::vector<double> x_;
    std::vector<size_t> order_;
    std::vector<const double*> ranked_;
};

}  // namespace kestrin
