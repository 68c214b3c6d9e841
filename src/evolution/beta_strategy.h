// The second strategy, behind the optimizer "beta": a (mu + lambda) evolution
// strategy on the network genome, in islands. The population starts diverse
// (member 0 the start, the others the start's structure with their own random
// genes, each island with its own output activation). Every generation makes
// one child per member from parents of its island chosen by tournament on
// their losses (crossed with a second parent at crossoverRate) and changes
// every child: genes perturbed with a step size that adapts itself (log-normal
// per child, and the one-fifth success rule per parent), rare gentle
// structural changes. Parents and children are scored together (parents
// again, since batches and fitness functions change) and each island keeps
// its best half. Islands never mix: a family that leads early cannot crowd
// out one that leads later. Parsimony (a loss share per hidden node) is off
// by default: any pressure against size stalled XOR on its plateaus.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "evolution/strategy.h"

namespace kestrin {

struct BetaSettings {
    double crossoverRate = 0.25;     // chance that a child has two parents
    int tournamentSize = 2;          // parents: best of this many random members of an island
    int islands = 4;                 // sub-populations evolving side by side
    double stepSize = 0.5;           // initial spread of the weight perturbation
    double geneRate = 0.5;           // chance that a gene is perturbed in a child
    double replaceRate = 0.0;        // chance that a gene is re-drawn from N(0, 1)
    double activationRate = 0.05;    // chance per child of one activation re-drawn
    double addNodeRate = 0.05;       // chances per child of each structural change
    double removeNodeRate = 0.02;
    double addConnectionRate = 0.05;
    double removeConnectionRate = 0.02;
    double parsimony = 0.0;          // relative loss added per hidden node when ranking
    // Lamarckian refinement, where the loop can refine (off at 0 steps): each
    // child (or only the refineBest best of each island, 0 for all) gets refineSteps
    // gradient steps before it is ranked, and keeps them: Adam steps of size
    // refineRate, or L-BFGS iterations.
    int refineSteps = 0;
    double refineRate = 0.01;
    int refineBest = 0;
    bool refineLbfgs = false;

    // An empty text when every knob is in range, else what is wrong with the first bad one.
    std::string problem() const;
};

class BetaStrategy final : public EvolutionStrategy {
public:
    explicit BetaStrategy(const BetaSettings& settings = {});

    std::vector<Network> initialPopulation(const Network& start, int popSize, const Poll& poll) override;
    ScoreRows step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) override;
    void useRefiner(Refiner refiner) override { refiner_ = std::move(refiner); }
    // The population size, then the step sizes and the ranking keys per position.
    std::vector<double> savedState() const override;
    void restoreState(const std::vector<double>& state) override;

private:
    // Islands of at least two members each: contiguous ranges of positions.
    size_t islandCount(size_t popSize) const;
    // The best of tournamentSize random positions in [lo, hi).
    size_t tournament(size_t lo, size_t hi) const;
    void mutateChild(Network& child, double stepSize) const;
    double rankKey(double loss, const Network& network) const;
    // Refines the children as the settings ask, when the loop gave a refiner.
    void refineChildren(std::vector<Network>& children, const PopulationScorer& score);

    BetaSettings settings_;
    Refiner refiner_;
    // Per population position, carried from one step to the next.
    std::vector<double> stepSizes_;
    std::vector<double> keys_;  // ranking keys from the last step; all equal at the start
    // Scratch of one step, kept to reuse the storage.
    std::vector<size_t> parentOf_;
    std::vector<int> successes_, trials_;
    std::vector<size_t> order_;
    std::vector<double> candidateSteps_, candidateKeys_;
    std::vector<int32_t> fanIn_;
    std::vector<Network> chosen_;
};

}  // namespace kestrin
