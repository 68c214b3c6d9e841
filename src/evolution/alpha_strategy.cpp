#include "evolution/alpha_strategy.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "evolution/crossover.h"
#include "evolution/mutation.h"

namespace kestrin {
namespace {

// The operators report a broken network with an empty std::invalid_argument;
// give it a message that says which step found it.
template <typename Step>
void runOperator(const char* what, Step&& step) {
    try {
        step();
    } catch (const std::invalid_argument&) {
        throw brokenNetwork(what);
    }
}

void mutateAll(std::vector<Network>& networks, size_t first, const Poll& poll) {
    runOperator("Mutation met a network that breaks the connectivity rule", [&] {
        for (size_t i = first; i < networks.size(); ++i) {
            if (poll) poll();
            Mutation::mutate(networks[i]);
        }
    });
}

}  // namespace

std::vector<Network> AlphaStrategy::initialPopulation(const Network& start, int popSize, const Poll& poll) {
    checkPopulationSize(popSize);
    std::vector<Network> population;
    population.reserve(static_cast<size_t>(popSize));
    for (int i = 0; i < popSize; ++i) {
        if (poll) poll();
        population.push_back(Network::copy(start));
    }
    mutateAll(population, 1, poll);
    return population;
}

ScoreRows AlphaStrategy::step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) {
    zeroFitness_.assign(population.size(), 0.0);
    std::vector<Network> children;
    runOperator("Crossover produced a network that breaks the connectivity rule",
                [&] { children = Crossover::crossover(population, zeroFitness_, poll); });
    mutateAll(children, 0, poll);
    if (children.size() != population.size()) {
        throw std::logic_error("Crossover returned " + std::to_string(children.size()) + " children for " +
                               std::to_string(population.size()) + " members.");
    }

    // The population is replaced by the survivors, so its members can move.
    std::vector<Network> combined;
    combined.reserve(2 * population.size());
    for (size_t i = 0; i < population.size(); ++i) {
        combined.push_back(std::move(population[i]));
        combined.push_back(std::move(children[i]));
    }

    ScoreRows scores = score(combined);
    if (scores.size() < combined.size()) {
        throw std::invalid_argument("Expected " + std::to_string(combined.size()) + " score rows, got " +
                                    std::to_string(scores.size()) + ".");
    }
    for (size_t i = 0; i < combined.size(); ++i) {
        if (scores[i].empty()) throw std::invalid_argument("Score row " + std::to_string(i) + " is empty.");
    }
    // Rows beyond the candidates would be shuffled by a permutation too short for them.
    scores.resize(combined.size());

    Selection selected = tournamentSelect(std::move(combined), std::move(scores));
    population = std::move(selected.networks);
    return std::move(selected.scores);
}

}  // namespace kestrin
