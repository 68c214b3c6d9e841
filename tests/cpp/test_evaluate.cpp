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
         sampleMatrix({{0.0}, {1.0}}), {kMae, kMse, kMae, 7}, {1.5, 2.5, 1.5, kNaN}},
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

}  // namespace
}  // namespace kestrin
