#include "training/refine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrin {
namespace {

constexpr double kBeta1 = 0.9;
constexpr double kBeta2 = 0.999;
constexpr double kEpsilon = 1e-8;

// L-BFGS: curvature pairs kept, the sufficient-decrease constant, and the most halvings of a step.
constexpr size_t kPairs = 8;
constexpr double kArmijo = 1e-4;
constexpr int kHalvings = 12;

bool allFinite(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
    return sum;
}

}  // namespace

int GradientRefiner::refine(Network& network, const SampleView& x, const SampleView& y, int32_t lossId,
                            const RefineOptions& options) {
    int steps = options.steps;
    // An Adam step is one pass.
    if (options.method == RefineMethod::kAdam && options.maxPasses > 0) steps = std::min(steps, options.maxPasses);
    passes_ = 0;
    if (steps <= 0) return 0;
    // A penalty per sample: the more samples, the less the weights need holding back.
    decay_ = x.rows > 0 ? options.decay / x.rows : 0.0;
    pass_.compile(network);
    if (options.method == RefineMethod::kLbfgs) {
        RefineOptions capped = options;
        capped.steps = steps;
        return lbfgs(network, x, y, lossId, capped);
    }
    return adam(network, x, y, lossId, steps, options.rate);
}

void GradientRefiner::readGenes(const Network& network, std::vector<double>& genes) const {
    const CompiledNetwork& plan = pass_.plan();
    const size_t stepCount = plan.steps().size();
    genes.resize(stepCount + plan.weights().size());
    for (size_t k = 0; k < stepCount; ++k) {
        const CompiledNetwork::Step& step = plan.steps()[k];
        genes[k] = network.biases[static_cast<size_t>(step.slot)];
        for (int32_t c = step.first; c < step.last; ++c) {
            genes[stepCount + static_cast<size_t>(c)] = network.weights[plan.sources()[c]][step.slot];
        }
    }
}

void GradientRefiner::writeGenes(const std::vector<double>& genes, Network& network) const {
    const CompiledNetwork& plan = pass_.plan();
    const size_t stepCount = plan.steps().size();
    for (size_t k = 0; k < stepCount; ++k) {
        const CompiledNetwork::Step& step = plan.steps()[k];
        network.biases[static_cast<size_t>(step.slot)] = genes[k];
        for (int32_t c = step.first; c < step.last; ++c) {
            network.weights[plan.sources()[c]][step.slot] = genes[stepCount + static_cast<size_t>(c)];
        }
    }
}

bool GradientRefiner::evaluateAt(const std::vector<double>& genes, const SampleView& x,
                                 const SampleView& y, int32_t lossId, double& loss, std::vector<double>& slopes) {
    // The structure stays: the genes go straight into the plan, the network gets them at the end.
    pass_.setGenes(genes.data());
    loss = pass_.run(x, y, lossId);
    const std::vector<double>& biases = pass_.stepSlopes();
    const std::vector<double>& weights = pass_.weightSlopes();
    slopes.resize(biases.size() + weights.size());
    std::copy(biases.begin(), biases.end(), slopes.begin());
    std::copy(weights.begin(), weights.end(), slopes.begin() + static_cast<std::ptrdiff_t>(biases.size()));
    if (decay_ > 0.0) {
        for (size_t i = biases.size(); i < genes.size(); ++i) {
            loss += decay_ * genes[i] * genes[i];
            slopes[i] += 2.0 * decay_ * genes[i];
        }
    }
    return std::isfinite(loss) && allFinite(slopes);
}

int GradientRefiner::adam(Network& network, const SampleView& x, const SampleView& y, int32_t lossId, int steps,
                          double rate) {
    const CompiledNetwork& plan = pass_.plan();
    const size_t stepCount = plan.steps().size();
    const size_t count = stepCount + plan.weights().size();
    first_.assign(count, 0.0);
    second_.assign(count, 0.0);
    double decay1 = 1.0, decay2 = 1.0;
    for (int t = 0; t < steps; ++t) {
        if (t > 0) pass_.compile(network);
        ++passes_;
        const double loss = pass_.run(x, y, lossId);
        if (!std::isfinite(loss) || !allFinite(pass_.stepSlopes()) || !allFinite(pass_.weightSlopes())) return t;
        decay1 *= kBeta1;
        decay2 *= kBeta2;
        const auto move = [&](size_t i, double slope) {
            first_[i] = kBeta1 * first_[i] + (1.0 - kBeta1) * slope;
            second_[i] = kBeta2 * second_[i] + (1.0 - kBeta2) * slope * slope;
            const double mean = first_[i] / (1.0 - decay1);
            const double spread = std::sqrt(second_[i] / (1.0 - decay2));
            return rate * mean / (spread + kEpsilon);
        };
        const std::vector<CompiledNetwork::Step>& planSteps = plan.steps();
        const int32_t* sources = plan.sources().data();
        for (size_t k = 0; k < stepCount; ++k) {
            const CompiledNetwork::Step& step = planSteps[k];
            network.biases[static_cast<size_t>(step.slot)] -= move(k, pass_.stepSlopes()[k]);
            for (int32_t c = step.first; c < step.last; ++c) {
                network.weights[sources[c]][step.slot] -= move(stepCount + static_cast<size_t>(c),
                                                               pass_.weightSlopes()[static_cast<size_t>(c)]);
            }
        }
    }
    return steps;
}

int GradientRefiner::lbfgs(Network& network, const SampleView& x, const SampleView& y, int32_t lossId,
                           const RefineOptions& options) {
    const int steps = options.steps, maxPasses = options.maxPasses;
    int passes = 1, passesAtBest = 1;
    const bool holdsOut = options.heldX != nullptr && options.heldY != nullptr;
    const auto spent = [&] {
        return (maxPasses > 0 && passes >= maxPasses) ||
               (holdsOut && options.patience > 0 && passes - passesAtBest >= options.patience);
    };
    readGenes(network, genes_);
    const size_t count = genes_.size();
    double loss = 0.0;
    // Writes the genes it read: a network whose loss is not finite is left as it was.
    if (!evaluateAt(genes_, x, y, lossId, loss, slopes_)) {
        passes_ = passes;
        return 0;
    }
    // The held-out loss of the genes just evaluated (the pass is compiled with them).
    double bestHeld = std::numeric_limits<double>::infinity();
    if (holdsOut) kept_ = genes_;
    const auto judge = [&] {
        if (!holdsOut) return;
        const double held = pass_.loss(*options.heldX, *options.heldY, lossId);
        if (held < bestHeld) {
            bestHeld = held;
            passesAtBest = passes;
            kept_ = genes_;
        }
    };
    judge();
    steps_.resize(kPairs);
    changes_.resize(kPairs);
    rho_.assign(kPairs, 0.0);
    alpha_.assign(kPairs, 0.0);
    size_t pairs = 0, newest = 0;
    int taken = 0;
    for (; taken < steps && !spent(); ++taken) {
        // Two-loop recursion: direction = -H slopes, H from the pairs, newest first.
        direction_ = slopes_;
        for (size_t p = 0; p < pairs; ++p) {
            const size_t at = (newest + kPairs - p) % kPairs;
            alpha_[at] = rho_[at] * dot(steps_[at], direction_);
            for (size_t i = 0; i < count; ++i) direction_[i] -= alpha_[at] * changes_[at][i];
        }
        double scale = 1.0;
        if (pairs > 0) {
            scale = dot(steps_[newest], changes_[newest]) / dot(changes_[newest], changes_[newest]);
        } else {
            // No curvature yet: a first step of length at most 0.1 in the steepest direction.
            const double norm = std::sqrt(dot(slopes_, slopes_));
            scale = norm > 0.0 ? std::min(1.0, 0.1 / norm) : 1.0;
        }
        for (double& d : direction_) d *= scale;
        for (size_t p = pairs; p-- > 0;) {
            const size_t at = (newest + kPairs - p) % kPairs;
            const double beta = rho_[at] * dot(changes_[at], direction_);
            for (size_t i = 0; i < count; ++i) direction_[i] += (alpha_[at] - beta) * steps_[at][i];
        }
        for (double& d : direction_) d = -d;
        double slope = dot(slopes_, direction_);
        if (!(slope < 0.0)) {
            // Not a way down (curvature pairs gone stale): forget them, go steepest.
            pairs = 0;
            const double norm = std::sqrt(dot(slopes_, slopes_));
            if (!(norm > 0.0)) break;
            for (size_t i = 0; i < count; ++i) direction_[i] = -slopes_[i] * std::min(1.0, 0.1 / norm);
            slope = dot(slopes_, direction_);
        }
        // Backtracking to a sufficient decrease.
        double length = 1.0, trialLoss = 0.0;
        bool accepted = false;
        trial_.resize(count);
        for (int h = 0; h < kHalvings && !accepted && !(h > 0 && spent()); ++h, length *= 0.5) {
            for (size_t i = 0; i < count; ++i) trial_[i] = genes_[i] + length * direction_[i];
            ++passes;
            accepted = evaluateAt(trial_, x, y, lossId, trialLoss, trialSlopes_) &&
                       trialLoss <= loss + kArmijo * length * slope;
        }
        if (!accepted) break;
        double curvature = 0.0;
        for (size_t i = 0; i < count; ++i) curvature += (trial_[i] - genes_[i]) * (trialSlopes_[i] - slopes_[i]);
        // A pair without positive curvature would make the next direction no way down: skip it.
        if (curvature > 1e-12) {
            newest = pairs == 0 ? 0 : (newest + 1) % kPairs;
            steps_[newest].resize(count);
            changes_[newest].resize(count);
            for (size_t i = 0; i < count; ++i) {
                steps_[newest][i] = trial_[i] - genes_[i];
                changes_[newest][i] = trialSlopes_[i] - slopes_[i];
            }
            rho_[newest] = 1.0 / curvature;
            pairs = std::min(pairs + 1, kPairs);
        }
        genes_.swap(trial_);
        slopes_.swap(trialSlopes_);
        loss = trialLoss;
        judge();
    }
    writeGenes(holdsOut ? kept_ : genes_, network);
    passes_ = passes;
    return taken;
}

}  // namespace kestrin
