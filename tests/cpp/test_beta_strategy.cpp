// The "beta" strategy's invariants: every network it builds keeps the
// connectivity rule, the rows it returns belong to the members they sit
// beside, a seeded run replays, its population starts diverse on the start's structure, and bad
// settings are refused. Learning is checked through Python.
#include "evolution/beta_strategy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "evolution/mutation.h"
#include "network/random.h"
#include "test_support.h"
#include "training/evaluate.h"

namespace kestrin {
namespace {

// Settings that change structure often, to put the operators through many cases.
BetaSettings restless() {
    BetaSettings settings;
    settings.addNodeRate = 0.5;
    settings.removeNodeRate = 0.4;
    settings.addConnectionRate = 0.5;
    settings.removeConnectionRate = 0.5;
    settings.activationRate = 0.5;
    settings.crossoverRate = 0.5;
    return settings;
}

TEST(BetaStrategy, KeepsConnectivityOverManyGenerationsOfRandomLosses) {
    std::mt19937 engine(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const auto& [inputs, outputs, size] : {std::tuple{2, 1, 3}, std::tuple{3, 2, 8}, std::tuple{1, 3, 6}}) {
        BetaStrategy strategy(restless());
        std::vector<Network> population = strategy.initialPopulation(denseNetwork(inputs, outputs, size), 12, {});
        // Random losses with the odd NaN and infinity drive every selection path.
        const PopulationScorer score = [&](std::vector<Network>& networks) {
            ScoreRows rows;
            for (size_t i = 0; i < networks.size(); ++i) {
                const double u = unit(engine);
                rows.push_back({u < 0.03 ? std::nan("") : u < 0.05 ? std::numeric_limits<double>::infinity() : u});
            }
            return rows;
        };
        for (int generation = 0; generation < 300; ++generation) {
            const ScoreRows rows = strategy.step(population, score, {});
            ASSERT_EQ(rows.size(), 12u);
            ASSERT_EQ(population.size(), 12u);
            for (const Network& member : population) {
                ASSERT_TRUE(Mutation::checkConnectivity(member)) << "generation " << generation;
                expectConsistent(member);
                ASSERT_EQ(member.inputs, inputs);
                ASSERT_EQ(member.outputs, outputs);
            }
        }
    }
}

TEST(BetaStrategy, ReturnsEachMembersOwnRowsAndKeepsTheBest) {
    const SampleMatrix x = sampleMatrix(20, 2, [](int32_t r, int32_t c) { return std::sin(r + 3.0 * c); });
    const SampleMatrix y = sampleMatrix(20, 1, [](int32_t r, int32_t) { return std::cos(0.5 * r); });
    const PopulationScorer score = [&](std::vector<Network>& networks) {
        return evaluate(networks, x.view(), y.view(), {kMse});
    };
    BetaStrategy strategy;
    std::vector<Network> population = strategy.initialPopulation(denseNetwork(2, 1, 5), 16, {});
    double best = std::numeric_limits<double>::infinity();
    for (int generation = 0; generation < 40; ++generation) {
        const ScoreRows rows = strategy.step(population, score, {});
        const ScoreRows again = score(population);
        double generationBest = std::numeric_limits<double>::infinity();
        for (size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i], again[i]) << "member " << i;
            generationBest = std::min(generationBest, rows[i][0]);
        }
        // Parents compete with their children, so the best never gets worse on a fixed set.
        ASSERT_LE(generationBest, best * (1.0 + 1e-3));
        best = generationBest;
    }
}

TEST(BetaStrategy, ReplaysUnderTheSameSeed) {
    const SampleMatrix x = sampleMatrix(10, 3, [](int32_t r, int32_t c) { return std::cos(r * 1.7 + c); });
    const SampleMatrix y = sampleMatrix(10, 2, [](int32_t r, int32_t c) { return std::sin(r - c); });
    const PopulationScorer score = [&](std::vector<Network>& networks) {
        return evaluate(networks, x.view(), y.view(), {kMse});
    };
    const auto run = [&](uint64_t seed) {
        setRandomSeed(seed);
        BetaStrategy strategy(restless());
        std::vector<Network> population = strategy.initialPopulation(denseNetwork(3, 2, 6), 10, {});
        for (int generation = 0; generation < 60; ++generation) strategy.step(population, score, {});
        return population;
    };
    const std::vector<Network> first = run(11), again = run(11), other = run(12);
    bool allSame = true, otherSame = true;
    for (size_t m = 0; m < first.size(); ++m) {
        allSame = allSame && first[m].sameGenes(again[m]);
        otherSame = otherSame && first[m].sameGenes(other[m]);
    }
    EXPECT_TRUE(allSame);
    EXPECT_FALSE(otherSame);
}

TEST(BetaStrategy, StartsDiverseOnTheStartsStructure) {
    const Network start = denseNetwork(3, 2, 7);
    BetaStrategy strategy;
    const std::vector<Network> population = strategy.initialPopulation(start, 8, {});
    ASSERT_EQ(population.size(), 8u);
    EXPECT_TRUE(population[0].sameGenes(start));
    for (size_t m = 1; m < population.size(); ++m) {
        EXPECT_EQ(population[m].connections, start.connections);
        EXPECT_NE(population[m].weights, start.weights);
    }
    // Four islands of two, each with its own output activation.
    for (size_t m = 2; m < population.size(); ++m) {
        EXPECT_EQ(population[m].activations[6], static_cast<int32_t>(m / 2)) << m;
    }
    EXPECT_THROW(strategy.initialPopulation(start, 7, {}), std::invalid_argument);
    EXPECT_THROW(strategy.initialPopulation(brokenNetwork(), 8, {}), BrokenNetworkError);
}

TEST(BetaStrategy, RefusesBadSettings) {
    const auto refused = [](auto change) {
        BetaSettings settings;
        change(settings);
        EXPECT_FALSE(settings.problem().empty());
        EXPECT_THROW(BetaStrategy{settings}, std::invalid_argument);
    };
    refused([](BetaSettings& s) { s.crossoverRate = -0.1; });
    refused([](BetaSettings& s) { s.addNodeRate = 1.5; });
    refused([](BetaSettings& s) { s.replaceRate = std::nan(""); });
    refused([](BetaSettings& s) { s.tournamentSize = 0; });
    refused([](BetaSettings& s) { s.islands = 0; });
    refused([](BetaSettings& s) { s.stepSize = 0.0; });
    refused([](BetaSettings& s) { s.parsimony = -1.0; });
    EXPECT_TRUE(BetaSettings{}.problem().empty());
}

}  // namespace
}  // namespace kestrin
