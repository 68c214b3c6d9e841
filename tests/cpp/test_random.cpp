// The shared draws of random.h and each network's own engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "network/network.h"
#include "network/network_engine.h"
#include "network/random.h"
#include "test_support.h"

namespace kestrin {
namespace {

TEST(Random, UniformDrawsFillTheHalfOpenUnitInterval) {
    const int n = 200000;
    int deciles[10] = {};
    for (int k = 0; k < n; ++k) {
        const double x = randomUniform();
        ASSERT_TRUE(x >= 0.0 && x < 1.0) << x;
        ++deciles[static_cast<int>(x * 10)];
    }
    for (int count : deciles) EXPECT_TRUE(nearChance(count, n, 0.1));
}

TEST(Random, NormalDrawsHaveTheirSpreadAndShape) {
    EXPECT_EQ(randomNormal(0.0), 0.0);
    const int n = 100000;
    const double stddev = 3.5;
    std::vector<double> draws(n);
    int withinOne = 0, beyondTwo = 0;
    for (double& x : draws) {
        x = randomNormal(stddev);
        ASSERT_TRUE(std::isfinite(x));
        withinOne += std::abs(x) < stddev;
        beyondTwo += std::abs(x) > 2.0 * stddev;
    }
    const Moments m = moments(draws);
    EXPECT_NEAR(m.mean, 0.0, 5.0 * stddev / std::sqrt(n));
    EXPECT_NEAR(m.sd, stddev, 0.02 * stddev);
    EXPECT_TRUE(nearChance(withinOne, n, 0.682689));
    EXPECT_TRUE(nearChance(beyondTwo, n, 0.0455003));
}

TEST(Random, ZigguratNormalsHaveTheNormalShapeIntoTheTail) {
    setRandomSeed(11);
    const int n = 400000;
    std::vector<double> draws(n);
    randomNormals(draws.data(), draws.size());
    const Moments m = moments(draws);
    EXPECT_NEAR(m.mean, 0.0, 5.0 / std::sqrt(n));
    EXPECT_NEAR(m.sd, 1.0, 0.01);
    // Shares within and beyond: the top layers, the wedges, and the tail past the base strip (3.44).
    const auto share = [&](double low, double high) {
        return static_cast<double>(std::count_if(draws.begin(), draws.end(), [&](double x) {
            return std::abs(x) >= low && std::abs(x) < high;
        }));
    };
    EXPECT_TRUE(nearChance(share(0.0, 0.5), n, 0.382925));
    EXPECT_TRUE(nearChance(share(1.0, 2.0), n, 0.271810));
    EXPECT_TRUE(nearChance(share(3.0, 3.5), n, 0.002234));
    EXPECT_TRUE(nearChance(share(3.5, 100.0), n, 0.000465));
    const int negative = static_cast<int>(std::count_if(draws.begin(), draws.end(), [](double x) { return x < 0.0; }));
    EXPECT_TRUE(nearChance(negative, n, 0.5));
    double product = 0.0;
    for (int i = 0; i + 1 < n; ++i) product += draws[i] * draws[i + 1];
    EXPECT_NEAR(product / (n - 1), 0.0, 5.0 / std::sqrt(n));
}

// Equal states, then 1300 equal draws (past the first refill of the state), then equal again.
testing::AssertionResult drawsLike(NetworkEngine& actual, std::mt19937 expected) {
    if (!(actual == expected)) return testing::AssertionFailure() << "unequal before drawing";
    for (int k = 0; k < 1300; ++k) {
        const auto a = actual(), e = expected();
        if (a != e) return testing::AssertionFailure() << "draw " << k << ": " << a << " instead of " << e;
    }
    if (!(actual == expected)) return testing::AssertionFailure() << "unequal after drawing";
    return testing::AssertionSuccess();
}

// However an engine was made or changed, before or after its seed was expanded,
// it draws what the standard engine draws from the same state.
TEST(NetworkEngine, DrawsAsTheStandardEngineHoweverItWasMade) {
    for (const uint32_t seed : {0u, 1u, 5489u, 0xffffffffu}) {
        NetworkEngine engine(seed);
        EXPECT_TRUE(drawsLike(engine, std::mt19937(seed))) << seed;
    }
    const auto advanced = [](uint32_t seed, unsigned long long draws) {
        std::mt19937 engine(seed);
        engine.discard(draws);
        return engine;
    };
    NetworkEngine unused(42), used(43), drawn(44);
    used.discard(10);
    drawn();
    drawn.discard(700);
    NetworkEngine copiedUnused(unused), copiedUsed(used);
    NetworkEngine builtOverUnused(7), builtOverUsed(7), unbuiltOverUsed(8);
    builtOverUnused.discard(1);  // built already: assignment reuses or drops its storage
    builtOverUsed.discard(1);
    builtOverUnused = unused;
    builtOverUsed = used;
    unbuiltOverUsed = used;
    NetworkEngine a(11), b(12);
    a.discard(3);
    swap(a, b);
    NetworkEngine moved(std::move(b)), moveAssigned(1), fromStandard(1), reseeded(1);
    moveAssigned = std::move(a);
    fromStandard.discard(2);
    fromStandard = advanced(77, 5);
    reseeded.discard(2);
    reseeded.seed(78);
    const std::pair<NetworkEngine*, std::mt19937> cases[] = {
        {&unused, advanced(42, 0)},          {&used, advanced(43, 10)},         {&drawn, advanced(44, 701)},
        {&copiedUnused, advanced(42, 0)},    {&copiedUsed, advanced(43, 10)},   {&builtOverUnused, advanced(42, 0)},
        {&builtOverUsed, advanced(43, 10)},  {&unbuiltOverUsed, advanced(43, 10)},
        {&moved, advanced(11, 3)},           {&moveAssigned, advanced(12, 0)},  {&fromStandard, advanced(77, 5)},
        {&reseeded, advanced(78, 0)},
    };
    for (size_t k = 0; k < std::size(cases); ++k) EXPECT_TRUE(drawsLike(*cases[k].first, cases[k].second)) << "case " << k;
    // Equality compares states, not seeds.
    EXPECT_FALSE(drawn == NetworkEngine(44));
    EXPECT_FALSE(NetworkEngine(1) == NetworkEngine(2));
    EXPECT_TRUE(NetworkEngine(2) == NetworkEngine(2));
    // Distributions take it like any engine.
    NetworkEngine engine(3);
    std::mt19937 standard(3);
    std::normal_distribution<double> x(0.0, 1.0), y(0.0, 1.0);
    EXPECT_EQ(x(engine), y(standard));
}

// What each source draws, and a new network's starting weights and activations.
struct Drawn {
    std::vector<int> libc;
    std::vector<uint32_t> seeds;
    std::vector<double> uniforms, normals, weights;
    std::vector<int32_t> activations;
};

Drawn drawFromEverySource() {
    // A once-flag first used now must not reseed from the clock.
    OnceSeedFlag fresh;
    fresh.seedIfFirstUse();
    Drawn d;
    for (int k = 0; k < 100; ++k) d.libc.push_back(libcRand());
    for (int k = 0; k < 100; ++k) d.seeds.push_back(deviceSeed());
    for (int k = 0; k < 1000; ++k) d.uniforms.push_back(randomUniform());
    for (int k = 0; k < 1000; ++k) d.normals.push_back(randomNormal(1.0));
    const Network network = denseNetwork(2, 1, 6);
    d.weights = network.biases;
    for (int32_t from = 0; from < network.size; ++from) {
        for (int32_t to = 0; to < network.size; ++to) d.weights.push_back(network.weights[from][to]);
    }
    d.activations = network.activations;
    return d;
}

int sameParts(const Drawn& a, const Drawn& b) {
    return (a.libc == b.libc) + (a.seeds == b.seeds) + (a.uniforms == b.uniforms) + (a.normals == b.normals) +
           (a.weights == b.weights) + (a.activations == b.activations);
}

TEST(Seeding, EverySourceReplaysItsSeedsDraws) {
    setRandomSeed(7);
    const Drawn first = drawFromEverySource();
    setRandomSeed(7);
    EXPECT_EQ(sameParts(first, drawFromEverySource()), 6);
    setRandomSeed(8);
    EXPECT_EQ(sameParts(first, drawFromEverySource()), 0);
}

TEST(Seeding, EveryByteOfASeedCounts) {
    const unsigned char seven[] = {7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const unsigned char beyond64Bits[] = {7, 0, 0, 0, 0, 0, 0, 0, 1};
    setRandomSeed(7);
    const Drawn first = drawFromEverySource();
    setRandomSeed(seven, sizeof seven);  // trailing zeros are not part of the number
    EXPECT_EQ(sameParts(first, drawFromEverySource()), 6);
    setRandomSeed(beyond64Bits, sizeof beyond64Bits);
    EXPECT_EQ(sameParts(first, drawFromEverySource()), 0);
}

}  // namespace
}  // namespace kestrin
