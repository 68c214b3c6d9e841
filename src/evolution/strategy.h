// An evolution strategy: how a population grows from the starting network and
// how one generation turns it into the next. The training loops own epochs,
// batches, the choice of the best and the callbacks; a strategy owns the
// operators and any state it carries from one generation to the next (a new
// strategy is made for every training call).
//
// Both calls poll while they build networks, so that an interrupt lands within
// a fraction of a second even for large populations; a poll that wants to stop
// throws (TrainingStopped, or an error of the caller's), and whatever the
// strategy built so far is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "evolution/selection.h"
#include "network/network.h"

namespace kestrin {

// An evolution operator met a network that breaks the connectivity invariant
// (a damaged network, or one without inputs or outputs). The message names
// the operator.
class BrokenNetworkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown by a poll when training is to stop without a result (the caller has
// already recorded why, e.g. a pending Python error).
struct TrainingStopped {};

// The error for `what` (which operator, or which network) with the rule spelled out.
BrokenNetworkError brokenNetwork(const std::string& what);

// Crossover pairs the members and selection keeps half of parents and children:
// a population must be even and at least 2 (std::invalid_argument otherwise).
void checkPopulationSize(int popSize);

// Scores the candidates: one row per network, in order, entry 0 the loss.
using PopulationScorer = std::function<ScoreRows(std::vector<Network>& networks)>;
// Called often while networks are built; throws to stop. May be empty.
using Poll = std::function<void()>;
// What a strategy asks of refinement: `steps` Adam steps of size `rate`, or
// `steps` L-BFGS iterations; either way at most maxPasses loss-and-gradient
// passes when it is above 0 (a budget that does not depend on how a line
// search fares). L-BFGS minimises the loss plus decay / samples x the sum of
// the squared weights, and with holdOut fits all but a share of the batch's
// rows, keeping the genes that predict those best (a batch too small to
// spare rows is fitted whole).
struct RefineRequest {
    int steps = 0;
    double rate = 0.01;
    bool lbfgs = false;
    int maxPasses = 0;
    double decay = 0.0;
    bool holdOut = false;
    int patience = 0;  // with held-out rows: passes without a better held-out loss before stopping
};
// Moves the networks' weights and biases in place by gradient steps on the
// loss of what the scorer scores (the dataset loop's batch). Returns whether
// rows were held out (and the kept genes are those that predict them best).
using Refiner = std::function<bool(std::vector<Network>& networks, const RefineRequest& request)>;

class EvolutionStrategy {
public:
    virtual ~EvolutionStrategy() = default;

    // popSize members grown from start (which satisfies the connectivity rule).
    virtual std::vector<Network> initialPopulation(const Network& start, int popSize, const Poll& poll) = 0;

    // One generation: scores candidates through score (any number of calls,
    // each on any number of networks), replaces population by the next one
    // and returns one score row per new member, from the call that scored it.
    virtual ScoreRows step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) = 0;

    // The member of the new population the loop keeps as its best, given the
    // rows step returned: the lowest loss (bestIndex) unless the strategy
    // knows better.
    virtual std::optional<size_t> bestOf(const ScoreRows& scores) const { return bestIndex(scores); }

    // The dataset loop hands its refiner before the first population (which a
    // strategy may shape for the refinement to come) and an empty one when it
    // ends; func_evolve hands none (a fitness function has no gradient). A
    // strategy that does not refine ignores it.
    virtual void useRefiner(Refiner) {}

    // What the strategy carries from one step to the next, as numbers, so that
    // an interrupted run can resume where it stopped. Empty for a strategy
    // that carries nothing.
    virtual std::vector<double> savedState() const { return {}; }
    // Takes back what savedState gave after initialPopulation (same settings,
    // same population size); std::invalid_argument for anything else.
    virtual void restoreState(const std::vector<double>& state);
};

}  // namespace kestrin
