#include "training/evaluate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "network/activation.h"

namespace kestrin {
namespace {

// n inputs passed straight to n linear outputs: the prediction is the input row.
Network identity(int32_t n) {
    Network network(n, n);
    for (int32_t i = 0; i < 2 * n; ++i) network.activations[i] = kLinear;
    for (int32_t k = 0; k < n; ++k) network.connect(k, n + k, 1.0);
    return network;
}

SampleMatrix matrix(const std::vector<std::vector<double>>& rows) {
    SampleMatrix m(static_cast<int32_t>(rows.size()), rows.empty() ? 0 : static_cast<int32_t>(rows[0].size()));
    for (size_t i = 0; i < rows.size(); ++i) {
        for (size_t j = 0; j < rows[i].size(); ++j) {
            m.at(static_cast<int32_t>(i), static_cast<int32_t>(j)) = rows[i][j];
        }
    }
    return m;
}

TEST(Evaluate, LossesAreMeansOverSamples) {
    Network network = identity(1);
    SampleMatrix x = matrix({{1.0}, {2.0}});
    SampleMatrix y = matrix({{2.0}, {5.0}});  // errors 1 and 3
    std::vector<double> scores = evaluate(network, x.view(), y.view(), {kMse, kMae, kMape});
    ASSERT_EQ(scores.size(), 3u);
    EXPECT_DOUBLE_EQ(scores[0], 5.0);
    EXPECT_DOUBLE_EQ(scores[1], 2.0);
    EXPECT_DOUBLE_EQ(scores[2], (100.0 / (2.0 + 1e-10) + 300.0 / (5.0 + 1e-10)) / 2.0);
}

TEST(Evaluate, EachSampleIsTheMeanOverItsOutputs) {
    Network network = identity(2);
    SampleMatrix x = matrix({{0.0, 0.0}, {1.0, 1.0}});
    SampleMatrix y = matrix({{1.0, 3.0}, {1.0, 1.0}});  // sample errors (1, 3) and (0, 0)
    std::vector<double> scores = evaluate(network, x.view(), y.view(), {kMae, kMse});
    EXPECT_DOUBLE_EQ(scores[0], 1.0);  // (2 + 0) / 2, not (4 + 0) / 2
    EXPECT_DOUBLE_EQ(scores[1], 2.5);  // (5 + 0) / 2
}

TEST(Evaluate, MapeOfAZeroTargetIsLargeButFinite) {
    Network network = identity(1);
    SampleMatrix x = matrix({{0.5}});
    SampleMatrix y = matrix({{0.0}});
    std::vector<double> scores = evaluate(network, x.view(), y.view(), {kMape});
    EXPECT_DOUBLE_EQ(scores[0], 5e11);
}

TEST(Evaluate, ResultFollowsTheIdList) {
    Network network = identity(1);
    SampleMatrix x = matrix({{1.0}, {-1.0}});
    SampleMatrix y = matrix({{0.0}, {1.0}});
    EXPECT_TRUE(evaluate(network, x.view(), y.view(), {}).empty());
    std::vector<double> twice = evaluate(network, x.view(), y.view(), {kMae, kMae});
    EXPECT_EQ(twice[0], twice[1]);
    EXPECT_DOUBLE_EQ(twice[0], 1.5);
    EXPECT_TRUE(std::isnan(evaluate(network, x.view(), y.view(), {kMse, 7})[1]));
}

TEST(Evaluate, NothingToScoreGivesNaN) {
    Network network = identity(1);
    SampleMatrix none(0, 1);
    for (double score : evaluate(network, none.view(), none.view(), {kMse, kMae, kMape})) {
        EXPECT_TRUE(std::isnan(score));
    }
    SampleMatrix x = matrix({{1.0}});
    SampleMatrix noTargets(1, 0);
    EXPECT_TRUE(std::isnan(evaluate(network, x.view(), noTargets.view(), {kMse})[0]));
}

// Shapes that callers should have refused: only what exists is read and scored.
TEST(Evaluate, MismatchedShapesScoreOnlyWhatExists) {
    Network network = identity(1);
    SampleMatrix x = matrix({{1.0}, {2.0}, {100.0}});
    SampleMatrix y = matrix({{2.0}, {5.0}});
    EXPECT_DOUBLE_EQ(evaluate(network, x.view(), y.view(), {kMae})[0], 2.0);

    SampleMatrix wide = matrix({{2.0, 50.0}, {5.0, 50.0}});
    EXPECT_DOUBLE_EQ(evaluate(network, x.view(), wide.view(), {kMae})[0], 2.0);

    Network twoInputs = identity(2);
    EXPECT_TRUE(std::isnan(evaluate(twoInputs, x.view(), wide.view(), {kMae})[0]));
}

TEST(Evaluate, PopulationRowsMatchSingleNetworks) {
    std::vector<Network> networks;
    for (int n = 0; n < 5; ++n) {
        Network network(2, 1);
        network.initializeWeights();
        networks.push_back(network);
    }
    SampleMatrix x = matrix({{0.1, 0.2}, {-1.0, 3.0}, {2.0, 0.5}});
    SampleMatrix y = matrix({{0.0}, {1.0}, {0.5}});
    const std::vector<int32_t> ids = {kMse, kMape};
    ScoreRows rows = evaluate(networks, x.view(), y.view(), ids);
    ASSERT_EQ(rows.size(), networks.size());
    for (size_t i = 0; i < networks.size(); ++i) EXPECT_EQ(rows[i], evaluate(networks[i], x.view(), y.view(), ids));
}

}  // namespace
}  // namespace kestrin
