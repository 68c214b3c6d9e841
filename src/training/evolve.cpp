#include "training/evolve.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <utility>

#include "evolution/crossover.h"
#include "evolution/mutation.h"
#include "evolution/ordering.h"
#include "training/evaluate.h"
#include "training/parallel_scorer.h"
#include "training/progress.h"
#include "training/scoring_plan.h"

namespace kestrin {
namespace {

constexpr double kLargestFinite = std::numeric_limits<double>::max();

const char* const kConnectivityRule =
    " (every node but the outputs needs an outgoing connection and every node but the inputs an incoming one;"
    " a damaged network, or one without inputs or outputs, cannot evolve).";

// The operators report a broken network with an empty std::invalid_argument;
// give it a message that says which step found it.
template <typename Step>
void runOperator(const char* what, Step&& step) {
    try {
        step();
    } catch (const std::invalid_argument&) {
        throw BrokenNetworkError(std::string(what) + kConnectivityRule);
    }
}

void mutateAll(std::vector<Network>& networks, size_t first) {
    runOperator("Mutation met a network that breaks the connectivity rule", [&] {
        for (size_t i = first; i < networks.size(); ++i) Mutation::mutate(networks[i]);
    });
}

void checkPopulationSize(int popSize) {
    if (popSize < 2 || popSize % 2 != 0) {
        throw std::invalid_argument("The population size (" + std::to_string(popSize) +
                                    ") must be an even number of at least 2.");
    }
}

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

void checkScores(const ScoreRows& scores, size_t networks) {
    if (scores.size() < networks) {
        throw std::invalid_argument("Expected " + std::to_string(networks) + " score rows, got " +
                                    std::to_string(scores.size()) + ".");
    }
    for (size_t i = 0; i < networks; ++i) {
        if (scores[i].empty()) throw std::invalid_argument("Score row " + std::to_string(i) + " is empty.");
    }
}

}  // namespace

std::vector<Network> initialPopulation(const Network& start, int popSize) {
    checkPopulationSize(popSize);
    std::vector<Network> population;
    population.reserve(static_cast<size_t>(popSize));
    for (int i = 0; i < popSize; ++i) population.push_back(Network::copy(start));
    mutateAll(population, 1);
    return population;
}

ScoreRows generationStep(std::vector<Network>& population, std::vector<double>& zeroFitness,
                         const PopulationScorer& score) {
    std::vector<Network> children;
    runOperator("Crossover produced a network that breaks the connectivity rule",
                [&] { children = Crossover::crossover(population, zeroFitness); });
    mutateAll(children, 0);
    if (children.size() != population.size()) {
        throw std::logic_error("Crossover returned " + std::to_string(children.size()) + " children for " +
                               std::to_string(population.size()) + " members.");
    }

    // The population is replaced by the survivors, so its members can move.
    std::vector<Network> combined;
    combined.reserve(2 * population.size());
    for (size_t i = 0; i < population.size(); ++i) {
        combined.push_back(std::move(population[i]));
        combined.push_back(std::move(children[i]));
    }

    ScoreRows scores = score(combined);
    checkScores(scores, combined.size());
    // Rows beyond the candidates would be shuffled by a permutation too short for them.
    scores.resize(combined.size());

    Selection selected = tournamentSelect(std::move(combined), std::move(scores));
    population = std::move(selected.networks);
    return std::move(selected.scores);
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

    const std::vector<int32_t>& ids = options.metricIds;
    const int32_t n = x.rows();
    const int64_t batchSize = options.batchSize == -1 ? n : options.batchSize;
    const int32_t batches = batchCount(n, options.batchSize);

    std::vector<Network> population = initialPopulation(start, options.popSize);
    std::vector<double> zeroFitness(static_cast<size_t>(options.popSize), 0.0);
    DatasetResult result{population[0], {}};
    Network& best = result.best;
    // One scorer for the whole call: its threads, plans and tile buffers are reused by every batch.
    ParallelScorer scorer(options.workers);

    for (int epoch = 0; epoch < options.epochs; ++epoch) {
        const SteadyTime epochStart = std::chrono::steady_clock::now();
        if (batches >= 2) {
            const std::vector<int32_t> order = shuffledIndices(n);
            x.reorderRows(order);
            y.reorderRows(order);
        }
        std::vector<double> losses(ids.size(), 0.0);
        double sizes = 0.0;

        for (int32_t batch = 0; batch < batches; ++batch) {
            if (keepGoing && !keepGoing()) return std::nullopt;
            const int64_t first = batch * batchSize;
            const auto count = static_cast<int32_t>(std::min<int64_t>(batchSize, n - first));
            const SampleView batchX = x.view().slice(static_cast<int32_t>(first), count);
            const SampleView batchY = y.view().slice(static_cast<int32_t>(first), count);

            const ScoreRows scores = generationStep(population, zeroFitness, [&](std::vector<Network>& networks) {
                return scorer.score(networks, batchX, batchY, ids);
            });
            // With no qualifying row (all NaN or infinite) the best stays, and the
            // first row still enters the means so the epoch shows what happened.
            const std::optional<size_t> found = bestIndex(scores);
            if (found) best = population[*found];
            const std::vector<double>& row = scores[found.value_or(0)];

            sizes += best.size;
            for (size_t k = 0; k < losses.size() && k < row.size(); ++k) losses[k] += row[k];
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
    }
    return result;
}

std::optional<FunctionResult> evolveOnFunction(const Network& start, const FunctionOptions& options,
                                               const KeepGoing& keepGoing, const PopulationScorer& score,
                                               const NetworkScorer& validate) {
    checkPopulationSize(options.popSize);
    checkEpochs(options.epochs);

    std::vector<Network> population = initialPopulation(start, options.popSize);
    std::vector<double> zeroFitness(static_cast<size_t>(options.popSize), 0.0);
    FunctionResult result{population[0], {}};
    Network& best = result.best;

    for (int epoch = 0; epoch < options.epochs; ++epoch) {
        if (keepGoing && !keepGoing()) return std::nullopt;
        const SteadyTime epochStart = std::chrono::steady_clock::now();

        const ScoreRows scores = generationStep(population, zeroFitness, score);
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
    }
    return result;
}

}  // namespace kestrin
