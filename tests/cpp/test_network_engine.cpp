#include "network/network_engine.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>

namespace kestrin {
namespace {

// The next `count` draws of each, compared one by one (advances both).
::testing::AssertionResult drawSame(NetworkEngine& actual, std::mt19937& expected, int count = 1300) {
    for (int k = 0; k < count; ++k) {
        const auto a = actual(), e = expected();
        if (a != e) return ::testing::AssertionFailure() << "draw " << k << ": " << a << " instead of " << e;
    }
    return ::testing::AssertionSuccess();
}

TEST(NetworkEngine, DrawsWhatTheStandardEngineDrawsFromTheSameSeed) {
    for (const std::mt19937::result_type seed : {0u, 1u, 5489u, 0xffffffffu}) {
        NetworkEngine engine(seed);
        std::mt19937 standard(seed);
        EXPECT_TRUE(engine == standard);  // before the first draw too
        EXPECT_TRUE(drawSame(engine, standard));  // past the first refill of the state
        engine.discard(700);
        standard.discard(700);
        EXPECT_TRUE(drawSame(engine, standard, 10));
        EXPECT_TRUE(engine == standard);
    }
    // Distributions take it like any engine.
    NetworkEngine engine(3);
    std::mt19937 standard(3);
    std::normal_distribution<double> a(0.0, 1.0), b(0.0, 1.0);
    EXPECT_EQ(a(engine), b(standard));
}

TEST(NetworkEngine, CopiesDrawTheSameAsTheOriginalBeforeAndAfterFirstUse) {
    NetworkEngine unused(42);
    NetworkEngine used(43);
    used.discard(10);
    for (NetworkEngine* original : {&unused, &used}) {
        NetworkEngine copy(*original);
        EXPECT_TRUE(copy == *original);
        std::mt19937 twin = *original;  // converts to the standard engine
        EXPECT_TRUE(drawSame(copy, twin));
        EXPECT_FALSE(copy == *original);

        NetworkEngine assigned(7);
        assigned.discard(1);  // built already: assignment reuses its storage
        assigned = *original;
        std::mt19937 again = *original;
        EXPECT_TRUE(drawSame(assigned, again));
    }
    // Assigning an unused engine over a used one brings back the seeded state.
    NetworkEngine target(9);
    target.discard(5);
    target = unused;
    std::mt19937 fresh(42);
    EXPECT_TRUE(drawSame(target, fresh));
}

TEST(NetworkEngine, MovesSwapsAndReseeds) {
    NetworkEngine a(11), b(12);
    a.discard(3);
    std::mt19937 aTwin(11), bTwin(12);
    aTwin.discard(3);
    swap(a, b);
    EXPECT_TRUE(b == aTwin);
    EXPECT_TRUE(a == bTwin);

    NetworkEngine moved(std::move(b));
    EXPECT_TRUE(drawSame(moved, aTwin));
    NetworkEngine target(1);
    target = std::move(moved);
    EXPECT_TRUE(drawSame(target, aTwin));

    target = std::mt19937(77);
    std::mt19937 expected(77);
    EXPECT_TRUE(drawSame(target, expected));
    target.seed(78);
    std::mt19937 reseeded(78);
    EXPECT_TRUE(drawSame(target, reseeded));
    EXPECT_FALSE(NetworkEngine(1) == NetworkEngine(2));
    EXPECT_TRUE(NetworkEngine(2) == NetworkEngine(2));
}

}  // namespace
}  // namespace kestrin
