#include "network/network.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "network/activation.h"
#include "network/memory.h"
#include "network/random.h"

namespace kestrin {

Network::Network(int32_t inputs_, int32_t outputs_)
    : inputs(inputs_), outputs(outputs_), rng(deviceSeed()) {
    setSize(inputs_ + outputs_);
}

void Network::setSize(int32_t n) {
    if (n < 0) throw std::length_error("negative node count");
    const double cells = static_cast<double>(n) * static_cast<double>(n);
    requireMemory(cells * (sizeof(double) + 0.125) + static_cast<double>(n) * 28.0);
    // Build everything first so that an allocation failure leaves *this intact.
    std::vector<double> newBiases(n, 0.0), newSums(n, 0.0), newValues(n, 0.0);
    std::vector<int32_t> newActivations(n, 0);
    WeightMatrix newWeights(n);
    BitMatrix newConnections(n);
    size = n;
    biases.swap(newBiases);
    sums.swap(newSums);
    values.swap(newValues);
    activations.swap(newActivations);
    weights = std::move(newWeights);
    connections = std::move(newConnections);
}

void Network::initializeWeights() {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::mt19937& engine = rng.engine();
    for (int32_t i = 0; i < size; ++i) {
        biases[i] = normal(engine);
        activations[i] = randomActivation();
    }
    for (int32_t c = 0; c < size - outputs; ++c) {
        for (int32_t j = std::max(inputs, c + 1); j < size; ++j) {
            weights[c][j] = normal(engine);
            connections.set(c, j);
        }
    }
}

void Network::connect(int32_t from, int32_t to) {
    std::normal_distribution<double> normal(0.0, 1.0);
    connections.set(from, to);
    weights[from][to] = normal(rng.engine());
}

void Network::connect(int32_t from, int32_t to, double weight) {
    connections.set(from, to);
    weights[from][to] = weight;
}

void Network::disconnect(int32_t from, int32_t to) {
    connections.clear(from, to);
    weights[from][to] = 0.0;
}

Network::Network(const Network& source, FreshEngine)
    : size(source.size),
      inputs(source.inputs),
      outputs(source.outputs),
      biases(source.biases),
      sums(source.sums),
      values(source.values),
      activations(source.activations),
      weights(source.weights),
      connections(source.connections),
      rng(deviceSeed()) {}

Network Network::copy(const Network& source) { return Network(source, FreshEngine{}); }

void swap(Network& a, Network& b) noexcept {
    if (&a == &b) return;
    using std::swap;
    swap(a.size, b.size);
    swap(a.inputs, b.inputs);
    swap(a.outputs, b.outputs);
    a.biases.swap(b.biases);
    a.sums.swap(b.sums);
    a.values.swap(b.values);
    a.activations.swap(b.activations);
    swap(a.weights, b.weights);
    swap(a.connections, b.connections);
    swap(a.rng, b.rng);
}

std::vector<double> Network::activate(const std::vector<double>& input) {
    std::vector<double> output(static_cast<size_t>(std::max(outputs, 0)));
    activate(input.data(), output.data());
    return output;
}

void Network::activate(const double* input, double* output) {
    const int32_t n = size;
    std::copy(biases.begin(), biases.end(), sums.begin());
    for (int32_t i = 0; i < n; ++i) {
        const double value = i < inputs ? input[i] : activation_function(activations[i], sums[i]);
        values[i] = value;
        const double* row = weights[i];
        // Each target sums its bias, then its sources in ascending order.
        connections.forEachInRow(i, inputs, [&](int32_t j) { sums[j] = row[j] * value + sums[j]; });
    }
    for (int32_t k = 0; k < outputs; ++k) output[k] = values[n - outputs + k];
}

void Network::split(int32_t from, int32_t to, double bias, int32_t activation) {
    disconnect(from, to);
    const int32_t p = std::max(from + 1, inputs);
    biases.insert(biases.begin() + p, bias);
    sums.insert(sums.begin() + p, 0.0);
    values.insert(values.begin() + p, 0.0);
    activations.insert(activations.begin() + p, activation);
    weights.insertRowAndColumn(p);
    connections.insertRowAndColumn(p);
    size += 1;
    connect(from, p);
    connect(p, to + 1);
}

bool Network::sameGenes(const Network& other) const {
    return size == other.size && inputs == other.inputs && outputs == other.outputs &&
           biases == other.biases && activations == other.activations &&
           connections == other.connections && weights == other.weights;
}

}  // namespace kestrin
