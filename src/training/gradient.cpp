#include "training/gradient.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "network/activation.h"
#include "training/evaluate.h"
#include "training/loss_table.h"

namespace kestrin {
namespace {

// Tiles of at most this many samples on every CPU (see gradient.h).
constexpr int32_t kTileSamples = 64;
constexpr int32_t kBlock = 8;

// Always inlined into one function per target, as in the scorer: no vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"
// Four lanes: every target has registers for them (two halves on plain
// x86-64), where an 8-lane type would be taken apart on most. An 8-sample
// block is two of them; sums keep one accumulator for each half.
typedef double Quad __attribute__((vector_size(32)));
constexpr int32_t kQuad = 4;

[[gnu::always_inline]] inline Quad loadQuad(const double* p) {
    Quad v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void storeQuad(double* p, const Quad& v) { __builtin_memcpy(p, &v, sizeof v); }
[[gnu::always_inline]] inline Quad splatQuad(double x) { return Quad{x, x, x, x}; }
// Lanes 0..7 of an 8-lane sum kept as two quads, in one fixed order for every target.
[[gnu::always_inline]] inline double laneSum(const Quad& low, const Quad& high) {
    return ((low[0] + low[1]) + (low[2] + low[3])) + ((high[0] + high[1]) + (high[2] + high[3]));
}

// The backward walk over one tile: values and delta are slot rows `stride`
// apart, `blocks` 8-sample blocks of real (or zeroed) lanes; delta holds the
// slope in each output's value and zero elsewhere. Adds into stepSlopes and
// weightSlopes.
[[gnu::always_inline]] inline void backwardOn(const CompiledNetwork& plan, const double* values, double* delta,
                                              size_t stride, int32_t blocks, double* stepSlopes,
                                              double* weightSlopes) {
    const std::vector<CompiledNetwork::Step>& steps = plan.steps();
    const int32_t* sources = plan.sources().data();
    const double* weights = plan.weights().data();
    const int32_t inputs = plan.inputs();
    const int32_t quads = 2 * blocks;
    const Quad zero = splatQuad(0.0);
    const Quad one = splatQuad(1.0);
    for (size_t k = steps.size(); k-- > 0;) {
        const CompiledNetwork::Step& step = steps[k];
        double* slope = delta + static_cast<size_t>(step.slot) * stride;
        const double* value = values + static_cast<size_t>(step.slot) * stride;
        // The slope in the value becomes the slope in the summed input, in place.
        switch (step.activation) {
            case kSigmoid:
                for (int32_t q = 0; q < quads; ++q) {
                    const Quad v = loadQuad(value + q * kQuad);
                    storeQuad(slope + q * kQuad, loadQuad(slope + q * kQuad) * (v * (one - v)));
                }
                break;
            case kTanh:
                for (int32_t q = 0; q < quads; ++q) {
                    const Quad v = loadQuad(value + q * kQuad);
                    storeQuad(slope + q * kQuad, loadQuad(slope + q * kQuad) * (one - v * v));
                }
                break;
            case kRelu:
                for (int32_t q = 0; q < quads; ++q) {
                    const Quad v = loadQuad(value + q * kQuad);
                    storeQuad(slope + q * kQuad, v > zero ? loadQuad(slope + q * kQuad) : zero);
                }
                break;
            case kLinear:
                break;
            default:
                for (int32_t q = 0; q < quads; ++q) storeQuad(slope + q * kQuad, zero);
                break;
        }
        Quad low = zero, high = zero;
        for (int32_t q = 0; q < quads; q += 2) {
            low += loadQuad(slope + q * kQuad);
            high += loadQuad(slope + (q + 1) * kQuad);
        }
        stepSlopes[k] += laneSum(low, high);
        for (int32_t c = step.first; c < step.last; ++c) {
            const int32_t source = sources[c];
            const double* sourceValue = values + static_cast<size_t>(source) * stride;
            Quad dotLow = zero, dotHigh = zero;
            if (source < inputs) {  // nothing upstream of an input
                for (int32_t q = 0; q < quads; q += 2) {
                    dotLow += loadQuad(slope + q * kQuad) * loadQuad(sourceValue + q * kQuad);
                    dotHigh += loadQuad(slope + (q + 1) * kQuad) * loadQuad(sourceValue + (q + 1) * kQuad);
                }
            } else {
                // One pass over the slopes for both the weight's slope and the source's.
                double* sourceSlope = delta + static_cast<size_t>(source) * stride;
                const Quad w = splatQuad(weights[c]);
                for (int32_t q = 0; q < quads; q += 2) {
                    const Quad low = loadQuad(slope + q * kQuad);
                    const Quad high = loadQuad(slope + (q + 1) * kQuad);
                    dotLow += low * loadQuad(sourceValue + q * kQuad);
                    dotHigh += high * loadQuad(sourceValue + (q + 1) * kQuad);
                    storeQuad(sourceSlope + q * kQuad, loadQuad(sourceSlope + q * kQuad) + w * low);
                    storeQuad(sourceSlope + (q + 1) * kQuad, loadQuad(sourceSlope + (q + 1) * kQuad) + w * high);
                }
            }
            weightSlopes[c] += laneSum(dotLow, dotHigh);
        }
    }
}

// Wider units where the CPU has them; the lanes and their order are the same in
// every version, so are the bits.
[[gnu::target("arch=x86-64-v4")]]
void backwardWidest(const CompiledNetwork& plan, const double* values, double* delta, size_t stride, int32_t blocks,
                    double* stepSlopes, double* weightSlopes) {
    backwardOn(plan, values, delta, stride, blocks, stepSlopes, weightSlopes);
}
[[gnu::target("arch=x86-64-v3")]]
void backwardWide(const CompiledNetwork& plan, const double* values, double* delta, size_t stride, int32_t blocks,
                  double* stepSlopes, double* weightSlopes) {
    backwardOn(plan, values, delta, stride, blocks, stepSlopes, weightSlopes);
}
void backwardBaseline(const CompiledNetwork& plan, const double* values, double* delta, size_t stride,
                      int32_t blocks, double* stepSlopes, double* weightSlopes) {
    backwardOn(plan, values, delta, stride, blocks, stepSlopes, weightSlopes);
}

using Backward = void (*)(const CompiledNetwork&, const double*, double*, size_t, int32_t, double*, double*);
Backward widestBackward() {
    static const Backward chosen = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("x86-64-v4")) return &backwardWidest;
        return __builtin_cpu_supports("x86-64-v3") ? &backwardWide : &backwardBaseline;
    }();
    return chosen;
}

void requireSlope(int32_t lossId) {
    if (!GradientPass::supports(lossId)) {
        throw std::invalid_argument("The loss id " + std::to_string(lossId) + " has no derivative.");
    }
}

}  // namespace

bool GradientPass::supports(int32_t lossId) { return hasLossSlope(lossId); }

void GradientPass::compile(const Network& network) { plan_.compile(network, false); }

void GradientPass::chunk(const CompiledNetwork& plan, const SampleView& x, const SampleView& y, int32_t lossId,
                         int32_t width, int32_t first, int32_t count, double* stepSlopes, double* weightSlopes,
                         double* terms) {
    requireSlope(lossId);
    std::fill(stepSlopes, stepSlopes + plan.steps().size(), 0.0);
    std::fill(weightSlopes, weightSlopes + plan.weights().size(), 0.0);
    const int32_t tile = scorer_.prepareTiles(plan, kTileSamples);
    const auto stride = static_cast<size_t>(tile);
    const size_t cells = static_cast<size_t>(std::max(plan.slotCount(), 1)) * stride;
    if (delta_.size() < cells) delta_.resize(cells);
    const Backward backward = widestBackward();
    const int32_t* outputSlots = plan.outputSlots().data();
    const double scale = 1.0 / width;
    const auto targetStride = static_cast<size_t>(y.columns);

    for (int32_t at = first; at < first + count; at += tile) {
        const int32_t n = std::min(tile, first + count - at);
        const int32_t blocks = (n + kBlock - 1) / kBlock;
        double* values = scorer_.forwardTile(plan, x, at, n);
        // Lanes past the last sample hold values of zero inputs: zero them, so
        // that they add nothing to any sum below.
        for (int32_t slot = 0; slot < plan.slotCount(); ++slot) {
            std::fill(values + slot * stride + n, values + slot * stride + blocks * kBlock, 0.0);
        }
        std::fill(delta_.begin(), delta_.begin() + static_cast<ptrdiff_t>(cells), 0.0);

        // Each sample's term as the scorer sums it (outputs in order from 0.0,
        // then divided by width), and the slope in each scored output.
        double* sampleTerms = terms + (at - first);
        const double* targets = y.row(at);
        if (isRowLoss(lossId)) {
            rowSlopesOfTile(plan, values, stride, targets, targetStride, lossId, width, n, sampleTerms);
            weighTile(plan, y, at, n, stride, sampleTerms);
            backward(plan, values, delta_.data(), stride, blocks, stepSlopes, weightSlopes);
            continue;
        }
        std::fill(sampleTerms, sampleTerms + n, 0.0);
        for (int32_t k = 0; k < width; ++k) {
            const double* p = values + static_cast<size_t>(outputSlots[k]) * stride;
            double* slope = delta_.data() + static_cast<size_t>(outputSlots[k]) * stride;
            for (int32_t s = 0; s < n; ++s) {
                const double target = targets[s * targetStride + k];
                sampleTerms[s] += lossTerm(lossId, target, p[s]);
                slope[s] = lossSlope(lossId, target, p[s]) * scale;
            }
        }
        for (int32_t s = 0; s < n; ++s) sampleTerms[s] /= width;
        weighTile(plan, y, at, n, stride, sampleTerms);
        backward(plan, values, delta_.data(), stride, blocks, stepSlopes, weightSlopes);
    }
}

// Weighted samples count by their weight, as the scorer counts them: each
// term and each output's slope times the sample's weight.
void GradientPass::weighTile(const CompiledNetwork& plan, const SampleView& y, int32_t at, int32_t n, size_t stride,
                             double* sampleTerms) {
    if (y.weights == nullptr) return;
    const double* weight = y.weights + at;
    for (int32_t s = 0; s < n; ++s) sampleTerms[s] = weight[s] * sampleTerms[s];
    for (const int32_t slot : plan.outputSlots()) {
        double* slope = delta_.data() + static_cast<size_t>(slot) * stride;
        for (int32_t s = 0; s < n; ++s) slope[s] *= weight[s];
    }
}

// A row loss needs each sample's outputs at once: they are gathered from the
// tile's slots, and the slopes scattered back.
void GradientPass::rowSlopesOfTile(const CompiledNetwork& plan, const double* values, size_t stride,
                                   const double* targets, size_t targetStride, int32_t lossId, int32_t width,
                                   int32_t n, double* sampleTerms) {
    const int32_t outputs = plan.outputs();
    const int32_t* outputSlots = plan.outputSlots().data();
    rowValues_.resize(static_cast<size_t>(outputs));
    rowSlopes_.resize(static_cast<size_t>(outputs));
    for (int32_t s = 0; s < n; ++s) {
        for (int32_t k = 0; k < outputs; ++k) rowValues_[k] = values[static_cast<size_t>(outputSlots[k]) * stride + s];
        const double* target = targets + s * targetStride;
        sampleTerms[s] = sampleTerm(lossId, target, width, rowValues_.data(), outputs);
        rowLossSlopes(lossId, target, width, rowValues_.data(), outputs, rowSlopes_.data());
        for (int32_t k = 0; k < outputs; ++k) delta_[static_cast<size_t>(outputSlots[k]) * stride + s] = rowSlopes_[k];
    }
}

double GradientPass::run(const SampleView& x, const SampleView& y, int32_t lossId) {
    requireSlope(lossId);
    const size_t stepCount = plan_.steps().size();
    const size_t weightCount = plan_.weights().size();
    stepSlopes_.assign(stepCount, 0.0);
    weightSlopes_.assign(weightCount, 0.0);
    const int32_t samples = x.columns >= plan_.inputs() ? std::max(0, std::min(x.rows, y.rows)) : 0;
    const int32_t width = std::max(0, std::min(y.columns, plan_.outputs()));
    if (samples == 0 || width == 0) return std::numeric_limits<double>::quiet_NaN();

    chunkSteps_.resize(stepCount);
    chunkWeights_.resize(weightCount);
    terms_.resize(static_cast<size_t>(samples));
    for (int32_t first = 0; first < samples; first += kGradientChunkRows) {
        const int32_t count = std::min(kGradientChunkRows, samples - first);
        chunk(plan_, x, y, lossId, width, first, count, chunkSteps_.data(), chunkWeights_.data(), terms_.data() + first);
        for (size_t k = 0; k < stepCount; ++k) stepSlopes_[k] += chunkSteps_[k];
        for (size_t c = 0; c < weightCount; ++c) weightSlopes_[c] += chunkWeights_[c];
    }
    double total = 0.0;
    for (int32_t s = 0; s < samples; ++s) total += terms_[static_cast<size_t>(s)];
    const double denominator = y.weightTotal(samples);
    const double inverse = 1.0 / denominator;
    for (double& slope : stepSlopes_) slope *= inverse;
    for (double& slope : weightSlopes_) slope *= inverse;
    return total / denominator;
}

double GradientPass::loss(const SampleView& x, const SampleView& y, int32_t lossId) {
    double result = 0.0;
    scorer_.score(plan_, x, y, &lossId, 1, &result);
    return result;
}

NetworkGradient gradientOfNetwork(const Network& network, const CompiledNetwork& plan, double loss,
                                  const double* stepSlopes, const double* weightSlopes) {
    NetworkGradient gradient;
    gradient.loss = loss;
    gradient.biases.assign(static_cast<size_t>(network.size), 0.0);
    const std::vector<CompiledNetwork::Step>& steps = plan.steps();
    // Per node: the plan's next connection into it. A target's sources come in
    // ascending order both in the plan and in a row-by-row walk of the flags.
    std::vector<int32_t> next(static_cast<size_t>(network.size), -1);
    for (size_t k = 0; k < steps.size(); ++k) {
        gradient.biases[static_cast<size_t>(steps[k].slot)] = stepSlopes[k];
        next[static_cast<size_t>(steps[k].slot)] = steps[k].first;
    }
    gradient.weights.reserve(static_cast<size_t>(network.connections.count()));
    for (int32_t from = 0; from < network.size; ++from) {
        network.connections.forEachInRow(from, 0, [&](int32_t to) {
            const bool counts = to >= network.inputs && to > from && next[static_cast<size_t>(to)] >= 0;
            gradient.weights.push_back(counts ? weightSlopes[next[static_cast<size_t>(to)]++] : 0.0);
        });
    }
    return gradient;
}

NetworkGradient networkGradient(const Network& network, const SampleView& x, const SampleView& y, int32_t lossId) {
    GradientPass pass;
    pass.compile(network);
    const double loss = pass.run(x, y, lossId);
    return gradientOfNetwork(network, pass.plan(), loss, pass.stepSlopes().data(), pass.weightSlopes().data());
}

}  // namespace kestrin
