#include "training/evolve.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "evolution/alpha_strategy.h"
#include "evolution/mutation.h"
#include "evolution/ordering.h"
#include "network/memory.h"
#include "training/evaluate.h"
#include "training/gradient.h"
#include "training/parallel_scorer.h"
#include "training/progress.h"
#include "training/scoring_plan.h"

namespace kestrin {
namespace {

constexpr double kLargestFinite = std::numeric_limits<double>::max();
// How often keepGoing is asked while networks are being built.
constexpr std::chrono::milliseconds kPollInterval{100};

void checkEpochs(int epochs) {
    if (epochs < 0) throw std::invalid_argument("The number of epochs (" + std::to_string(epochs) + ") is negative.");
}

// The forward pass reads `inputs` values of every x row and evaluate reads one
// y row per x row and up to `outputs` values of each result.
void checkSamples(const Network& start, const SampleView& x, const SampleView& y, const char* what) {
    if (x.columns < start.inputs || y.columns > start.outputs || y.rows < x.rows) {
        throw std::invalid_argument(std::string("The ") + what + " samples do not fit the network.");
    }
}

// Bytes of one network of n nodes: weights, flag words and the per-node rows.
double networkBytes(int32_t n) {
    const double nodes = n;
    const double words = std::ceil(nodes / 64.0);
    return nodes * nodes * sizeof(double) + nodes * words * sizeof(uint64_t) +
           nodes * (3 * sizeof(double) + sizeof(int32_t));
}

std::string gibibytes(double bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
    return text;
}

// keepGoing, asked at most once per interval while a strategy builds networks.
class ThrottledPoll {
public:
    explicit ThrottledPoll(const KeepGoing& keepGoing) : keepGoing_(keepGoing) {}

    Poll poll() {
        if (!keepGoing_) return {};
        last_ = std::chrono::steady_clock::now();
        return [this] {
            const auto now = std::chrono::steady_clock::now();
            if (now - last_ < kPollInterval) return;
            last_ = now;
            if (!keepGoing_()) throw TrainingStopped{};
        };
    }

private:
    const KeepGoing& keepGoing_;
    std::chrono::steady_clock::time_point last_;
};

// Hands the strategy a refiner for the scope's lifetime: it refers to the loop's locals.
class RefinerScope {
public:
    RefinerScope(EvolutionStrategy& strategy, Refiner refiner) : strategy_(strategy) {
        strategy_.useRefiner(std::move(refiner));
    }
    ~RefinerScope() { strategy_.useRefiner({}); }
    RefinerScope(const RefinerScope&) = delete;
    RefinerScope& operator=(const RefinerScope&) = delete;

private:
    EvolutionStrategy& strategy_;
};

const char* lossName(int32_t id) { return id >= 0 && id < kLossCount ? kLossNames[static_cast<size_t>(id)] : "?"; }

std::shared_ptr<EvolutionStrategy> strategyOr(const std::shared_ptr<EvolutionStrategy>& given) {
    return given ? given : std::make_shared<AlphaStrategy>();
}

}  // namespace

std::vector<Network> initialPopulation(const Network& start, int popSize) {
    return AlphaStrategy().initialPopulation(start, popSize, {});
}

ScoreRows generationStep(std::vector<Network>& population, std::vector<double>&, const PopulationScorer& score) {
    return AlphaStrategy().step(population, score, {});
}

double peakPopulationBytes(const Network& start, int popSize, EvolutionLoop loop) {
    // Networks alive at the peak, per member, as measured: parents and children
    // with the scorer's working copies (2.5), or parents, children and the
    // copies handed to the scoring function (4); and the best copies.
    const double perMember = loop == EvolutionLoop::function ? 4.0 : 2.5;
    return (perMember * std::max(popSize, 0) + 4.0) * networkBytes(start.size);
}

void checkCanEvolve(const Network& start, int popSize, EvolutionLoop loop) {
    if (!Mutation::checkConnectivity(start)) throw brokenNetwork("The network to evolve breaks the connectivity rule");
    // Small populations are not checked.
    const double bytes = peakPopulationBytes(start, popSize, loop);
    if (bytes < 64.0 * 1024 * 1024) return;
    const double available = availableMemoryBytes();
    if (bytes > available) {
        throw std::length_error("A population of pop_size=" + std::to_string(popSize) + " networks of " +
                                std::to_string(start.size) + " nodes needs about " + gibibytes(bytes) +
                                ", more than the " + gibibytes(available) + " this process can obtain.");
    }
}

ScoreRows scoreOnBatch(BatchScorer& scorer, std::vector<Network>& networks, const SampleView& x,
                       const SampleView& y, const std::vector<int32_t>& ids) {
    return scorer.score(networks, x, y, ids);
}

ScoreRows scoreOnBatch(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                       const std::vector<int32_t>& ids) {
    return evaluate(networks, x, y, ids);
}

int32_t batchCount(int32_t samples, int32_t batchSize) {
    if (batchSize == -1) return samples > 0 ? 1 : 0;
    if (batchSize < 1) throw std::invalid_argument("The batch size must be -1 or at least 1.");
    return static_cast<int32_t>((static_cast<int64_t>(samples) + batchSize - 1) / batchSize);
}

std::optional<DatasetResult> evolveOnDataset(const Network& start, SampleMatrix x, SampleMatrix y,
                                             const std::optional<ValidationSet>& validation,
                                             const DatasetOptions& options, const KeepGoing& keepGoing) {
    checkPopulationSize(options.popSize);
    checkEpochs(options.epochs);
    if (x.rows() < 1) throw std::invalid_argument("The training set has no samples.");
    if (y.rows() != x.rows()) throw std::invalid_argument("The training inputs and targets differ in length.");
    if (options.metricIds.empty()) throw std::invalid_argument("No loss to evolve on.");
    checkSamples(start, x.view(), y.view(), "training");
    if (validation) checkSamples(start, validation->x, validation->y, "validation");
    std::vector<double> weights = options.sampleWeights;
    if (!weights.empty() && weights.size() != static_cast<size_t>(x.rows())) {
        throw std::invalid_argument("The sample weights differ in length from the training set.");
    }
    checkCanEvolve(start, options.popSize, EvolutionLoop::dataset);

    const std::vector<int32_t>& ids = options.metricIds;
    const int32_t n = x.rows();
    const int64_t batchSize = options.batchSize == -1 ? n : options.batchSize;
    const int32_t batches = batchCount(n, options.batchSize);

    const std::shared_ptr<EvolutionStrategy> strategy = strategyOr(options.strategy);
    ThrottledPoll throttled(keepGoing);
    try {
        std::vector<Network> population = strategy->initialPopulation(start, options.popSize, throttled.poll());
        DatasetResult result{population[0], {}};
        Network& best = result.best;
        // One scorer for the whole call: its threads, plans and tile buffers are reused by every batch.
        ParallelScorer scorer(options.workers);
        scorer.setPrecision(options.precision);
        // The batch being scored, for a strategy that refines by gradient.
        SampleView batchX, batchY;
        const RefinerScope refining(*strategy, [&](std::vector<Network>& networks, const RefineRequest& request) {
            if (!GradientPass::supports(ids[0])) {
                throw std::invalid_argument(std::string("The loss '") + lossName(ids[0]) +
                                            "' has no derivative to refine by.");
            }
            scorer.refine(networks, batchX, batchY, ids[0], request.steps, request.rate,
                          request.lbfgs ? RefineMethod::kLbfgs : RefineMethod::kAdam);
        });

        for (int epoch = 0; epoch < options.epochs; ++epoch) {
            if (options.epochBegin) options.epochBegin(epoch);
            const SteadyTime epochStart = std::chrono::steady_clock::now();
            if (batches >= 2) {
                const std::vector<int32_t> order = shuffledIndices(n);
                x.reorderRows(order);
                y.reorderRows(order);
                reorder(weights, order);
            }
            std::vector<double> losses(ids.size(), 0.0);
            double sizes = 0.0;

            for (int32_t batch = 0; batch < batches; ++batch) {
                if (keepGoing && !keepGoing()) return std::nullopt;
                if (options.batchBegin) options.batchBegin(batch);
                const int64_t first = batch * batchSize;
                const auto count = static_cast<int32_t>(std::min<int64_t>(batchSize, n - first));
                batchX = x.view().slice(static_cast<int32_t>(first), count);
                batchY = y.view().weighted(weights.empty() ? nullptr : weights.data()).slice(static_cast<int32_t>(first), count);

                const ScoreRows scores = strategy->step(
                    population,
                    [&](std::vector<Network>& networks) { return scorer.score(networks, batchX, batchY, ids); },
                    throttled.poll());
                // With no qualifying row (all NaN or infinite) the best stays, and the
                // first row still enters the means so the epoch shows what happened.
                const std::optional<size_t> found = bestIndex(scores);
                if (found) best = population[*found];
                const std::vector<double>& row = scores[found.value_or(0)];

                sizes += best.size;
                for (size_t k = 0; k < losses.size() && k < row.size(); ++k) losses[k] += row[k];
                if (options.batchEnd) {
                    std::vector<double> means = losses;
                    for (double& value : means) value /= batch + 1;
                    options.batchEnd(batch, means, best.size);
                }
                if (batch < batches - 1) {
                    printUpdate(options.verbose, options.monitorIds, static_cast<int>(sizes / (batch + 1)), ids,
                                epochStart, epoch, options.epochs, batch, batches, losses, false, {});
                }
            }

            DatasetEpoch record;
            if (validation) record.validation = scorer.score(best, validation->x, validation->y, ids);
            printUpdate(options.verbose, options.monitorIds, best.size, ids, epochStart, epoch, options.epochs,
                        batches - 1, batches, losses, validation.has_value(), record.validation);
            record.losses = std::move(losses);
            for (double& value : record.losses) value /= batches;
            record.size = best.size;
            result.epochs.push_back(std::move(record));
            if (options.epochEnd && options.epochEnd(epoch, result.epochs.back(), best)) break;
        }
        return result;
    } catch (const TrainingStopped&) {
        return std::nullopt;
    }
}

std::optional<FunctionResult> evolveOnFunction(const Network& start, const FunctionOptions& options,
                                               const KeepGoing& keepGoing, const PopulationScorer& score,
                                               const NetworkScorer& validate) {
    checkPopulationSize(options.popSize);
    checkEpochs(options.epochs);
    checkCanEvolve(start, options.popSize, EvolutionLoop::function);

    const std::shared_ptr<EvolutionStrategy> strategy = strategyOr(options.strategy);
    ThrottledPoll throttled(keepGoing);
    try {
        std::vector<Network> population = strategy->initialPopulation(start, options.popSize, throttled.poll());
        FunctionResult result{population[0], {}};
        Network& best = result.best;

        for (int epoch = 0; epoch < options.epochs; ++epoch) {
            if (keepGoing && !keepGoing()) return std::nullopt;
            if (options.epochBegin) options.epochBegin(epoch);
            const SteadyTime epochStart = std::chrono::steady_clock::now();

            const ScoreRows scores = strategy->step(population, score, throttled.poll());
            FunctionEpoch record;
            record.loss = kLargestFinite;
            if (const std::optional<size_t> found = bestIndex(scores)) {
                best = population[*found];
                record.loss = scores[*found][0];
            }
            if (validate) record.validation = validate(best);
            printUpdate_func(options.verbose, options.monitorIds, best.size, epochStart, epoch, options.epochs,
                             record.loss, static_cast<bool>(validate), record.validation);
            record.size = best.size;
            result.epochs.push_back(record);
            if (options.epochEnd && options.epochEnd(epoch, result.epochs.back(), best)) break;
        }
        return result;
    } catch (const TrainingStopped&) {
        return std::nullopt;
    }
}

}  // namespace kestrin
