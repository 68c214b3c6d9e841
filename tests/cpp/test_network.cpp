#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "network/network.h"

namespace kestrin {
namespace {

using Edges = std::set<std::pair<int32_t, int32_t>>;

Edges edgesOf(const Network& n) {
    Edges edges;
    for (int32_t from = 0; from < n.size; ++from) {
        for (int32_t to = 0; to < n.size; ++to) {
            if (n.connected(from, to)) edges.insert({from, to});
        }
    }
    return edges;
}

// Every per-node sequence and matrix has size entries, and no weight hides without a flag.
void expectConsistent(const Network& n) {
    ASSERT_EQ(n.biases.size(), static_cast<size_t>(n.size));
    ASSERT_EQ(n.sums.size(), static_cast<size_t>(n.size));
    ASSERT_EQ(n.values.size(), static_cast<size_t>(n.size));
    ASSERT_EQ(n.activations.size(), static_cast<size_t>(n.size));
    ASSERT_EQ(n.weights.dimension(), n.size);
    ASSERT_EQ(n.connections.dimension(), n.size);
    for (int32_t from = 0; from < n.size; ++from) {
        for (int32_t to = 0; to < n.size; ++to) {
            if (!n.connected(from, to)) {
                EXPECT_EQ(n.weights[from][to], 0.0) << from << "->" << to;
            }
        }
    }
}

// The densest forward graph: every non-output node to every later non-input node.
Edges densest(int32_t inputs, int32_t outputs, int32_t size) {
    Edges edges;
    for (int32_t c = 0; c < size - outputs; ++c) {
        for (int32_t j = std::max(inputs, c + 1); j < size; ++j) edges.insert({c, j});
    }
    return edges;
}

TEST(Network, ConstructorBuildsAnEmptyZeroNetwork) {
    Network n(2, 1);
    expectConsistent(n);
    EXPECT_EQ(n.size, 3);
    EXPECT_EQ(n.inputs, 2);
    EXPECT_EQ(n.outputs, 1);
    EXPECT_TRUE(edgesOf(n).empty());
    for (int32_t i = 0; i < n.size; ++i) {
        EXPECT_EQ(n.biases[i], 0.0);
        EXPECT_EQ(n.activations[i], 0);
    }
}

TEST(Network, InitializeWeightsBuildsTheDensestForwardGraph) {
    Network n(2, 1);
    n.initializeWeights();
    expectConsistent(n);
    EXPECT_EQ(edgesOf(n), (Edges{{0, 2}, {1, 2}}));
    for (int32_t i = 0; i < n.size; ++i) {
        EXPECT_NE(n.biases[i], 0.0) << "node " << i;  // inputs get a drawn bias too
        EXPECT_GE(n.activations[i], 0);
        EXPECT_LE(n.activations[i], 3);
    }

    n.setSize(5);
    n.initializeWeights();
    EXPECT_EQ(edgesOf(n), (Edges{{0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}}));

    for (auto [inputs, outputs, size] : std::initializer_list<std::tuple<int32_t, int32_t, int32_t>>{
             {0, 3, 3}, {3, 0, 3}, {0, 0, 4}, {1, 1, 70}, {4, 3, 66}}) {
        Network m(inputs, outputs);
        m.setSize(size);
        m.initializeWeights();
        expectConsistent(m);
        EXPECT_EQ(edgesOf(m), densest(inputs, outputs, size)) << inputs << " " << outputs << " " << size;
        for (auto [from, to] : edgesOf(m)) EXPECT_NE(m.weights[from][to], 0.0);
    }
}

TEST(Network, SetSizeWipesGenesButKeepsCountsAndEngine) {
    Network n(3, 2);
    n.setSize(8);
    n.initializeWeights();
    const std::mt19937 engineBefore = n.rng;
    n.setSize(6);
    expectConsistent(n);
    EXPECT_EQ(n.size, 6);
    EXPECT_EQ(n.inputs, 3);
    EXPECT_EQ(n.outputs, 2);
    EXPECT_TRUE(edgesOf(n).empty());
    EXPECT_TRUE(std::all_of(n.biases.begin(), n.biases.end(), [](double b) { return b == 0.0; }));
    EXPECT_TRUE(std::all_of(n.activations.begin(), n.activations.end(), [](int32_t a) { return a == 0; }));
    EXPECT_EQ(n.rng, engineBefore);
}

TEST(Network, SetSizeFailuresLeaveTheNetworkIntact) {
    Network n(2, 1);
    n.initializeWeights();
    const Network before = n;
    EXPECT_THROW(n.setSize(-1), std::length_error);
    EXPECT_TRUE(n.sameGenes(before));
    // Far more than any machine holds: refused as an allocation failure, not by the OOM killer.
    EXPECT_THROW(n.setSize(2'000'000'000), std::bad_alloc);
    EXPECT_TRUE(n.sameGenes(before));
    expectConsistent(n);
}

TEST(Network, ConnectAndDisconnect) {
    Network n(2, 2);
    n.setSize(5);

    // connect draws a standard normal from the network's own engine.
    std::mt19937 twin = n.rng;
    std::normal_distribution<double> normal(0.0, 1.0);
    n.connect(0, 3);
    EXPECT_TRUE(n.connected(0, 3));
    EXPECT_EQ(n.weights[0][3], normal(twin));

    // On an existing connection it replaces the weight (a fresh distribution each call).
    twin = n.rng;
    std::normal_distribution<double> fresh(0.0, 1.0);
    n.connect(0, 3);
    EXPECT_EQ(n.weights[0][3], fresh(twin));

    n.connect(0, 3, -2.25);
    EXPECT_EQ(n.weights[0][3], -2.25);
    n.connect(2, 4, 1.5);
    EXPECT_EQ(edgesOf(n), (Edges{{0, 3}, {2, 4}}));

    n.disconnect(0, 3);
    EXPECT_FALSE(n.connected(0, 3));
    EXPECT_EQ(n.weights[0][3], 0.0);
    n.disconnect(1, 4);  // never connected
    EXPECT_FALSE(n.connected(1, 4));
    EXPECT_EQ(n.weights[1][4], 0.0);
    EXPECT_EQ(edgesOf(n), (Edges{{2, 4}}));
    expectConsistent(n);
}

TEST(Network, CopyGetsAFreshEngineWhileCopyConstructionSharesIt) {
    Network parent(3, 2);
    parent.setSize(9);
    parent.initializeWeights();
    parent.activate(std::vector<double>{0.1, 0.2, 0.3});

    Network offspring = Network::copy(parent);
    expectConsistent(offspring);
    EXPECT_TRUE(offspring.sameGenes(parent));
    EXPECT_EQ(offspring.sums, parent.sums);
    EXPECT_EQ(offspring.values, parent.values);
    EXPECT_NE(offspring.rng, parent.rng);

    Network twin(parent);
    EXPECT_TRUE(twin.sameGenes(parent));
    EXPECT_EQ(twin.rng, parent.rng);
    Network assigned(1, 1);
    assigned = parent;
    EXPECT_TRUE(assigned.sameGenes(parent));

    // Copies share the engine state, so the same edit draws the same weight.
    parent.connect(5, 7);
    twin.connect(5, 7);
    assigned.connect(5, 7);
    offspring.connect(5, 7);
    EXPECT_EQ(twin.weights[5][7], parent.weights[5][7]);
    EXPECT_EQ(assigned.weights[5][7], parent.weights[5][7]);
    EXPECT_NE(offspring.weights[5][7], parent.weights[5][7]);
}

}  // namespace
}  // namespace kestrin
