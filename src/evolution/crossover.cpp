#include "evolution/crossover.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "evolution/mutation.h"
#include "evolution/ordering.h"
#include "network/console.h"
#include "network/random.h"

namespace kestrin {

Network Crossover::simple(const Network& first, const Network& second, double firstLoss, double secondLoss) {
    const bool firstDominates = firstLoss <= secondLoss;
    const bool secondDominates = firstLoss > secondLoss;
    // With a NaN loss neither parent dominates, but the child still needs a
    // node count: it takes first's.
    const Network& shaper = secondDominates ? second : first;
    const Network& other = secondDominates ? first : second;

    // Sized once: Network(inputs, outputs) would allocate every field at
    // inputs + outputs nodes only to drop them. A network without nodes owns no
    // storage; it gets its own freshly seeded engine all the same.
    Network child;
    child.inputs = first.inputs;
    child.outputs = first.outputs;
    const int32_t n = shaper.size;
    child.setSize(n);

    // One draw per node decides bias and activation together; a node that the
    // drawn parent lacks comes from the parent that gave the node count.
    for (int32_t i = 0; i < n; ++i) {
        const Network* parent = randomUniform() <= 0.5 ? &first : &second;
        if (i >= parent->size) parent = &shaper;
        child.biases[i] = parent->biases[i];
        child.activations[i] = parent->activations[i];
    }

    // The child has the dominant parent's connections; only the weight of a
    // connection both parents have is drawn from either.
    const int32_t sources = n - child.outputs;
    for (int32_t j = 0; j < sources; ++j) {
        const int32_t firstTarget = std::max(j + 1, child.inputs);
        shaper.connections.forEachInRow(j, firstTarget, [&](int32_t k) {
            if (k < other.size && other.connections.test(j, k)) {
                const double weight = randomUniform() <= 0.5 ? first.weights[j][k] : second.weights[j][k];
                child.connect(j, k, weight);
            } else if (firstDominates || secondDominates) {
                child.connect(j, k, shaper.weights[j][k]);
            }
        });
    }
    return child;
}

std::vector<Network> Crossover::crossover(std::vector<Network>& population, std::vector<double>& losses,
                                          const std::function<void()>& poll) {
    const size_t n = population.size();
    // Reordering a shorter loss list would write past its end.
    if (losses.size() < n) throw std::length_error("fewer losses than networks");

    const std::vector<int32_t> order = shuffledIndices(static_cast<int32_t>(n));
    if (n >= 2) {
        reorder(population, order);
        reorderBy(n, order, [&](size_t a, size_t b) { std::swap(losses[a], losses[b]); });
    }

    for (const Network& member : population) {
        if (!Mutation::checkConnectivity(member)) {
            writeLine("One of networks already broken.\n");
            break;
        }
    }
    if (n < 2) return {};

    std::vector<Network> children;
    children.reserve(n / 2 * 2);
    for (size_t i = 0; i < n / 2; ++i) {
        if (poll) poll();
        const Network& p = population[2 * i];
        const Network& q = population[2 * i + 1];
        if (randomUniform() >= 0.5) {
            children.push_back(simple(p, q, losses[2 * i], losses[2 * i + 1]));
            children.push_back(simple(p, q, losses[2 * i], losses[2 * i + 1]));
        } else {
            children.push_back(Network::copy(p));
            children.push_back(Network::copy(q));
        }
    }

    for (const Network& child : children) {
        if (!Mutation::checkConnectivity(child)) {
            writeLine("Crossover broke network\n");
            throw std::invalid_argument("");
        }
    }
    return children;
}

}  // namespace kestrin
