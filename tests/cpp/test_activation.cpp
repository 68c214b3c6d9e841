#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "network/activation.h"
#include "test_support.h"

namespace kestrin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Activation, DispatchFollowsTheIdTable) {
    EXPECT_EQ(activation_function(0, 0.0), 0.5);
    EXPECT_DOUBLE_EQ(activation_function(0, 1.5), 1.0 / (1.0 + std::exp(-1.5)));
    EXPECT_DOUBLE_EQ(activation_function(1, 0.5), std::tanh(0.5));
    EXPECT_EQ(activation_function(2, -0.5), 0.0);
    EXPECT_EQ(activation_function(2, 0.5), 0.5);
    EXPECT_EQ(activation_function(3, -7.25), -7.25);
    // Ids without a name give zero, whatever the sum.
    for (int32_t id : {4, -1, 1000, std::numeric_limits<int32_t>::min()}) {
        for (double x : {-1.0, 2.0, kNaN, std::numeric_limits<double>::infinity()}) {
            EXPECT_EQ(activation_function(id, x), 0.0) << "id " << id << " x " << x;
        }
    }
}

TEST(Activation, ExtremesAndNaN) {
    EXPECT_EQ(SIGMOID(-1000.0), 0.0);
    EXPECT_EQ(SIGMOID(1000.0), 1.0);
    const double reluOfNegativeZero = RELU(-0.0);
    EXPECT_EQ(reluOfNegativeZero, 0.0);
    EXPECT_FALSE(std::signbit(reluOfNegativeZero));
    EXPECT_EQ(RELU(kNaN), 0.0);
    EXPECT_TRUE(std::isnan(SIGMOID(kNaN)));
    EXPECT_TRUE(std::isnan(TANH(kNaN)));
    EXPECT_TRUE(std::isnan(LINEAR(kNaN)));
    EXPECT_EQ(STEP(0.0), 0.0);
    EXPECT_EQ(STEP(1e-300), 1.0);
}

TEST(Activation, NameToIntIsExactAndCaseSensitive) {
    EXPECT_EQ(nameToInt("sigmoid"), 0);
    EXPECT_EQ(nameToInt("tanh"), 1);
    EXPECT_EQ(nameToInt("relu"), 2);
    EXPECT_EQ(nameToInt("linear"), 3);
    for (const char* other : {"RELU", "Relu", "", "relu ", "step", "sinusoid", "softmax"}) {
        EXPECT_EQ(nameToInt(other), 4) << '"' << other << '"';
    }
    EXPECT_EQ(nameToInt(std::string("relu\0x", 6)), 4);
    for (int32_t id = 0; id < kActivationCount; ++id) EXPECT_EQ(nameToInt(activationName(id)), id);
    EXPECT_EQ(activationName(4), nullptr);
    EXPECT_EQ(activationName(-1), nullptr);
}

TEST(Activation, RandomActivationCoversExactlyTheNamedIds) {
    int counts[kActivationCount] = {};
    for (int i = 0; i < 4000; ++i) {
        const int32_t id = randomActivation();
        ASSERT_TRUE(id >= 0 && id < kActivationCount) << id;
        ++counts[id];
    }
    for (int count : counts) EXPECT_TRUE(nearChance(count, 4000, 0.25));
}

}  // namespace
}  // namespace kestrin
