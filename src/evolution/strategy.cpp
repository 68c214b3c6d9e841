#include "evolution/strategy.h"

namespace kestrin {

BrokenNetworkError brokenNetwork(const std::string& what) {
    return BrokenNetworkError(
        what +
        " (every node but the outputs needs an outgoing connection and every node but the inputs an incoming one;"
        " a damaged network, or one without inputs or outputs, cannot evolve).");
}

void checkPopulationSize(int popSize) {
    if (popSize < 2 || popSize % 2 != 0) {
        throw std::invalid_argument("The population size (" + std::to_string(popSize) +
                                    ") must be an even number of at least 2.");
    }
}

void EvolutionStrategy::restoreState(const std::vector<double>& state) {
    if (!state.empty()) throw std::invalid_argument("This optimizer carries no state between generations.");
}

}  // namespace kestrin
