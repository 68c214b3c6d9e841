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
#include "network/random.h"
#include "training/evaluate.h"
#include "training/gradient.h"
#include "training/held_out_rows.h"
#include "training/parallel_scorer.h"
#include "training/progress.h"
#include "training/scoring_plan.h"

namespace kestrin {
namespace {

constexpr double kLargestFinite = std::numeric_limits<double>::max();
// How often keepGoing is asked while networks are being built.
constexpr std::chrono::milliseconds kPollInterval{100};

void checkEpochs(int epochs, int initialEpoch) {
    if (epochs < 0) throw std::invalid_argument("The number of epochs (" + std::to_string(epochs) + ") is negative.");
    if (initialEpoch < 0) {
        throw std::invalid_argument("The initial epoch (" + std::to_string(initialEpoch) + ") is negative.");
    }
}

[[noreturn]] void refuseBackup(const std::string& defect) {
    throw std::invalid_argument("The backup does not fit this call: " + defect + ".");
}

// The members, the strategy's state and the best of a backup, after the
// strategy built its own first population (restoreState expects one).
void resumeMembers(const RunState& resume, const Network& start, int popSize, EvolutionStrategy& strategy,
                   std::vector<Network>& population, Network& best) {
    if (resume.population.size() != static_cast<size_t>(popSize)) {
        refuseBackup("it holds " + std::to_string(resume.population.size()) + " members, not pop_size=" +
                     std::to_string(popSize));
    }
    for (const Network& member : resume.population) {
        if (member.inputs != start.inputs || member.outputs != start.outputs) {
            refuseBackup("its networks have other inputs or outputs");
        }
    }
    if (resume.best.inputs != start.inputs || resume.best.outputs != start.outputs) {
        refuseBackup("its best network has other inputs or outputs");
    }
    strategy.restoreState(resume.strategyState);
    population = resume.population;
    best = resume.best;
}

bool saveDue(const std::function<void(const RunStateView&)>& save, int every, int epoch) {
    return save && every > 0 && (epoch + 1) % every == 0;
}

// A dataset epoch as a history row: the losses, the validation values, the size.
std::vector<double> historyRow(const DatasetEpoch& epoch) {
    std::vector<double> row = epoch.losses;
    row.insert(row.end(), epoch.validation.begin(), epoch.validation.end());
    row.push_back(epoch.size);
    return row;
}

DatasetEpoch datasetEpoch(const std::vector<double>& row, size_t metrics, bool validated) {
    const size_t width = metrics * (validated ? 2 : 1) + 1;
    if (row.size() != width) refuseBackup("its history has rows of " + std::to_string(row.size()) + " values, not " +
                                          std::to_string(width));
    DatasetEpoch epoch;
    const auto at = [&](size_t k) { return row.begin() + static_cast<std::ptrdiff_t>(k); };
    epoch.losses.assign(at(0), at(metrics));
    if (validated) epoch.validation.assign(at(metrics), at(2 * metrics));
    epoch.size = static_cast<int32_t>(row.back());
    return epoch;
}

std::vector<double> historyRow(const FunctionEpoch& epoch) { return {epoch.loss, epoch.validation, double(epoch.size)}; }

FunctionEpoch functionEpoch(const std::vector<double>& row) {
    if (row.size() != 3) refuseBackup("its history has rows of " + std::to_string(row.size()) + " values, not 3");
    return FunctionEpoch{row[0], row[1], static_cast<int32_t>(row[2])};
}

// Hands the loop's state to save as it is, with what only exists on demand:
// the strategy's state, the random streams and the history rows. Nothing
// here draws (a default-made Network would: a backup must not change the run).
template <typename Epoch>
void saveAt(const std::function<void(const RunStateView&)>& save, int epoch, const std::vector<Network>& population,
            const ScoreRows& scores, const EvolutionStrategy& strategy, const Network& best,
            const std::vector<int32_t>& rowOrder, const std::vector<Epoch>& epochs) {
    static const std::vector<std::pair<std::string, std::string>> noIdentity;
    static const std::string noCallerState;
    const std::vector<double> strategyState = strategy.savedState();
    const std::string streams = savedRandomStreams();
    std::vector<std::vector<double>> history;
    history.reserve(epochs.size());
    for (const Epoch& done : epochs) history.push_back(historyRow(done));
    save(RunStateView{noIdentity, epoch, population, scores, strategyState, streams, best, rowOrder, history,
                      noCallerState});
}

// The order that moves original row k to where the backup's order has it.
std::vector<int32_t> placing(const std::vector<int32_t>& rowOrder, int32_t n) {
    if (rowOrder.size() != static_cast<size_t>(n)) {
        refuseBackup("its order of the training rows is for " + std::to_string(rowOrder.size()) + " rows, not " +
                     std::to_string(n));
    }
    std::vector<int32_t> order(static_cast<size_t>(n), -1);
    for (int32_t position = 0; position < n; ++position) {
        const int32_t original = rowOrder[static_cast<size_t>(position)];
        if (original < 0 || original >= n || order[static_cast<size_t>(original)] != -1) {
            refuseBackup("its order of the training rows is no permutation");
        }
        order[static_cast<size_t>(original)] = position;
    }
    return order;
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
    checkEpochs(options.epochs, options.initialEpoch);
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
        // One scorer for the whole call: its threads, plans and tile buffers are reused by every batch.
        ParallelScorer scorer(options.workers);
        scorer.setPrecision(options.precision);
        // The batch being scored, for a strategy that refines by gradient.
        SampleView batchX, batchY;
        HeldOutRows heldOut;
        DatasetResult result{start, {}};
        // Handed before the first population, which a strategy may shape for the gradient steps to come.
        const RefinerScope refining(*strategy, [&](std::vector<Network>& networks, const RefineRequest& request) {
            if (!GradientPass::supports(ids[0])) {
                throw std::invalid_argument(std::string("The loss '") + lossName(ids[0]) +
                                            "' has no derivative to refine by.");
            }
            RefineOptions refine{request.steps, request.rate,
                                 request.lbfgs ? RefineMethod::kLbfgs : RefineMethod::kAdam, request.maxPasses,
                                 request.decay};
            refine.patience = request.patience;
            if (request.holdOut && heldOut.split(batchX, batchY)) {
                const SampleView fitX = heldOut.fitX(), fitY = heldOut.fitY();
                const SampleView heldX = heldOut.heldX(), heldY = heldOut.heldY();
                refine.heldX = &heldX;
                refine.heldY = &heldY;
                result.gradientPasses += scorer.refine(networks, fitX, fitY, ids[0], refine);
                return true;
            }
            result.gradientPasses += scorer.refine(networks, batchX, batchY, ids[0], refine);
            return false;
        });
        std::vector<Network> population = strategy->initialPopulation(start, options.popSize, throttled.poll());
        result.best = population[0];
        Network& best = result.best;

        // The training rows' order by original index, for a backup.
        const bool tracksRows = (options.saveState || options.resume) && batches >= 2;
        std::vector<int32_t> rowOrder;
        if (tracksRows) {
            rowOrder.resize(static_cast<size_t>(n));
            for (int32_t i = 0; i < n; ++i) rowOrder[static_cast<size_t>(i)] = i;
        }
        ScoreRows lastScores;
        int firstEpoch = options.initialEpoch;
        if (options.resume) {
            const RunState& resume = *options.resume;
            resumeMembers(resume, start, options.popSize, *strategy, population, best);
            for (const std::vector<double>& row : resume.history) {
                result.epochs.push_back(datasetEpoch(row, ids.size(), validation.has_value()));
            }
            if (tracksRows) {
                const std::vector<int32_t> order = placing(resume.rowOrder, n);
                x.reorderRows(order);
                y.reorderRows(order);
                reorder(weights, order);
                rowOrder = resume.rowOrder;
            } else if (!resume.rowOrder.empty()) {
                refuseBackup("it was written with mini-batches");
            }
            lastScores = resume.scores;
            firstEpoch = resume.epoch + 1;
            // Last: nothing may draw between this and the epoch that follows.
            if (!resume.randomStreams.empty()) restoreRandomStreams(resume.randomStreams);
        }

        for (int epoch = firstEpoch; epoch < options.epochs; ++epoch) {
            if (options.epochBegin) options.epochBegin(epoch);
            const SteadyTime epochStart = std::chrono::steady_clock::now();
            if (batches >= 2) {
                const std::vector<int32_t> order = shuffledIndices(n);
                x.reorderRows(order);
                y.reorderRows(order);
                reorder(weights, order);
                if (tracksRows) reorder(rowOrder, order);
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

                ScoreRows scores = strategy->step(
                    population,
                    [&](std::vector<Network>& networks) { return scorer.score(networks, batchX, batchY, ids); },
                    throttled.poll());
                // With no qualifying row (all NaN or infinite) the best stays, and the
                // first row still enters the means so the epoch shows what happened.
                const std::optional<size_t> found = strategy->bestOf(scores);
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
                lastScores = std::move(scores);
            }

            DatasetEpoch record;
            if (validation) record.validation = scorer.score(best, validation->x, validation->y, ids);
            printUpdate(options.verbose, options.monitorIds, best.size, ids, epochStart, epoch, options.epochs,
                        batches - 1, batches, losses, validation.has_value(), record.validation);
            record.losses = std::move(losses);
            for (double& value : record.losses) value /= batches;
            record.size = best.size;
            record.gradientPasses = result.gradientPasses;
            result.epochs.push_back(std::move(record));
            const bool stop = options.epochEnd && options.epochEnd(epoch, result.epochs.back(), best);
            if (saveDue(options.saveState, options.saveEvery, epoch)) {
                saveAt(options.saveState, epoch, population, lastScores, *strategy, best, rowOrder, result.epochs);
            }
            if (stop) break;
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
    checkEpochs(options.epochs, options.initialEpoch);
    checkCanEvolve(start, options.popSize, EvolutionLoop::function);

    const std::shared_ptr<EvolutionStrategy> strategy = strategyOr(options.strategy);
    ThrottledPoll throttled(keepGoing);
    try {
        std::vector<Network> population = strategy->initialPopulation(start, options.popSize, throttled.poll());
        FunctionResult result{population[0], {}};
        Network& best = result.best;
        ScoreRows scores;
        int firstEpoch = options.initialEpoch;
        if (options.resume) {
            const RunState& resume = *options.resume;
            resumeMembers(resume, start, options.popSize, *strategy, population, best);
            if (!resume.rowOrder.empty()) refuseBackup("it was written by evolve");
            for (const std::vector<double>& row : resume.history) result.epochs.push_back(functionEpoch(row));
            scores = resume.scores;
            firstEpoch = resume.epoch + 1;
            // Last: nothing may draw between this and the epoch that follows.
            if (!resume.randomStreams.empty()) restoreRandomStreams(resume.randomStreams);
        }

        for (int epoch = firstEpoch; epoch < options.epochs; ++epoch) {
            if (keepGoing && !keepGoing()) return std::nullopt;
            if (options.epochBegin) options.epochBegin(epoch);
            const SteadyTime epochStart = std::chrono::steady_clock::now();

            scores = strategy->step(population, score, throttled.poll());
            FunctionEpoch record;
            record.loss = kLargestFinite;
            if (const std::optional<size_t> found = strategy->bestOf(scores)) {
                best = population[*found];
                record.loss = scores[*found][0];
            }
            if (validate) record.validation = validate(best);
            printUpdate_func(options.verbose, options.monitorIds, best.size, epochStart, epoch, options.epochs,
                             record.loss, static_cast<bool>(validate), record.validation);
            record.size = best.size;
            result.epochs.push_back(record);
            const bool stop = options.epochEnd && options.epochEnd(epoch, result.epochs.back(), best);
            if (saveDue(options.saveState, options.saveEvery, epoch)) {
                static const std::vector<int32_t> noRows;
                saveAt(options.saveState, epoch, population, scores, *strategy, best, noRows, result.epochs);
            }
            if (stop) break;
        }
        return result;
    } catch (const TrainingStopped&) {
        return std::nullopt;
    }
}

}  // namespace kestrin
