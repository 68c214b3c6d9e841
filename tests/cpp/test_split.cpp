#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "network/activation.h"
#include "network/network.h"

namespace kestrin {
namespace {

TEST(Split, HandExample) {
    Network n(2, 1);
    n.biases = {0.1, 0.2, 0.7};
    n.activations = {1, 2, kLinear};
    n.connect(0, 2, 1.25);
    n.connect(1, 2, -0.75);

    std::mt19937 twin = n.rng;
    n.split(0, 2, 0.3, kTanh);

    EXPECT_EQ(n.size, 4);
    EXPECT_EQ(n.inputs, 2);
    EXPECT_EQ(n.outputs, 1);
    EXPECT_EQ(n.biases, (std::vector<double>{0.1, 0.2, 0.3, 0.7}));
    EXPECT_EQ(n.activations, (std::vector<int32_t>{1, 2, kTanh, kLinear}));
    EXPECT_EQ(n.sums.size(), 4u);
    EXPECT_EQ(n.values.size(), 4u);
    for (int32_t from = 0; from < 4; ++from) {
        for (int32_t to = 0; to < 4; ++to) {
            const bool expected = (from == 0 && to == 2) || (from == 2 && to == 3) || (from == 1 && to == 3);
            EXPECT_EQ(n.connected(from, to), expected) << from << "->" << to;
            if (!expected) {
                EXPECT_EQ(n.weights[from][to], 0.0) << from << "->" << to;
            }
        }
    }
    EXPECT_EQ(n.weights[1][3], -0.75);
    // Fresh weights from the network's engine, the incoming one first, one distribution per draw.
    std::normal_distribution<double> first(0.0, 1.0), second(0.0, 1.0);
    EXPECT_EQ(n.weights[0][2], first(twin));
    EXPECT_EQ(n.weights[2][3], second(twin));
}

struct Link {
    int32_t from, to;
};

Network randomNetwork(int32_t inputs, int32_t outputs, int32_t size, std::mt19937& engine) {
    Network n(inputs, outputs);
    n.setSize(size);
    n.initializeWeights();
    std::bernoulli_distribution drop(0.4);
    std::uniform_int_distribution<int32_t> id(0, 3);
    for (int32_t from = 0; from < size; ++from) {
        n.activations[from] = id(engine);
        for (int32_t to = 0; to < size; ++to) {
            if (n.connected(from, to) && drop(engine)) n.disconnect(from, to);
        }
    }
    return n;
}

std::vector<Link> linksOf(const Network& n) {
    std::vector<Link> links;
    for (int32_t from = 0; from < n.size; ++from) {
        n.connections.forEachInRow(from, 0, [&](int32_t to) { links.push_back({from, to}); });
    }
    return links;
}

// Splits sampled connections of random networks, across word edges, and checks
// the result against the original under the renumbering i -> i < p ? i : i + 1.
TEST(Split, KeepsEveryOtherConnectionAndTheForwardPass) {
    std::mt19937 engine(2024);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (auto [inputs, outputs, size] : std::initializer_list<std::tuple<int32_t, int32_t, int32_t>>{
             {1, 1, 4}, {3, 2, 10}, {4, 1, 63}, {2, 3, 64}, {5, 2, 66}, {1, 1, 128}}) {
        Network original = randomNetwork(inputs, outputs, size, engine);
        const std::vector<Link> links = linksOf(original);
        ASSERT_FALSE(links.empty());
        for (int sample = 0; sample < 12; ++sample) {
            const Link cut = links[engine() % links.size()];
            Network before = original;
            // Sources of the target that lie between the cut's source and the new node
            // would add into the target in another order; drop them so the sums are exact.
            const int32_t p = std::max(cut.from + 1, inputs);
            for (int32_t s = cut.from + 1; s < p; ++s) before.disconnect(s, cut.to);

            Network after = before;
            const double bias = normal(engine);
            after.split(cut.from, cut.to, bias, kTanh);
            const auto at = [p](int32_t i) { return i < p ? i : i + 1; };

            ASSERT_EQ(after.size, size + 1);
            ASSERT_EQ(after.biases.size(), static_cast<size_t>(size + 1));
            ASSERT_EQ(after.sums.size(), static_cast<size_t>(size + 1));
            ASSERT_EQ(after.values.size(), static_cast<size_t>(size + 1));
            ASSERT_EQ(after.activations.size(), static_cast<size_t>(size + 1));
            ASSERT_EQ(after.weights.dimension(), size + 1);
            ASSERT_EQ(after.connections.dimension(), size + 1);
            EXPECT_EQ(after.biases[p], bias);
            EXPECT_EQ(after.activations[p], kTanh);
            for (int32_t i = 0; i < size; ++i) {
                EXPECT_EQ(after.biases[at(i)], before.biases[i]);
                EXPECT_EQ(after.activations[at(i)], before.activations[i]);
            }
            // Every cell: old connections moved with their weights; the new node has exactly two.
            for (int32_t from = 0; from <= size; ++from) {
                for (int32_t to = 0; to <= size; ++to) {
                    bool expected = false;
                    double weight = 0.0;
                    if (from == p || to == p) {
                        expected = (from == cut.from && to == p) || (from == p && to == at(cut.to));
                        weight = expected ? after.weights[from][to] : 0.0;
                    } else {
                        const int32_t oldFrom = from < p ? from : from - 1, oldTo = to < p ? to : to - 1;
                        if (!(oldFrom == cut.from && oldTo == cut.to)) {
                            expected = before.connected(oldFrom, oldTo);
                            weight = before.weights[oldFrom][oldTo];
                        }
                    }
                    ASSERT_EQ(after.connected(from, to), expected) << from << "->" << to << " after splitting "
                                                                   << cut.from << "->" << cut.to;
                    ASSERT_EQ(after.weights[from][to], weight) << from << "->" << to;
                    if (expected) {
                        ASSERT_LT(from, to);
                    }
                }
            }

            // A linear new node with bias 0 and weights 1 and the old weight computes
            // exactly what the replaced connection did.
            after.biases[p] = 0.0;
            after.activations[p] = kLinear;
            after.connect(cut.from, p, 1.0);
            after.connect(p, at(cut.to), before.weights[cut.from][cut.to]);
            std::vector<double> input(inputs);
            for (double& x : input) x = normal(engine);
            EXPECT_EQ(after.activate(input), before.activate(input));
            for (int32_t i = 0; i < size; ++i) ASSERT_EQ(after.values[at(i)], before.values[i]) << "node " << i;
            EXPECT_EQ(after.values[p], before.values[cut.from]);
        }
    }
}

}  // namespace
}  // namespace kestrin
