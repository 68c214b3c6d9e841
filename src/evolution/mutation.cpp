#include "evolution/mutation.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "network/activation.h"
#include "network/console.h"

namespace kestrin {

namespace {

// Shared by the four structural operators: the C library generator is seeded
// from the clock when the first of them picks a candidate.
OnceSeedFlag structuralSeed;

using Candidates = std::vector<std::pair<int32_t, int32_t>>;

const std::pair<int32_t, int32_t>& pick(const Candidates& candidates) {
    structuralSeed.seedIfFirstUse();
    return candidates[static_cast<size_t>(libcRand()) % candidates.size()];
}

// The operators keep the invariant on every valid network, so a failure here
// means the network was damaged before the operator ran.
void checkAfter(const Network& network, const char* line) {
    if (Mutation::checkConnectivity(network)) return;
    writeLine(std::string(line) + "\n");
    throw std::invalid_argument("");
}

// Drops node v with its row and column; later nodes move down by one.
void eraseNode(Network& network, int32_t v) {
    network.biases.erase(network.biases.begin() + v);
    network.sums.erase(network.sums.begin() + v);
    network.values.erase(network.values.begin() + v);
    network.activations.erase(network.activations.begin() + v);
    network.weights.eraseRowAndColumn(v);
    network.connections.eraseRowAndColumn(v);
    network.size -= 1;
}

}  // namespace

void Mutation::mutate(Network& network) {
    if (randomUniform() < 0.3) {
        changeWeightsAndBiases(network);
        return;
    }
    if (randomUniform() < 0.3) {
        changeActivation(network);
        return;
    }
    if (randomUniform() <= 0.1) {
        addNode(network);
        checkAfter(network, "Add node mutation broke network.");
        return;
    }
    if (randomUniform() <= 0.1) {
        removeNode(network);
        checkAfter(network, "Remove node mutation broke network.");
        return;
    }
    if (randomUniform() <= 0.05) {
        removeConnection(network);
        checkAfter(network, "Remove connection mutation broke network.");
        return;
    }
    if (randomUniform() <= 0.05) {
        addConnection(network);
        checkAfter(network, "Add connection mutation broke network.");
    }
}

void Mutation::changeWeightsAndBiases(Network& network) {
    // The spread follows the magnitude, so a value of exactly 0 stays 0.
    for (int32_t i = 0; i < network.size; ++i) {
        network.biases[i] += randomNormal(0.2 * std::abs(network.biases[i]));
        double* row = network.weights[i];
        network.connections.forEachInRow(i, 0, [&](int32_t j) { row[j] += randomNormal(0.2 * std::abs(row[j])); });
    }
}

void Mutation::changeActivation(Network& network) {
    for (int32_t i = network.inputs; i < network.size; ++i) {
        if (randomUniform() <= 0.05) network.activations[i] = randomActivation();
    }
}

void Mutation::addNode(Network& network) {
    const int32_t sources = network.size - network.outputs;
    if (sources <= 0) return;
    Candidates candidates;
    for (int32_t i = 0; i < sources; ++i) {
        network.connections.forEachInRow(i, i + 1, [&](int32_t j) { candidates.emplace_back(i, j); });
    }
    if (candidates.empty()) return;
    const auto [from, to] = pick(candidates);
    const int32_t activation = randomActivation();
    const double bias = randomNormal(1.0);
    network.split(from, to, bias, activation);
}

void Mutation::removeNode(Network& network) {
    const int32_t hidden = network.size - network.inputs - network.outputs;
    // <= rather than ==: a damaged count must not pick a node outside the network.
    if (hidden <= 0) return;
    structuralSeed.seedIfFirstUse();
    const int32_t v = network.inputs + libcRand() % hidden;

    std::vector<int32_t> sources, targets;
    for (int32_t i = 0; i < v; ++i) {
        if (network.connections.test(i, v)) sources.push_back(i);
    }
    // Targets are kept under the numbering they get once v is gone.
    network.connections.forEachInRow(v, v + 1, [&](int32_t j) { targets.push_back(j - 1); });

    eraseNode(network, v);

    for (int32_t s : sources) {
        for (int32_t t : targets) network.connect(s, t);
    }
}

void Mutation::addConnection(Network& network) {
    const int32_t sources = network.size - network.outputs;
    if (sources <= 0) return;
    Candidates candidates;
    for (int32_t i = 0; i < sources; ++i) {
        for (int32_t j = std::max(i + 1, network.inputs); j < network.size; ++j) {
            if (!network.connections.test(i, j)) candidates.emplace_back(i, j);
        }
    }
    if (candidates.empty()) return;
    const auto [from, to] = pick(candidates);
    network.connect(from, to);
}

void Mutation::removeConnection(Network& network) {
    const int32_t n = network.size;
    // Only edges whose source keeps another outgoing and whose target keeps
    // another incoming connection may go.
    std::vector<int32_t> incoming(static_cast<size_t>(std::max(n, 0)), 0);
    for (int32_t i = 0; i < n; ++i) {
        network.connections.forEachInRow(i, 0, [&](int32_t j) { ++incoming[j]; });
    }
    Candidates candidates;
    for (int32_t i = 0; i < n; ++i) {
        if (network.connections.countRow(i) < 2) continue;
        network.connections.forEachInRow(i, 0, [&](int32_t j) {
            if (incoming[j] >= 2) candidates.emplace_back(i, j);
        });
    }
    if (candidates.empty()) return;
    const auto [from, to] = pick(candidates);
    network.disconnect(from, to);
}

bool Mutation::checkConnectivity(const Network& network) {
    const int32_t n = network.size;
    if (n <= 0) return true;
    for (int32_t i = 0; i < n; ++i) {
        if (i < n - network.outputs && !network.connections.anyInRowFrom(i, i)) return false;
        if (i >= network.inputs) {
            bool fed = false;
            for (int32_t p = 0; p < i && !fed; ++p) fed = network.connections.test(p, i);
            if (!fed) return false;
        }
    }
    return true;
}

}  // namespace kestrin
