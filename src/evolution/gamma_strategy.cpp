#include "evolution/gamma_strategy.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "evolution/mutation.h"
#include "network/activation.h"
#include "network/random.h"

namespace kestrin {
namespace {

constexpr double kWorst = std::numeric_limits<double>::infinity();
constexpr double kLargestFinite = std::numeric_limits<double>::max();
// An improvement smaller than this share of the best loss counts as a stall.
constexpr double kStallShare = 1e-3;
// The distribution has collapsed when its widest axis is this small against the
// initial spread, or C this badly conditioned.
constexpr double kCollapsedSpread = 1e-7;
constexpr double kWorstCondition = 1e14;
// Restarts double the span up to this many steps per generation.
constexpr int kLongestSpan = 64;
// Tags the saved state: which strategy, which layout of the numbers.
constexpr double kStateTag = 3.0;
constexpr double kStateVersion = 2.0;
constexpr size_t kHeaderSize = 14;
// Version 1 had no held-out penalty: one entry fewer.
constexpr size_t kFirstHeaderSize = 13;
// Candidates of a step: the mean, the best network so far, then the samples.
constexpr size_t kFirstSample = 2;
// With held-out rows, the refinement of the mean ends after this many passes
// without a better held-out loss: on a large batch the best held-out iterate
// is often among the first ten passes.
constexpr int kHeldOutPatience = 20;
// The held-out penalty starts at this when it first rises, and falls to 0 below it.
constexpr double kFirstHeldOutDecay = 0.1;

double keyOf(double loss) { return std::isnan(loss) ? kWorst : loss; }

void requireConnectivity(const Network& network, const char* what) {
    if (!Mutation::checkConnectivity(network)) throw brokenNetwork(what);
}

// The small dense start for a network without hidden nodes.
Network startTopology(const Network& given, int hidden) {
    Network network(given.inputs, given.outputs);
    const int32_t inputs = given.inputs, outputs = given.outputs;
    network.setSize(inputs + hidden + outputs);
    const int32_t firstOutput = inputs + hidden;
    for (int32_t i = inputs; i < network.size; ++i) network.activations[i] = i < firstOutput ? kTanh : kLinear;
    for (int32_t from = 0; from < firstOutput; ++from) {
        for (int32_t to = std::max(inputs, from + 1); to < network.size; ++to) {
            // Inputs feed everything; hidden nodes feed the outputs only.
            if (from >= inputs && to < firstOutput) continue;
            network.connect(from, to, 0.0);
        }
    }
    return network;
}

// A weight's spread shrinks with its target's fan-in (LeCun's rule), so that
// every node's summed input varies about as much: with equal spreads, the 64
// inputs of a digit would swamp the outputs and no sample would beat the mean.
// Where samples search alone, a bias counts as a weight on one more input
// that is always 1: at the full spread it would outweigh all the inputs
// together, and a policy's samples would mostly push one way whatever they
// observe. Around a mean the gradient has placed, biases at the full spread
// fitted regressions better.
double biasScale(int32_t fanIn, bool biasAsInput) {
    return biasAsInput ? 1.0 / std::sqrt(static_cast<double>(fanIn) + 1.0) : 1.0;
}

std::vector<double> fanInScales(const GeneLayout& layout, bool biasAsInput) {
    std::vector<int32_t> fanIn;
    for (const GeneSlot& slot : layout.slots) {
        if (static_cast<size_t>(slot.to) >= fanIn.size()) fanIn.resize(static_cast<size_t>(slot.to) + 1, 0);
        if (slot.from >= 0) ++fanIn[static_cast<size_t>(slot.to)];
    }
    std::vector<double> scales(layout.size(), 1.0);
    for (size_t k = 0; k < layout.size(); ++k) {
        const GeneSlot slot = layout.slots[k];
        const int32_t inputs = fanIn[static_cast<size_t>(slot.to)];
        scales[k] = slot.from >= 0 ? 1.0 / std::sqrt(static_cast<double>(inputs)) : biasScale(inputs, biasAsInput);
    }
    return scales;
}

}  // namespace

std::string GammaSettings::problem() const {
    if (!(stepSize > 0.0) || !std::isfinite(stepSize)) {
        return "step_size must be a positive finite number, got " + std::to_string(stepSize) + ".";
    }
    if (hidden < 0) return "hidden must be at least 0, got " + std::to_string(hidden) + ".";
    if (refineHidden < 0) return "refine_hidden must be at least 0, got " + std::to_string(refineHidden) + ".";
    if (growPatience < 0) return "grow_patience must be at least 0, got " + std::to_string(growPatience) + ".";
    if (refineGrowPatience < 0) {
        return "refine_grow_patience must be at least 0, got " + std::to_string(refineGrowPatience) + ".";
    }
    if (maxHidden < 0) return "max_hidden must be at least 0, got " + std::to_string(maxHidden) + ".";
    if (separableAbove < 0) return "separable_above must be at least 0, got " + std::to_string(separableAbove) + ".";
    if (!(refineStepSize > 0.0) || !std::isfinite(refineStepSize)) {
        return "refine_step_size must be a positive finite number, got " + std::to_string(refineStepSize) + ".";
    }
    if (refinePasses < 0) return "refine_passes must be at least 0, got " + std::to_string(refinePasses) + ".";
    if (!(weightDecay >= 0.0) || !std::isfinite(weightDecay)) {
        return "weight_decay must be a finite number at least 0, got " + std::to_string(weightDecay) + ".";
    }
    if (!(maxWeightDecay >= 0.0) || !std::isfinite(maxWeightDecay)) {
        return "max_weight_decay must be a finite number at least 0, got " + std::to_string(maxWeightDecay) + ".";
    }
    return {};
}

GammaStrategy::GammaStrategy(const GammaSettings& settings) : settings_(settings) {
    if (std::string text = settings.problem(); !text.empty()) throw std::invalid_argument(text);
}

void GammaStrategy::begin(const Network& start, int popSize) {
    checkPopulationSize(popSize);
    requireConnectivity(start, "The network to evolve breaks the connectivity rule");
    const bool hasHidden = start.size > start.inputs + start.outputs;
    template_ = hasHidden ? start : startTopology(start, refining() ? settings_.refineHidden : settings_.hidden);
    start_ = template_;
    layout_ = GeneLayout::of(template_);
    std::vector<double> mean(layout_.size(), 0.0);
    if (hasHidden) {
        layout_.read(template_, mean.data());
    } else {
        // The hidden nodes see the inputs through weights of LeCun's spread and
        // feed the outputs through 0: the network computes 0, as at all zeros,
        // but every output weight has a slope from the start (at all zeros no
        // hidden gene has one) and the samples weigh distinct features.
        const double lecun = 1.0 / std::sqrt(static_cast<double>(std::max(template_.inputs, 1)));
        const int32_t firstOutput = template_.size - template_.outputs;
        for (size_t k = 0; k < layout_.size(); ++k) {
            const GeneSlot slot = layout_.slots[k];
            if (slot.from >= 0 && slot.to < firstOutput) mean[k] = randomNormal(lecun);
        }
    }
    popSize_ = popSize;
    span_ = 1;
    stepsDone_ = 0;
    grown_ = 0;
    restarts_ = 0;
    stalled_ = 0;
    bestLoss_ = kWorst;
    reference_ = kWorst;
    generationBest_ = kWorst;
    generationWorst_ = -kWorst;
    heldOutDecay_ = 0.0;
    meanLeads_ = false;
    bestGenes_ = mean;
    resetDistribution(mean);
}

void GammaStrategy::resetDistribution(const std::vector<double>& mean) {
    const bool separable = static_cast<int64_t>(mean.size()) > settings_.separableAbove;
    cma_.reset(mean, initialSpread(), span_ * samplesPerStep(), separable, fanInScales(layout_, !refining()));
    sizeBuffers();
}

void GammaStrategy::sizeBuffers() {
    const size_t d = layout_.size();
    const auto lambda = static_cast<size_t>(span_ * samplesPerStep());
    sampleY_.resize(lambda * d);
    sampleLoss_.resize(lambda);
    ranked_.resize(lambda);
    x_.resize(d);
    candidates_.assign(static_cast<size_t>(2 * popSize_), template_);
}

std::vector<Network> GammaStrategy::initialPopulation(const Network& start, int popSize, const Poll& poll) {
    begin(start, popSize);
    layout_.write(cma_.mean().data(), template_);
    std::vector<Network> population;
    population.reserve(static_cast<size_t>(popSize));
    for (int m = 0; m < popSize; ++m) {
        if (poll) poll();
        population.push_back(template_);
    }
    return population;
}

ScoreRows GammaStrategy::step(std::vector<Network>& population, const PopulationScorer& score, const Poll& poll) {
    const size_t n = population.size();
    if (n == 0) return {};
    // A population this strategy did not build starts its state afresh.
    if (popSize_ != static_cast<int>(n)) begin(population[0], static_cast<int>(n));
    const size_t d = layout_.size();
    const auto m = static_cast<size_t>(samplesPerStep());
    const size_t offset = static_cast<size_t>(stepsDone_) * m;
    // Only before a generation's first sample: later ones are steps from this mean.
    if (stepsDone_ == 0) refineMean();

    layout_.write(cma_.mean().data(), candidates_[0]);
    layout_.write(bestGenes_.data(), candidates_[1]);
    for (size_t s = 0; s < m; ++s) {
        if (poll) poll();
        double* y = sampleY_.data() + (offset + s) * d;
        cma_.sample(x_.data(), y);
        layout_.write(x_.data(), candidates_[kFirstSample + s]);
    }
    ScoreRows scores = score(candidates_);
    if (scores.size() < candidates_.size()) {
        throw std::invalid_argument("Expected " + std::to_string(candidates_.size()) + " score rows, got " +
                                    std::to_string(scores.size()) + ".");
    }
    for (size_t i = 0; i < candidates_.size(); ++i) {
        if (scores[i].empty()) throw std::invalid_argument("Score row " + std::to_string(i) + " is empty.");
    }

    order_.resize(candidates_.size());
    std::iota(order_.begin(), order_.end(), size_t{0});
    std::stable_sort(order_.begin(), order_.end(),
                     [&](size_t a, size_t b) { return keyOf(scores[a][0]) < keyOf(scores[b][0]); });
    for (size_t s = 0; s < m; ++s) {
        const double key = keyOf(scores[kFirstSample + s][0]);
        sampleLoss_[offset + s] = key;
        generationBest_ = std::min(generationBest_, key);
        if (std::isfinite(key)) generationWorst_ = std::max(generationWorst_, key);
    }
    const double leading = keyOf(scores[order_[0]][0]);
    generationBest_ = std::min(generationBest_, leading);
    // The best network is scored again every step: a loss that changes (a
    // new batch, a noisy fitness) is judged by its latest value.
    bestLoss_ = keyOf(scores[1][0]);
    if (leading < bestLoss_) {
        bestLoss_ = leading;
        layout_.read(candidates_[order_[0]], bestGenes_.data());
    }

    // On noisy data the mean leads the population, so that it is kept as the best.
    meanLeads_ = heldOutDecay_ > 0.0;
    if (meanLeads_) {
        const auto mean = std::find(order_.begin(), order_.end(), size_t{0});
        std::rotate(order_.begin(), mean, mean + 1);
    }
    population.resize(n);
    ScoreRows kept;
    kept.reserve(n);
    for (size_t r = 0; r < n; ++r) {
        population[r] = candidates_[order_[r]];
        kept.push_back(std::move(scores[order_[r]]));
    }
    if (++stepsDone_ == span_) endGeneration();
    return kept;
}

std::optional<size_t> GammaStrategy::bestOf(const ScoreRows& scores) const {
    // A mean whose loss is not a number or not finite is no better a choice than any other.
    const bool usable = !scores.empty() && !scores[0].empty() && keyOf(scores[0][0]) < kLargestFinite;
    return meanLeads_ && usable ? std::optional<size_t>{0} : bestIndex(scores);
}

void GammaStrategy::refineMean() {
    if (!refining()) return;
    refined_.resize(1);
    refined_[0] = template_;
    layout_.write(cma_.mean().data(), refined_[0]);
    RefineRequest request;
    request.steps = settings_.refinePasses;  // an iteration takes at least one pass
    request.lbfgs = true;
    request.maxPasses = settings_.refinePasses;
    request.decay = weightDecay();
    request.holdOut = settings_.holdOut;
    request.patience = kHeldOutPatience;
    const bool heldOut = refiner_(refined_, request);
    layout_.read(refined_[0], x_.data());
    if (heldOut) adaptDecay(std::equal(x_.begin(), x_.end(), cma_.mean().begin()));
    cma_.moveMean(x_.data());
}

void GammaStrategy::adaptDecay(bool stayed) {
    if (settings_.maxWeightDecay <= 0.0) return;
    if (stayed) {
        heldOutDecay_ = std::min(settings_.maxWeightDecay, std::max(kFirstHeldOutDecay, 2.0 * heldOutDecay_));
    } else {
        heldOutDecay_ = heldOutDecay_ / 2.0 < kFirstHeldOutDecay ? 0.0 : heldOutDecay_ / 2.0;
    }
}

void GammaStrategy::endGeneration() {
    const size_t d = layout_.size();
    const size_t lambda = sampleLoss_.size();
    order_.resize(lambda);
    std::iota(order_.begin(), order_.end(), size_t{0});
    std::stable_sort(order_.begin(), order_.end(), [&](size_t a, size_t b) { return sampleLoss_[a] < sampleLoss_[b]; });
    for (size_t r = 0; r < lambda; ++r) ranked_[r] = sampleY_.data() + order_[r] * d;
    cma_.update(ranked_.data());
    stepsDone_ = 0;

    if (bestLoss_ < reference_ - kStallShare * std::abs(reference_)) {
        reference_ = bestLoss_;
        stalled_ = 0;
    } else {
        stalled_ += 1;
    }
    const bool flat = generationWorst_ - generationBest_ <= 1e-12 * std::max(1.0, std::abs(generationBest_));
    generationBest_ = kWorst;
    generationWorst_ = -kWorst;
    const bool collapsed =
        cma_.largestSpread() < kCollapsedSpread * initialSpread() || cma_.condition() > kWorstCondition;
    if (flat || collapsed) {
        restart();
    } else if (growPatience() > 0 && stalled_ >= patience() && hiddenNodes() < settings_.maxHidden &&
               heldOutDecay_ <= 0.0) {
        // While the held-out penalty is on, the batch's noise is what the passes
        // could still fit: a node would add capacity for more of it.
        grow();
    }
}

int GammaStrategy::patience() const {
    // Where samples search alone, adapting C takes longer with more genes per
    // sample: Hansen's window for a stalled search, 30 dim / lambda
    // generations, on top of the knob. Around a refined mean the gradient
    // does the local search, so a stall there waits on no covariance.
    if (refining()) return growPatience();
    const double window = 30.0 * static_cast<double>(layout_.size()) / cma_.lambda();
    return growPatience() + static_cast<int>(window);
}

void GammaStrategy::grow() {
    const int32_t sources = template_.size - template_.outputs;
    const size_t added = layout_.insertNode(template_, kTanh);
    // Bias 0, incoming weights with LeCun's spread (a node that sees its
    // inputs), outgoing 0 so that every network keeps its function. The bias
    // and incoming genes get the initial spread, scaled as at the start; the
    // outgoing ones the current step size, since they alone change the output:
    // wider, they would drown what the search has tuned so far in noise.
    std::vector<double> means(added, 0.0);
    std::vector<double> spreads(added, initialSpread());
    const double lecun = 1.0 / std::sqrt(static_cast<double>(std::max(sources, 1)));
    spreads[0] = initialSpread() * biasScale(sources, !refining());
    for (int32_t k = 0; k < sources; ++k) {
        means[1 + static_cast<size_t>(k)] = randomNormal(lecun);
        spreads[1 + static_cast<size_t>(k)] = initialSpread() * lecun;
    }
    for (size_t k = 1 + static_cast<size_t>(sources); k < added; ++k) spreads[k] = cma_.sigma();
    bestGenes_.insert(bestGenes_.end(), means.begin(), means.end());
    const bool separable = static_cast<int64_t>(layout_.size()) > settings_.separableAbove;
    cma_.extend(means, spreads, separable || cma_.separable());
    grown_ += 1;
    stalled_ = 0;
    sizeBuffers();
}

void GammaStrategy::restart() {
    restarts_ += 1;
    span_ = std::min(2 * span_, kLongestSpan);
    stalled_ = 0;
    resetDistribution(bestGenes_);
}

std::vector<double> GammaStrategy::savedState() const {
    if (popSize_ == 0) return {};
    std::vector<double> out = {kStateTag,
                               kStateVersion,
                               static_cast<double>(popSize_),
                               static_cast<double>(span_),
                               static_cast<double>(stepsDone_),
                               static_cast<double>(grown_),
                               static_cast<double>(restarts_),
                               static_cast<double>(stalled_),
                               bestLoss_,
                               reference_,
                               generationBest_,
                               generationWorst_,
                               static_cast<double>(layout_.size()),
                               heldOutDecay_};
    for (const GeneSlot& slot : layout_.slots) {
        out.push_back(slot.from);
        out.push_back(slot.to);
    }
    cma_.save(out);
    out.insert(out.end(), bestGenes_.begin(), bestGenes_.end());
    const size_t filled = static_cast<size_t>(stepsDone_) * static_cast<size_t>(samplesPerStep());
    out.insert(out.end(), sampleLoss_.begin(), sampleLoss_.begin() + static_cast<std::ptrdiff_t>(filled));
    out.insert(out.end(), sampleY_.begin(), sampleY_.begin() + static_cast<std::ptrdiff_t>(filled * layout_.size()));
    return out;
}

void GammaStrategy::restoreState(const std::vector<double>& state) {
    const auto fail = [](const std::string& why) {
        throw std::invalid_argument("This state cannot resume a gamma run: " + why + ".");
    };
    if (popSize_ == 0) fail("the strategy has no population yet");
    if (state.size() < kFirstHeaderSize || state[0] != kStateTag) fail("it was not saved by gamma");
    if (state[1] != kStateVersion && state[1] != 1.0) fail("its version is not known");
    const size_t header = state[1] == 1.0 ? kFirstHeaderSize : kHeaderSize;
    if (state.size() < header) fail("its length is wrong");
    const double heldOutDecay = header > kFirstHeaderSize ? state[kFirstHeaderSize] : 0.0;
    if (!(heldOutDecay >= 0.0) || !std::isfinite(heldOutDecay)) fail("its weight penalty is out of range");
    const auto count = [&](size_t i, double limit) {
        const double v = state[i];
        if (!(v >= 0 && v <= limit && v == std::floor(v))) fail("entry " + std::to_string(i) + " is out of range");
        return static_cast<int>(v);
    };
    if (count(2, 1e9) != popSize_) fail("it was saved with another population size");
    const int span = count(3, kLongestSpan);
    const int stepsDone = count(4, span - 1);
    const int grown = count(5, 1e6);
    const int restarts = count(6, 1e9);
    const int stalled = count(7, 1e9);
    for (size_t i = 8; i < 12; ++i) {
        if (std::isnan(state[i])) fail("a loss is NaN");
    }
    if (span < 1) fail("its span is 0");
    const size_t d = static_cast<size_t>(count(12, 1e7));

    // The topology is replayed from the start, so it must match the saved slots.
    Network network = start_;
    GeneLayout layout = GeneLayout::of(network);
    for (int g = 0; g < grown; ++g) layout.insertNode(network, kTanh);
    if (layout.size() != d || state.size() < header + 2 * d) fail("it was saved for another network");
    for (size_t k = 0; k < d; ++k) {
        if (state[header + 2 * k] != layout.slots[k].from || state[header + 2 * k + 1] != layout.slots[k].to) {
            fail("it was saved for another network");
        }
    }
    size_t at = header + 2 * d;
    CmaDistribution cma;
    cma.restore(state, at);
    const auto m = static_cast<size_t>(samplesPerStep());
    if (static_cast<size_t>(cma.dim()) != d || cma.lambda() != span * samplesPerStep()) {
        fail("its distribution does not fit the network");
    }
    const size_t filled = static_cast<size_t>(stepsDone) * m;
    if (state.size() != at + d + filled + filled * d) fail("its length is wrong");
    for (size_t i = at; i < state.size(); ++i) {
        if (std::isnan(state[i])) fail("it holds a NaN");
    }

    template_ = std::move(network);
    layout_ = std::move(layout);
    cma_ = std::move(cma);
    span_ = span;
    stepsDone_ = stepsDone;
    grown_ = grown;
    restarts_ = restarts;
    stalled_ = stalled;
    bestLoss_ = state[8];
    reference_ = state[9];
    generationBest_ = state[10];
    generationWorst_ = state[11];
    heldOutDecay_ = heldOutDecay;
    sizeBuffers();
    const auto from = state.begin() + static_cast<std::ptrdiff_t>(at);
    bestGenes_.assign(from, from + static_cast<std::ptrdiff_t>(d));
    std::copy(from + static_cast<std::ptrdiff_t>(d), from + static_cast<std::ptrdiff_t>(d + filled), sampleLoss_.begin());
    std::copy(from + static_cast<std::ptrdiff_t>(d + filled), state.end(), sampleY_.begin());
}

}  // namespace kestrin
