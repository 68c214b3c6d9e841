// The "gamma" strategy: a node inserted by growth leaves the function as it
// was, the rows it returns belong to its members, a saved state resumes the
// same run, a damaged one is refused, and the start topology solves XOR.
#include "evolution/gamma_strategy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "evolution/gene_layout.h"
#include "evolution/mutation.h"
#include "network/activation.h"
#include "network/random.h"
#include "test_support.h"
#include "training/evaluate.h"

namespace kestrin {
namespace {

TEST(GeneLayout, InsertedNodeKeepsTheFunctionAndItsGenesAppendAtTheEnd) {
    std::mt19937 engine(9);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (const auto& [inputs, outputs, size] : {std::tuple{2, 1, 3}, std::tuple{3, 2, 9}, std::tuple{1, 3, 6}}) {
        Network network = denseNetwork(inputs, outputs, size);
        GeneLayout layout = GeneLayout::of(network);
        std::vector<double> genes(layout.size());
        layout.read(network, genes.data());
        Network grown = network;
        const size_t added = layout.insertNode(grown, kTanh);
        EXPECT_EQ(added, static_cast<size_t>(1 + (size - outputs) + outputs));
        ASSERT_EQ(grown.size, size + 1);
        EXPECT_TRUE(Mutation::checkConnectivity(grown));
        // The old genes read back from their slots in the grown network, in their order.
        std::vector<double> after(layout.size());
        layout.read(grown, after.data());
        for (size_t k = 0; k < genes.size(); ++k) EXPECT_EQ(after[k], genes[k]) << k;
        // Random incoming weights do not matter while the outgoing ones are 0.
        for (size_t k = genes.size(); k + static_cast<size_t>(outputs) < after.size(); ++k) after[k] = normal(engine);
        layout.write(after.data(), grown);
        for (int sample = 0; sample < 20; ++sample) {
            std::vector<double> input(static_cast<size_t>(inputs));
            for (double& value : input) value = normal(engine);
            EXPECT_EQ(grown.activate(input), network.activate(input));
        }
    }
}

const SampleMatrix& xorInputs() {
    static const SampleMatrix x = sampleMatrix(4, 2, [](int32_t r, int32_t c) { return (r >> c) & 1; });
    return x;
}
const SampleMatrix& xorTargets() {
    static const SampleMatrix y = sampleMatrix(4, 1, [](int32_t r, int32_t) { return (r & 1) ^ ((r >> 1) & 1); });
    return y;
}
ScoreRows xorScore(std::vector<Network>& networks) {
    return evaluate(networks, xorInputs().view(), xorTargets().view(), {kMse});
}

TEST(GammaStrategy, ReturnsEachMembersOwnRowsAndSolvesXor) {
    setRandomSeed(21);
    GammaStrategy strategy;
    std::vector<Network> population = strategy.initialPopulation(denseNetwork(2, 1, 3), 6, {});
    ASSERT_EQ(population.size(), 6u);
    EXPECT_EQ(population[0].size, 2 + 8 + 1);
    double best = std::numeric_limits<double>::infinity();
    for (int generation = 0; generation < 300 && best > 1e-3; ++generation) {
        const ScoreRows rows = strategy.step(population, xorScore, {});
        ASSERT_EQ(rows.size(), 6u);
        const ScoreRows again = xorScore(population);
        for (size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i], again[i]) << "member " << i;
            ASSERT_TRUE(Mutation::checkConnectivity(population[i]));
        }
        best = rows[0][0];
    }
    EXPECT_LT(best, 1e-3);
}

// A gene's spread in the samples, measured.
double sampledSpread(const GammaStrategy& strategy, size_t gene) {
    CmaDistribution cma = strategy.distribution();
    std::vector<double> x(cma.mean().size()), y(x.size());
    double sum = 0, squares = 0;
    constexpr int kDraws = 20000;
    for (int i = 0; i < kDraws; ++i) {
        cma.sample(x.data(), y.data());
        sum += x[gene];
        squares += x[gene] * x[gene];
    }
    return std::sqrt(squares / kDraws - (sum / kDraws) * (sum / kDraws));
}

TEST(GammaStrategy, BiasesSpreadAsOneMoreInputWhereSamplesSearchAlone) {
    setRandomSeed(4);
    for (const bool refining : {false, true}) {
        GammaStrategy strategy;
        if (refining) strategy.useRefiner([](std::vector<Network>&, const RefineRequest&) { return false; });
        strategy.initialPopulation(denseNetwork(2, 1, 3), 6, {});
        const int32_t output = strategy.hiddenNodes() + 2;
        EXPECT_EQ(strategy.hiddenNodes(), refining ? 16 : 8);
        const std::vector<GeneSlot>& slots = strategy.layout().slots;
        for (size_t k = 0; k < slots.size(); ++k) {
            if (slots[k].from >= 0) continue;
            const double fanIn = slots[k].to == output ? 2.0 + strategy.hiddenNodes() : 2.0;
            const double expected = refining ? 0.25 : 1.0 / std::sqrt(fanIn + 1.0);
            EXPECT_NEAR(sampledSpread(strategy, k), expected, 0.03 * expected) << "node " << slots[k].to;
        }
    }
}

// The penalty rises while refinements leave the mean where it was on held-out
// rows, falls once they move it, and never moves without held-out rows.
TEST(GammaStrategy, HeldOutRowsSetTheWeightPenalty) {
    const auto penalties = [](const GammaSettings& settings, const std::vector<std::pair<bool, bool>>& outcomes) {
        setRandomSeed(6);
        GammaStrategy strategy(settings);
        std::vector<double> seen;
        size_t call = 0;
        strategy.useRefiner([&](std::vector<Network>& networks, const RefineRequest& request) {
            seen.push_back(request.decay);
            const auto [heldOut, moves] = outcomes[call++];
            if (moves) networks[0].biases[networks[0].size - 1] += 0.5;
            return heldOut;
        });
        std::vector<Network> population = strategy.initialPopulation(denseNetwork(2, 1, 3), 4, {});
        for (size_t g = 0; g < outcomes.size(); ++g) strategy.step(population, xorScore, {});
        return seen;
    };
    GammaSettings settings;
    settings.maxWeightDecay = 0.5;
    std::vector<std::pair<bool, bool>> outcomes(5, {true, false});
    outcomes.insert(outcomes.end(), 4, {true, true});
    EXPECT_EQ(penalties(settings, outcomes), (std::vector<double>{0, 0.1, 0.2, 0.4, 0.5, 0.5, 0.25, 0.125, 0}));
    EXPECT_EQ(penalties(settings, std::vector<std::pair<bool, bool>>(3, {false, false})),
              (std::vector<double>{0, 0, 0}));
    settings.weightDecay = 0.3;  // a floor under it
    EXPECT_EQ(penalties(settings, std::vector<std::pair<bool, bool>>(3, {true, false})),
              (std::vector<double>{0.3, 0.3, 0.3}));
    settings.maxWeightDecay = 0.0;  // no rise
    EXPECT_EQ(penalties(settings, std::vector<std::pair<bool, bool>>(3, {true, false})),
              (std::vector<double>{0.3, 0.3, 0.3}));
}

TEST(GammaStrategy, WhileThePenaltyIsOnTheMeanIsKeptAsTheBest) {
    // heldOut: whether the refiner reports held-out rows (it never moves the mean, so the penalty rises).
    const auto run = [](bool heldOut, bool nanMean) {
        setRandomSeed(12);
        GammaStrategy strategy;
        strategy.useRefiner([heldOut](std::vector<Network>&, const RefineRequest&) { return heldOut; });
        std::vector<Network> population = strategy.initialPopulation(denseNetwork(2, 1, 3), 4, {});
        Network mean;
        const PopulationScorer score = [&](std::vector<Network>& networks) {
            mean = networks[0];
            ScoreRows rows = xorScore(networks);
            // Never the lowest loss: the best so far (candidate 1) starts as the mean.
            rows[0][0] = nanMean ? std::nan("") : rows[0][0] + 1.0;
            return rows;
        };
        const ScoreRows scores = strategy.step(population, score, {});
        return std::pair{strategy.bestOf(scores), population[0].sameGenes(mean)};
    };
    EXPECT_EQ(run(true, false), (std::pair{std::optional<size_t>{0}, true}));
    // No held-out rows: the lowest loss leads and is kept. A mean without a loss leads but is not kept.
    EXPECT_EQ(run(false, false), (std::pair{std::optional<size_t>{0}, false}));
    EXPECT_EQ(run(true, true), (std::pair{std::optional<size_t>{1}, true}));
}

// Around a refined mean a stall waits refineGrowPatience generations (no
// covariance window on top), and never grows while the held-out penalty is on.
TEST(GammaStrategy, AroundARefinedMeanGrowthWaitsThePatienceAloneAndNotUnderThePenalty) {
    const auto grownAt = [](bool heldOut) {
        setRandomSeed(8);
        GammaSettings settings;
        settings.refineGrowPatience = 3;
        GammaStrategy strategy(settings);
        strategy.useRefiner([heldOut](std::vector<Network>&, const RefineRequest&) { return heldOut; });
        std::vector<Network> population = strategy.initialPopulation(denseNetwork(2, 1, 3), 4, {});
        // The mean always leads with the same loss: every generation is a stall.
        const PopulationScorer stalled = [](std::vector<Network>& networks) {
            ScoreRows rows(networks.size());
            for (size_t i = 0; i < rows.size(); ++i) rows[i] = {i == 0 ? 1.0 : 2.0 + static_cast<double>(i)};
            return rows;
        };
        for (int generation = 1; generation <= 30; ++generation) {
            strategy.step(population, stalled, {});
            if (strategy.hiddenNodes() > 16) return generation;
        }
        return 0;
    };
    EXPECT_EQ(grownAt(false), 3);
    EXPECT_EQ(grownAt(true), 0);
}

TEST(GammaStrategy, ASavedStateResumesTheSameRun) {
    GammaSettings settings;
    settings.growPatience = 3;  // grows within the run, so the saved topology differs from the start
    setRandomSeed(4);
    GammaStrategy first(settings);
    std::vector<Network> population = first.initialPopulation(denseNetwork(2, 1, 3), 4, {});
    for (int generation = 0; generation < 200; ++generation) first.step(population, xorScore, {});
    ASSERT_GT(first.hiddenNodes(), 8);
    const std::vector<double> state = first.savedState();

    GammaStrategy second(settings);
    std::vector<Network> resumed = second.initialPopulation(denseNetwork(2, 1, 3), 4, {});
    second.restoreState(state);
    EXPECT_EQ(second.savedState(), state);
    resumed = population;
    setRandomSeed(99);
    for (int generation = 0; generation < 30; ++generation) first.step(population, xorScore, {});
    setRandomSeed(99);
    for (int generation = 0; generation < 30; ++generation) second.step(resumed, xorScore, {});
    EXPECT_EQ(first.savedState(), second.savedState());
    for (size_t i = 0; i < population.size(); ++i) EXPECT_TRUE(population[i].sameGenes(resumed[i]));
}

TEST(GammaStrategy, RefusesStatesItCannotResumeAndStaysAsItWas) {
    setRandomSeed(8);
    GammaStrategy strategy;
    std::vector<Network> population = strategy.initialPopulation(denseNetwork(3, 2, 5), 4, {});
    const std::vector<double> state = strategy.savedState();
    GammaStrategy other;
    other.initialPopulation(denseNetwork(2, 1, 3), 4, {});
    std::vector<double> shorter = state, damaged = state, nan = state;
    shorter.pop_back();
    damaged[0] = 2.0;
    nan.back() = std::nan("");
    for (const std::vector<double>& bad : {shorter, damaged, nan, std::vector<double>{}}) {
        EXPECT_THROW(strategy.restoreState(bad), std::invalid_argument);
    }
    EXPECT_THROW(other.restoreState(state), std::invalid_argument);  // another network
    std::vector<double> negative = state;
    negative[13] = -1.0;  // the held-out weight penalty
    EXPECT_THROW(strategy.restoreState(negative), std::invalid_argument);
    EXPECT_EQ(strategy.savedState(), state);
    // A state written before the penalty existed resumes without one.
    std::vector<double> first = state;
    first[1] = 1.0;
    first.erase(first.begin() + 13);
    strategy.restoreState(first);
    EXPECT_EQ(strategy.savedState(), state);
    GammaSettings bad;
    bad.stepSize = 0.0;
    EXPECT_THROW(GammaStrategy{bad}, std::invalid_argument);
}

}  // namespace
}  // namespace kestrin
