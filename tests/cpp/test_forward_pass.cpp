#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "network/activation.h"
#include "network/network.h"

namespace kestrin {
namespace {

// The pass written as plainly as possible: every (i, j) pair tested in order.
std::vector<double> referencePass(const Network& n, const std::vector<double>& input) {
    std::vector<double> sums = n.biases, values(n.size, 0.0);
    for (int32_t i = 0; i < n.size; ++i) {
        values[i] = i < n.inputs ? input[i] : activation_function(n.activations[i], sums[i]);
        for (int32_t j = n.inputs; j < n.size; ++j) {
            if (n.connections.test(i, j)) sums[j] = n.weights[i][j] * values[i] + sums[j];
        }
    }
    return std::vector<double>(values.end() - n.outputs, values.end());
}

// A random network with some forward connections removed and hidden nodes of every id.
Network randomNetwork(int32_t inputs, int32_t outputs, int32_t size, std::mt19937& engine) {
    Network n(inputs, outputs);
    n.setSize(size);
    n.initializeWeights();
    std::bernoulli_distribution drop(0.4);
    std::uniform_int_distribution<int32_t> id(0, 4);
    for (int32_t from = 0; from < size; ++from) {
        n.activations[from] = id(engine);
        for (int32_t to = 0; to < size; ++to) {
            if (n.connected(from, to) && drop(engine)) n.disconnect(from, to);
        }
    }
    return n;
}

std::vector<double> randomInput(int32_t count, std::mt19937& engine) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> input(count);
    for (double& x : input) x = normal(engine);
    return input;
}

TEST(ForwardPass, EmptyNetworkGivesSigmoidOfZero) {
    Network n(2, 1);
    for (auto input : {std::vector<double>{0.0, 0.0}, {5.0, -3.0}, {1e300, -1e300}}) {
        EXPECT_EQ(n.activate(input), std::vector<double>{0.5});
    }
}

TEST(ForwardPass, HandExamples) {
    Network n(2, 1);
    n.biases[2] = 0.5;
    n.activations[2] = kLinear;
    n.connect(0, 2, 2.0);
    n.connect(1, 2, -1.0);
    EXPECT_EQ(n.activate({3.0, 4.0}), std::vector<double>{2.5});
    // Extra input elements are ignored; input biases and activations are not applied.
    n.biases[0] = 100.0;
    n.activations[0] = kRelu;
    EXPECT_EQ(n.activate({3.0, 4.0, 99.0}), std::vector<double>{2.5});
    EXPECT_EQ(n.values, (std::vector<double>{3.0, 4.0, 2.5}));
    EXPECT_EQ(n.sums[2], 2.5);

    n.activations[2] = kRelu;
    EXPECT_EQ(n.activate({0.0, 1.0}), std::vector<double>{0.0});
    EXPECT_EQ(n.sums[2], -0.5);

    n.activations[2] = 4;  // an id without a name
    EXPECT_EQ(n.activate({3.0, 4.0}), std::vector<double>{0.0});
}

TEST(ForwardPass, MatchesThePlainPassOnRandomNetworks) {
    std::mt19937 engine(11);
    for (auto [inputs, outputs, size] :
         std::initializer_list<std::tuple<int32_t, int32_t, int32_t>>{{1, 1, 2}, {3, 2, 12}, {5, 3, 64}, {2, 4, 130}}) {
        Network n = randomNetwork(inputs, outputs, size, engine);
        for (int trial = 0; trial < 5; ++trial) {
            const std::vector<double> input = randomInput(inputs, engine);
            const std::vector<double> expected = referencePass(n, input);
            EXPECT_EQ(n.activate(input), expected) << "size " << size;
            std::vector<double> direct(outputs, -1.0);
            n.activate(input.data(), direct.data());
            EXPECT_EQ(direct, expected) << "size " << size;
        }
    }
}

TEST(ForwardPass, BackwardSelfAndIntoInputConnectionsChangeNothing) {
    std::mt19937 engine(5);
    for (int32_t size : {6, 70}) {
        Network n = randomNetwork(2, 2, size, engine);
        Network looped = n;
        looped.connect(size - 1, 3, 7.0);  // output back to a hidden node
        looped.connect(size - 1, size - 2, 1.0);  // output back to an earlier output
        looped.connect(4, 4, -2.0);  // self-loop
        looped.connect(3, 0, 5.0);  // hidden into an input
        looped.connect(0, 1, 5.0);  // input into an input
        for (int trial = 0; trial < 4; ++trial) {
            const std::vector<double> input = randomInput(2, engine);
            EXPECT_EQ(looped.activate(input), n.activate(input)) << "size " << size;
        }
    }
}

TEST(ForwardPass, CarriesNoStateBetweenPasses) {
    std::mt19937 engine(3);
    Network n = randomNetwork(3, 2, 20, engine);
    n.connect(19, 5, 4.0);  // a backward connection writes into an evaluated node's sum
    const std::vector<double> a = randomInput(3, engine), b = randomInput(3, engine);
    const std::vector<double> first = n.activate(a);
    EXPECT_EQ(n.activate(a), first);
    n.activate(b);
    EXPECT_EQ(n.activate(a), first);
}

}  // namespace
}  // namespace kestrin
