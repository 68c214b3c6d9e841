// The scoring pool and the scorer that splits work over it: every index runs
// once, errors come back to the caller, and several threads give one thread's bits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

#include "test_support.h"
#include "training/evaluate.h"
#include "training/parallel_scorer.h"
#include "training/scoring_plan.h"
#include "training/thread_pool.h"

namespace kestrin {
namespace {

// Every bit, NaN payloads included: the threads run the same code on the same values.
bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Every bit but a NaN's: which operand's NaN an operation passes on may differ between kernels.
bool sameBitsButNaNs(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        if (!(std::isnan(a[k]) && std::isnan(b[k])) && std::memcmp(&a[k], &b[k], sizeof(double)) != 0) return false;
    }
    return true;
}

TEST(ThreadPool, RunsEveryParticipantOnceRunAfterRun) {
    ThreadPool pool(3);
    for (int round = 0; round < 200; ++round) {
        const int participants = 1 + round % 4;  // 4 is capped to 3
        std::vector<std::atomic<int>> seen(4);
        pool.run(participants, [&](int k) { seen[static_cast<size_t>(k)].fetch_add(1); });
        for (int k = 0; k < 4; ++k) EXPECT_EQ(seen[k].load(), k < std::min(participants, 3) ? 1 : 0) << round;
    }
}

TEST(ThreadPool, CarriesTheLowestParticipantsErrorToTheCallerAndStaysUsable) {
    ThreadPool pool(3);
    EXPECT_THROW(pool.run(3, [](int k) {
        if (k == 2) throw std::bad_alloc();
        if (k == 1) throw std::runtime_error("one");
    }), std::runtime_error);
    EXPECT_THROW(pool.run(3, [](int k) {
        if (k == 2) throw std::bad_alloc();
    }), std::bad_alloc);
    std::atomic<int> ran{0};
    pool.run(3, [&](int) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), 3);
}

struct Population {
    std::vector<Network> networks;
    SampleMatrix x, y;
};

// Varied graphs and sizes (some below and some above the compile threshold's needs),
// NaN and infinite inputs among ordinary ones.
Population population(uint32_t seed, int32_t rows) {
    std::mt19937 engine(seed);
    Population p;
    for (int i = 0; i < 24; ++i) {
        p.networks.push_back(randomNetwork(engine, 5, 3, 8 + 7 * (i % 6), 0.3 + 0.02 * i));
    }
    std::normal_distribution<double> normal(0.0, 2.0);
    p.x = sampleMatrix(rows, 6, [&](int32_t i, int32_t j) {
        return i == 7 && j == 1 ? std::numeric_limits<double>::infinity() : i == 11 && j == 0 ? NAN : normal(engine);
    });
    p.y = sampleMatrix(rows, 3, [&](int32_t, int32_t) { return normal(engine); });
    return p;
}

TEST(ParallelScorer, ScoresAPopulationWithOneScorersBits) {
    const std::vector<int32_t> ids = {kMse, kMae, kMape, 7};
    for (const int32_t rows : {1, 2, 40, 1000}) {
        Population p = population(11u + static_cast<uint32_t>(rows), rows);
        BatchScorer one;
        const ScoreRows expected = one.score(p.networks, p.x.view(), p.y.view(), ids);
        for (const int workers : {2, 3, 64}) {
            ParallelScorer scorer(workers);
            for (int repeat = 0; repeat < 2; ++repeat) {  // the second run reuses the started threads
                const ScoreRows got = scorer.score(p.networks, p.x.view(), p.y.view(), ids);
                ASSERT_EQ(got.size(), expected.size());
                for (size_t i = 0; i < got.size(); ++i) {
                    EXPECT_TRUE(sameBits(got[i], expected[i])) << rows << " rows, " << workers << " workers, network " << i;
                }
            }
        }
    }
}

TEST(ParallelScorer, SplitsOneNetworksSamplesWithOneScorersBits) {
    const std::vector<int32_t> ids = {kMse, kMae, kMape, -1};
    for (const int32_t rows : {2, 300, 1025, 5000}) {
        Population p = population(5u + static_cast<uint32_t>(rows), rows);
        for (size_t n = 0; n < p.networks.size(); n += 5) {
            Network& network = p.networks[n];
            BatchScorer one;
            const std::vector<double> score = one.score(network, p.x.view(), p.y.view(), ids);
            std::vector<double> predicted(static_cast<size_t>(rows) * 3);
            one.predict(network, p.x.view(), predicted.data());
            for (const int workers : {2, 5}) {
                ParallelScorer scorer(workers);
                EXPECT_TRUE(sameBits(scorer.score(network, p.x.view(), p.y.view(), ids), score)) << rows << " " << n;
                // Fewer target rows than samples: only the rows both sides have count.
                const SampleView shortY = p.y.view().slice(0, rows / 2 + 1);
                EXPECT_TRUE(sameBits(scorer.score(network, p.x.view(), shortY, ids),
                                     one.score(network, p.x.view(), shortY, ids)));
                std::vector<double> got(predicted.size());
                scorer.predict(network, p.x.view(), got.data());
                EXPECT_TRUE(sameBits(got, predicted)) << rows << " " << n;
            }
        }
    }
}

// The default scorer runs the widest kernel this CPU has; the narrower ones must agree with it.
TEST(ParallelScorer, EveryKernelGivesTheSameBits) {
    const std::vector<int32_t> ids = {kMse, kMae, kMape};
    for (const int32_t rows : {3, 4, 5, 9, 64, 100, 1000}) {
        Population p = population(23u + static_cast<uint32_t>(rows), rows);
        BatchScorer widest, avx2, baseline;
        avx2.useAtMostAvx2Instructions();
        baseline.useBaselineInstructions();
        const ScoreRows expected = baseline.score(p.networks, p.x.view(), p.y.view(), ids);
        for (BatchScorer* scorer : {&widest, &avx2}) {
            const ScoreRows got = scorer->score(p.networks, p.x.view(), p.y.view(), ids);
            for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(sameBitsButNaNs(got[i], expected[i])) << rows << " " << i;
        }
    }
}

TEST(ParallelScorer, RefusesNarrowSamplesAsOneScorerDoes) {
    Population p = population(3u, 2000);
    const SampleMatrix narrow = sampleMatrix(2000, 2, [](int32_t, int32_t) { return 1.0; });
    std::vector<double> out(2000 * 3);
    ParallelScorer scorer(2);
    EXPECT_THROW(scorer.predict(p.networks[0], narrow.view(), out.data()), std::invalid_argument);
    const std::vector<double> scores = scorer.score(p.networks[0], narrow.view(), p.y.view(), std::vector<int32_t>{kMse});
    ASSERT_EQ(scores.size(), 1u);
    EXPECT_TRUE(std::isnan(scores[0]));
}

}  // namespace
}  // namespace kestrin
