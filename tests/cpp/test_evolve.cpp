#include "training/evolve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "training/evaluate.h"

namespace kestrin {
namespace {

constexpr double kLargestFinite = std::numeric_limits<double>::max();

Network startNetwork(int32_t inputs, int32_t outputs) {
    Network network(inputs, outputs);
    network.initializeWeights();
    return network;
}

// n rows of `columns` values from f(row, column).
template <typename F>
SampleMatrix matrix(int32_t rows, int32_t columns, F f) {
    SampleMatrix m(rows, columns);
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < columns; ++j) m.at(i, j) = f(i, j);
    }
    return m;
}

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
    EXPECT_EQ(batchCount(10, 3), 4);
    EXPECT_EQ(batchCount(10, 5), 2);
    EXPECT_EQ(batchCount(10, 10), 1);
    EXPECT_EQ(batchCount(10, 11), 1);
    EXPECT_EQ(batchCount(10, -1), 1);
    EXPECT_EQ(batchCount(1, 1), 1);
    // Single precision would round 2^24 + 1 samples down to 2^24.
    EXPECT_EQ(batchCount(16777217, 1), 16777217);
    EXPECT_EQ(batchCount(2147483647, 2147483647), 1);
    EXPECT_EQ(batchCount(2147483647, 2), 1073741824);
    EXPECT_THROW(batchCount(10, 0), std::invalid_argument);
    EXPECT_THROW(batchCount(10, -2), std::invalid_argument);
}

TEST(DatasetLoop, ChecksSignalsOncePerBatchAndPrintsPerVerbosity) {
    const Network start = startNetwork(1, 1);
    const SampleMatrix x = matrix(10, 1, [](int i, int) { return i / 10.0; });
    const SampleMatrix y = matrix(10, 1, [](int i, int) { return i / 20.0; });

    for (int verbose : {0, 1, 2, 3}) {
        DatasetOptions options = datasetOptions(4, 3, 2);
        options.verbose = verbose;
        int checks = 0;
        testing::internal::CaptureStdout();
        auto result = evolveOnDataset(start, x, y, std::nullopt, options, [&] {
            ++checks;
            return true;
        });
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(checks, 8) << "4 batches of 3, 3, 3 and 1 samples, 2 epochs";
        EXPECT_EQ(result->epochs.size(), 2u);

        const auto count = [&](char c) { return std::count(out.begin(), out.end(), c); };
        const long lines = verbose == 0 ? 0 : verbose == 2 ? 2 : 8;
        EXPECT_EQ(count('\r'), lines) << "verbose " << verbose << ": " << out;
        EXPECT_EQ(count('\n'), verbose == 0 ? 0 : 2) << "verbose " << verbose;
        if (verbose == 1) {
            EXPECT_NE(out.find(" - 4/4 ["), std::string::npos) << out;
        } else if (verbose != 0) {
            EXPECT_EQ(out.find('['), std::string::npos) << out;
        }
    }
}

TEST(DatasetLoop, ZeroEpochsHandsBackTheStartingNetwork) {
    const Network start = startNetwork(2, 1);
    int checks = 0;
    testing::internal::CaptureStdout();
    auto result = evolveOnDataset(start, matrix(3, 2, [](int, int) { return 1.0; }),
                                  matrix(3, 1, [](int, int) { return 0.0; }), std::nullopt, datasetOptions(4, -1, 0),
                                  [&] { return ++checks, true; });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->best.sameGenes(start));
    EXPECT_TRUE(result->epochs.empty());
    EXPECT_EQ(checks, 0);
}

TEST(DatasetLoop, StopsWhenTheCheckSaysSo) {
    const Network start = startNetwork(1, 1);
    int checks = 0;
    auto result = evolveOnDataset(start, matrix(10, 1, [](int i, int) { return i; }),
                                  matrix(10, 1, [](int, int) { return 0.0; }), std::nullopt, datasetOptions(4, 3, 5),
                                  [&] { return ++checks < 6; });
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(checks, 6);
}

TEST(DatasetLoop, HistoryHoldsTheBestNetworksScores) {
    // One batch: the epoch's values are the last best network's scores on the
    // whole (unshuffled) set, and the validation values score it on its own set.
    const Network start = startNetwork(2, 1);
    const SampleMatrix x = matrix(12, 2, [](int i, int j) { return (i + 1) * (j + 1) / 12.0; });
    const SampleMatrix y = matrix(12, 1, [](int i, int) { return i % 3 / 3.0; });
    const SampleMatrix xVal = matrix(5, 2, [](int i, int j) { return i - j; });
    const SampleMatrix yVal = matrix(5, 1, [](int i, int) { return i / 5.0; });
    DatasetOptions options = datasetOptions(6, -1, 3);
    options.metricIds = {kMae, kMse, kMae};
    options.monitorIds = {0};

    auto result = evolveOnDataset(start, x, y, ValidationSet{xVal.view(), yVal.view()}, options, {});
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->epochs.size(), 3u);
    const DatasetEpoch& last = result->epochs.back();
    Network best = result->best;
    EXPECT_EQ(last.losses, evaluate(best, x.view(), y.view(), options.metricIds));
    EXPECT_EQ(last.validation, evaluate(best, xVal.view(), yVal.view(), options.metricIds));
    EXPECT_EQ(last.size, best.size);
    EXPECT_EQ(last.losses[0], last.losses[2]);
    // The best survives every tournament it enters, so one batch never loses it.
    for (size_t e = 1; e < result->epochs.size(); ++e) {
        EXPECT_LE(result->epochs[e].losses[0], result->epochs[e - 1].losses[0]);
    }
}

TEST(DatasetLoop, LearnsAConstantTarget) {
    const Network start = startNetwork(1, 1);
    const SampleMatrix x = matrix(20, 1, [](int i, int) { return i / 20.0; });
    const SampleMatrix y = matrix(20, 1, [](int, int) { return 0.25; });
    auto result = evolveOnDataset(start, x, y, std::nullopt, datasetOptions(20, 5, 40), {});
    ASSERT_TRUE(result.has_value());
    Network best = result->best;
    Network initial = start;
    const double before = evaluate(initial, x.view(), y.view(), {kMse})[0];
    const double after = evaluate(best, x.view(), y.view(), {kMse})[0];
    EXPECT_LE(after, before);
    EXPECT_LT(after, 0.01) << "from " << before;
}

TEST(DatasetLoop, NanLossesKeepTheBestAndShowInTheHistory) {
    const Network start = startNetwork(1, 1);
    auto result = evolveOnDataset(start, matrix(8, 1, [](int i, int) { return i; }),
                                  matrix(8, 1, [](int, int) { return std::nan(""); }), std::nullopt,
                                  datasetOptions(4, 3, 2), {});
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->best.sameGenes(start));
    for (const DatasetEpoch& epoch : result->epochs) {
        EXPECT_TRUE(std::isnan(epoch.losses[0]));
        EXPECT_EQ(epoch.size, start.size);
    }
}

TEST(DatasetLoop, RejectsWhatItCannotTrainOn) {
    const Network start = startNetwork(2, 1);
    const SampleMatrix x = matrix(4, 2, [](int, int) { return 0.0; });
    const SampleMatrix y = matrix(4, 1, [](int, int) { return 0.0; });
    EXPECT_THROW(evolveOnDataset(start, x, y, std::nullopt, datasetOptions(3, -1, 1), {}), std::invalid_argument);
    EXPECT_THROW(evolveOnDataset(start, x, y, std::nullopt, datasetOptions(0, -1, 1), {}), std::invalid_argument);
    EXPECT_THROW(evolveOnDataset(start, x, y, std::nullopt, datasetOptions(4, 0, 1), {}), std::invalid_argument);
    EXPECT_THROW(evolveOnDataset(start, x, y, std::nullopt, datasetOptions(4, -1, -1), {}), std::invalid_argument);
    EXPECT_THROW(evolveOnDataset(start, SampleMatrix(0, 2), SampleMatrix(0, 1), std::nullopt,
                                 datasetOptions(4, -1, 1), {}),
                 std::invalid_argument);
    // Too few input columns would make the forward pass read past each row.
    EXPECT_THROW(evolveOnDataset(start, matrix(4, 1, [](int, int) { return 0.0; }), y, std::nullopt,
                                 datasetOptions(4, -1, 1), {}),
                 std::invalid_argument);
    const SampleMatrix shortY = matrix(3, 1, [](int, int) { return 0.0; });
    EXPECT_THROW(evolveOnDataset(start, x, y, ValidationSet{x.view(), shortY.view()}, datasetOptions(4, -1, 1), {}),
                 std::invalid_argument);
}

TEST(FunctionLoop, LearnsWithAStubScorerAndNeverLosesTheBest) {
    const Network start = startNetwork(1, 1);
    std::vector<Network> first{start};
    const double before = distanceFromTarget(first)[0][0];
    int calls = 0;
    auto result = evolveOnFunction(start, functionOptions(20, 60), {}, [&](std::vector<Network>& networks) {
        ++calls;
        EXPECT_EQ(networks.size(), 40u);
        return distanceFromTarget(networks);
    }, {});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(calls, 60);
    ASSERT_EQ(result->epochs.size(), 60u);
    for (size_t e = 1; e < result->epochs.size(); ++e) {
        EXPECT_LE(result->epochs[e].loss, result->epochs[e - 1].loss);
    }
    std::vector<Network> best{result->best};
    EXPECT_EQ(distanceFromTarget(best)[0][0], result->epochs.back().loss);
    EXPECT_LT(result->epochs.back().loss, 1e-4) << "from " << before;
}

TEST(FunctionLoop, ValidationSeesTheBestAndTheCheckRunsPerEpoch) {
    const Network start = startNetwork(2, 2);
    int checks = 0;
    FunctionOptions options = functionOptions(4, 3);
    options.verbose = 1;
    options.monitorIds = {0};
    testing::internal::CaptureStdout();
    auto result = evolveOnFunction(
        start, options, [&] { return ++checks, true; }, distanceFromTarget,
        [](const Network& best) { return 10.0 * best.size; });
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(checks, 3);
    for (const FunctionEpoch& epoch : result->epochs) EXPECT_EQ(epoch.validation, 10.0 * epoch.size);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    EXPECT_NE(out.find("Epoch 3/3 - "), std::string::npos) << out;
    EXPECT_NE(out.find(" - val_loss: "), std::string::npos) << out;
}

TEST(FunctionLoop, StopsBeforeScoringWhenTheCheckSaysSo) {
    int calls = 0;
    auto result = evolveOnFunction(startNetwork(1, 1), functionOptions(4, 10), [] { return false; },
                                   [&](std::vector<Network>& networks) { return ++calls, distanceFromTarget(networks); },
                                   {});
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(calls, 0);
}

TEST(FunctionLoop, NanScoresKeepTheBestAtTheLargestLoss) {
    const Network start = startNetwork(1, 1);
    auto result = evolveOnFunction(start, functionOptions(4, 3), {}, [](std::vector<Network>& networks) {
        return ScoreRows(networks.size(), {std::nan("")});
    }, {});
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->best.sameGenes(start));
    for (const FunctionEpoch& epoch : result->epochs) EXPECT_EQ(epoch.loss, kLargestFinite);
}

TEST(FunctionLoop, ScorerExceptionsLeaveUnchangedAndShortScoresAreRejected) {
    const Network start = startNetwork(1, 1);
    struct Raised {};
    EXPECT_THROW(evolveOnFunction(start, functionOptions(4, 2), {},
                                  [](std::vector<Network>&) -> ScoreRows { throw Raised{}; }, {}),
                 Raised);
    EXPECT_THROW(evolveOnFunction(start, functionOptions(4, 2), {},
                                  [](std::vector<Network>& networks) { return ScoreRows(networks.size() - 1, {0.0}); },
                                  {}),
                 std::invalid_argument);
    EXPECT_THROW(evolveOnFunction(start, functionOptions(4, 2), {},
                                  [](std::vector<Network>& networks) {
                                      ScoreRows rows(networks.size(), {0.0});
                                      rows[3].clear();
                                      return rows;
                                  },
                                  {}),
                 std::invalid_argument);
    // Extra rows are ignored.
    auto result = evolveOnFunction(start, functionOptions(4, 2), {}, [](std::vector<Network>& networks) {
        return ScoreRows(networks.size() + 3, {1.0, 2.0});
    }, {});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->epochs.back().loss, 1.0);
}

TEST(FunctionLoop, ABrokenNetworkEndsTrainingWithANamedError) {
    Network broken(2, 1);  // no connections: the inputs lead nowhere
    testing::internal::CaptureStdout();
    try {
        evolveOnFunction(broken, functionOptions(4, 1), {}, distanceFromTarget, {});
        ADD_FAILURE() << "no error";
    } catch (const BrokenNetworkError& error) {
        EXPECT_NE(std::string(error.what()).find("connectivity"), std::string::npos) << error.what();
    }
    testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace kestrin
