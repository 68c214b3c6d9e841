// The second strategy, behind the optimizer "beta": a (mu + lambda) evolution
// strategy on the network genome. The population starts diverse (member 0 the
// start, the others the start's structure with their own random genes); every
// generation makes one child per member from parents chosen by tournament on
// their losses (crossed with a second parent at crossoverRate), changes every
// child (all genes perturbed with the parent's self-adapted step size, rare
// gene replacement, rare gentle structural changes), scores parents and
// children together (parents again, since batches and fitness functions
// change) and keeps the best half. A small parsimony pressure on hidden nodes
// keeps networks small unless their size pays.
#pragma once

#include <string>
#include <vector>

#include "evolution/strategy.h"

namespace kestrin {

struct BetaSettings {
    double crossoverRate = 0.25;     // chance that a child has two parents
    int tournamentSize = 2;          // parents: best of this many random members of an island
    int islands = 4;                 // sub-populations evolving side by side
    double stepSize = 0.5;           // initial spread of the weight perturbation
    double geneRate = 1.0;           // chance that a gene is perturbed in a child
    double replaceRate = 0.02;       // chance that a gene is re-drawn from N(0, 1)
    double activationRate = 0.05;    // chance per child of one activation re-drawn
    double addNodeRate = 0.05;       // chances per child of each structural change
    double removeNodeRate = 0.02;
    double addConnectionRate = 0.05;
    double removeConnectionRate = 0.02;
    double parsimony = 0.0001;       // relative loss added per hidden node when ranking

    // An empty text when every knob is in range, else what is wrong with the first bad one.
    std::string problem() const;
};

class BetaStrategy final : public EvolutionStrategy {
public:
    explicit BetaStrategy(const BetaSettings& settings = {});

    std::vector<Network> initialPopulation(const Network& start, int popSize, const Poll& poll) override;
    ScoreRows step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) override;

private:
    // Islands of at least two members each: contiguous ranges of positions.
    size_t islandCount(size_t popSize) const;
    // The best of tournamentSize random positions in [lo, hi).
    size_t tournament(size_t lo, size_t hi) const;
    void mutateChild(Network& child, double stepSize) const;
    double rankKey(double loss, const Network& network) const;

    BetaSettings settings_;
    // Per population position, carried from one step to the next.
    std::vector<double> stepSizes_;
    std::vector<double> keys_;  // ranking keys from the last step; all equal at the start
    // Scratch of one step, kept to reuse the storage.
    std::vector<size_t> parentOf_;
    std::vector<int> successes_, trials_;
    std::vector<size_t> order_;
    std::vector<int32_t> fanIn_;
};

}  // namespace kestrin
