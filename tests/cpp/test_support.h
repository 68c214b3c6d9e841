// Networks, samples and checks that several core test files share.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "network/network.h"
#include "training/sample_matrix.h"

namespace kestrin {

// Random biases and ids, and the densest forward graph.
inline Network denseNetwork(int32_t inputs, int32_t outputs, int32_t size) {
    Network network(inputs, outputs);
    network.setSize(size);
    network.initializeWeights();
    return network;
}

// Any graph the flags can hold: forward, backward and self connections, some
// into input nodes, a few zero weights and huge biases; every activation id,
// the unnamed ones included.
inline Network randomNetwork(std::mt19937& engine, int32_t inputs, int32_t outputs, int32_t size, double density) {
    Network network(inputs, outputs);
    network.setSize(size);
    std::normal_distribution<double> normal(0.0, 1.5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int32_t> id(-1, 4);
    for (int32_t i = 0; i < size; ++i) {
        network.biases[i] = unit(engine) < 0.02 ? 1000.0 * normal(engine) : normal(engine);
        network.activations[i] = id(engine);
    }
    for (int32_t from = 0; from < size; ++from) {
        for (int32_t to = 0; to < size; ++to) {
            const bool forward = to > from && to >= inputs;
            if (unit(engine) < (forward ? density : density / 4)) {
                network.connect(from, to, unit(engine) < 0.03 ? 0.0 : normal(engine));
            }
        }
    }
    return network;
}

// Hidden node 2 has neither a way in nor a way out.
inline Network brokenNetwork() {
    Network network(2, 1);
    network.setSize(4);
    network.connect(0, 3);
    network.connect(1, 3);
    return network;
}

// Every per-node sequence and matrix has size entries, and no weight hides without a flag.
inline void expectConsistent(const Network& n) {
    const size_t size = static_cast<size_t>(n.size);
    ASSERT_GE(n.size, n.inputs + n.outputs);
    ASSERT_EQ(n.biases.size(), size);
    ASSERT_EQ(n.sums.size(), size);
    ASSERT_EQ(n.values.size(), size);
    ASSERT_EQ(n.activations.size(), size);
    ASSERT_EQ(n.weights.dimension(), n.size);
    ASSERT_EQ(n.connections.dimension(), n.size);
    for (int32_t from = 0; from < n.size; ++from) {
        for (int32_t to = 0; to < n.size; ++to) {
            if (!n.connected(from, to)) {
                ASSERT_EQ(n.weights[from][to], 0.0) << from << "->" << to;
            }
        }
    }
}

// rows x columns cells from f(row, column).
template <typename F>
SampleMatrix sampleMatrix(int32_t rows, int32_t columns, F f) {
    SampleMatrix m(rows, columns);
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < columns; ++j) m.at(i, j) = f(i, j);
    }
    return m;
}

inline SampleMatrix sampleMatrix(const std::vector<std::vector<double>>& rows) {
    return sampleMatrix(static_cast<int32_t>(rows.size()), rows.empty() ? 0 : static_cast<int32_t>(rows[0].size()),
                        [&](int32_t i, int32_t j) { return rows[i][j]; });
}

// What f prints on the C library's standard output (the capture ends even when f throws).
template <typename F>
std::string printedBy(F&& f) {
    testing::internal::CaptureStdout();
    try {
        f();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

// `count` successes in `trials` draws of chance p, within five standard deviations.
inline testing::AssertionResult nearChance(double count, double trials, double p) {
    const double spread = 5.0 * std::sqrt(trials * p * (1.0 - p));
    if (std::fabs(count - trials * p) <= spread) return testing::AssertionSuccess();
    return testing::AssertionFailure() << count << " of " << trials << ", expected " << trials * p << " +- " << spread;
}

struct Moments {
    double mean, sd;
};

inline Moments moments(const std::vector<double>& draws) {
    double sum = 0.0, squares = 0.0;
    for (double x : draws) sum += x;
    const double mean = sum / static_cast<double>(draws.size());
    for (double x : draws) squares += (x - mean) * (x - mean);
    return {mean, std::sqrt(squares / static_cast<double>(draws.size()))};
}

}  // namespace kestrin
