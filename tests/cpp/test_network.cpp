// The network core: construction, edits, copies, the forward pass and split.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "network/activation.h"
#include "test_support.h"

namespace kestrin {
namespace {

using Edges = std::set<std::pair<int32_t, int32_t>>;
using Shape = std::tuple<int32_t, int32_t, int32_t>;  // inputs, outputs, size

Edges edgesOf(const Network& n) {
    Edges edges;
    for (int32_t from = 0; from < n.size; ++from) {
        n.connections.forEachInRow(from, 0, [&](int32_t to) { edges.insert({from, to}); });
    }
    return edges;
}

std::vector<double> randomInput(int32_t count, std::mt19937& engine) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> input(count);
    for (double& x : input) x = normal(engine);
    return input;
}

TEST(Network, ConstructorBuildsAnEmptyZeroNetwork) {
    Network n(2, 1);
    expectConsistent(n);
    EXPECT_EQ(std::tuple(n.size, n.inputs, n.outputs), std::tuple(3, 2, 1));
    EXPECT_TRUE(edgesOf(n).empty());
    EXPECT_EQ(n.biases, std::vector<double>(3, 0.0));
    EXPECT_EQ(n.activations, std::vector<int32_t>(3, 0));
    // Nothing feeds the output: sigmoid of its zero bias, whatever the input.
    for (auto input : {std::vector<double>{0.0, 0.0}, {1e300, -1e300}}) EXPECT_EQ(n.activate(input), std::vector{0.5});
}

TEST(Network, InitializeWeightsBuildsTheDensestForwardGraph) {
    Network n(2, 1);
    n.setSize(5);
    n.initializeWeights();
    EXPECT_EQ(edgesOf(n), (Edges{{0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}}));
    for (int32_t i = 0; i < n.size; ++i) {
        EXPECT_NE(n.biases[i], 0.0) << "node " << i;  // inputs get a drawn bias too
        EXPECT_TRUE(n.activations[i] >= 0 && n.activations[i] <= 3);
    }
    // Every non-output node to every later non-input node, at the edges of the counts and of the flag words.
    for (auto [inputs, outputs, size] : {Shape{0, 3, 3}, {3, 0, 3}, {0, 0, 4}, {1, 1, 70}, {4, 3, 66}}) {
        Network m = denseNetwork(inputs, outputs, size);
        expectConsistent(m);
        for (int32_t from = 0; from < size; ++from) {
            for (int32_t to = 0; to < size; ++to) {
                const bool forward = from < to && to >= inputs && from < size - outputs;
                ASSERT_EQ(m.connected(from, to), forward) << from << "->" << to << " of " << size;
                if (forward) {
                    EXPECT_NE(m.weights[from][to], 0.0);
                }
            }
        }
    }
}

TEST(Network, SetSizeWipesGenesKeepsTheEngineAndFailsCleanly) {
    Network n = denseNetwork(3, 2, 8);
    const std::mt19937 engineBefore = n.rng;
    n.setSize(6);
    expectConsistent(n);
    EXPECT_EQ(std::tuple(n.size, n.inputs, n.outputs), std::tuple(6, 3, 2));
    EXPECT_TRUE(edgesOf(n).empty());
    EXPECT_EQ(n.biases, std::vector<double>(6, 0.0));
    EXPECT_EQ(n.activations, std::vector<int32_t>(6, 0));
    EXPECT_EQ(n.rng, engineBefore);

    n.initializeWeights();
    const Network before = n;
    EXPECT_THROW(n.setSize(-1), std::length_error);
    EXPECT_TRUE(n.sameGenes(before));
    // Far more than any machine holds: refused as an allocation failure, not by the OOM killer.
    EXPECT_THROW(n.setSize(2'000'000'000), std::bad_alloc);
    EXPECT_TRUE(n.sameGenes(before));
    expectConsistent(n);
}

TEST(Network, CopyGetsAFreshEngineWhileCopyConstructionSharesIt) {
    Network parent = denseNetwork(3, 2, 9);
    parent.activate(std::vector<double>{0.1, 0.2, 0.3});

    Network offspring = Network::copy(parent);
    expectConsistent(offspring);
    EXPECT_TRUE(offspring.sameGenes(parent));
    EXPECT_EQ(offspring.sums, parent.sums);
    EXPECT_EQ(offspring.values, parent.values);
    EXPECT_FALSE(offspring.rng == parent.rng);

    Network twin(parent);
    Network assigned(1, 1);
    assigned = parent;
    EXPECT_TRUE(twin.sameGenes(parent) && assigned.sameGenes(parent));
    // Copies share the engine state, so the same edit draws the same weight.
    for (Network* n : {&parent, &twin, &assigned, &offspring}) n->connect(5, 7);
    EXPECT_EQ(twin.weights[5][7], parent.weights[5][7]);
    EXPECT_EQ(assigned.weights[5][7], parent.weights[5][7]);
    EXPECT_NE(offspring.weights[5][7], parent.weights[5][7]);
}

// Genes, the pass's scratch and the engine's state.
void expectSameNetwork(const Network& actual, const Network& expected) {
    EXPECT_TRUE(actual.sameGenes(expected));
    EXPECT_EQ(actual.sums, expected.sums);
    EXPECT_EQ(actual.values, expected.values);
    EXPECT_TRUE(actual.rng == expected.rng);
}

TEST(Network, SwapAndMoveCarryEveryFieldTheEngineIncluded) {
    Network a = denseNetwork(3, 2, 9), b = denseNetwork(1, 4, 70);  // flag rows of one and two words
    for (Network* n : {&a, &b}) {
        n->rng.discard(static_cast<unsigned long long>(n->size));
        n->activate(std::vector<double>(static_cast<size_t>(n->inputs), 0.5));
    }
    const Network aBefore = a, bBefore = b;
    swap(a, b);
    expectSameNetwork(a, bBefore);
    expectSameNetwork(b, aBefore);
    swap(a, a);
    expectSameNetwork(a, bBefore);

    Network moved(std::move(a));
    expectSameNetwork(moved, bBefore);
    Network assigned(1, 1);
    assigned = std::move(moved);
    expectSameNetwork(assigned, bBefore);
    std::mt19937 twin = bBefore.rng;
    EXPECT_EQ(assigned.rng(), twin());
}

// Random graphs of every kind are checked against the scorer's separate
// implementation, bit for bit, in test_scoring_plan.cpp.
TEST(ForwardPass, HandExamples) {
    Network n(2, 1);
    n.biases[2] = 0.5;
    n.activations[2] = kLinear;
    n.connect(0, 2, 2.0);
    n.connect(1, 2, -1.0);
    EXPECT_EQ(n.activate({3.0, 4.0}), std::vector<double>{2.5});
    // Extra input elements are ignored; input biases and activations are not applied.
    n.biases[0] = 100.0;
    n.activations[0] = kRelu;
    EXPECT_EQ(n.activate({3.0, 4.0, 99.0}), std::vector<double>{2.5});
    EXPECT_EQ(n.values, (std::vector<double>{3.0, 4.0, 2.5}));
    // Connections into an input, backward or to the node itself are read by nothing.
    n.connect(1, 0, 7.0);
    n.connect(2, 1, 7.0);
    n.connect(2, 2, 7.0);
    EXPECT_EQ(n.activate({3.0, 4.0}), std::vector<double>{2.5});

    n.activations[2] = kRelu;
    EXPECT_EQ(n.activate({0.0, 1.0}), std::vector<double>{0.0});
    EXPECT_EQ(n.sums[2], -0.5);
    n.activations[2] = 4;  // an id without a name
    EXPECT_EQ(n.activate({3.0, 4.0}), std::vector<double>{0.0});
}

TEST(Split, HandExample) {
    Network n(2, 1);
    n.biases = {0.1, 0.2, 0.7};
    n.activations = {1, 2, kLinear};
    n.connect(0, 2, 1.25);
    n.connect(1, 2, -0.75);
    std::mt19937 twin = n.rng;
    n.split(0, 2, 0.3, kTanh);

    expectConsistent(n);
    EXPECT_EQ(std::tuple(n.size, n.inputs, n.outputs), std::tuple(4, 2, 1));
    EXPECT_EQ(n.biases, (std::vector<double>{0.1, 0.2, 0.3, 0.7}));
    EXPECT_EQ(n.activations, (std::vector<int32_t>{1, 2, kTanh, kLinear}));
    EXPECT_EQ(edgesOf(n), (Edges{{0, 2}, {1, 3}, {2, 3}}));
    EXPECT_EQ(n.weights[1][3], -0.75);
    // Fresh weights from the network's engine, the incoming one first, one distribution per draw.
    std::normal_distribution<double> first(0.0, 1.0), second(0.0, 1.0);
    EXPECT_EQ(n.weights[0][2], first(twin));
    EXPECT_EQ(n.weights[2][3], second(twin));
}

// Splits sampled forward connections of random networks, across word edges, and
// checks the result against the original under the renumbering i -> i < p ? i : i + 1.
TEST(Split, KeepsEveryOtherConnectionAndTheForwardPass) {
    std::mt19937 engine(2024);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (auto [inputs, outputs, size] : {Shape{1, 1, 4}, {3, 2, 10}, {4, 1, 63}, {2, 3, 64}, {5, 2, 66}, {1, 1, 128}}) {
        const Network original = randomNetwork(engine, inputs, outputs, size, 0.6);
        std::vector<std::pair<int32_t, int32_t>> cuts;
        for (auto [from, to] : edgesOf(original)) {
            if (from < to && to >= inputs && from < size - outputs) cuts.push_back({from, to});
        }
        ASSERT_FALSE(cuts.empty());
        for (int sample = 0; sample < 12; ++sample) {
            const auto [cutFrom, cutTo] = cuts[engine() % cuts.size()];
            Network before = original;
            // Sources of the target that lie between the cut's source and the new node
            // would add into the target in another order; drop them so the sums are exact.
            const int32_t p = std::max(cutFrom + 1, inputs);
            for (int32_t s = cutFrom + 1; s < p; ++s) before.disconnect(s, cutTo);

            Network after = before;
            const double bias = normal(engine);
            after.split(cutFrom, cutTo, bias, kTanh);
            ASSERT_EQ(after.size, size + 1);
            ASSERT_NO_FATAL_FAILURE(expectConsistent(after));
            EXPECT_EQ(after.biases[p], bias);
            EXPECT_EQ(after.activations[p], kTanh);
            const auto at = [p](int32_t i) { return i < p ? i : i + 1; };
            for (int32_t i = 0; i < size; ++i) {
                EXPECT_EQ(after.biases[at(i)], before.biases[i]);
                EXPECT_EQ(after.activations[at(i)], before.activations[i]);
            }
            // Old connections moved with their weights; the new node has exactly two.
            Edges expected = {{cutFrom, p}, {p, at(cutTo)}};
            for (auto [from, to] : edgesOf(before)) {
                if (from == cutFrom && to == cutTo) continue;
                expected.insert({at(from), at(to)});
                ASSERT_EQ(after.weights[at(from)][at(to)], before.weights[from][to]) << from << "->" << to;
            }
            ASSERT_EQ(edgesOf(after), expected) << "after splitting " << cutFrom << "->" << cutTo;

            // A linear new node with bias 0 and weights 1 and the old weight computes
            // exactly what the replaced connection did.
            after.biases[p] = 0.0;
            after.activations[p] = kLinear;
            after.connect(cutFrom, p, 1.0);
            after.connect(p, at(cutTo), before.weights[cutFrom][cutTo]);
            const std::vector<double> input = randomInput(inputs, engine);
            EXPECT_EQ(after.activate(input), before.activate(input));
            for (int32_t i = 0; i < size; ++i) ASSERT_EQ(after.values[at(i)], before.values[i]) << "node " << i;
            EXPECT_EQ(after.values[p], before.values[cutFrom]);
        }
    }
}

}  // namespace
}  // namespace kestrin
