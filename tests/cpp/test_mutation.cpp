#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "evolution/mutation.h"
#include "test_support.h"

namespace kestrin {
namespace {

// Distinct biases let a test tell which node an operator removed.
void numberBiases(Network& network) {
    for (int32_t i = 0; i < network.size; ++i) network.biases[i] = 1.0 + i;
}

// Everything an operator must keep on a valid network.
void expectSound(const Network& network) {
    ASSERT_NO_FATAL_FAILURE(expectConsistent(network));
    ASSERT_TRUE(Mutation::checkConnectivity(network));
    for (int32_t i = 0; i < network.size; ++i) {
        network.connections.forEachInRow(i, 0, [&](int32_t j) {
            ASSERT_TRUE(i < j && j >= network.inputs && i < network.size - network.outputs) << i << "->" << j;
        });
    }
}

TEST(Mutation, LongRandomSequencesKeepTheNetworkSound) {
    struct Start {
        int32_t inputs, outputs, size, steps;
    };
    const Start starts[] = {{1, 1, 2, 2000},  {2, 1, 3, 2000},  {3, 2, 5, 1500},  {1, 3, 9, 1500},
                            {2, 2, 12, 1000}, {4, 3, 62, 400},  {2, 1, 64, 400},  {5, 1, 66, 300}};
    std::mt19937 inputSource(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (const Start& start : starts) {
        SCOPED_TRACE(testing::Message() << start.inputs << "/" << start.outputs << "/" << start.size);
        Network network = denseNetwork(start.inputs, start.outputs, start.size);
        std::vector<double> input(start.inputs), output(start.outputs);
        for (int32_t step = 0; step < start.steps; ++step) {
            ASSERT_NO_THROW(Mutation::mutate(network));
            ASSERT_NO_FATAL_FAILURE(expectSound(network));
            ASSERT_EQ(network.inputs, start.inputs);
            ASSERT_EQ(network.outputs, start.outputs);
            if (step % 16 == 0) {
                for (double& x : input) x = normal(inputSource);
                network.activate(input.data(), output.data());
                for (double y : output) ASSERT_TRUE(std::isfinite(y));
            }
        }
    }
}

// One input feeding every node and a chain through all hidden nodes: every
// operator has candidates and leaves a distinct trace. Activation id 4 makes
// every re-draw visible.
constexpr int32_t kTraceNodes = 60;

Network traceableNetwork() {
    Network network(1, 1);
    network.setSize(kTraceNodes);
    for (int32_t k = 1; k < kTraceNodes; ++k) network.connect(0, k);
    for (int32_t k = 1; k + 1 < kTraceNodes; ++k) network.connect(k, k + 1);
    for (int32_t i = 0; i < kTraceNodes; ++i) {
        network.biases[i] = 1.0;
        network.activations[i] = 4;
    }
    return network;
}

TEST(Mutation, MutateAppliesEachOperatorWithItsChance) {
    const Network base = traceableNetwork();
    ASSERT_TRUE(Mutation::checkConnectivity(base));
    const int64_t edges = base.connections.count();

    std::map<std::string, int> seen;
    const int trials = 40000;
    Network work = base;
    for (int t = 0; t < trials; ++t) {
        work = base;
        Mutation::mutate(work);
        const int64_t after = work.connections.count();
        if (work.size == base.size + 1) {
            ++seen["addNode"];
        } else if (work.size == base.size - 1) {
            ++seen["removeNode"];
        } else if (after == edges - 1) {
            ++seen["removeConnection"];
        } else if (after == edges + 1) {
            ++seen["addConnection"];
        } else if (work.biases != base.biases) {
            ++seen["changeWeightsAndBiases"];
        } else if (work.activations != base.activations) {
            ++seen["changeActivation"];
        } else {
            ++seen["none"];
        }
    }

    // changeActivation shows unless none of the non-input nodes re-draws.
    const double visible = 1.0 - std::pow(0.95, kTraceNodes - 1);
    const std::map<std::string, double> expected = {
        {"changeWeightsAndBiases", 0.3},
        {"changeActivation", 0.21 * visible},
        {"addNode", 0.049},
        {"removeNode", 0.0441},
        {"removeConnection", 0.019845},
        {"addConnection", 0.01885275},
        {"none", 0.35820225 + 0.21 * (1.0 - visible)},
    };
    for (const auto& [name, p] : expected) EXPECT_TRUE(nearChance(seen[name], trials, p)) << name;
}

TEST(Mutation, ChangeActivationSparesInputsAndRedrawsOneInTwenty) {
    Network network(5, 1);
    network.setSize(100);
    int redrawn = 0;
    const int calls = 200;
    for (int c = 0; c < calls; ++c) {
        std::fill(network.activations.begin(), network.activations.end(), 4);
        Mutation::changeActivation(network);
        for (int32_t i = 0; i < network.size; ++i) {
            if (i < network.inputs) {
                ASSERT_EQ(network.activations[i], 4);
            } else if (network.activations[i] != 4) {
                ASSERT_GE(network.activations[i], 0);
                ASSERT_LE(network.activations[i], 3);
                ++redrawn;
            }
        }
    }
    EXPECT_TRUE(nearChance(redrawn, calls * 95.0, 0.05));
}

TEST(Mutation, ChangeWeightsAndBiasesScalesWithMagnitude) {
    Network network(2, 1);
    network.connect(0, 2, 0.0);
    network.connect(1, 2, 10.0);
    network.weights[0][1] = 3.0;  // no flag: must stay untouched
    network.biases = {0.0, -10.0, 10.0};

    std::vector<double> steps;
    for (int c = 0; c < 2000; ++c) {
        Network work = network;
        Mutation::changeWeightsAndBiases(work);
        ASSERT_EQ(work.biases[0], 0.0);
        ASSERT_EQ(work.weights[0][2], 0.0);
        ASSERT_EQ(work.weights[0][1], 3.0);
        ASSERT_TRUE(work.connections == network.connections);
        ASSERT_NE(work.biases[1], -10.0);  // input biases move too
        steps.push_back(work.biases[2] - 10.0);
        steps.push_back(work.weights[1][2] - 10.0);
    }
    const Moments m = moments(steps);  // a normal step of 0.2 times the magnitude
    EXPECT_NEAR(m.mean, 0.0, 0.25);
    EXPECT_NEAR(m.sd, 2.0, 0.15);
}

TEST(Mutation, RemoveNodeBridgesEveryPredecessorToEverySuccessor) {
    // Inputs 0, 1; hidden 2; outputs 3, 4, 5; 1->5 already exists.
    Network network(2, 3);
    network.setSize(6);
    numberBiases(network);
    for (int32_t s : {0, 1}) network.connect(s, 2);
    for (int32_t t : {3, 4, 5}) network.connect(2, t);
    network.connect(1, 5, 42.0);
    ASSERT_TRUE(Mutation::checkConnectivity(network));

    Network reference = network;  // same engine state: predicts the new weights
    Mutation::removeNode(network);

    ASSERT_EQ(network.size, 5);
    EXPECT_EQ(network.biases, (std::vector<double>{1, 2, 4, 5, 6}));
    EXPECT_EQ(network.connections.count(), 6);
    for (int32_t s : {0, 1}) {
        for (int32_t t : {2, 3, 4}) {
            std::normal_distribution<double> normal(0.0, 1.0);
            const double weight = normal(reference.rng);
            EXPECT_TRUE(network.connections.test(s, t)) << s << "->" << t;
            EXPECT_EQ(network.weights[s][t], weight) << s << "->" << t;
        }
    }
    expectSound(network);
}

TEST(Mutation, RemoveNodeKeepsEveryOtherConnectionAcrossWordEdges) {
    for (int32_t size : {63, 64, 65, 66, 130}) {
        for (int trial = 0; trial < 4; ++trial) {
            Network before = denseNetwork(3, 2, size);
            numberBiases(before);
            // Thin it out so that not every pair is connected.
            for (int k = 0; k < size; ++k) Mutation::removeConnection(before);
            Network after = before;
            Mutation::removeNode(after);
            ASSERT_EQ(after.size, size - 1);
            int32_t v = 0;
            while (v < after.size && after.biases[v] == before.biases[v]) ++v;
            ASSERT_GE(v, before.inputs);
            ASSERT_LT(v, size - before.outputs);

            auto old = [v](int32_t i) { return i < v ? i : i + 1; };
            for (int32_t i = 0; i < after.size; ++i) {
                ASSERT_EQ(after.activations[i], before.activations[old(i)]);
                for (int32_t j = 0; j < after.size; ++j) {
                    const bool bridged = before.connections.test(old(i), v) && before.connections.test(v, old(j));
                    if (bridged) {
                        ASSERT_TRUE(after.connections.test(i, j));
                    } else {
                        ASSERT_EQ(after.connections.test(i, j), before.connections.test(old(i), old(j)));
                        ASSERT_EQ(after.weights[i][j], before.weights[old(i)][old(j)]);
                    }
                }
            }
            expectSound(after);
        }
    }
}

TEST(Mutation, RemoveNodeWithoutHiddenNodeDrawsNothing) {
    Network network = denseNetwork(2, 1, 3);
    const Network before = network;
    std::srand(11);
    const int expected = std::rand();
    std::srand(11);
    Mutation::removeNode(network);
    EXPECT_EQ(std::rand(), expected);
    EXPECT_TRUE(network.sameGenes(before));
}

TEST(Mutation, RemoveConnectionNeverTakesALastEdge) {
    Network single(1, 1);
    single.connect(0, 1);
    Mutation::removeConnection(single);
    EXPECT_TRUE(single.connections.test(0, 1));

    for (int32_t size : {3, 6, 20, 65}) {
        Network network = denseNetwork(2, 2, size + 1);
        int64_t edges = network.connections.count();
        for (;;) {
            Mutation::removeConnection(network);
            const int64_t now = network.connections.count();
            ASSERT_NO_FATAL_FAILURE(expectSound(network));
            if (now == edges) break;
            ASSERT_EQ(now, edges - 1);
            edges = now;
        }
        // At the fixed point every edge is the last out of its source or into its target.
        for (int32_t i = 0; i < network.size; ++i) {
            network.connections.forEachInRow(i, 0, [&](int32_t j) {
                EXPECT_TRUE(network.connections.countRow(i) == 1 || network.connections.countColumn(j) == 1);
            });
        }
    }
}

TEST(Mutation, AddConnectionFillsExactlyTheForwardGraph) {
    for (int32_t size : {3, 7, 66}) {
        const Network complete = denseNetwork(2, 2, size + 1);
        Network unchanged = complete;
        Mutation::addConnection(unchanged);
        EXPECT_TRUE(unchanged.sameGenes(complete));

        // A chain through the hidden nodes grows, one edge per call, into the complete graph.
        Network network(2, 2);
        network.setSize(size + 1);
        const int32_t last = network.size - 1;
        for (int32_t k = 0; k < last - 1; ++k) network.connect(k, std::max(k + 1, 2));
        network.connect(last - 2, last);
        int64_t edges = network.connections.count();
        for (;;) {
            Mutation::addConnection(network);
            const int64_t now = network.connections.count();
            if (now == edges) break;
            ASSERT_EQ(now, edges + 1);
            edges = now;
        }
        EXPECT_TRUE(network.connections == complete.connections);
        expectSound(network);
    }
}

TEST(Mutation, CheckConnectivityCases) {
    Network noInputs(0, 1), unconnected(2, 1);
    Network oneInputIdle(2, 1);  // input 1 leads nowhere
    oneInputIdle.connect(0, 2);
    Network deadEnd = denseNetwork(2, 1, 4);  // hidden node 2 loses its way out
    deadEnd.disconnect(2, 3);
    Network unfed = denseNetwork(2, 1, 4);  // hidden node 2 loses its way in
    unfed.disconnect(0, 2);
    unfed.disconnect(1, 2);
    for (const Network* bad : {&noInputs, &unconnected, &oneInputIdle, &deadEnd, &unfed}) {
        EXPECT_FALSE(Mutation::checkConnectivity(*bad)) << bad->size;
    }
    EXPECT_TRUE(Mutation::checkConnectivity(Network(0, 0)));
    EXPECT_TRUE(Mutation::checkConnectivity(denseNetwork(2, 1, 3)));
    oneInputIdle.connect(1, 2);
    EXPECT_TRUE(Mutation::checkConnectivity(oneInputIdle));
}

TEST(Mutation, BrokenNetworkIsReportedOnlyAfterStructuralOperators) {
    // Hidden node 2 is isolated; only removeNode would mend it.
    const int trials = 3000;
    int thrown = 0;
    const std::string out = printedBy([&] {
        for (int t = 0; t < trials; ++t) {
            Network work = brokenNetwork();
            try {
                Mutation::mutate(work);
            } catch (const std::invalid_argument& error) {
                EXPECT_STREQ(error.what(), "");
                ++thrown;
            }
        }
    });

    std::map<std::string, int> lines;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        ++lines[out.substr(start, end - start)];
    }
    EXPECT_EQ(start, out.size()) << "unterminated line";
    int printed = 0;
    for (const auto& [line, count] : lines) printed += count;
    EXPECT_EQ(printed, thrown);
    EXPECT_GT(lines["Add node mutation broke network."], 0);
    EXPECT_GT(lines["Remove connection mutation broke network."], 0);
    EXPECT_GT(lines["Add connection mutation broke network."], 0);
    EXPECT_EQ(lines.count("Remove node mutation broke network."), 0u);
    EXPECT_EQ(lines.size(), 3u);

    // Only addNode, removeConnection and addConnection may fail here.
    EXPECT_TRUE(nearChance(thrown, trials, 0.049 + 0.019845 + 0.01885275));
}

}  // namespace
}  // namespace kestrin
