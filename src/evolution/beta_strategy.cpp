#include "evolution/beta_strategy.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "evolution/crossover.h"
#include "evolution/gentle_growth.h"
#include "evolution/mutation.h"
#include "evolution/weight_perturbation.h"
#include "network/activation.h"
#include "network/random.h"

namespace kestrin {
namespace {

// Log-normal self-adaptation rate of the step sizes and their bounds.
constexpr double kStepTau = 0.3;
constexpr double kMinStep = 1e-5;
constexpr double kMaxStep = 4.0;
// The one-fifth success rule on each parent's step size.
constexpr double kTargetSuccess = 0.2;
constexpr double kSuccessGain = 1.0;

constexpr double kWorst = std::numeric_limits<double>::infinity();

size_t pickIndex(size_t count) {
    return std::min(static_cast<size_t>(randomUniform() * static_cast<double>(count)), count - 1);
}

void requireConnectivity(const Network& network, const char* what) {
    if (!Mutation::checkConnectivity(network)) throw brokenNetwork(what);
}

std::string outOfUnitRange(const char* name, double value) {
    if (value >= 0.0 && value <= 1.0) return {};
    return std::string(name) + " must be between 0 and 1, got " + std::to_string(value) + ".";
}

}  // namespace

std::string BetaSettings::problem() const {
    const std::pair<const char*, double> rates[] = {
        {"crossover_rate", crossoverRate},      {"gene_rate", geneRate},
        {"replace_rate", replaceRate},          {"activation_rate", activationRate},
        {"add_node_rate", addNodeRate},         {"remove_node_rate", removeNodeRate},
        {"add_connection_rate", addConnectionRate}, {"remove_connection_rate", removeConnectionRate},
    };
    for (const auto& [name, value] : rates) {
        if (std::string text = outOfUnitRange(name, value); !text.empty()) return text;
    }
    if (islands < 1) return "islands must be at least 1, got " + std::to_string(islands) + ".";
    if (tournamentSize < 1) return "tournament_size must be at least 1, got " + std::to_string(tournamentSize) + ".";
    if (!(stepSize > 0.0) || !std::isfinite(stepSize)) {
        return "step_size must be a positive finite number, got " + std::to_string(stepSize) + ".";
    }
    if (!(parsimony >= 0.0) || !std::isfinite(parsimony)) {
        return "parsimony must be a non-negative finite number, got " + std::to_string(parsimony) + ".";
    }
    if (refineSteps < 0) return "refine_steps must be at least 0, got " + std::to_string(refineSteps) + ".";
    if (!(refineRate > 0.0) || !std::isfinite(refineRate)) {
        return "refine_rate must be a positive finite number, got " + std::to_string(refineRate) + ".";
    }
    if (refineBest < 0) return "refine_best must be at least 0, got " + std::to_string(refineBest) + ".";
    return {};
}

BetaStrategy::BetaStrategy(const BetaSettings& settings) : settings_(settings) {
    if (std::string text = settings.problem(); !text.empty()) throw std::invalid_argument(text);
}

std::vector<Network> BetaStrategy::initialPopulation(const Network& start, int popSize, const Poll& poll) {
    checkPopulationSize(popSize);
    requireConnectivity(start, "The network to evolve breaks the connectivity rule");
    std::vector<Network> population;
    population.reserve(static_cast<size_t>(popSize));
    population.push_back(Network::copy(start));
    // The others keep the start's structure with genes of their own, so the
    // first generation already samples many behaviours.
    // Each island starts with its own output activation, the choice that most
    // bounds what a network can fit (a sigmoid never goes below 0): islands
    // never mix, so a family that leads early cannot crowd out one that
    // leads late.
    const auto n = static_cast<size_t>(popSize);
    const size_t islands = islandCount(n);
    for (int m = 1; m < popSize; ++m) {
        if (poll) poll();
        Network member = Network::copy(start);
        for (int32_t i = member.inputs; i < member.size; ++i) {
            member.biases[i] = randomNormal(1.0);
            member.activations[i] = randomActivation();
        }
        if (islands > 1) {
            size_t island = 0;
            while ((island + 1) * n / islands <= static_cast<size_t>(m)) ++island;
            for (int32_t i = member.size - member.outputs; i < member.size; ++i) {
                member.activations[i] = static_cast<int32_t>(island % kActivationCount);
            }
        }
        // LeCun's spread: a node's summed input has about unit variance
        // whatever its fan-in, so wide starts do not saturate every node.
        fanIn_.assign(static_cast<size_t>(member.size), 0);
        for (int32_t i = 0; i < member.size; ++i) {
            member.connections.forEachInRow(i, 0, [&](int32_t j) { ++fanIn_[static_cast<size_t>(j)]; });
        }
        for (int32_t i = 0; i < member.size; ++i) {
            double* row = member.weights[i];
            member.connections.forEachInRow(i, 0, [&](int32_t j) {
                row[j] = randomNormal(1.0 / std::sqrt(static_cast<double>(fanIn_[static_cast<size_t>(j)])));
            });
        }
        population.push_back(std::move(member));
    }
    stepSizes_.assign(population.size(), settings_.stepSize);
    keys_.assign(population.size(), 0.0);
    return population;
}

std::vector<double> BetaStrategy::savedState() const {
    std::vector<double> state;
    state.reserve(1 + stepSizes_.size() + keys_.size());
    state.push_back(static_cast<double>(stepSizes_.size()));
    state.insert(state.end(), stepSizes_.begin(), stepSizes_.end());
    state.insert(state.end(), keys_.begin(), keys_.end());
    return state;
}

void BetaStrategy::restoreState(const std::vector<double>& state) {
    const size_t n = stepSizes_.size();
    if (state.empty() || state[0] != static_cast<double>(n) || state.size() != 1 + 2 * n) {
        throw std::invalid_argument("The saved state of beta is for another population size.");
    }
    for (size_t i = 0; i < n; ++i) {
        if (!(state[1 + i] >= kMinStep && state[1 + i] <= kMaxStep) && state[1 + i] != settings_.stepSize) {
            throw std::invalid_argument("The saved state of beta holds a step size out of range.");
        }
    }
    std::copy(state.begin() + 1, state.begin() + 1 + static_cast<std::ptrdiff_t>(n), stepSizes_.begin());
    std::copy(state.begin() + 1 + static_cast<std::ptrdiff_t>(n), state.end(), keys_.begin());
}

size_t BetaStrategy::islandCount(size_t popSize) const {
    return std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(settings_.islands), popSize / 2));
}

size_t BetaStrategy::tournament(size_t lo, size_t hi) const {
    size_t best = lo + pickIndex(hi - lo);
    for (int k = 1; k < settings_.tournamentSize; ++k) {
        const size_t other = lo + pickIndex(hi - lo);
        if (keys_[other] < keys_[best]) best = other;
    }
    return best;
}

double BetaStrategy::rankKey(double loss, const Network& network) const {
    if (std::isnan(loss)) return kWorst;
    const int32_t hidden = network.size - network.inputs - network.outputs;
    return loss + settings_.parsimony * hidden * std::abs(loss);
}

void BetaStrategy::mutateChild(Network& child, double stepSize) const {
    const BetaSettings& s = settings_;
    if (randomUniform() < s.addNodeRate) splitConnectionGently(child);
    if (randomUniform() < s.removeNodeRate) Mutation::removeNode(child);
    if (randomUniform() < s.addConnectionRate) addZeroConnection(child);
    if (randomUniform() < s.removeConnectionRate) Mutation::removeConnection(child);
    if (randomUniform() < s.activationRate) changeOneActivation(child);
    requireConnectivity(child, "A structural mutation produced a network that breaks the connectivity rule");
    perturbGenes(child, stepSize, PerturbationRates{s.replaceRate, s.geneRate});
}

void BetaStrategy::refineChildren(std::vector<Network>& children, const PopulationScorer& score) {
    if (settings_.refineSteps == 0 || !refiner_ || children.empty()) return;
    const RefineRequest request{settings_.refineSteps, settings_.refineRate, settings_.refineLbfgs};
    const size_t n = children.size();
    const size_t islands = islandCount(n);
    const size_t best = static_cast<size_t>(settings_.refineBest);
    if (best == 0 || best * islands >= n) {
        refiner_(children, request);
        return;
    }
    // Only the most promising of each island, ranked by their loss before
    // refinement (ties to the earlier child): chosen across islands, the
    // leading island's children would take every refinement.
    const ScoreRows before = score(children);
    const auto lossOf = [&](size_t i) {
        return i < before.size() && !before[i].empty() ? rankKey(before[i][0], children[i]) : kWorst;
    };
    chosen_.clear();
    std::vector<size_t>& picked = order_;
    picked.clear();
    for (size_t j = 0; j < islands; ++j) {
        const size_t lo = j * n / islands, hi = (j + 1) * n / islands;
        const size_t first = picked.size();
        for (size_t i = lo; i < hi; ++i) picked.push_back(i);
        std::stable_sort(picked.begin() + static_cast<std::ptrdiff_t>(first), picked.end(),
                         [&](size_t a, size_t b) { return lossOf(a) < lossOf(b); });
        picked.resize(first + std::min(best, hi - lo));
    }
    for (size_t i : picked) chosen_.push_back(std::move(children[i]));
    refiner_(chosen_, request);
    for (size_t r = 0; r < picked.size(); ++r) children[picked[r]] = std::move(chosen_[r]);
}

ScoreRows BetaStrategy::step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) {
    const size_t n = population.size();
    if (n == 0) return {};
    // A population this strategy did not build starts its state afresh.
    if (stepSizes_.size() != n) {
        stepSizes_.assign(n, settings_.stepSize);
        keys_.assign(n, 0.0);
    }
    for (const Network& member : population) {
        requireConnectivity(member, "Beta met a network that breaks the connectivity rule");
    }
    const size_t islands = islandCount(n);
    const auto islandStart = [&](size_t j) { return j * n / islands; };

    // Candidates: the parents first, then one child per position, bred in that position's island.
    std::vector<double>& steps = candidateSteps_;
    steps.assign(2 * n, 0.0);
    for (size_t i = 0; i < n; ++i) steps[i] = stepSizes_[i];
    std::vector<Network> children;
    children.reserve(n);
    parentOf_.resize(n);
    for (size_t j = 0; j < islands; ++j) {
        const size_t lo = islandStart(j), hi = islandStart(j + 1);
        for (size_t c = lo; c < hi; ++c) {
            if (poll) poll();
            const size_t a = tournament(lo, hi);
            parentOf_[c] = a;
            double step = stepSizes_[a];
            Network child;
            if (randomUniform() < settings_.crossoverRate) {
                const size_t b = tournament(lo, hi);
                // Finite losses give the child exactly the better parent's connections.
                const double lossA = std::isfinite(keys_[a]) ? keys_[a] : std::numeric_limits<double>::max();
                const double lossB = std::isfinite(keys_[b]) ? keys_[b] : std::numeric_limits<double>::max();
                child = Crossover::simple(population[a], population[b], lossA, lossB);
                step = std::sqrt(stepSizes_[a] * stepSizes_[b]);
            } else {
                child = Network::copy(population[a]);
            }
            step = adaptStepSize(step, kStepTau, kMinStep, kMaxStep);
            mutateChild(child, step);
            steps[n + c] = step;
            children.push_back(std::move(child));
        }
    }
    refineChildren(children, score);
    std::vector<Network> candidates;
    candidates.reserve(2 * n);
    for (Network& member : population) candidates.push_back(std::move(member));
    for (Network& child : children) candidates.push_back(std::move(child));

    ScoreRows scores = score(candidates);
    if (scores.size() < candidates.size()) {
        throw std::invalid_argument("Expected " + std::to_string(candidates.size()) + " score rows, got " +
                                    std::to_string(scores.size()) + ".");
    }
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (scores[i].empty()) throw std::invalid_argument("Score row " + std::to_string(i) + " is empty.");
    }
    std::vector<double>& keys = candidateKeys_;
    keys.assign(candidates.size(), 0.0);
    for (size_t i = 0; i < candidates.size(); ++i) keys[i] = rankKey(scores[i][0], candidates[i]);

    // The success rule: a parent whose children beat it more often than one
    // time in five widens its steps, one whose children fail narrows them; on
    // a plateau where no child wins, the steps shrink until one does.
    successes_.assign(n, 0);
    trials_.assign(n, 0);
    for (size_t c = 0; c < n; ++c) {
        const size_t a = parentOf_[c];
        trials_[a] += 1;
        if (keys[n + c] < keys[a]) successes_[a] += 1;
    }
    for (size_t a = 0; a < n; ++a) {
        if (trials_[a] == 0) continue;
        const double rate = static_cast<double>(successes_[a]) / trials_[a];
        steps[a] = std::clamp(steps[a] * std::exp(kSuccessGain * (rate - kTargetSuccess)), kMinStep, kMaxStep);
    }

    // Truncation within each island on the keys; on equal keys a child goes
    // before a parent, so neutral changes drift instead of stalling.
    order_.clear();
    for (size_t j = 0; j < islands; ++j) {
        const size_t lo = islandStart(j), hi = islandStart(j + 1);
        const size_t first = order_.size();
        for (size_t i = lo; i < hi; ++i) order_.push_back(i);
        for (size_t i = lo; i < hi; ++i) order_.push_back(n + i);
        std::stable_sort(order_.begin() + static_cast<std::ptrdiff_t>(first), order_.end(), [&](size_t x, size_t y) {
            if (keys[x] != keys[y]) return keys[x] < keys[y];
            return x >= n && y < n;
        });
        order_.resize(first + (hi - lo));
    }
    population.clear();
    ScoreRows kept;
    kept.reserve(n);
    for (size_t r = 0; r < n; ++r) {
        const size_t i = order_[r];
        population.push_back(std::move(candidates[i]));
        kept.push_back(std::move(scores[i]));
        stepSizes_[r] = steps[i];
        keys_[r] = keys[i];
    }
    return kept;
}

}  // namespace kestrin
