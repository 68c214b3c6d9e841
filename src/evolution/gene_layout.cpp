#include "evolution/gene_layout.h"

#include <algorithm>

namespace kestrin {

GeneLayout GeneLayout::of(const Network& network) {
    GeneLayout layout;
    for (int32_t i = network.inputs; i < network.size; ++i) layout.slots.push_back({-1, i});
    for (int32_t from = 0; from < network.size; ++from) {
        for (int32_t to = std::max(from + 1, network.inputs); to < network.size; ++to) {
            if (network.connected(from, to)) layout.slots.push_back({from, to});
        }
    }
    return layout;
}

void GeneLayout::write(const double* genes, Network& network) const {
    const size_t n = slots.size();
    for (size_t k = 0; k < n; ++k) {
        const GeneSlot slot = slots[k];
        if (slot.from < 0) {
            network.biases[static_cast<size_t>(slot.to)] = genes[k];
        } else {
            network.weights[slot.from][slot.to] = genes[k];
        }
    }
}

void GeneLayout::read(const Network& network, double* genes) const {
    const size_t n = slots.size();
    for (size_t k = 0; k < n; ++k) {
        const GeneSlot slot = slots[k];
        genes[k] = slot.from < 0 ? network.biases[static_cast<size_t>(slot.to)] : network.weights[slot.from][slot.to];
    }
}

size_t GeneLayout::insertNode(Network& network, int32_t activation) {
    const int32_t p = network.size - network.outputs;
    network.biases.insert(network.biases.begin() + p, 0.0);
    network.sums.insert(network.sums.begin() + p, 0.0);
    network.values.insert(network.values.begin() + p, 0.0);
    network.activations.insert(network.activations.begin() + p, activation);
    network.weights.insertRowAndColumn(p);
    network.connections.insertRowAndColumn(p);
    network.size += 1;
    for (GeneSlot& slot : slots) {
        if (slot.from >= p) slot.from += 1;
        if (slot.to >= p) slot.to += 1;
    }
    const size_t before = slots.size();
    slots.push_back({-1, p});
    for (int32_t from = 0; from < p; ++from) {
        network.connect(from, p, 0.0);
        slots.push_back({from, p});
    }
    for (int32_t to = p + 1; to < network.size; ++to) {
        network.connect(p, to, 0.0);
        slots.push_back({p, to});
    }
    return slots.size() - before;
}

}  // namespace kestrin
