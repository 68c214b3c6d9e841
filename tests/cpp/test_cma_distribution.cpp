// The CMA pieces: the eigendecomposition against its definition, and the
// distribution's updates by what they must achieve (a sphere and an
// ill-conditioned ellipsoid solved in both forms, growth keeping the sampled
// spread of the new genes).
#include "evolution/cma_distribution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

#include "evolution/symmetric_eigen.h"
#include "network/random.h"

namespace kestrin {
namespace {

TEST(SymmetricEigen, ReconstructsRandomMatricesWithOrthonormalVectors) {
    std::mt19937 engine(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    SymmetricEigen eigen;
    for (int n : {1, 2, 5, 17, 40}) {
        std::vector<double> a(static_cast<size_t>(n * n));
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = normal(engine);
        }
        std::vector<double> v, d;
        ASSERT_TRUE(eigen.decompose(a, n, v, d));
        EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                double product = 0.0, rebuilt = 0.0;
                for (int k = 0; k < n; ++k) {
                    product += v[k * n + i] * v[k * n + j];
                    rebuilt += v[i * n + k] * d[k] * v[j * n + k];
                }
                EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-10) << n;
                EXPECT_NEAR(rebuilt, a[i * n + j], 1e-10) << n;
            }
        }
    }
}

// Generations of (lambda) samples ranked by f until f of the mean is below target.
int generationsToSolve(CmaDistribution& cma, const std::function<double(const double*)>& f, double target,
                       int limit) {
    const auto d = static_cast<size_t>(cma.dim());
    const auto lambda = static_cast<size_t>(cma.lambda());
    std::vector<double> xs(lambda * d), ys(lambda * d), values(lambda);
    std::vector<size_t> order(lambda);
    std::vector<const double*> ranked(lambda);
    for (int g = 0; g < limit; ++g) {
        if (f(cma.mean().data()) < target) return g;
        for (size_t k = 0; k < lambda; ++k) {
            cma.sample(xs.data() + k * d, ys.data() + k * d);
            values[k] = f(xs.data() + k * d);
        }
        std::iota(order.begin(), order.end(), size_t{0});
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a] < values[b]; });
        for (size_t r = 0; r < lambda; ++r) ranked[r] = ys.data() + order[r] * d;
        cma.update(ranked.data());
    }
    return limit;
}

double ellipsoid(const double* x, int d) {
    double sum = 0.0;
    for (int i = 0; i < d; ++i) sum += std::pow(1e4, i / (d - 1.0)) * (x[i] - 1.0) * (x[i] - 1.0);
    return sum;
}

TEST(CmaDistribution, SolvesSphereAndEllipsoidInBothForms) {
    setRandomSeed(11);
    for (bool separable : {false, true}) {
        CmaDistribution cma;
        cma.reset(std::vector<double>(10, 3.0), 1.0, 10, separable);
        const auto sphere = [](const double* x) {
            double sum = 0.0;
            for (int i = 0; i < 10; ++i) sum += x[i] * x[i];
            return sum;
        };
        EXPECT_LT(generationsToSolve(cma, sphere, 1e-10, 1000), 400) << separable;

        // The axes of this ellipsoid are the coordinates: both forms must learn its scales.
        cma.reset(std::vector<double>(8, 0.0), 0.5, 10, separable);
        EXPECT_LT(generationsToSolve(cma, [](const double* x) { return ellipsoid(x, 8); }, 1e-8, 3000), 1500);
        EXPECT_GT(cma.condition(), 1e2);
    }
}

TEST(CmaDistribution, ExtendedGenesAreSampledWithTheirOwnSpread) {
    setRandomSeed(5);
    CmaDistribution cma;
    cma.reset(std::vector<double>(4, 0.0), 0.1, 8, false);
    cma.extend({7.0, -7.0}, {2.0, 0.5}, false);
    ASSERT_EQ(cma.dim(), 6);
    std::vector<double> x(6), y(6);
    double sum4 = 0.0, squares4 = 0.0, squares5 = 0.0, squares0 = 0.0;
    const int draws = 20000;
    for (int k = 0; k < draws; ++k) {
        cma.sample(x.data(), y.data());
        sum4 += x[4];
        squares4 += (x[4] - 7.0) * (x[4] - 7.0);
        squares5 += (x[5] + 7.0) * (x[5] + 7.0);
        squares0 += x[0] * x[0];
    }
    EXPECT_NEAR(sum4 / draws, 7.0, 0.05);
    EXPECT_NEAR(std::sqrt(squares4 / draws), 2.0, 0.05);
    EXPECT_NEAR(std::sqrt(squares5 / draws), 0.5, 0.02);
    EXPECT_NEAR(std::sqrt(squares0 / draws), 0.1, 0.005);
}

}  // namespace
}  // namespace kestrin
