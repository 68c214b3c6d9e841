#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "evolution/crossover.h"
#include "evolution/mutation.h"
#include "test_support.h"

namespace kestrin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Genes that name their parent: biases base + i, activation id `activation`,
// weights base * 10 + from * size + to.
Network labelled(int32_t size, double base, int32_t activation) {
    Network network = denseNetwork(2, 1, size);
    for (int32_t i = 0; i < size; ++i) {
        network.biases[i] = base + i;
        network.activations[i] = activation;
        network.connections.forEachInRow(i, 0, [&](int32_t j) { network.weights[i][j] = base * 10 + i * size + j; });
    }
    return network;
}

TEST(Crossover, DominantParentGivesSizeAndConnections) {
    const Network small = labelled(4, 100, 0);
    const Network big = labelled(7, 200, 3);
    struct Case {
        const Network &first, &second;
        double firstLoss, secondLoss;
        const Network& dominant;
    };
    const Case cases[] = {
        {small, big, 0.0, 0.0, small},  // equal losses: the first parent
        {big, small, 0.0, 0.0, big},
        {small, big, 1.0, 0.5, big},
        {big, small, 0.5, 1.0, big},
        {small, big, -1.0, 2.0, small},
    };
    for (const Case& c : cases) {
        for (int repeat = 0; repeat < 20; ++repeat) {
            Network child = Crossover::simple(c.first, c.second, c.firstLoss, c.secondLoss);
            ASSERT_EQ(child.size, c.dominant.size);
            ASSERT_EQ(child.inputs, 2);
            ASSERT_EQ(child.outputs, 1);
            ASSERT_TRUE(child.connections == c.dominant.connections);
            for (int32_t i = 0; i < child.size; ++i) {
                // Bias and activation come from one parent together; a node
                // only the dominant parent has comes from it.
                const Network& from = child.activations[i] == 0 ? small : big;
                ASSERT_EQ(child.biases[i], from.biases[i]) << i;
                if (i >= 4) {
                    ASSERT_EQ(child.activations[i], big.activations[i]) << i;
                }
                ASSERT_EQ(child.sums[i], 0.0);
                ASSERT_EQ(child.values[i], 0.0);
                child.connections.forEachInRow(i, 0, [&](int32_t j) {
                    const bool shared = j < small.size;
                    const double w = child.weights[i][j];
                    if (shared) {
                        EXPECT_TRUE(w == small.weights[i][j] || w == big.weights[i][j]) << i << "->" << j;
                    } else {
                        EXPECT_EQ(w, c.dominant.weights[i][j]) << i << "->" << j;
                    }
                });
            }
            ASSERT_TRUE(Mutation::checkConnectivity(child));
        }
    }
}

TEST(Crossover, GenesComeFromEitherParentEvenly) {
    const Network first = labelled(10, 100, 0);
    const Network second = labelled(10, 200, 3);
    int nodesFromFirst = 0, weightsFromFirst = 0, nodes = 0, weights = 0;
    for (int repeat = 0; repeat < 300; ++repeat) {
        const Network child = Crossover::simple(first, second, 0.0, 0.0);
        for (int32_t i = 0; i < child.size; ++i) {
            nodesFromFirst += child.activations[i] == 0;
            ++nodes;
            child.connections.forEachInRow(i, 0, [&](int32_t j) {
                weightsFromFirst += child.weights[i][j] == first.weights[i][j];
                ++weights;
            });
        }
    }
    EXPECT_TRUE(nearChance(nodesFromFirst, nodes, 0.5));
    EXPECT_TRUE(nearChance(weightsFromFirst, weights, 0.5));
}

TEST(Crossover, NaNLossKeepsOnlySharedConnections) {
    Network first = denseNetwork(2, 1, 6);
    Network second = denseNetwork(2, 1, 8);
    first.disconnect(0, 3);
    first.disconnect(2, 4);
    second.disconnect(1, 2);
    second.disconnect(3, 5);
    for (auto [a, b] : {std::pair{kNaN, 0.0}, std::pair{0.0, kNaN}, std::pair{kNaN, kNaN}}) {
        const Network child = Crossover::simple(first, second, a, b);
        ASSERT_EQ(child.size, first.size);
        for (int32_t i = 0; i < child.size; ++i) {
            for (int32_t j = 0; j < child.size; ++j) {
                const bool shared = first.connections.test(i, j) && second.connections.test(i, j);
                EXPECT_EQ(child.connections.test(i, j), shared) << i << "->" << j;
                if (!shared) {
                    EXPECT_EQ(child.weights[i][j], 0.0);
                }
            }
        }
    }
}

TEST(Crossover, SmallPopulationsGiveNoChildren) {
    std::vector<Network> population;
    std::vector<double> losses;
    EXPECT_EQ(printedBy([&] {
                  EXPECT_TRUE(Crossover::crossover(population, losses).empty());
                  population.push_back(denseNetwork(2, 1, 3));
                  losses.push_back(0.0);
                  EXPECT_TRUE(Crossover::crossover(population, losses).empty());
              }),
              "");
    // A lone broken member is still checked.
    population = {brokenNetwork()};
    EXPECT_EQ(printedBy([&] { EXPECT_TRUE(Crossover::crossover(population, losses).empty()); }),
              "One of networks already broken.\n");
}

TEST(Crossover, ChildrenBelongToTheirPairAndLossesFollowTheirMembers) {
    std::set<int32_t> leftOut;
    int copiedPairs = 0, pairs = 0;
    for (int repeat = 0; repeat < 60; ++repeat) {
        // Member k is told apart by its size and carries loss 3 + k; one more
        // loss than members, which must stay last.
        std::vector<Network> population;
        std::vector<double> losses;
        for (int32_t k = 0; k < 9; ++k) {
            population.push_back(denseNetwork(2, 1, 3 + k));
            for (int step = 0; step < 5; ++step) Mutation::mutate(population.back());
            population.back().biases[0] = 3 + k;  // survives the mutations' sizes
            losses.push_back(3 + k);
        }
        losses.push_back(-1.0);

        const std::vector<Network> children = Crossover::crossover(population, losses);
        ASSERT_EQ(children.size(), 8u);
        ASSERT_EQ(losses.size(), 10u);
        EXPECT_EQ(losses.back(), -1.0);
        std::set<double> seen;
        for (size_t k = 0; k < population.size(); ++k) {
            ASSERT_EQ(losses[k], population[k].biases[0]);
            seen.insert(losses[k]);
        }
        ASSERT_EQ(seen.size(), 9u);
        leftOut.insert(static_cast<int32_t>(losses[8]));

        for (size_t i = 0; i < 4; ++i) {
            const Network& p = population[2 * i];
            const Network& q = population[2 * i + 1];
            const Network& a = children[2 * i];
            const Network& b = children[2 * i + 1];
            ASSERT_TRUE(Mutation::checkConnectivity(a));
            ASSERT_TRUE(Mutation::checkConnectivity(b));
            ++pairs;
            if (a.sameGenes(p) && b.sameGenes(q)) {
                ++copiedPairs;
                continue;
            }
            // Crossed: both children take the node count of the lower loss.
            const Network& dominant = losses[2 * i] <= losses[2 * i + 1] ? p : q;
            ASSERT_EQ(a.size, dominant.size);
            ASSERT_EQ(b.size, dominant.size);
            ASSERT_TRUE(a.connections == dominant.connections);
            ASSERT_TRUE(b.connections == dominant.connections);
        }
    }
    EXPECT_GT(leftOut.size(), 3u);
    EXPECT_TRUE(nearChance(copiedPairs, pairs, 0.5));
}

TEST(Crossover, BrokenMembersAreReportedOnceAndBrokenChildrenThrow) {
    std::vector<Network> population = {brokenNetwork(), brokenNetwork()};
    population[0].biases[0] = 0.0;
    population[1].biases[0] = 1.0;
    std::vector<double> losses = {0.0, 1.0};
    const std::string out = printedBy([&] {
        try {
            Crossover::crossover(population, losses);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "");
        }
    });
    EXPECT_EQ(out, "One of networks already broken.\nCrossover broke network\n");
    EXPECT_EQ(losses[0], population[0].biases[0]);
    EXPECT_EQ(losses[1], population[1].biases[0]);
}

}  // namespace
}  // namespace kestrin
