// Resuming from a backup: the file keeps every field and refuses damage, the
// random streams and each strategy's state come back, and a loop resumed from
// any epoch's backup ends exactly as the run that was never interrupted.
#include "training/run_backup.h"

#include <gtest/gtest.h>

#include <optional>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "evolution/alpha_strategy.h"
#include "evolution/beta_strategy.h"
#include "network/file_error.h"
#include "network/network_bytes.h"
#include "network/random.h"
#include "test_support.h"
#include "training/backup_writer.h"
#include "training/evaluate.h"
#include "training/evolve.h"

namespace kestrin {
namespace {

ScoreRows distanceFromTarget(std::vector<Network>& networks) {
    ScoreRows rows;
    for (Network& network : networks) {
        const std::vector<double> input(static_cast<size_t>(network.inputs), 0.5);
        std::vector<double> output(static_cast<size_t>(network.outputs), 0.0);
        network.activate(input.data(), output.data());
        rows.push_back({(output[0] - 0.3) * (output[0] - 0.3)});
    }
    return rows;
}

std::shared_ptr<EvolutionStrategy> strategyNamed(bool beta) {
    if (beta) return std::make_shared<BetaStrategy>();
    return std::make_shared<AlphaStrategy>();
}

RunState sampleState() {
    setRandomSeed(5);
    RunState state;
    state.identity = {{"pop_size", "4"}, {"loss", "mse"}};
    state.epoch = 3;
    for (int m = 0; m < 4; ++m) state.population.push_back(denseNetwork(2, 1, 4));
    state.population[1].rng();  // one engine that drew
    state.scores = {{0.5, 1.0}, {0.25}, {}, {1e300}};
    state.strategyState = {4, 0.5, -0.0};
    state.randomStreams = savedRandomStreams();
    state.best = state.population[2];
    state.rowOrder = {2, 0, 1};
    state.history = {{1.0, 2.0, 3}, {0.5, 1.5, 4}};
    state.callerState = std::string("\0pickled", 8);
    return state;
}

TEST(RunBackupFile, KeepsEveryFieldAndRefusesDamage) {
    const RunState state = sampleState();
    const std::string bytes = encodeRunState(state);
    const RunState back = decodeRunState(bytes, "backup");
    EXPECT_EQ(back.identity, state.identity);
    EXPECT_EQ(back.epoch, state.epoch);
    ASSERT_EQ(back.population.size(), state.population.size());
    for (size_t m = 0; m < state.population.size(); ++m) {
        EXPECT_TRUE(back.population[m].sameGenes(state.population[m]));
        EXPECT_TRUE(back.population[m].rng == state.population[m].rng) << m;
    }
    EXPECT_EQ(back.scores, state.scores);
    EXPECT_EQ(back.strategyState, state.strategyState);
    EXPECT_EQ(back.randomStreams, state.randomStreams);
    EXPECT_TRUE(back.best.sameGenes(state.best));
    EXPECT_EQ(back.rowOrder, state.rowOrder);
    EXPECT_EQ(back.history, state.history);
    EXPECT_EQ(back.callerState, state.callerState);

    for (size_t cut : {size_t{0}, size_t{7}, bytes.size() / 2, bytes.size() - 1}) {
        EXPECT_THROW(decodeRunState(bytes.substr(0, cut), "backup"), FileFormatError) << cut;
    }
    for (size_t at : {size_t{3}, size_t{12}, bytes.size() / 3, bytes.size() - 3}) {
        std::string flipped = bytes;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
        EXPECT_THROW(decodeRunState(flipped, "backup"), FileFormatError) << at;
    }
}

TEST(BackupWriter, LeavesTheNewestBackupAndHoldsErrorsForFinish) {
    const std::string path = ::testing::TempDir() + "writer.backup";
    RunState state = sampleState();
    {
        BackupWriter writer(path);
        for (int32_t epoch = 0; epoch < 20; ++epoch) {
            state.epoch = epoch;
            writer.submit(state);
        }
        writer.finish();
        EXPECT_EQ(loadRunState(path).epoch, 19);
    }
    std::remove(path.c_str());
    BackupWriter broken(::testing::TempDir() + "no-such-folder/writer.backup");
    broken.submit(state);
    EXPECT_THROW(broken.finish(), std::system_error);
    broken.finish();  // thrown once
}

TEST(RandomStreams, RestoredStreamsDrawWhatTheSavedOnesWould) {
    setRandomSeed(11);
    randomUniform();
    libcRand();
    deviceSeed();
    const std::string saved = savedRandomStreams();
    std::vector<double> expected;
    for (int k = 0; k < 5; ++k) expected.insert(expected.end(), {randomUniform(), double(libcRand()), double(deviceSeed())});

    setRandomSeed(99);  // anything drawn meanwhile, under any seed, does not count
    randomNormal(1.0);
    libcRand();
    restoreRandomStreams(saved);
    std::vector<double> drawn;
    for (int k = 0; k < 5; ++k) drawn.insert(drawn.end(), {randomUniform(), double(libcRand()), double(deviceSeed())});
    EXPECT_EQ(drawn, expected);
    EXPECT_THROW(restoreRandomStreams(saved.substr(0, saved.size() / 2)), std::invalid_argument);
    EXPECT_THROW(restoreRandomStreams("nonsense"), std::invalid_argument);
}

// Each loop is run whole, and again from the backup of every epoch, through
// the file's encoding, after other draws under another seed; saving draws nothing.
class ResumedLoop : public ::testing::TestWithParam<bool> {};

TEST_P(ResumedLoop, DatasetLoopEndsAsTheUninterruptedRun) {
    const bool beta = GetParam();
    const SampleMatrix x = sampleMatrix(30, 2, [](int i, int j) { return (i + 1) * (j + 2) / 30.0; });
    const SampleMatrix y = sampleMatrix(30, 1, [](int i, int) { return (i % 4) / 4.0; });
    const ValidationSet validation{x.view(), y.view()};
    const auto run = [&](const RunState* resume, std::vector<std::string>* saved) {
        DatasetOptions options;
        options.popSize = 12;
        options.batchSize = 8;
        options.epochs = 5;
        options.verbose = 0;
        options.metricIds = {kMse, kMae};
        options.strategy = strategyNamed(beta);
        options.resume = resume;
        if (saved) options.saveState = [&](const RunStateView& state) { saved->push_back(encodeRunState(state)); };
        return evolveOnDataset(denseNetwork(2, 1, 4), x, y, validation, options, {});
    };
    setRandomSeed(3);
    std::vector<std::string> saved;
    const std::optional<DatasetResult> whole = run(nullptr, &saved);
    ASSERT_TRUE(whole.has_value());
    ASSERT_EQ(saved.size(), 5u);
    setRandomSeed(3);  // saving changes nothing
    EXPECT_EQ(encodeNetwork(run(nullptr, nullptr)->best), encodeNetwork(whole->best));
    for (size_t e = 0; e < saved.size(); ++e) {
        setRandomSeed(100 + e);
        const RunState state = decodeRunState(saved[e], "backup");
        const std::optional<DatasetResult> resumed = run(&state, nullptr);
        ASSERT_TRUE(resumed.has_value());
        EXPECT_EQ(encodeNetwork(resumed->best), encodeNetwork(whole->best)) << e;
        ASSERT_EQ(resumed->epochs.size(), whole->epochs.size());
        for (size_t k = 0; k < whole->epochs.size(); ++k) {
            EXPECT_EQ(resumed->epochs[k].losses, whole->epochs[k].losses) << e << " " << k;
            EXPECT_EQ(resumed->epochs[k].validation, whole->epochs[k].validation) << e << " " << k;
        }
    }
}

TEST_P(ResumedLoop, FunctionLoopEndsAsTheUninterruptedRun) {
    const bool beta = GetParam();
    const auto run = [&](const RunState* resume, std::vector<std::string>* saved, int saveEvery) {
        FunctionOptions options;
        options.popSize = 10;
        options.epochs = 6;
        options.verbose = 0;
        options.strategy = strategyNamed(beta);
        options.resume = resume;
        options.saveEvery = saveEvery;
        if (saved) options.saveState = [&](const RunStateView& state) { saved->push_back(encodeRunState(state)); };
        return evolveOnFunction(denseNetwork(1, 1, 3), options, {}, distanceFromTarget, {});
    };
    setRandomSeed(4);
    std::vector<std::string> saved;
    const std::optional<FunctionResult> whole = run(nullptr, &saved, 2);
    ASSERT_TRUE(whole.has_value());
    ASSERT_EQ(saved.size(), 3u);  // after epochs 1, 3 and 5
    for (const std::string& bytes : saved) {
        setRandomSeed(77);
        const RunState state = decodeRunState(bytes, "backup");
        const std::optional<FunctionResult> resumed = run(&state, nullptr, 2);
        ASSERT_TRUE(resumed.has_value());
        EXPECT_EQ(encodeNetwork(resumed->best), encodeNetwork(whole->best)) << state.epoch;
        ASSERT_EQ(resumed->epochs.size(), whole->epochs.size());
        for (size_t k = 0; k < whole->epochs.size(); ++k) EXPECT_EQ(resumed->epochs[k].loss, whole->epochs[k].loss);
    }
}

INSTANTIATE_TEST_SUITE_P(AlphaAndBeta, ResumedLoop, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "beta" : "alpha"; });

TEST(ResumedLoop, RefusesABackupOfAnotherCall) {
    setRandomSeed(6);
    RunState state;
    FunctionOptions options;
    options.popSize = 4;
    options.epochs = 2;
    options.verbose = 0;
    options.saveState = [&](const RunStateView& saved) { state = decodeRunState(encodeRunState(saved), "backup"); };
    ASSERT_TRUE(evolveOnFunction(denseNetwork(1, 1, 3), options, {}, distanceFromTarget, {}).has_value());
    options.saveState = {};
    options.resume = &state;
    options.popSize = 6;
    EXPECT_THROW(evolveOnFunction(denseNetwork(1, 1, 3), options, {}, distanceFromTarget, {}), std::invalid_argument);
    options.popSize = 4;
    options.strategy = std::make_shared<BetaStrategy>();  // alpha saved no state for beta to take
    EXPECT_THROW(evolveOnFunction(denseNetwork(1, 1, 3), options, {}, distanceFromTarget, {}), std::invalid_argument);
}

TEST(InitialEpoch, CountsFromThereAndRunsTheRest) {
    FunctionOptions options;
    options.popSize = 4;
    options.epochs = 5;
    options.verbose = 0;
    options.initialEpoch = 3;
    std::vector<int> seen;
    options.epochBegin = [&](int epoch) { seen.push_back(epoch); };
    const auto result = evolveOnFunction(denseNetwork(1, 1, 3), options, {}, distanceFromTarget, {});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(seen, (std::vector<int>{3, 4}));
    EXPECT_EQ(result->epochs.size(), 2u);
    options.initialEpoch = -1;
    EXPECT_THROW(evolveOnFunction(denseNetwork(1, 1, 3), options, {}, distanceFromTarget, {}), std::invalid_argument);
}

}  // namespace
}  // namespace kestrin
