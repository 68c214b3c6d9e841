// The two evolution loops: on a labelled dataset in mini-batches, and against a
// scoring function supplied by the caller (a Python fitness function in the
// module). Both grow a population from a starting network through an
// evolution strategy (evolution/strategy.h; "alpha" unless the options name
// another) and run one strategy step per batch or epoch.
//
// The loops work on their own copies and hand back the best network when they
// complete; the caller replaces its network only then. They call back for
// anything outside the core: `keepGoing` at every boundary where training may
// stop (returning false ends the loop with no result), and also every 100 ms
// or so while a population or its children are being built; the scorers; and
// the epoch hooks of the options. An exception thrown by a callback leaves
// through the loop unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "evolution/selection.h"
#include "evolution/strategy.h"
#include "network/network.h"
#include "training/precision.h"
#include "training/run_backup.h"
#include "training/sample_matrix.h"

namespace kestrin {

class BatchScorer;
struct DatasetEpoch;
struct FunctionEpoch;

using KeepGoing = std::function<bool()>;
using NetworkScorer = std::function<double(const Network& network)>;

// The steps of the "alpha" strategy, for callers that drive generations
// themselves (the benchmark, tests). Member 0 a copy of start, the others
// mutated copies; popSize must be even and >= 2.
std::vector<Network> initialPopulation(const Network& start, int popSize);
// One generation step. Replaces population by the survivors of the step and
// returns their score rows. zeroFitness holds one 0.0 per member.
ScoreRows generationStep(std::vector<Network>& population, std::vector<double>& zeroFitness,
                         const PopulationScorer& score);

// Which loop a population is for: the function loop also hands a copy of
// every candidate to the scoring function, so twice as many networks exist at
// its peak.
enum class EvolutionLoop { dataset, function };

// The bytes a training call's networks take at their peak.
double peakPopulationBytes(const Network& start, int popSize, EvolutionLoop loop);

// Refuses, before anything is built, a start network that breaks the
// connectivity rule (BrokenNetworkError) and a population that cannot fit in
// the memory this process can obtain (std::length_error naming the population
// size and the node count).
void checkCanEvolve(const Network& start, int popSize, EvolutionLoop loop);

// The scoring of the dataset loop: evaluate, through the given scorer so that
// its buffers are reused from batch to batch (or a scorer of its own).
ScoreRows scoreOnBatch(BatchScorer& scorer, std::vector<Network>& networks, const SampleView& x,
                       const SampleView& y, const std::vector<int32_t>& ids);
ScoreRows scoreOnBatch(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                       const std::vector<int32_t>& ids);

// ceil(samples / batchSize) in integers; batchSize -1 means one batch.
int32_t batchCount(int32_t samples, int32_t batchSize);

struct DatasetOptions {
    int popSize = 100;
    int batchSize = -1;  // -1: the whole training set
    int epochs = 100;
    int verbose = 1;
    std::vector<int32_t> metricIds;  // the loss first; never empty
    std::vector<int32_t> monitorIds;
    std::shared_ptr<EvolutionStrategy> strategy;  // null: a new AlphaStrategy
    // Before each epoch, and after each epoch once its record is complete;
    // epochEnd returning true ends the loop there, as if it had completed.
    std::function<void(int epoch)> epochBegin;
    std::function<bool(int epoch, const DatasetEpoch& record, const Network& best)> epochEnd;
    // Around every mini-batch; batchEnd receives the epoch's running means so far
    // (per metric id, over its batches up to this one) and the best's node count.
    std::function<void(int batch)> batchBegin;
    std::function<void(int batch, const std::vector<double>& runningMeans, int32_t size)> batchEnd;
    int workers = 1;  // threads that score; any count gives the same bits
    Precision precision = Precision::kFloat64;  // of the scores (refinement stays float64)
    // One weight per training sample, shuffled with it; empty: all weigh the same.
    std::vector<double> sampleWeights;
    // The first epoch to run (Keras's initial_epoch): epoch numbers start there.
    int initialEpoch = 0;
    // A backup to continue from, after its epoch, with its population, strategy
    // state, random streams, best network and history (std::invalid_argument
    // when it does not fit the call). initialEpoch does not count then.
    const RunState* resume = nullptr;
    // Called after every epoch e with (e + 1) % saveEvery == 0, once epochEnd
    // ran, with the state to back up (identity and callerState left empty);
    // the view is valid during the call only.
    int saveEvery = 1;
    std::function<void(const RunStateView& state)> saveState;
};

struct ValidationSet {
    SampleView x;
    SampleView y;  // with weights or without
};

struct DatasetEpoch {
    std::vector<double> losses;      // per metric id: mean over the batches of the best's batch score
    std::vector<double> validation;  // per metric id, empty without validation
    int32_t size = 0;                // node count of the best network at the end of the epoch
    int64_t gradientPasses = 0;      // the call's refining so far, this epoch included
};

struct DatasetResult {
    Network best;
    std::vector<DatasetEpoch> epochs;
    int64_t gradientPasses = 0;  // loss-and-gradient passes the strategy's refining spent
};

// x and y are the call's own copies: their rows are shuffled between epochs.
// Needs x.rows() >= 1, y.rows() == x.rows(), y.columns() <= start.outputs.
std::optional<DatasetResult> evolveOnDataset(const Network& start, SampleMatrix x, SampleMatrix y,
                                             const std::optional<ValidationSet>& validation,
                                             const DatasetOptions& options, const KeepGoing& keepGoing);

struct FunctionOptions {
    int popSize = 100;
    int epochs = 100;
    int verbose = 1;
    std::vector<int32_t> monitorIds;
    std::shared_ptr<EvolutionStrategy> strategy;  // null: a new AlphaStrategy
    std::function<void(int epoch)> epochBegin;
    std::function<bool(int epoch, const FunctionEpoch& record, const Network& best)> epochEnd;
    // The first epoch to run (Keras's initial_epoch): epoch numbers start there.
    int initialEpoch = 0;
    // A backup to continue from, after its epoch, with its population, strategy
    // state, random streams, best network and history (std::invalid_argument
    // when it does not fit the call). initialEpoch does not count then.
    const RunState* resume = nullptr;
    // Called after every epoch e with (e + 1) % saveEvery == 0, once epochEnd
    // ran, with the state to back up (identity and callerState left empty);
    // the view is valid during the call only.
    int saveEvery = 1;
    std::function<void(const RunStateView& state)> saveState;
};

struct FunctionEpoch {
    double loss = 0.0;  // the best member's loss; the largest finite double when none qualifies
    double validation = 0.0;
    int32_t size = 0;
};

struct FunctionResult {
    Network best;
    std::vector<FunctionEpoch> epochs;
};

// score receives the 2 * popSize candidates once per epoch; validate (optional)
// receives the best network after each epoch.
std::optional<FunctionResult> evolveOnFunction(const Network& start, const FunctionOptions& options,
                                               const KeepGoing& keepGoing, const PopulationScorer& score,
                                               const NetworkScorer& validate);

}  // namespace kestrin
