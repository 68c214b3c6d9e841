// The first strategy, behind the optimizer "alpha": member 0 a copy of the
// start, the others mutated copies; each generation crosses the population
// with equal losses, mutates every child once, scores parents and children
// together and keeps the winners of two passes of four-way tournaments.
#pragma once

#include <vector>

#include "evolution/strategy.h"

namespace kestrin {

class AlphaStrategy final : public EvolutionStrategy {
public:
    std::vector<Network> initialPopulation(const Network& start, int popSize, const Poll& poll) override;
    ScoreRows step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) override;

private:
    // One 0.0 per member: crossover sees equal losses for all.
    std::vector<double> zeroFitness_;
};

}  // namespace kestrin
