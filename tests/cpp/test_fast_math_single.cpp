#include "network/fast_math_single.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace kestrin {
namespace {

#pragma GCC diagnostic ignored "-Wpsabi"

namespace single = fastmath::single;

// Inputs where the scorer meets them: mostly of order one, some far out.
std::vector<float> sampleInputs(size_t count) {
    std::mt19937 engine(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> inputs;
    for (size_t i = 0; i < count; ++i) {
        const float sign = unit(engine) < 0.5f ? -1.0f : 1.0f;
        switch (i % 3) {
            case 0: inputs.push_back(-100.0f + 200.0f * unit(engine)); break;
            case 1: inputs.push_back(sign * std::exp2(-30.0f + 34.0f * unit(engine))); break;
            default: inputs.push_back(-4.0f + 8.0f * unit(engine)); break;
        }
    }
    return inputs;
}

TEST(FastMathSingle, CloseToTheDoubleFunctions) {
    const std::vector<float> inputs = sampleInputs(60000);
    for (float x : inputs) {
        const double exact = std::exp(static_cast<double>(x));
        if (x > -87.0f && x < 88.0f) {
            ASSERT_NEAR(single::exp(x), exact, 2.5e-7 * exact) << x;
        }
        ASSERT_NEAR(single::tanh(x), std::tanh(static_cast<double>(x)), 3e-7) << x;
        // Near zero tanh keeps its relative accuracy.
        if (std::fabs(x) < 0.17f) {  // where e^2x - 1 is the series itself
            ASSERT_NEAR(single::tanh(x), std::tanh(static_cast<double>(x)), 6e-7 * std::fabs(x)) << x;
        }
        ASSERT_NEAR(single::sigmoid(x), 1.0 / (1.0 + std::exp(-static_cast<double>(x))), 3e-7) << x;
    }
}

TEST(FastMathSingle, EdgesAndSpecialValues) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(single::exp(0.0f), 1.0f);
    EXPECT_EQ(single::tanh(0.0f), 0.0f);
    EXPECT_TRUE(std::signbit(single::tanh(-0.0f)));
    EXPECT_EQ(single::tanh(kInf), 1.0f);
    EXPECT_EQ(single::tanh(-kInf), -1.0f);
    EXPECT_EQ(single::sigmoid(kInf), 1.0f);
    EXPECT_LT(single::sigmoid(-kInf), 1e-38f);  // e^x clamped at 88: not quite 0
    EXPECT_EQ(single::sigmoid(0.0f), 0.5f);
    EXPECT_TRUE(std::isnan(single::exp(nan)));
    EXPECT_TRUE(std::isnan(single::tanh(nan)));
    EXPECT_TRUE(std::isnan(single::sigmoid(nan)));
    EXPECT_TRUE(std::isfinite(single::exp(1000.0f)));
}

[[gnu::target("arch=x86-64-v4")]] void widestLanes(const float* in, float* out) {
    single::Float16 v;
    std::memcpy(&v, in, sizeof v);
    const single::Float16 results[] = {single::exp(v), single::tanh(v), single::sigmoid(v)};
    std::memcpy(out, results, sizeof results);
}

[[gnu::target("arch=x86-64-v3")]] void wideLanes(const float* in, float* out) {
    for (int half = 0; half < 2; ++half) {
        single::Float8 v;
        std::memcpy(&v, in + 8 * half, sizeof v);
        const single::Float8 results[] = {single::exp(v), single::tanh(v), single::sigmoid(v)};
        for (int f = 0; f < 3; ++f) std::memcpy(out + 16 * f + 8 * half, &results[f], sizeof results[f]);
    }
}

TEST(FastMathSingle, VectorLanesMatchTheScalarFunctionBitForBit) {
    std::vector<float> inputs = sampleInputs(30000);
    inputs.insert(inputs.end(), {0.0f, -0.0f, 0.17f, -0.17f, 10.0f, -87.0f, 88.0f, std::numeric_limits<float>::quiet_NaN()});
    while (inputs.size() % 16) inputs.push_back(1.0f);
    const bool widest = __builtin_cpu_supports("x86-64-v4");
    const bool wide = __builtin_cpu_supports("x86-64-v3");
    for (size_t i = 0; i < inputs.size(); i += 16) {
        float expected[48];
        for (int lane = 0; lane < 16; ++lane) {
            expected[lane] = single::exp(inputs[i + lane]);
            expected[16 + lane] = single::tanh(inputs[i + lane]);
            expected[32 + lane] = single::sigmoid(inputs[i + lane]);
        }
        float actual[48];
        if (widest) {
            widestLanes(&inputs[i], actual);
            ASSERT_EQ(std::memcmp(expected, actual, sizeof actual), 0) << "AVX-512 lanes from " << inputs[i];
        }
        if (wide) {
            wideLanes(&inputs[i], actual);
            ASSERT_EQ(std::memcmp(expected, actual, sizeof actual), 0) << "AVX2 lanes from " << inputs[i];
        }
    }
}

}  // namespace
}  // namespace kestrin
