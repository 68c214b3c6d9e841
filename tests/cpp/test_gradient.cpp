#include "training/gradient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "network/activation.h"
#include "test_support.h"
#include "training/evaluate.h"
#include "training/held_out_rows.h"
#include "training/parallel_scorer.h"
#include "training/refine.h"

namespace kestrin {
namespace {

double lossOf(Network& network, const SampleView& x, const SampleView& y, int32_t id) {
    return evaluateReference(network, x, y, {id})[0];
}
double lossOf(Network& network, const SampleMatrix& x, const SampleMatrix& y, int32_t id) {
    return lossOf(network, x.view(), y.view(), id);
}

// Targets away from zero, so that mape's terms stay of the order of 100.
SampleMatrix targets(std::mt19937& engine, int32_t rows, int32_t columns) {
    std::uniform_real_distribution<double> magnitude(0.5, 2.0);
    return sampleMatrix(rows, columns, [&](int32_t, int32_t) {
        const double m = magnitude(engine);
        return engine() % 2 ? m : -m;
    });
}

// Central differences of the reference evaluate in every gene the gradient
// lists (flags the pass skips must come out 0 too). A gene on a kink (relu at
// 0, |.| at 0) has one-sided differences that disagree and is not compared;
// few may be.
void expectMatchesFiniteDifferences(Network network, const SampleMatrix& x, const SampleMatrix& y, int32_t id) {
    const NetworkGradient gradient = networkGradient(network, x.view(), y.view(), id);
    const double loss = lossOf(network, x, y, id);
    std::vector<double*> genes;
    for (int32_t i = 0; i < network.size; ++i) genes.push_back(&network.biases[i]);
    for (int32_t from = 0; from < network.size; ++from) {
        network.connections.forEachInRow(from, 0, [&](int32_t to) { genes.push_back(&network.weights[from][to]); });
    }
    ASSERT_EQ(genes.size(), gradient.biases.size() + gradient.weights.size());
    int kinks = 0;
    for (size_t g = 0; g < genes.size(); ++g) {
        const double kept = *genes[g];
        const double h = 1e-6 * std::max(1.0, std::fabs(kept));
        *genes[g] = kept + h;
        const double up = lossOf(network, x, y, id);
        *genes[g] = kept - h;
        const double down = lossOf(network, x, y, id);
        *genes[g] = kept;
        const double right = (up - loss) / h, left = (loss - down) / h;
        if (std::fabs(right - left) > 1e-3 * (1.0 + std::fabs(right) + std::fabs(left))) {
            ++kinks;
            continue;
        }
        const double expected = (up - down) / (2 * h);
        const double actual = g < gradient.biases.size() ? gradient.biases[g] : gradient.weights[g - gradient.biases.size()];
        EXPECT_NEAR(actual, expected, 1e-6 * (1.0 + std::fabs(loss)) + 1e-4 * std::fabs(expected))
            << "loss " << id << ", gene " << g << " of " << genes.size() << ", size " << network.size;
    }
    EXPECT_LE(kinks, static_cast<int>(genes.size() / 20 + 1));
}

TEST(Gradient, MatchesFiniteDifferencesForEveryLossAndActivation) {
    std::mt19937 engine(19);
    std::normal_distribution<double> normal(0.0, 1.0);
    // randomNetwork draws every id (the unnamed -1 and 4 among them), backward,
    // self and into-input flags and a few saturating biases; 37 and 70 samples
    // end tiles and 8-sample blocks part-way.
    for (int32_t id : {kMse, kMae, kMape}) {
        for (const auto& [size, samples] : {std::pair{6, 37}, std::pair{14, 70}, std::pair{30, 5}}) {
            const Network network = randomNetwork(engine, 3, 2, size, 0.45);
            const SampleMatrix x = sampleMatrix(samples, 3, [&](int32_t, int32_t) { return normal(engine); });
            expectMatchesFiniteDifferences(network, x, targets(engine, samples, 2), id);
        }
    }
}

// Targets of the cross-entropies: 0/1 labels, probability rows, class indices.
SampleMatrix classTargets(std::mt19937& engine, int32_t rows, int32_t columns, int32_t id) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (id == kSparseCategoricalCrossentropy) {
        return sampleMatrix(rows, 1, [&](int32_t, int32_t) { return static_cast<double>(engine() % columns); });
    }
    if (id == kBinaryCrossentropy) return sampleMatrix(rows, columns, [&](int32_t, int32_t) { return engine() % 2 * 1.0; });
    SampleMatrix y = sampleMatrix(rows, columns, [&](int32_t, int32_t) { return unit(engine); });
    for (int32_t i = 0; i < rows; ++i) {
        double sum = 0.0;
        for (int32_t k = 0; k < columns; ++k) sum += y.at(i, k);
        for (int32_t k = 0; k < columns; ++k) y.at(i, k) /= sum;
    }
    return y;
}

TEST(Gradient, CrossEntropiesMatchFiniteDifferences) {
    std::mt19937 engine(23);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int32_t id : {kBinaryCrossentropy, kCategoricalCrossentropy, kSparseCategoricalCrossentropy}) {
        for (const auto& [size, samples] : {std::pair{7, 37}, std::pair{16, 70}}) {
            const Network network = randomNetwork(engine, 3, 3, size, 0.45);
            const SampleMatrix x = sampleMatrix(samples, 3, [&](int32_t, int32_t) { return normal(engine); });
            expectMatchesFiniteDifferences(network, x, classTargets(engine, samples, 3, id), id);
        }
    }
}

TEST(Gradient, WholeSampleWeightsCountAsRepeatedSamples) {
    std::mt19937 engine(29);
    std::normal_distribution<double> normal(0.0, 1.0);
    const Network network = randomNetwork(engine, 3, 3, 12, 0.45);
    for (int32_t id : {kMse, kCategoricalCrossentropy}) {
        const SampleMatrix x = sampleMatrix(30, 3, [&](int32_t, int32_t) { return normal(engine); });
        const SampleMatrix y = id == kMse ? targets(engine, 30, 3) : classTargets(engine, 30, 3, id);
        std::vector<double> weights;
        std::vector<int32_t> repeated;
        for (int32_t i = 0; i < 30; ++i) {
            weights.push_back(1.0 + engine() % 3);
            for (int r = 0; r < weights.back(); ++r) repeated.push_back(i);
        }
        const auto rows = static_cast<int32_t>(repeated.size());
        const SampleMatrix xr = sampleMatrix(rows, 3, [&](int32_t i, int32_t j) { return x.at(repeated[i], j); });
        const SampleMatrix yr = sampleMatrix(rows, 3, [&](int32_t i, int32_t j) { return y.at(repeated[i], j); });
        const NetworkGradient weighed = networkGradient(network, x.view(), y.view().weighted(weights.data()), id);
        const NetworkGradient plain = networkGradient(network, xr.view(), yr.view(), id);
        EXPECT_NEAR(weighed.loss, plain.loss, 1e-12);
        for (size_t k = 0; k < plain.weights.size(); ++k) EXPECT_NEAR(weighed.weights[k], plain.weights[k], 1e-12);
        for (size_t k = 0; k < plain.biases.size(); ++k) EXPECT_NEAR(weighed.biases[k], plain.biases[k], 1e-12);
    }
}

TEST(Gradient, EveryActivationAloneMatchesFiniteDifferences) {
    // One id on every node: a dense chain shows each derivative through many layers.
    std::mt19937 engine(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int32_t activation : {kSigmoid, kTanh, kRelu, kLinear}) {
        Network network = denseNetwork(2, 1, 7);
        for (int32_t i = 0; i < network.size; ++i) network.activations[i] = activation;
        for (int32_t from = 0; from < network.size; ++from) {
            network.connections.forEachInRow(from, 0, [&](int32_t to) { network.weights[from][to] = 0.6 * normal(engine); });
        }
        const SampleMatrix x = sampleMatrix(41, 2, [&](int32_t, int32_t) { return normal(engine); });
        expectMatchesFiniteDifferences(network, x, targets(engine, 41, 1), kMse);
    }
}

TEST(Gradient, LossHasTheBitsOfEvaluateAndAnyWorkerCountTheSameSlopes) {
    std::mt19937 engine(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    Network network = randomNetwork(engine, 4, 2, 40, 0.3);
    // Three chunks, the last one partial; y narrower than the outputs.
    const SampleMatrix x = sampleMatrix(2500, 4, [&](int32_t, int32_t) { return normal(engine); });
    const SampleMatrix y = targets(engine, 2500, 1);
    for (int32_t id : {kMse, kMae, kMape}) {
        const NetworkGradient one = networkGradient(network, x.view(), y.view(), id);
        const double expected = evaluate(network, x.view(), y.view(), {id})[0];
        EXPECT_EQ(std::memcmp(&one.loss, &expected, sizeof expected), 0) << one.loss << " " << expected;
        GradientPass pass;
        pass.compile(network);
        const double alone = pass.loss(x.view(), y.view(), id);
        EXPECT_EQ(std::memcmp(&alone, &expected, sizeof expected), 0) << alone << " " << expected;
        ParallelScorer scorer(3);
        const NetworkGradient three = scorer.gradient(network, x.view(), y.view(), id);
        EXPECT_EQ(std::memcmp(&three.loss, &one.loss, sizeof one.loss), 0);
        EXPECT_EQ(three.biases, one.biases);
        EXPECT_EQ(three.weights, one.weights);
    }
}

TEST(Gradient, EdgeCases) {
    Network network = denseNetwork(2, 1, 4);
    const SampleMatrix x = sampleMatrix({{1.0, 2.0}});
    const SampleMatrix y = sampleMatrix({{0.5}});
    // No samples: NaN as evaluate gives, and no slope.
    const NetworkGradient none = networkGradient(network, x.view().slice(0, 0), y.view().slice(0, 0), kMse);
    EXPECT_TRUE(std::isnan(none.loss));
    EXPECT_TRUE(std::all_of(none.weights.begin(), none.weights.end(), [](double s) { return s == 0.0; }));
    EXPECT_THROW(networkGradient(network, x.view(), y.view(), kLossCount), std::invalid_argument);
    // mae and mape take the subgradient 0 where the prediction hits the target.
    Network constant(1, 1);
    constant.activations = {kLinear, kLinear};
    constant.biases = {0.0, 0.5};
    for (int32_t id : {kMae, kMape}) {
        const NetworkGradient at = networkGradient(constant, sampleMatrix({{3.0}}).view(), y.view(), id);
        EXPECT_EQ(at.loss, 0.0);
        EXPECT_EQ(at.biases[1], 0.0);
    }
}

TEST(Refine, BothMethodsLowerTheLossAndStopAtNonFiniteValues) {
    std::mt19937 engine(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    const SampleMatrix x = sampleMatrix(200, 2, [&](int32_t, int32_t) { return normal(engine); });
    const SampleMatrix y = sampleMatrix(200, 1, [&](int32_t i, int32_t) { return 0.3 * x.at(i, 0) - 0.2 * x.at(i, 1); });
    SampleMatrix broken = x;
    broken.at(7, 1) = std::numeric_limits<double>::quiet_NaN();
    for (RefineMethod method : {RefineMethod::kAdam, RefineMethod::kLbfgs}) {
        Network network = denseNetwork(2, 1, 6);
        const double before = lossOf(network, x, y, kMse);
        GradientRefiner refiner;
        EXPECT_EQ(refiner.refine(network, x.view(), y.view(), kMse, RefineOptions{100, 0.02, method}), 100);
        EXPECT_LT(lossOf(network, x, y, kMse), 0.5 * before);

        const Network kept = network;
        EXPECT_EQ(refiner.refine(network, broken.view(), y.view(), kMse, RefineOptions{5, 0.02, method}), 0);
        EXPECT_TRUE(network.sameGenes(kept));
    }
}

TEST(Refine, LbfgsNeverRaisesTheLossAndKeepsTheStructure) {
    // Sufficient decrease at every accepted step, on any network, for every loss.
    std::mt19937 engine(5);
    std::normal_distribution<double> normal(0.0, 1.0);
    const SampleMatrix x = sampleMatrix(60, 3, [&](int32_t, int32_t) { return normal(engine); });
    for (int32_t id : {kMse, kMae, kMape}) {
        for (int k = 0; k < 4; ++k) {
            Network network = randomNetwork(engine, 3, 2, 12, 0.4);
            const SampleMatrix y = targets(engine, 60, 2);
            const double before = lossOf(network, x, y, id);
            const Network start = network;
            GradientRefiner refiner;
            refiner.refine(network, x.view(), y.view(), id, RefineOptions{20, 0.01, RefineMethod::kLbfgs});
            EXPECT_LE(lossOf(network, x, y, id), before);
            EXPECT_EQ(network.connections.count(), start.connections.count());
            for (int32_t i = 0; i < network.inputs; ++i) EXPECT_EQ(network.biases[i], start.biases[i]);
        }
    }
}

TEST(Refine, APassBudgetCapsTheWorkAndDecayHoldsTheWeightsBack) {
    std::mt19937 engine(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    const SampleMatrix x = sampleMatrix(100, 2, [&](int32_t, int32_t) { return normal(engine); });
    const SampleMatrix y = sampleMatrix(100, 1, [&](int32_t i, int32_t) { return std::sin(2.0 * x.at(i, 0)); });
    GradientRefiner refiner;
    Network network = denseNetwork(2, 1, 6);
    const Network start = network;
    // One pass is the start's own: nothing is left to try a step with.
    EXPECT_EQ(refiner.refine(network, x.view(), y.view(), kMse, RefineOptions{50, 0.01, RefineMethod::kLbfgs, 1}), 0);
    EXPECT_TRUE(network.sameGenes(start));
    EXPECT_EQ(refiner.refine(network, x.view(), y.view(), kMse, RefineOptions{50, 0.01, RefineMethod::kAdam, 3}), 3);
    network = start;
    EXPECT_LE(refiner.refine(network, x.view(), y.view(), kMse, RefineOptions{50, 0.01, RefineMethod::kLbfgs, 6}), 5);

    const auto squaredWeights = [](const Network& n) {
        double sum = 0.0;
        // weights[from][to] is 0 wherever there is no connection.
        for (int32_t from = 0; from < n.size; ++from) {
            for (int32_t to = from + 1; to < n.size; ++to) sum += n.weights[from][to] * n.weights[from][to];
        }
        return sum;
    };
    Network free = start, held = start;
    refiner.refine(free, x.view(), y.view(), kMse, RefineOptions{60, 0.01, RefineMethod::kLbfgs});
    refiner.refine(held, x.view(), y.view(), kMse, RefineOptions{60, 0.01, RefineMethod::kLbfgs, 0, 50.0});
    EXPECT_LT(squaredWeights(held), 0.5 * squaredWeights(free));
}

TEST(Refine, HeldOutRowsAreEveryFifthAndKeepTheGenesThatPredictThemBest) {
    std::mt19937 engine(9);
    std::normal_distribution<double> normal(0.0, 1.0);
    const SampleMatrix x = sampleMatrix(100, 2, [&](int32_t, int32_t) { return normal(engine); });
    // Mostly noise: a long fit on 80 rows predicts the other 20 worse than it did midway.
    const SampleMatrix y = sampleMatrix(100, 1, [&](int32_t i, int32_t) { return 0.2 * x.at(i, 0) + normal(engine); });
    std::vector<double> weights(100);
    for (size_t i = 0; i < weights.size(); ++i) weights[i] = 1.0 + static_cast<double>(i);
    HeldOutRows rows;
    EXPECT_FALSE(rows.split(x.view().slice(0, HeldOutRows::kFewestRows - 1), y.view()));
    ASSERT_TRUE(rows.split(x.view(), y.view().weighted(weights.data())));
    ASSERT_EQ(rows.heldX().rows, 20);
    ASSERT_EQ(rows.fitX().rows, 80);
    EXPECT_EQ(rows.heldX().row(3)[1], x.at(15, 1));
    EXPECT_EQ(rows.fitY().row(4)[0], y.at(6, 0));
    EXPECT_EQ(rows.heldY().weights[3], 16.0);
    EXPECT_EQ(rows.fitY().weights[4], 7.0);

    const SampleView heldX = rows.heldX(), heldY = rows.heldY();
    RefineOptions options{40, 0.01, RefineMethod::kLbfgs};
    Network start = denseNetwork(2, 1, 6), plain = start, guarded = start;
    GradientRefiner refiner;
    refiner.refine(plain, rows.fitX(), rows.fitY(), kMse, options);
    options.heldX = &heldX;
    options.heldY = &heldY;
    refiner.refine(guarded, rows.fitX(), rows.fitY(), kMse, options);
    // The same walk on the fitted rows; the guard keeps its best point on the held ones.
    const double heldLoss = lossOf(guarded, heldX, heldY, kMse);
    EXPECT_LE(heldLoss, lossOf(plain, heldX, heldY, kMse));
    EXPECT_LE(heldLoss, lossOf(start, heldX, heldY, kMse));
    EXPECT_GT(refiner.passes(), 10);

    // Patience ends the walk once the held-out loss has stopped falling, and keeps the same best point.
    options.patience = 3;
    Network patient = start;
    refiner.refine(patient, rows.fitX(), rows.fitY(), kMse, options);
    EXPECT_LT(refiner.passes(), 40);
    EXPECT_LE(lossOf(patient, heldX, heldY, kMse), lossOf(start, heldX, heldY, kMse));
}

}  // namespace
}  // namespace kestrin
