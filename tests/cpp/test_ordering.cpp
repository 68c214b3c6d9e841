#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "evolution/ordering.h"
#include "test_support.h"

namespace kestrin {
namespace {

std::vector<int32_t> randomOrder(size_t n, std::mt19937& source) {
    std::vector<int32_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), source);
    return order;
}

TEST(Ordering, ShuffledIndicesIsAPermutationDrawingOncePerPosition) {
    for (int32_t n = -2; n <= 130; ++n) {
        std::srand(static_cast<unsigned>(n + 100));
        const std::vector<int32_t> order = shuffledIndices(n);
        const int next = std::rand();
        ASSERT_EQ(order.size(), static_cast<size_t>(std::max(n, 0)));
        std::vector<int32_t> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        for (int32_t k = 0; k < n; ++k) ASSERT_EQ(sorted[k], k);
        // One draw for each position after the first, none for n <= 1.
        std::srand(static_cast<unsigned>(n + 100));
        for (int32_t k = 1; k < n; ++k) std::rand();
        ASSERT_EQ(next, std::rand()) << n;
    }
}

TEST(Ordering, ShuffledIndicesReachesEveryOrderEvenly) {
    std::map<std::vector<int32_t>, int> counts;
    const int runs = 24000;
    for (int r = 0; r < runs; ++r) ++counts[shuffledIndices(4)];
    ASSERT_EQ(counts.size(), 24u);
    for (const auto& [order, count] : counts) EXPECT_TRUE(nearChance(count, runs, 1.0 / 24.0));
}

TEST(Ordering, ReorderMatchesTheNaivePermutation) {
    std::mt19937 source(5);
    std::vector<size_t> lengths(131);
    std::iota(lengths.begin(), lengths.end(), 0);
    lengths.push_back(1000);
    for (size_t n : lengths) {
        for (int trial = 0; trial < 3; ++trial) {
            const std::vector<int32_t> order = randomOrder(n, source);
            std::vector<std::string> list(n), expected(n);
            for (size_t k = 0; k < n; ++k) {
                list[k] = "item " + std::to_string(k);
                expected[order[k]] = list[k];
            }
            int swaps = 0;
            reorderBy(n, order, [&](size_t, size_t) { ++swaps; });
            reorder(list, order);
            ASSERT_EQ(list, expected) << n;

            // Each cycle of length c costs c - 1 swaps, no more.
            int cycles = 0;
            std::vector<bool> seen(n, false);
            for (size_t k = 0; k < n; ++k) {
                if (seen[k]) continue;
                ++cycles;
                for (size_t d = k; !seen[d]; d = order[d]) seen[d] = true;
            }
            ASSERT_EQ(swaps, static_cast<int>(n) - cycles) << n;
        }
    }
}

}  // namespace
}  // namespace kestrin
