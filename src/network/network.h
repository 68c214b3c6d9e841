// A Network is at once a genome and a runnable feed-forward net.
//
// Nodes are numbered 0..size-1: inputs first (0..inputs-1), outputs last
// (size-outputs..size-1), hidden nodes between. Index order is evaluation order:
// a connection counts in the forward pass only when it runs from a lower to a
// higher index into a non-input node. weights[from][to] is 0.0 wherever
// connections has no flag; every edit here keeps that.
//
// Value semantics: copying copies every field, the random engine's state
// included; Network::copy makes an offspring with a freshly seeded engine.
// Index arguments are trusted; callers keep size >= inputs + outputs.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "network/bit_matrix.h"
#include "network/network_engine.h"
#include "network/weight_matrix.h"

namespace kestrin {

class Network {
public:
    int32_t size = 0;
    int32_t inputs = 0;
    int32_t outputs = 0;
    std::vector<double> biases;
    std::vector<double> sums;    // forward-pass scratch: accumulated input per node
    std::vector<double> values;  // forward-pass scratch: output value per node
    std::vector<int32_t> activations;
    WeightMatrix weights;
    BitMatrix connections;
    NetworkEngine rng;  // an MT19937 (see network_engine.h)

    // inputs + outputs nodes, all zero, no connections; rng seeded from the random device.
    Network(int32_t inputs, int32_t outputs);
    Network() : Network(0, 0) {}

    // Memberwise, the engine's state included.
    Network(const Network&) = default;
    Network(Network&&) noexcept = default;
    Network& operator=(const Network&) = default;
    Network& operator=(Network&&) noexcept = default;

    // Exchanges every field in place, without a third network: what reordering
    // a population does (through `using std::swap; swap(a, b)`).
    friend void swap(Network& a, Network& b) noexcept;

    // Rebuilds every per-node sequence and both matrices at n nodes, all zero;
    // keeps inputs, outputs and rng.
    void setSize(int32_t n);

    // Random bias and activation for every node, and the densest forward graph.
    void initializeWeights();

    // Sets the flag and draws a fresh standard-normal weight from rng.
    void connect(int32_t from, int32_t to);
    void connect(int32_t from, int32_t to, double weight);
    void disconnect(int32_t from, int32_t to);

    bool connected(int32_t from, int32_t to) const { return connections.test(from, to); }

    // Same genes as source, new engine.
    static Network copy(const Network& source);

    // Forward pass of one sample: reads input[0..inputs-1], returns the outputs.
    std::vector<double> activate(const std::vector<double>& input);
    // The same pass writing the outputs to output[0..outputs-1]; allocates nothing.
    void activate(const double* input, double* output);

    // Replaces the connection from->to by a new hidden node (see network.cpp).
    void split(int32_t from, int32_t to, double bias, int32_t activation);

    // '.kn' file format.
    void save(const std::string& path) const;
    static Network load(const std::string& path);

    // Equality of the genes: counts, biases, activations, flags and weights.
    bool sameGenes(const Network& other) const;

private:
    struct FreshEngine {};
    // source's genes and buffers with a newly seeded engine: copy() in one allocation per field.
    Network(const Network& source, FreshEngine);
};

}  // namespace kestrin
