#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "evolution/ordering.h"
#include "network/network.h"

namespace kestrin {
namespace {

Network grown(int32_t inputs, int32_t outputs, int32_t size, int draws) {
    Network n(inputs, outputs);
    n.setSize(size);
    n.initializeWeights();
    n.rng.discard(static_cast<unsigned long long>(draws));
    std::vector<double> input(static_cast<size_t>(inputs), 0.5);
    n.activate(input);  // fills sums and values
    return n;
}

void expectSameNetwork(const Network& actual, const Network& expected) {
    EXPECT_TRUE(actual.sameGenes(expected));
    EXPECT_EQ(actual.sums, expected.sums);
    EXPECT_EQ(actual.values, expected.values);
    EXPECT_EQ(actual.rng, expected.rng);
}

TEST(NetworkSwap, ExchangesEveryFieldTheEngineIncluded) {
    Network a = grown(3, 2, 9, 5);
    Network b = grown(1, 4, 70, 11);  // flag rows of two words
    const Network aBefore = a, bBefore = b;
    swap(a, b);
    expectSameNetwork(a, bBefore);
    expectSameNetwork(b, aBefore);
    swap(a, a);
    expectSameNetwork(a, bBefore);
    // Each draws on where the other's engine was.
    std::mt19937 twin = bBefore.rng;
    EXPECT_EQ(a.rng(), twin());
}

TEST(NetworkSwap, ReorderingAPopulationMovesNetworksWhole) {
    std::vector<Network> population, before;
    for (int k = 0; k < 6; ++k) population.push_back(grown(2, 1, 3 + k, k));
    before = population;
    const std::vector<int32_t> order = {3, 0, 5, 1, 2, 4};
    reorder(population, order);
    for (size_t k = 0; k < order.size(); ++k) expectSameNetwork(population[order[k]], before[k]);
}

TEST(NetworkSwap, MovingKeepsEveryField) {
    Network source = grown(2, 2, 12, 3);
    const Network expected = source;
    Network moved(std::move(source));
    expectSameNetwork(moved, expected);
    Network assigned(1, 1);
    assigned = std::move(moved);
    expectSameNetwork(assigned, expected);
}

}  // namespace
}  // namespace kestrin
