#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "network/random.h"

namespace kestrin {
namespace {

struct Moments {
    double mean, sd;
};

Moments moments(const std::vector<double>& draws) {
    double sum = 0.0, squares = 0.0;
    for (double x : draws) sum += x;
    const double mean = sum / draws.size();
    for (double x : draws) squares += (x - mean) * (x - mean);
    return {mean, std::sqrt(squares / draws.size())};
}

TEST(Random, UniformDrawsFillTheHalfOpenUnitInterval) {
    const int n = 200000;
    std::vector<double> draws(n);
    int below[10] = {};
    for (double& x : draws) {
        x = randomUniform();
        ASSERT_GE(x, 0.0);
        ASSERT_LT(x, 1.0);
        ++below[static_cast<int>(x * 10)];
    }
    const Moments m = moments(draws);
    EXPECT_NEAR(m.mean, 0.5, 5.0 * std::sqrt(1.0 / 12.0 / n));
    EXPECT_NEAR(m.sd, std::sqrt(1.0 / 12.0), 0.002);
    for (int bin : below) EXPECT_NEAR(bin, n / 10.0, 5.0 * std::sqrt(n * 0.1 * 0.9));
}

TEST(Random, NormalDrawsHaveTheirSpreadAndShape) {
    EXPECT_EQ(randomNormal(0.0), 0.0);
    const int n = 100000;
    for (double stddev : {1.0, 3.5}) {
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
        EXPECT_NEAR(withinOne, n * 0.682689, 5.0 * std::sqrt(n * 0.682689 * 0.317311));
        EXPECT_NEAR(beyondTwo, n * 0.0455003, 5.0 * std::sqrt(n * 0.0455003 * 0.9544997));
    }
}

}  // namespace
}  // namespace kestrin
