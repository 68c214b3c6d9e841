// BitMatrix against a plain bool matrix, at sizes around the 64-bit word edges.
// Inserting and erasing rows and columns is checked cell by cell through split
// and removeNode on random networks across word edges (test_network.cpp,
// test_mutation.cpp).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "network/bit_matrix.h"

namespace kestrin {
namespace {

using Naive = std::vector<std::vector<bool>>;

Naive randomNaive(int32_t n, std::mt19937& engine) {
    std::bernoulli_distribution coin(0.3);
    Naive m(n, std::vector<bool>(n));
    for (auto& row : m) {
        for (size_t c = 0; c < row.size(); ++c) row[c] = coin(engine);
    }
    return m;
}

BitMatrix fromNaive(const Naive& m) {
    BitMatrix bits(static_cast<int32_t>(m.size()));
    for (size_t r = 0; r < m.size(); ++r) {
        for (size_t c = 0; c < m.size(); ++c) {
            if (m[r][c]) bits.set(r, c);
        }
    }
    return bits;
}

// Checks every query against the naive matrix, and that no bit past the last
// column is set (counts and scans rely on it).
void expectSame(const BitMatrix& bits, const Naive& m) {
    const int32_t n = static_cast<int32_t>(m.size());
    ASSERT_EQ(bits.dimension(), n);
    ASSERT_EQ(bits.wordsPerRow(), (n + 63) / 64);
    int64_t total = 0;
    for (int32_t r = 0; r < n; ++r) {
        int32_t rowCount = 0;
        for (int32_t c = 0; c < n; ++c) {
            ASSERT_EQ(bits.test(r, c), m[r][c]) << "row " << r << " column " << c;
            rowCount += m[r][c];
        }
        total += rowCount;
        EXPECT_EQ(bits.countRow(r), rowCount) << "row " << r;
        if (n % 64 != 0) {
            EXPECT_EQ(bits.row(r)[bits.wordsPerRow() - 1] >> (n % 64), 0u) << "row " << r;
        }
    }
    for (int32_t c = 0; c < n; ++c) {
        int32_t columnCount = 0;
        for (int32_t r = 0; r < n; ++r) columnCount += m[r][c];
        EXPECT_EQ(bits.countColumn(c), columnCount) << "column " << c;
    }
    EXPECT_EQ(bits.count(), total);
}

class BitMatrixSizes : public ::testing::TestWithParam<int32_t> {};

TEST_P(BitMatrixSizes, ScansMatchNaiveMatrixFromEveryStartColumn) {
    const int32_t n = GetParam();
    std::mt19937 engine(n);
    const Naive m = randomNaive(n, engine);
    const BitMatrix bits = fromNaive(m);
    expectSame(bits, m);
    for (int32_t r = 0; r < n; r += 7) {
        for (int32_t first = 0; first <= n; ++first) {
            std::vector<int32_t> expected, seen;
            for (int32_t c = first; c < n; ++c) {
                if (m[r][c]) expected.push_back(c);
            }
            bits.forEachInRow(r, first, [&](int32_t c) { seen.push_back(c); });
            ASSERT_EQ(seen, expected) << "row " << r << " from " << first;
            ASSERT_EQ(bits.anyInRowFrom(r, first), !expected.empty()) << "row " << r << " from " << first;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(WordEdges, BitMatrixSizes, ::testing::Values(1, 2, 63, 64, 65, 127, 128, 129));

}  // namespace
}  // namespace kestrin
