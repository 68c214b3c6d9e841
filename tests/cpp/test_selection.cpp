#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "evolution/ordering.h"
#include "evolution/selection.h"

namespace kestrin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Candidate k carries k as its first bias; its row is {score, k}.
struct Pool {
    std::vector<Network> networks;
    ScoreRows scores;
};

Pool pool(const std::vector<double>& scores) {
    Pool p;
    for (size_t k = 0; k < scores.size(); ++k) {
        Network network(1, 1);
        network.biases[0] = static_cast<double>(k);
        p.networks.push_back(network);
        p.scores.push_back({scores[k], static_cast<double>(k)});
    }
    return p;
}

std::vector<int32_t> applied(const std::vector<int32_t>& list, const std::vector<int32_t>& order) {
    std::vector<int32_t> out(list.size());
    for (size_t k = 0; k < list.size(); ++k) out[order[k]] = list[k];
    return out;
}

// Winner of a group by the stated rule, not by the running-best loop: a NaN
// head keeps its group; otherwise the first of the lowest non-NaN scores.
int32_t groupWinner(const std::vector<double>& scores, const std::vector<int32_t>& ids, size_t head) {
    if (std::isnan(scores[ids[head]])) return ids[head];
    int32_t best = ids[head];
    for (size_t c = head + 1; c < head + 4; ++c) {
        const double s = scores[ids[c]];
        if (!std::isnan(s) && s < scores[best]) best = ids[c];
    }
    return best;
}

TEST(Selection, ShuffleTogetherKeepsRowsBesideTheirNetworks) {
    for (size_t n : {0u, 1u, 2u, 9u, 64u}) {
        Pool p = pool(std::vector<double>(n, 0.0));
        p.scores.push_back({-1.0, -1.0});  // a spare row stays last
        shuffleTogether(p.networks, p.scores);
        ASSERT_EQ(p.scores.size(), n + 1);
        EXPECT_EQ(p.scores.back()[1], -1.0);
        for (size_t k = 0; k < n; ++k) EXPECT_EQ(p.scores[k][1], p.networks[k].biases[0]);
    }
    Pool short_ = pool({1.0, 2.0, 3.0});
    short_.scores.pop_back();
    EXPECT_THROW(shuffleTogether(short_.networks, short_.scores), std::length_error);
    EXPECT_EQ(short_.networks[2].biases[0], 2.0);
}

// Both forms, copying winners out of the candidates or giving the candidates up
// (each winner moved out at its last use), against the rule on replayed shuffles.
TEST(Selection, TournamentsMatchTheRuleOnReplayedShuffles) {
    std::mt19937 source(3);
    const double values[] = {1.0, 2.0, 2.0, 3.0, kNaN, kInf, -kInf};
    std::uniform_int_distribution<int> pickValue(0, 6);
    for (int32_t m : {0, 1, 3, 4, 5, 7, 8, 12, 13, 40, 201}) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<double> scores(m);
            for (double& s : scores) s = values[pickValue(source)];
            Pool p = pool(scores);
            for (Network& network : p.networks) network.rng.discard(static_cast<unsigned long long>(network.biases[0]));
            const std::vector<Network> originals = p.networks;
            Pool given = p;

            const unsigned seed = source();
            std::srand(seed);
            const Selection copied = tournamentSelect(p.networks, p.scores);
            std::srand(seed);
            const Selection moved = tournamentSelect(std::move(given.networks), std::move(given.scores));
            const int next = std::rand();
            std::srand(seed);
            const std::vector<int32_t> first = shuffledIndices(m);
            const std::vector<int32_t> second = shuffledIndices(m);
            ASSERT_EQ(next, std::rand()) << "draws beyond the two shuffles";

            std::vector<int32_t> ids(m);
            for (int32_t k = 0; k < m; ++k) ids[k] = k;
            std::vector<int32_t> expected;
            ids = applied(ids, first);
            for (int32_t g = 0; g < m / 4; ++g) expected.push_back(groupWinner(scores, ids, 4 * g));
            ids = applied(ids, second);
            for (int32_t g = 0; g < m / 4; ++g) expected.push_back(groupWinner(scores, ids, 4 * g));

            for (const Selection* selected : {&copied, &moved}) {
                ASSERT_EQ(selected->networks.size(), expected.size());
                ASSERT_EQ(selected->scores.size(), expected.size());
                for (size_t i = 0; i < expected.size(); ++i) {
                    const Network& original = originals[expected[i]];
                    // Whole networks and rows: the engine state comes along.
                    ASSERT_TRUE(selected->networks[i].sameGenes(original)) << "winner " << i;
                    ASSERT_EQ(selected->scores[i].size(), 2u) << "winner " << i;
                    ASSERT_EQ(selected->scores[i][1], expected[i]) << "winner " << i;
                    ASSERT_TRUE(selected->networks[i].rng == original.rng) << "winner " << i;
                }
            }
            // The kept candidates are left in the second pass's order.
            for (int32_t k = 0; k < m; ++k) {
                ASSERT_EQ(p.scores[k][1], ids[k]);
                ASSERT_EQ(p.networks[k].biases[0], ids[k]);
            }
        }
    }
    Pool short_ = pool({1.0, 2.0, 3.0, 4.0});
    short_.scores.pop_back();
    EXPECT_THROW(tournamentSelect(std::move(short_.networks), std::move(short_.scores)), std::length_error);
}

TEST(Selection, BestIndexTakesTheFirstLowestFiniteScore) {
    const double max = std::numeric_limits<double>::max();
    EXPECT_EQ(bestIndex({{3.0}, {1.0}, {1.0}}), 1u);
    EXPECT_EQ(bestIndex({{kNaN}, {2.0, 0.0}, {kNaN}, {2.0}}), 1u);
    EXPECT_EQ(bestIndex({{5.0}, {-kInf}, {-kInf}}), 1u);
    EXPECT_EQ(bestIndex({{4.0}, {}, {3.0}}), 2u);  // a row without entries never qualifies
    EXPECT_FALSE(bestIndex({}).has_value());
    EXPECT_FALSE(bestIndex({{kNaN}, {kInf}, {max}}).has_value());
    EXPECT_EQ(bestIndex({{max}, {std::nextafter(max, 0.0)}}), 1u);
}

}  // namespace
}  // namespace kestrin
