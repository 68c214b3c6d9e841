#include "evolution/gentle_growth.h"

#include <algorithm>
#include <cstdint>

#include "network/activation.h"
#include "network/random.h"

namespace kestrin {
namespace {

// A uniform index in [0, count), count >= 1.
int64_t pickIndex(int64_t count) {
    return std::min<int64_t>(static_cast<int64_t>(randomUniform() * static_cast<double>(count)), count - 1);
}

}  // namespace

void splitConnectionGently(Network& network) {
    const int32_t sources = network.size - network.outputs;
    int64_t count = 0;
    for (int32_t i = 0; i < sources; ++i) {
        network.connections.forEachInRow(i, i + 1, [&](int32_t) { ++count; });
    }
    if (count == 0) return;
    int64_t k = pickIndex(count);
    int32_t from = -1, to = -1;
    for (int32_t i = 0; i < sources && from < 0; ++i) {
        network.connections.forEachInRow(i, i + 1, [&](int32_t j) {
            if (k-- == 0) from = i, to = j;
        });
    }
    const double weight = network.weights[from][to];
    const int32_t activation = randomActivation();
    network.split(from, to, 0.0, activation);
    // split put the new node at max(from + 1, inputs) and moved `to` up by one.
    const int32_t node = std::max(from + 1, network.inputs);
    network.weights[from][node] = 1.0;
    network.weights[node][to + 1] = weight;
}

void addZeroConnection(Network& network) {
    const int32_t sources = network.size - network.outputs;
    int64_t count = 0;
    for (int32_t i = 0; i < sources; ++i) {
        for (int32_t j = std::max(i + 1, network.inputs); j < network.size; ++j) count += !network.connected(i, j);
    }
    if (count == 0) return;
    int64_t k = pickIndex(count);
    for (int32_t i = 0; i < sources; ++i) {
        for (int32_t j = std::max(i + 1, network.inputs); j < network.size; ++j) {
            if (!network.connected(i, j) && k-- == 0) {
                network.connect(i, j, 0.0);
                return;
            }
        }
    }
}

void changeOneActivation(Network& network) {
    const int32_t candidates = network.size - network.inputs;
    if (candidates <= 0) return;
    const auto node = network.inputs + static_cast<int32_t>(pickIndex(candidates));
    network.activations[node] = randomActivation();
}

}  // namespace kestrin
