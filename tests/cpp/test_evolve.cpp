// The training loops as the Python layer cannot see them: batch counts, the
// keep-going checks, means over batches, validation of each epoch's best, the
// core's own refusals and learning. Printed lines, NaN losses, zero epochs and
// broken networks are tested through Python.
#include "training/evolve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "test_support.h"
#include "training/evaluate.h"

namespace kestrin {
namespace {

// A stub fitness: squared distance of the first output for inputs 0.5 from 0.3.
ScoreRows distanceFromTarget(std::vector<Network>& networks) {
    ScoreRows rows;
    for (Network& network : networks) {
        const std::vector<double> input(static_cast<size_t>(network.inputs), 0.5);
        std::vector<double> output(static_cast<size_t>(network.outputs), 0.0);
        network.activate(input.data(), output.data());
        rows.push_back({(output[0] - 0.3) * (output[0] - 0.3)});
    }
    return rows;
}

DatasetOptions datasetOptions(int popSize, int batchSize, int epochs) {
    DatasetOptions options;
    options.popSize = popSize;
    options.batchSize = batchSize;
    options.epochs = epochs;
    options.verbose = 0;
    options.metricIds = {kMse};
    return options;
}

FunctionOptions functionOptions(int popSize, int epochs) {
    FunctionOptions options;
    options.popSize = popSize;
    options.epochs = epochs;
    options.verbose = 0;
    return options;
}

TEST(BatchCount, IsTheCeilingInIntegers) {
    struct Case {
        int32_t samples, batchSize, batches;
    };
    // Single precision would round 2^24 + 1 samples down to 2^24.
    for (const Case& c : {Case{10, 3, 4}, {10, 5, 2}, {10, 10, 1}, {10, 11, 1}, {10, -1, 1}, {1, 1, 1},
                          {16777217, 1, 16777217}, {2147483647, 2147483647, 1}, {2147483647, 2, 1073741824}}) {
        EXPECT_EQ(batchCount(c.samples, c.batchSize), c.batches) << c.samples << " / " << c.batchSize;
    }
    EXPECT_THROW(batchCount(10, 0), std::invalid_argument);
    EXPECT_THROW(batchCount(10, -2), std::invalid_argument);
}

TEST(DatasetLoop, ChecksOncePerBatchAndAveragesOverBatches) {
    Network start = denseNetwork(1, 1, 2);
    // Equal rows: each batch scores a network alike (up to rounding), and the
    // starting network, which stays in the population, bounds every batch's best.
    const SampleMatrix x = sampleMatrix(10, 1, [](int, int) { return 0.5; });
    const SampleMatrix y = sampleMatrix(10, 1, [](int, int) { return 3.0; });
    const double startScore = evaluate(start, x.view(), y.view(), {kMse})[0];
    for (int epochs : {0, 2}) {
        int checks = 0;
        auto result = evolveOnDataset(start, x, y, std::nullopt, datasetOptions(4, 3, epochs), [&] {
            return ++checks, true;
        });
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(checks, 4 * epochs) << "batches of 3, 3, 3 and 1 samples";
        ASSERT_EQ(result->epochs.size(), static_cast<size_t>(epochs));
        for (const DatasetEpoch& epoch : result->epochs) EXPECT_LE(epoch.losses[0], startScore * (1 + 1e-12));
    }
    int checks = 0;
    const auto result = evolveOnDataset(start, x, y, std::nullopt, datasetOptions(4, 3, 5), [&] { return ++checks < 6; });
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(checks, 6);
}

TEST(DatasetLoop, LearnsAConstantTarget) {
    const Network start = denseNetwork(1, 1, 2);
    const SampleMatrix x = sampleMatrix(20, 1, [](int i, int) { return i / 20.0; });
    const SampleMatrix y = sampleMatrix(20, 1, [](int, int) { return 0.25; });
    auto result = evolveOnDataset(start, x, y, std::nullopt, datasetOptions(20, 5, 40), {});
    ASSERT_TRUE(result.has_value());
    Network best = result->best, initial = start;
    const double before = evaluate(initial, x.view(), y.view(), {kMse})[0];
    const double after = evaluate(best, x.view(), y.view(), {kMse})[0];
    EXPECT_LE(after, before);
    EXPECT_LT(after, 0.01) << "from " << before;
}

// Weights follow their samples through the shuffles: the samples of weight 0
// have targets so far off that one of them weighed in would show in any epoch.
TEST(DatasetLoop, SampleWeightsStayWithTheirSamplesInShuffledBatches) {
    const Network start = denseNetwork(1, 1, 2);
    const SampleMatrix x = sampleMatrix(12, 1, [](int i, int) { return i / 12.0; });
    const SampleMatrix y = sampleMatrix(12, 1, [](int i, int) { return i % 3 == 0 ? 1e6 : 0.0; });
    DatasetOptions options = datasetOptions(10, 6, 8);  // two batches: neither can hold only the 4 far samples
    for (int32_t i = 0; i < 12; ++i) options.sampleWeights.push_back(i % 3 == 0 ? 0.0 : 1.0);
    auto result = evolveOnDataset(start, x, y, std::nullopt, options, {});
    ASSERT_TRUE(result.has_value());
    for (const DatasetEpoch& epoch : result->epochs) EXPECT_LT(epoch.losses[0], 1e6);
    options.sampleWeights.pop_back();
    EXPECT_THROW(evolveOnDataset(start, x, y, std::nullopt, options, {}), std::invalid_argument);
}

// One batch and the training set for validation: each epoch's validation values
// are its training values, and the last ones the returned best's.
TEST(DatasetLoop, ValidationScoresEachEpochsBest) {
    const SampleMatrix x = sampleMatrix(12, 2, [](int i, int j) { return (i + 1) * (j + 1) / 12.0; });
    const SampleMatrix y = sampleMatrix(12, 1, [](int i, int) { return i % 3 / 3.0; });
    DatasetOptions options = datasetOptions(20, -1, 10);
    options.metricIds = {kMae, kMse};
    auto result = evolveOnDataset(denseNetwork(2, 1, 3), x, y, ValidationSet{x.view(), y.view()}, options, {});
    ASSERT_TRUE(result.has_value());
    for (const DatasetEpoch& epoch : result->epochs) EXPECT_EQ(epoch.validation, epoch.losses);
    Network best = result->best;
    EXPECT_EQ(result->epochs.back().losses, evaluate(best, x.view(), y.view(), options.metricIds));
    EXPECT_EQ(result->epochs.back().size, best.size);
}

TEST(DatasetLoop, RejectsWhatItCannotTrainOn) {
    const Network start = denseNetwork(2, 1, 3);
    const SampleMatrix x(4, 2), y(4, 1), none(0, 2), noTargets(0, 1), narrow(4, 1), shortY(3, 1);
    struct Case {
        const SampleMatrix &x, &y;
        int popSize, batchSize, epochs;
        std::optional<ValidationSet> validation;
    };
    for (const Case& c : {Case{x, y, 3, -1, 1, {}}, {x, y, 0, -1, 1, {}}, {x, y, 4, 0, 1, {}}, {x, y, 4, -1, -1, {}},
                          {none, noTargets, 4, -1, 1, {}},
                          {narrow, y, 4, -1, 1, {}},  // the pass would read past each row
                          {x, y, 4, -1, 1, ValidationSet{x.view(), shortY.view()}}}) {
        EXPECT_THROW(evolveOnDataset(start, c.x, c.y, c.validation, datasetOptions(c.popSize, c.batchSize, c.epochs),
                                     {}),
                     std::invalid_argument);
    }
}

// Validation scores each epoch's best with the training score, so it repeats the loss.
TEST(FunctionLoop, LearnsWithAStubScorerAndValidatesTheBest) {
    const Network start = denseNetwork(1, 1, 2);
    const auto scoreOne = [](const Network& network) {
        std::vector<Network> one{network};
        return distanceFromTarget(one)[0][0];
    };
    int calls = 0;
    auto result = evolveOnFunction(start, functionOptions(20, 60), {}, [&](std::vector<Network>& networks) {
        ++calls;
        EXPECT_EQ(networks.size(), 40u);
        return distanceFromTarget(networks);
    }, scoreOne);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(calls, 60);
    ASSERT_EQ(result->epochs.size(), 60u);
    for (size_t e = 0; e < result->epochs.size(); ++e) {
        EXPECT_EQ(result->epochs[e].validation, result->epochs[e].loss) << e;
        if (e > 0) {
            EXPECT_LE(result->epochs[e].loss, result->epochs[e - 1].loss);
        }
    }
    EXPECT_EQ(scoreOne(result->best), result->epochs.back().loss);
    EXPECT_EQ(result->epochs.back().size, result->best.size);
    EXPECT_LT(result->epochs.back().loss, 1e-4) << "from " << scoreOne(start);
}

TEST(FunctionLoop, ChecksOncePerEpochAndStopsBeforeScoring) {
    int checks = 0, calls = 0;
    const auto score = [&](std::vector<Network>& networks) { return ++calls, distanceFromTarget(networks); };
    auto result = evolveOnFunction(denseNetwork(2, 2, 4), functionOptions(4, 3), [&] { return ++checks, true; },
                                   score, {});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(checks, 3);

    calls = 0;
    result = evolveOnFunction(denseNetwork(1, 1, 2), functionOptions(4, 10), [] { return false; }, score, {});
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(calls, 0);
}

TEST(FunctionLoop, RejectsShortScoresAndIgnoresExtraRows) {
    const Network start = denseNetwork(1, 1, 2);
    const auto rows = [&](int extra, bool emptyRow) {
        return evolveOnFunction(start, functionOptions(4, 2), {}, [=](std::vector<Network>& networks) {
            ScoreRows scores(static_cast<size_t>(static_cast<int>(networks.size()) + extra), {1.0, 2.0});
            if (emptyRow) scores[3].clear();
            return scores;
        }, {});
    };
    EXPECT_THROW(rows(-1, false), std::invalid_argument);
    EXPECT_THROW(rows(0, true), std::invalid_argument);
    auto result = rows(3, false);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->epochs.back().loss, 1.0);
}

// Both loops keep the member the strategy names, not the lowest loss.
TEST(BothLoops, KeepTheBestTheStrategyNames) {
    // Member m has bias m on its output and loss -m: the strategy names member 0, the highest loss.
    struct NamesTheFirst final : EvolutionStrategy {
        std::vector<Network> initialPopulation(const Network& start, int popSize, const Poll&) override {
            return std::vector<Network>(static_cast<size_t>(popSize), start);
        }
        ScoreRows step(std::vector<Network>& population, const PopulationScorer&, const Poll&) override {
            ScoreRows rows;
            for (size_t m = 0; m < population.size(); ++m) {
                population[m].biases[population[m].size - 1] = static_cast<double>(m);
                rows.push_back({-static_cast<double>(m)});
            }
            return rows;
        }
        std::optional<size_t> bestOf(const ScoreRows&) const override { return 0; }
    };
    const Network start = denseNetwork(1, 1, 2);
    DatasetOptions options = datasetOptions(4, -1, 2);
    options.strategy = std::make_shared<NamesTheFirst>();
    const SampleMatrix x = sampleMatrix(4, 1, [](int, int) { return 0.5; });
    const auto onData = evolveOnDataset(start, x, x, std::nullopt, options, {});
    ASSERT_TRUE(onData.has_value());
    EXPECT_EQ(onData->best.biases[start.size - 1], 0.0);
    EXPECT_EQ(onData->epochs.back().losses[0], 0.0);
    FunctionOptions fitnessOptions = functionOptions(4, 2);
    fitnessOptions.strategy = std::make_shared<NamesTheFirst>();
    const auto onFunction = evolveOnFunction(start, fitnessOptions, {}, distanceFromTarget, {});
    ASSERT_TRUE(onFunction.has_value());
    EXPECT_EQ(onFunction->best.biases[start.size - 1], 0.0);
    EXPECT_EQ(onFunction->epochs.back().loss, 0.0);
}

}  // namespace
TEST(PeakMemory, CountsTheCopiesThatFunctionLoopHandsOut) {
    // Measured peaks for Model(2, 2, size=1000), pop 50: about 120 networks in
    // the dataset loop, about 202 in the function loop (its 100 candidates are
    // copied again into genomes).
    const Network start = denseNetwork(2, 2, 100);
    const double one = 100.0 * 100.0 * sizeof(double);  // its weights alone
    EXPECT_GE(peakPopulationBytes(start, 50, EvolutionLoop::dataset), 120 * one);
    EXPECT_GE(peakPopulationBytes(start, 50, EvolutionLoop::function), 202 * one);
}

}  // namespace kestrin
