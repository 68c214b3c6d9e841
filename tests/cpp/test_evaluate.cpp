#include "training/evaluate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "network/activation.h"
#include "test_support.h"

namespace kestrin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// n inputs passed straight to n linear outputs: the prediction is the input row.
Network identity(int32_t n) {
    Network network(n, n);
    for (int32_t i = 0; i < 2 * n; ++i) network.activations[i] = kLinear;
    for (int32_t k = 0; k < n; ++k) network.connect(k, n + k, 1.0);
    return network;
}

TEST(Evaluate, HandComputedLosses) {
    struct Case {
        const char* what;
        int32_t width;
        SampleMatrix x, y;
        std::vector<int32_t> ids;
        std::vector<double> expected;
    };
    const SampleMatrix x3 = sampleMatrix({{1.0}, {2.0}, {100.0}});
    const Case cases[] = {
        {"means over samples of errors 1 and 3", 1, sampleMatrix({{1.0}, {2.0}}), sampleMatrix({{2.0}, {5.0}}),
         {kMse, kMae, kMape}, {5.0, 2.0, (100.0 / (2.0 + 1e-10) + 300.0 / (5.0 + 1e-10)) / 2.0}},
        {"each sample the mean over its outputs: errors (1, 3) and (0, 0)", 2, sampleMatrix({{0.0, 0.0}, {1.0, 1.0}}),
         sampleMatrix({{1.0, 3.0}, {1.0, 1.0}}), {kMae, kMse}, {1.0, 2.5}},
        {"mape of a zero target is large but finite", 1, sampleMatrix({{0.5}}), sampleMatrix({{0.0}}), {kMape}, {5e11}},
        {"ids in the list's order, repeats and unknown ones included", 1, sampleMatrix({{1.0}, {-1.0}}),
         sampleMatrix({{0.0}, {1.0}}), {kMae, kMse, kMae, 99}, {1.5, 2.5, 1.5, kNaN}},
        {"no ids", 1, sampleMatrix({{1.0}}), sampleMatrix({{1.0}}), {}, {}},
        {"no samples", 1, SampleMatrix(0, 1), SampleMatrix(0, 1), {kMse, kMae, kMape}, {kNaN, kNaN, kNaN}},
        {"no target columns", 1, sampleMatrix({{1.0}}), SampleMatrix(1, 0), {kMse}, {kNaN}},
        // Shapes that callers should have refused: only what exists is read and scored.
        {"x rows beyond y's", 1, x3, sampleMatrix({{2.0}, {5.0}}), {kMae}, {2.0}},
        {"y columns beyond the outputs", 1, x3, sampleMatrix({{2.0, 50.0}, {5.0, 50.0}}), {kMae}, {2.0}},
        {"x narrower than the inputs", 2, x3, sampleMatrix({{2.0, 50.0}, {5.0, 50.0}}), {kMae}, {kNaN}},
    };
    for (const Case& c : cases) {
        Network network = identity(c.width);
        const std::vector<double> scores = evaluate(network, c.x.view(), c.y.view(), c.ids);
        ASSERT_EQ(scores.size(), c.expected.size()) << c.what;
        for (size_t k = 0; k < scores.size(); ++k) {
            if (std::isnan(c.expected[k])) {
                EXPECT_TRUE(std::isnan(scores[k])) << c.what << ", score " << k;
            } else {
                EXPECT_DOUBLE_EQ(scores[k], c.expected[k]) << c.what << ", score " << k;
            }
        }
    }
}

TEST(Evaluate, CrossEntropiesAndAccuraciesOfLogits) {
    const double log2 = std::log(2.0);
    struct Case {
        const char* what;
        int32_t width;
        SampleMatrix x, y;
        std::vector<int32_t> ids;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {"binary: logit 0 costs log 2 whatever the label; logit 2 for label 1 costs softplus(-2)", 1,
         sampleMatrix({{0.0}, {2.0}}), sampleMatrix({{1.0}, {1.0}}), {kBinaryCrossentropy},
         {(log2 + std::log1p(std::exp(-2.0))) / 2.0}},
        {"binary: huge logits stay finite (softplus form)", 1, sampleMatrix({{1000.0}, {-1000.0}}),
         sampleMatrix({{0.0}, {1.0}}), {kBinaryCrossentropy}, {1000.0}},
        {"binary: averaged over the outputs", 2, sampleMatrix({{0.0, 1000.0}}), sampleMatrix({{1.0, 0.0}}),
         {kBinaryCrossentropy}, {(log2 + 1000.0) / 2.0}},
        {"categorical: two equal logits cost log 2; summed over the classes", 2, sampleMatrix({{0.0, 0.0}}),
         sampleMatrix({{0.5, 0.5}}), {kCategoricalCrossentropy}, {log2}},
        {"categorical: huge logits stay finite (log-sum-exp)", 2, sampleMatrix({{1000.0, 0.0}}),
         sampleMatrix({{0.0, 1.0}}), {kCategoricalCrossentropy}, {1000.0}},
        {"sparse: the class index picks the logit", 3, sampleMatrix({{0.0, 0.0, 1000.0}, {5.0, 5.0, 5.0}}),
         sampleMatrix({{2.0}, {1.0}}), {kSparseCategoricalCrossentropy}, {std::log(3.0) / 2.0}},
        {"sparse: an index outside the outputs, or not whole, scores NaN", 3, sampleMatrix({{0.0, 0.0, 0.0}}),
         sampleMatrix({{3.0}}), {kSparseCategoricalCrossentropy, kSparseCategoricalAccuracy}, {kNaN, kNaN}},
        {"accuracies: binary thresholds probabilities at 0.5, logits at 0", 1, sampleMatrix({{0.3}, {0.7}, {-0.1}}),
         sampleMatrix({{1.0}, {1.0}, {0.0}}), {kBinaryAccuracy, kBinaryAccuracyOfLogits, kAccuracyBinaryOfLogits},
         {2.0 / 3.0, 1.0, 1.0}},
        {"accuracies: argmax, ties to the first", 2, sampleMatrix({{1.0, 2.0}, {3.0, 3.0}}),
         sampleMatrix({{0.0, 1.0}, {0.0, 1.0}}), {kCategoricalAccuracy, kAccuracyCategorical}, {0.5, 0.5}},
        {"accuracies: sparse", 2, sampleMatrix({{1.0, 2.0}, {3.0, 3.0}}), sampleMatrix({{1.0}, {0.0}}),
         {kSparseCategoricalAccuracy, kAccuracySparse}, {1.0, 1.0}},
    };
    for (const Case& c : cases) {
        Network network = identity(c.width);
        for (const auto& scores : {evaluate(network, c.x.view(), c.y.view(), c.ids),
                                   evaluateReference(network, c.x.view(), c.y.view(), c.ids)}) {
            ASSERT_EQ(scores.size(), c.expected.size()) << c.what;
            for (size_t k = 0; k < scores.size(); ++k) {
                if (std::isnan(c.expected[k])) {
                    EXPECT_TRUE(std::isnan(scores[k])) << c.what << ", score " << k;
                } else {
                    EXPECT_NEAR(scores[k], c.expected[k], 1e-12) << c.what << ", score " << k;
                }
            }
        }
    }
}

TEST(Evaluate, WeightsMakeAWeightedMean) {
    Network network = identity(1);
    const SampleMatrix x = sampleMatrix({{1.0}, {2.0}, {0.0}, {0.0}});
    const SampleMatrix y = sampleMatrix({{2.0}, {5.0}, {0.0}, {0.0}});
    const std::vector<double> weights = {1.0, 3.0, 0.0, 0.0};  // errors 1 and 3; the zero-weight rows count for nothing
    const std::vector<double> ones(4, 1.0);
    for (const auto& scores : {evaluate(network, x.view(), y.view().weighted(weights.data()), {kMae, kMse}),
                               evaluateReference(network, x.view(), y.view().weighted(weights.data()), {kMae, kMse})}) {
        EXPECT_DOUBLE_EQ(scores[0], (1.0 + 9.0) / 4.0);
        EXPECT_DOUBLE_EQ(scores[1], (1.0 + 27.0) / 4.0);
    }
    EXPECT_EQ(evaluate(network, x.view(), y.view().weighted(ones.data()), {kMae}),
              evaluate(network, x.view(), y.view(), {kMae}));
}

}  // namespace
}  // namespace kestrin
