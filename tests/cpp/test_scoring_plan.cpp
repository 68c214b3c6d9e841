#include "training/scoring_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "network/activation.h"
#include "test_support.h"
#include "training/evaluate.h"
#include "training/parallel_scorer.h"

namespace kestrin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Exact equality of every bit (signs of zero included), except that any NaN
// matches any NaN: which operand's NaN an addition passes on depends on the
// operand order the compiler picks, even between two builds of the same loop.
::testing::AssertionResult sameBits(const std::vector<double>& expected, const std::vector<double>& actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size();
    }
    for (size_t k = 0; k < expected.size(); ++k) {
        if (std::isnan(expected[k]) && std::isnan(actual[k])) continue;
        if (std::memcmp(&expected[k], &actual[k], sizeof(double)) != 0) {
            char text[96];
            std::snprintf(text, sizeof text, "element %zu: expected %a, got %a", k, expected[k], actual[k]);
            return ::testing::AssertionFailure() << text;
        }
    }
    return ::testing::AssertionSuccess();
}

SampleMatrix randomSamples(std::mt19937& engine, int32_t rows, int32_t columns, bool specials) {
    SampleMatrix samples(rows, columns);
    std::normal_distribution<double> normal(0.0, 2.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double special[] = {kNaN, -kNaN, kInf, -kInf, 0.0, -0.0, 1e300, -1e-310};
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < columns; ++j) {
            samples.at(i, j) = specials && unit(engine) < 0.02 ? special[engine() % 8] : normal(engine);
        }
    }
    return samples;
}

std::vector<double> referencePredict(Network network, const SampleView& x) {
    std::vector<double> out(static_cast<size_t>(x.rows) * network.outputs);
    for (int32_t i = 0; i < x.rows; ++i) network.activate(x.row(i), out.data() + static_cast<size_t>(i) * network.outputs);
    return out;
}

std::vector<double> fastPredict(BatchScorer& scorer, Network& network, const SampleView& x) {
    std::vector<double> out(static_cast<size_t>(x.rows) * network.outputs);
    scorer.predict(network, x, out.data());
    return out;
}

// Always through a plan, even for the few rows where the Network form would not compile one.
std::vector<double> planPredict(BatchScorer& scorer, const Network& network, const SampleView& x) {
    CompiledNetwork plan;
    plan.compile(network);
    std::vector<double> out(static_cast<size_t>(x.rows) * network.outputs);
    scorer.predict(plan, x, out.data());
    return out;
}

std::vector<double> planScore(BatchScorer& scorer, const Network& network, const SampleView& x, const SampleView& y,
                              const std::vector<int32_t>& ids) {
    CompiledNetwork plan;
    plan.compile(network);
    std::vector<double> result(ids.size(), -1.0);
    scorer.score(plan, x, y, ids.data(), ids.size(), result.data());
    return result;
}

// Sample counts at and around tile and vector edges.
const int32_t kRowCounts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 257};

TEST(ScoringPlan, PredictIsBitIdenticalToTheForwardPass) {
    std::mt19937 engine(7);
    BatchScorer scorer;  // one scorer for every network: its buffers are reused
    BatchScorer baseline;  // the kernel any x86-64 runs, whatever this CPU has
    baseline.useBaselineInstructions();
    for (int32_t round = 0; round < 200; ++round) {
        const int32_t inputs = static_cast<int32_t>(engine() % 9);
        const int32_t outputs = 1 + static_cast<int32_t>(engine() % 5);
        // Node counts around the flag words' edges and the tile-width thresholds.
        const int32_t sizes[] = {inputs + outputs, 63, 64, 65, 100, 130, 200, 260, 520};
        const int32_t size = std::max(inputs + outputs, sizes[engine() % 9] + static_cast<int32_t>(engine() % 3) - 1);
        const double density = std::uniform_real_distribution<double>(0.0, size > 300 ? 0.05 : 0.6)(engine);
        Network network = randomNetwork(engine, inputs, outputs, size, density);
        const int32_t rows = kRowCounts[engine() % std::size(kRowCounts)];
        const SampleMatrix x = randomSamples(engine, rows, inputs + static_cast<int32_t>(engine() % 3), round % 2 == 0);
        const std::vector<double> expected = referencePredict(network, x.view());
        ASSERT_TRUE(sameBits(expected, fastPredict(scorer, network, x.view())))
            << "round " << round << ", size " << size << ", rows " << rows;
        ASSERT_TRUE(sameBits(expected, planPredict(scorer, network, x.view())))
            << "round " << round << ", size " << size << ", rows " << rows;
        ASSERT_TRUE(sameBits(expected, fastPredict(baseline, network, x.view())))
            << "baseline, round " << round << ", size " << size << ", rows " << rows;
    }
}

TEST(ScoringPlan, ScoresAreBitIdenticalToTheReferenceEvaluate) {
    std::mt19937 engine(11);
    BatchScorer scorer;
    BatchScorer baseline;
    baseline.useBaselineInstructions();
    for (int32_t round = 0; round < 300; ++round) {
        const int32_t inputs = 1 + static_cast<int32_t>(engine() % 8);
        const int32_t outputs = 1 + static_cast<int32_t>(engine() % 4);
        const int32_t size = inputs + outputs + static_cast<int32_t>(engine() % 70);
        Network network = randomNetwork(engine, inputs, outputs, size, 0.3);
        // Mostly well-formed batches, sometimes ragged ones evaluate has to cope with.
        const int32_t rows = kRowCounts[engine() % std::size(kRowCounts)];
        const bool ragged = round % 5 == 0;
        const int32_t xColumns = ragged ? static_cast<int32_t>(engine() % (inputs + 2)) : inputs;
        const int32_t yRows = ragged ? static_cast<int32_t>(engine() % (rows + 3)) : rows;
        const int32_t yColumns = ragged ? static_cast<int32_t>(engine() % (outputs + 2)) : 1 + engine() % outputs;
        const SampleMatrix x = randomSamples(engine, rows, xColumns, round % 3 == 0);
        const SampleMatrix y = randomSamples(engine, yRows, yColumns, round % 7 == 0);
        std::vector<int32_t> ids;
        const int32_t idCount = static_cast<int32_t>(engine() % 5);
        for (int32_t j = 0; j < idCount; ++j) ids.push_back(engine() % 10 == 0 ? 99 : static_cast<int32_t>(engine() % 3));

        const std::vector<double> expected = evaluateReference(network, x.view(), y.view(), ids);
        ASSERT_TRUE(sameBits(expected, scorer.score(network, x.view(), y.view(), ids))) << "round " << round;
        ASSERT_TRUE(sameBits(expected, evaluate(network, x.view(), y.view(), ids))) << "round " << round;
        ASSERT_TRUE(sameBits(expected, planScore(scorer, network, x.view(), y.view(), ids))) << "round " << round;
        ASSERT_TRUE(sameBits(expected, baseline.score(network, x.view(), y.view(), ids))) << "baseline, round " << round;
    }
}

// Every row of the loss table, the whole-row ones included, on one-hot,
// probability or class-index targets (some out of range), with and without
// weights: the fast path, its two halves and several threads keep the bits.
TEST(ScoringPlan, EveryLossAndWeightsAreBitIdenticalToTheReference) {
    std::mt19937 engine(23);
    BatchScorer scorer;
    BatchScorer baseline;
    baseline.useBaselineInstructions();
    ParallelScorer threads(2);
    std::vector<int32_t> ids;
    for (int32_t id = 0; id < kLossCount; ++id) ids.push_back(id);
    for (int32_t round = 0; round < 120; ++round) {
        const int32_t inputs = 1 + static_cast<int32_t>(engine() % 5);
        const int32_t outputs = 1 + static_cast<int32_t>(engine() % 4);
        Network network = randomNetwork(engine, inputs, outputs, inputs + outputs + static_cast<int32_t>(engine() % 30), 0.4);
        const int32_t rows = round % 20 == 0 ? 2100 : kRowCounts[engine() % std::size(kRowCounts)];
        const SampleMatrix x = randomSamples(engine, rows, inputs, round % 4 == 0);
        const bool indices = round % 2 == 0;
        SampleMatrix y(rows, indices ? 1 : outputs);
        for (int32_t i = 0; i < rows; ++i) {
            const int32_t c = static_cast<int32_t>(engine() % static_cast<uint32_t>(outputs + (round % 6 == 0 ? 1 : 0)));
            for (int32_t k = 0; k < y.columns(); ++k) y.at(i, k) = indices ? c : (k == c ? 1.0 : 0.0);
        }
        std::vector<double> weights(static_cast<size_t>(rows));
        for (double& w : weights) w = std::uniform_real_distribution<double>(0.0, 3.0)(engine);
        for (const SampleView& targets : {y.view(), y.view().weighted(weights.data())}) {
            const std::vector<double> expected = evaluateReference(network, x.view(), targets, ids);
            ASSERT_TRUE(sameBits(expected, scorer.score(network, x.view(), targets, ids))) << "round " << round;
            ASSERT_TRUE(sameBits(expected, planScore(scorer, network, x.view(), targets, ids))) << "round " << round;
            ASSERT_TRUE(sameBits(expected, baseline.score(network, x.view(), targets, ids))) << "round " << round;
            ASSERT_TRUE(sameBits(expected, threads.score(network, x.view(), targets, ids))) << "round " << round;
        }
    }
}

TEST(ScoringPlan, PopulationScoresMatchTheReferenceRowByRow) {
    std::mt19937 engine(3);
    std::vector<Network> population;
    for (int32_t k = 0; k < 12; ++k) population.push_back(randomNetwork(engine, 3, 2, 5 + 10 * k, 0.4));
    const SampleMatrix x = randomSamples(engine, 50, 3, false);
    const SampleMatrix y = randomSamples(engine, 50, 2, false);
    const std::vector<int32_t> ids = {kMse, kMape, kMae, kMse};
    BatchScorer scorer;
    const ScoreRows expected = evaluateReference(population, x.view(), y.view(), ids);
    for (const ScoreRows& actual : {scorer.score(population, x.view(), y.view(), ids),
                                    evaluate(population, x.view(), y.view(), ids)}) {
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t k = 0; k < actual.size(); ++k) EXPECT_TRUE(sameBits(expected[k], actual[k])) << "network " << k;
    }
}

TEST(ScoringPlan, PlanHoldsForwardConnectionsInSourceOrder) {
    // 2 inputs, hidden 2 and 3, output 4; plus connections the pass never reads.
    Network network(2, 1);
    network.setSize(5);
    for (int32_t i = 0; i < 5; ++i) network.activations[i] = kTanh;
    network.connect(0, 3, 0.5);
    network.connect(1, 2, -1.0);
    network.connect(2, 3, 2.0);
    network.connect(3, 4, 1.5);
    network.connect(0, 4, 0.25);
    network.connect(4, 2, 9.0);  // backward
    network.connect(3, 3, 9.0);  // self
    network.connect(2, 1, 9.0);  // into an input
    CompiledNetwork plan;
    plan.compile(network);
    EXPECT_EQ(plan.forwardConnections(), 5);
    ASSERT_EQ(plan.steps().size(), 3u);
    const std::vector<std::vector<int32_t>> sources = {{1}, {0, 2}, {0, 3}};
    for (size_t k = 0; k < 3; ++k) {
        const CompiledNetwork::Step& step = plan.steps()[k];
        const std::vector<int32_t> actual(plan.sources().begin() + step.first, plan.sources().begin() + step.last);
        EXPECT_EQ(actual, sources[k]) << "node " << k + 2;
    }
    EXPECT_TRUE(plan.constantSlots().empty());

    // New genes set in an unfolded plan give the plan compiled from a network holding them.
    CompiledNetwork kept, fresh;
    kept.compile(network, false);
    network.biases[3] = 0.75;
    network.weights[0][3] = -0.0;
    network.weights[3][4] = -2.5;
    fresh.compile(network, false);
    std::vector<double> starts, weights = fresh.weights();
    for (const CompiledNetwork::Step& step : fresh.steps()) starts.push_back(step.start);
    kept.setGenes(starts.data(), weights.data());
    ASSERT_EQ(kept.steps().size(), fresh.steps().size());
    for (size_t k = 0; k < kept.steps().size(); ++k) EXPECT_EQ(kept.steps()[k].start, fresh.steps()[k].start);
    EXPECT_TRUE(sameBits(fresh.weights(), kept.weights()));
    EXPECT_EQ(kept.singleWeights(), fresh.singleWeights());
    EXPECT_TRUE(kept.hasNegativeZeroWeights());
}

// Networks as evolution grows them: forward connections only, weights and
// biases of a few units, every named activation.
Network moderateNetwork(std::mt19937& engine, int32_t inputs, int32_t outputs, int32_t size, double density) {
    Network network(inputs, outputs);
    network.setSize(size);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int32_t i = 0; i < size; ++i) {
        network.biases[i] = normal(engine);
        network.activations[i] = static_cast<int32_t>(engine() % kActivationCount);
    }
    for (int32_t from = 0; from < size; ++from) {
        for (int32_t to = std::max(from + 1, inputs); to < size; ++to) {
            if (unit(engine) < density) network.connect(from, to, normal(engine));
        }
    }
    return network;
}

// float32 follows float64 within the documented tolerance on every kernel,
// and every kernel gives the same float32 bits.
TEST(SinglePrecision, PredictionsFollowFloat64WithinTheTolerance) {
    std::mt19937 engine(31);
    BatchScorer widest, wide, baseline;
    wide.useAtMostAvx2Instructions();
    baseline.useBaselineInstructions();
    for (BatchScorer* scorer : {&widest, &wide, &baseline}) scorer->setPrecision(Precision::kFloat32);
    double worst = 0.0;
    for (int32_t round = 0; round < 120; ++round) {
        const int32_t inputs = 1 + static_cast<int32_t>(engine() % 8);
        const int32_t outputs = 1 + static_cast<int32_t>(engine() % 4);
        const int32_t size = inputs + outputs + static_cast<int32_t>(engine() % 120);
        Network network = moderateNetwork(engine, inputs, outputs, size, 12.0 / size);
        // Every activation on its own, then mixed.
        if (round < kActivationCount) std::fill(network.activations.begin(), network.activations.end(), round);
        const int32_t rows = kRowCounts[engine() % std::size(kRowCounts)];
        const SampleMatrix x = randomSamples(engine, rows, inputs, false);
        const std::vector<double> expected = referencePredict(network, x.view());
        const std::vector<double> actual = fastPredict(widest, network, x.view());
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t k = 0; k < actual.size(); ++k) {
            const double error = std::fabs(actual[k] - expected[k]) / (1.0 + std::fabs(expected[k]));
            worst = std::max(worst, error);
            ASSERT_LE(error, kSinglePrecisionTolerance) << "round " << round << ", value " << k;
        }
        ASSERT_TRUE(sameBits(actual, fastPredict(wide, network, x.view()))) << "AVX2, round " << round;
        ASSERT_TRUE(sameBits(actual, fastPredict(baseline, network, x.view()))) << "baseline, round " << round;
        ASSERT_TRUE(sameBits(actual, planPredict(widest, network, x.view()))) << "plan, round " << round;
    }
    RecordProperty("worst_relative_error", std::to_string(worst));
}

// Losses on float32 outputs are summed in double, in sample order, so one
// thread or two, whole populations or one network's samples in slices, give
// the same bits.
TEST(SinglePrecision, SameBitsForAnyWorkerCount) {
    std::mt19937 engine(37);
    ParallelScorer one(1), two(2);
    one.setPrecision(Precision::kFloat32);
    two.setPrecision(Precision::kFloat32);
    std::vector<Network> population;
    for (int32_t k = 0; k < 9; ++k) population.push_back(moderateNetwork(engine, 4, 2, 6 + 9 * k, 0.3));
    const std::vector<int32_t> ids = {kMse, kMae, kBinaryCrossentropy};
    for (const int32_t rows : {3, 100, 2500}) {
        const SampleMatrix x = randomSamples(engine, rows, 4, false);
        const SampleMatrix y = randomSamples(engine, rows, 2, false);
        const ScoreRows expected = one.score(population, x.view(), y.view(), ids);
        const ScoreRows actual = two.score(population, x.view(), y.view(), ids);
        for (size_t k = 0; k < population.size(); ++k) {
            ASSERT_TRUE(sameBits(expected[k], actual[k])) << "rows " << rows << ", network " << k;
            ASSERT_TRUE(sameBits(expected[k], two.score(population[k], x.view(), y.view(), ids))) << "rows " << rows;
            std::vector<double> onePrediction(static_cast<size_t>(rows) * 2), twoPrediction(onePrediction.size());
            one.predict(population[k], x.view(), onePrediction.data());
            two.predict(population[k], x.view(), twoPrediction.data());
            ASSERT_TRUE(sameBits(onePrediction, twoPrediction)) << "rows " << rows;
        }
        // And float32 is a different path: some score differs from float64's.
        const ScoreRows doubles = ParallelScorer(1).score(population, x.view(), y.view(), ids);
        bool differs = false;
        for (size_t k = 0; k < population.size(); ++k) differs = differs || doubles[k] != expected[k];
        EXPECT_TRUE(differs) << "rows " << rows;
    }
}

// -0.0 weights keep a zero sum negative (-0 + -0 * x), on every kernel.
TEST(ScoringPlan, NegativeZeroWeightsKeepTheSignOfZeroSums) {
    Network network(2, 2);
    network.setSize(4);
    for (int32_t i = 0; i < 4; ++i) network.activations[i] = kLinear;
    network.biases[2] = -0.0;
    network.biases[3] = -0.0;
    network.connect(0, 2, -0.0);
    network.connect(1, 2, -0.0);
    network.connect(0, 3, 0.0);
    CompiledNetwork plan;
    plan.compile(network);
    EXPECT_TRUE(plan.hasNegativeZeroWeights());
    const SampleMatrix x = sampleMatrix(70, 2, [](int32_t i, int32_t j) { return 0.5 + i + 2.0 * j; });
    const std::vector<double> expected = referencePredict(network, x.view());
    ASSERT_TRUE(std::signbit(expected[0]));
    BatchScorer widest, wide, baseline;
    wide.useAtMostAvx2Instructions();
    baseline.useBaselineInstructions();
    for (BatchScorer* scorer : {&widest, &wide, &baseline}) {
        EXPECT_TRUE(sameBits(expected, fastPredict(*scorer, network, x.view())));
    }
}

TEST(ScoringPlan, RefusesSamplesWithoutEveryInput) {
    Network network(3, 1);
    const SampleMatrix x(4, 2);
    std::vector<double> out(4);
    BatchScorer scorer;
    EXPECT_THROW(scorer.predict(network, x.view(), out.data()), std::invalid_argument);
}

}  // namespace
}  // namespace kestrin
