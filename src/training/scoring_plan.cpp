#include "training/scoring_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "network/activation.h"
#include "network/fast_math_single.h"
#include "training/evaluate.h"
#include "training/loss_terms.h"

namespace kestrin {

void CompiledNetwork::compile(const Network& network, bool foldConstants) {
    const int32_t n = network.size;
    const int32_t in = network.inputs;
    const int32_t out = network.outputs;
    if (in < 0 || out < 0 || n < in + out) throw std::invalid_argument("network smaller than its inputs and outputs");
    inputs_ = in;
    outputs_ = out;
    slotCount_ = n;  // a node's slot is its index

    // One scan of the flag rows lists the forward connections source by source;
    // a counting sort by target then leaves each target's sources in ascending
    // order, the order in which the reference pass adds them. Raw pointers below:
    // stores through uint8_t would otherwise make the compiler reload every vector.
    sourceStart_.assign(static_cast<size_t>(n) + 1, 0);
    rowEnd_.resize(static_cast<size_t>(n));
    int32_t* start = sourceStart_.data();
    int32_t edges = 0;
    bool everyNodeFeedsForward = true;
    for (int32_t i = 0; i < n; ++i) {
        // A row adds at most n edges; grow (rarely) before scanning it.
        if (edgeTarget_.size() < static_cast<size_t>(edges) + static_cast<size_t>(n)) {
            const size_t grown = std::max(2 * edgeTarget_.size(), static_cast<size_t>(edges) + static_cast<size_t>(n));
            edgeTarget_.resize(grown);
            edgeWeight_.resize(grown);
        }
        int32_t* target = edgeTarget_.data();
        double* edgeWeight = edgeWeight_.data();
        const double* row = network.weights[i];
        network.connections.forEachInRow(i, std::max(in, i + 1), [&](int32_t j) {
            target[edges] = j;
            edgeWeight[edges] = row[j];
            ++edges;
            ++start[j + 1];
        });
        if (i >= in && i < n - out && edges == (i > 0 ? rowEnd_[i - 1] : 0)) everyNodeFeedsForward = false;
        rowEnd_[i] = edges;
    }
    const int32_t* target = edgeTarget_.data();
    const double* edgeWeight = edgeWeight_.data();
    for (int32_t j = 0; j < n; ++j) start[j + 1] += start[j];
    forwardConnections_ = edges;
    sources_.resize(static_cast<size_t>(edges));
    weights_.resize(static_cast<size_t>(edges));
    int32_t* sources = sources_.data();
    double* weights = weights_.data();
    cursor_.assign(sourceStart_.begin(), sourceStart_.end() - 1);
    int32_t* cursor = cursor_.data();
    for (int32_t i = 0, e = 0; i < n; ++i) {
        for (const int32_t end = rowEnd_[i]; e < end; ++e) {
            const int32_t at = cursor[target[e]]++;
            sources[at] = i;
            weights[at] = edgeWeight[e];
        }
    }

    // Only nodes some output depends on are worth computing. When every
    // non-output node feeds a later one (as evolved networks do), following
    // connections forward from any node ends at an output: all are needed.
    live_.assign(static_cast<size_t>(n), everyNodeFeedsForward ? 1 : 0);
    uint8_t* live = live_.data();
    if (!everyNodeFeedsForward) {
        for (int32_t k = 0; k < out; ++k) live[n - out + k] = 1;
        for (int32_t j = n - 1; j >= in; --j) {
            if (!live[j]) continue;
            for (int32_t c = start[j], end = start[j + 1]; c < end; ++c) live[sources[c]] = 1;
        }
    }

    steps_.clear();
    constantSlots_.clear();
    constantValues_.clear();
    constant_.assign(static_cast<size_t>(n), 0);
    constantOfNode_.resize(static_cast<size_t>(n));
    const uint8_t* constant = constant_.data();
    for (int32_t j = in; j < n; ++j) {
        if (!live[j]) continue;
        const int32_t end = start[j + 1];
        // Leading sources that are the same for every sample are added here, once,
        // with the same operations in the same order as the per-sample pass.
        double sum = network.biases[j];
        int32_t c = start[j];
        for (; foldConstants && c < end && constant[sources[c]]; ++c) sum = weights[c] * constantOfNode_[sources[c]] + sum;
        if (foldConstants && c == end) {
            const double value = activation_function(network.activations[j], sum);
            constant_[j] = 1;
            constantOfNode_[j] = value;
            constantSlots_.push_back(j);
            constantValues_.push_back(value);
        } else {
            steps_.push_back({sum, c, end, network.activations[j], j});
        }
    }

    outputSlots_.resize(static_cast<size_t>(out));
    for (int32_t k = 0; k < out; ++k) outputSlots_[k] = n - out + k;

    singleStarts_.resize(steps_.size());
    for (size_t k = 0; k < steps_.size(); ++k) singleStarts_[k] = static_cast<float>(steps_[k].start);
    singleWeights_.resize(weights_.size());
    negativeZeroWeights_ = false;
    for (size_t k = 0; k < weights_.size(); ++k) {
        singleWeights_[k] = static_cast<float>(weights_[k]);
        negativeZeroWeights_ = negativeZeroWeights_ || (weights_[k] == 0.0 && std::signbit(weights_[k]));
    }
    singleConstantValues_.resize(constantValues_.size());
    for (size_t k = 0; k < constantValues_.size(); ++k) singleConstantValues_[k] = static_cast<float>(constantValues_[k]);
}

void CompiledNetwork::setGenes(const double* starts, const double* weights) {
    for (size_t k = 0; k < steps_.size(); ++k) {
        steps_[k].start = starts[k];
        singleStarts_[k] = static_cast<float>(starts[k]);
    }
    negativeZeroWeights_ = false;
    for (size_t k = 0; k < weights_.size(); ++k) {
        weights_[k] = weights[k];
        singleWeights_[k] = static_cast<float>(weights[k]);
        negativeZeroWeights_ = negativeZeroWeights_ || (weights[k] == 0.0 && std::signbit(weights[k]));
    }
}

namespace {

// Four or eight doubles; the compiler maps them onto whatever vector registers the target has.
// Everything taking or giving a vector is always inlined into one function per
// target: a real call would pass it differently in the baseline and the AVX
// versions. So the ABI note about passing it does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double Vec __attribute__((vector_size(32)));
typedef double Vec8 __attribute__((vector_size(64)));
constexpr int32_t kLanes = 4;
// Tiles hold whole 8-lane vectors: samples past the last are padded up to these.
constexpr int32_t kPadLanes = 8;
// Widest tile: 8 vectors (of four lanes, or of eight with AVX-512), enough
// independent sums to hide the add latency.
constexpr int32_t kMaxTileVectors = 8;
constexpr int32_t kMaxTile = kMaxTileVectors * kLanes;

namespace single = fastmath::single;
using single::Float16;
using single::Float4;
using single::Float8;
// Float tiles hold whole 16-lane vectors.
constexpr int32_t kSinglePadLanes = 16;

// The scalar type of vector V.
template <typename V>
using LaneOf = std::remove_cvref_t<decltype(std::declval<V>()[0])>;
template <typename V>
constexpr int32_t kLanesOf = static_cast<int32_t>(sizeof(V) / sizeof(LaneOf<V>));

template <typename V>
[[gnu::always_inline]] inline V load(const LaneOf<V>* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
template <typename V>
[[gnu::always_inline]] inline void store(LaneOf<V>* p, const V& v) {
    __builtin_memcpy(p, &v, sizeof v);
}
// Every lane x, signed zeros included (0.0 + x would turn -0.0 into +0.0).
template <typename V>
[[gnu::always_inline]] inline V splat(LaneOf<V> x) {
    V v;
    for (int32_t i = 0; i < kLanesOf<V>; ++i) v[i] = x;
    return v;
}
// Every lane 0 + x: x itself but for -0.0. One broadcast, where splat's lanes
// are set one by one (with AVX-512, a masked broadcast each), which in the
// innermost loop costs more than the multiply-adds.
template <typename V>
[[gnu::always_inline]] inline V broadcastAdded(LaneOf<V> x) {
    return V{} + x;
}

// Runs every step on the first U vectors of each slot row; `count` lanes are real samples.
// VectorMath: sigmoid and tanh on whole vectors (worth it with 4-lane units);
// otherwise one lane at a time. Both give the same bits.
// With float lanes the plan's float copies are read and sigmoid and tanh are
// always on whole vectors (fast_math_single.h).
// SignedZeroWeights: some weight is -0.0, whose sign the sum can keep (-0 + -0),
// so weights are splat lane by lane; otherwise broadcastAdded gives their bits.
template <typename V, int U, bool VectorMath, bool SignedZeroWeights>
[[gnu::always_inline]] inline void runStepsOnWith(const CompiledNetwork& plan, LaneOf<V>* values, size_t stride,
                                              int32_t count) {
    using T = LaneOf<V>;
    constexpr bool isSingle = std::is_same_v<T, float>;
    constexpr int32_t lanes = kLanesOf<V>;
    const int32_t* sources = plan.sources().data();
    const T* weights;
    if constexpr (isSingle) {
        weights = plan.singleWeights().data();
    } else {
        weights = plan.weights().data();
    }
    const size_t stepCount = plan.steps().size();
    for (size_t k = 0; k < stepCount; ++k) {
        const CompiledNetwork::Step& step = plan.steps()[k];
        V sum[U];
        V start;
        T first;
        if constexpr (isSingle) {
            first = plan.singleStarts()[k];
        } else {
            first = step.start;
        }
        start = first == T{0} && std::signbit(first) ? splat<V>(first) : broadcastAdded<V>(first);
        for (int u = 0; u < U; ++u) sum[u] = start;
        for (int32_t c = step.first; c < step.last; ++c) {
            const T* row = values + static_cast<size_t>(sources[c]) * stride;
            const V w = SignedZeroWeights ? splat<V>(weights[c]) : broadcastAdded<V>(weights[c]);
            for (int u = 0; u < U; ++u) sum[u] = w * load<V>(row + u * lanes) + sum[u];
        }
        T* out = values + static_cast<size_t>(step.slot) * stride;
        const V zero = splat<V>(T{0});
        switch (step.activation) {
            case kRelu:
                for (int u = 0; u < U; ++u) store(out + u * lanes, sum[u] > zero ? sum[u] : zero);
                break;
            case kLinear:
                for (int u = 0; u < U; ++u) store(out + u * lanes, sum[u]);
                break;
            case kSigmoid:
                if constexpr (isSingle) {
                    for (int u = 0; u < U; ++u) store(out + u * lanes, single::sigmoid(sum[u]));
                } else if constexpr (VectorMath) {
                    for (int u = 0; u < U; ++u) store(out + u * lanes, sigmoidOf(sum[u]));
                } else {
                    for (int u = 0; u < U; ++u) store(out + u * lanes, sum[u]);
                    for (int32_t s = 0; s < count; ++s) out[s] = SIGMOID(out[s]);
                }
                break;
            case kTanh:
                if constexpr (isSingle) {
                    for (int u = 0; u < U; ++u) store(out + u * lanes, single::tanh(sum[u]));
                } else if constexpr (VectorMath) {
                    for (int u = 0; u < U; ++u) store(out + u * lanes, tanhOf(sum[u]));
                } else {
                    for (int u = 0; u < U; ++u) store(out + u * lanes, sum[u]);
                    for (int32_t s = 0; s < count; ++s) out[s] = TANH(out[s]);
                }
                break;
            default:
                for (int u = 0; u < U; ++u) store(out + u * lanes, zero);
                break;
        }
    }
}

template <typename V, int U, bool VectorMath>
[[gnu::always_inline]] inline void runStepsOn(const CompiledNetwork& plan, LaneOf<V>* values, size_t stride,
                                              int32_t count) {
    if (plan.hasNegativeZeroWeights()) {
        runStepsOnWith<V, U, VectorMath, true>(plan, values, stride, count);
    } else {
        runStepsOnWith<V, U, VectorMath, false>(plan, values, stride, count);
    }
}

template <bool VectorMath>
[[gnu::always_inline]] inline void runStepsWith(const CompiledNetwork& plan, double* values, size_t stride,
                                                int32_t count) {
    switch ((count + kLanes - 1) / kLanes) {
        case 1: runStepsOn<Vec, 1, VectorMath>(plan, values, stride, count); break;
        case 2: runStepsOn<Vec, 2, VectorMath>(plan, values, stride, count); break;
        case 3: runStepsOn<Vec, 3, VectorMath>(plan, values, stride, count); break;
        case 4: runStepsOn<Vec, 4, VectorMath>(plan, values, stride, count); break;
        case 5: runStepsOn<Vec, 5, VectorMath>(plan, values, stride, count); break;
        case 6: runStepsOn<Vec, 6, VectorMath>(plan, values, stride, count); break;
        case 7: runStepsOn<Vec, 7, VectorMath>(plan, values, stride, count); break;
        case 8: runStepsOn<Vec, 8, VectorMath>(plan, values, stride, count); break;
        default: break;
    }
}

// Wider vector units where the CPU has them (checked at run time, so the module
// runs on any x86-64); the arithmetic is the same per lane in every version (no
// contraction, no reassociation).
[[gnu::target("arch=x86-64-v4")]]
void runStepsWidest(const CompiledNetwork& plan, double* values, size_t stride, int32_t count) {
    // A tile of four samples or fewer fills one 4-lane vector, half of an 8-lane one.
    if (count <= kLanes) {
        runStepsOn<Vec, 1, true>(plan, values, stride, count);
        return;
    }
    switch ((count + kPadLanes - 1) / kPadLanes) {
        case 1: runStepsOn<Vec8, 1, true>(plan, values, stride, count); break;
        case 2: runStepsOn<Vec8, 2, true>(plan, values, stride, count); break;
        case 3: runStepsOn<Vec8, 3, true>(plan, values, stride, count); break;
        case 4: runStepsOn<Vec8, 4, true>(plan, values, stride, count); break;
        case 5: runStepsOn<Vec8, 5, true>(plan, values, stride, count); break;
        case 6: runStepsOn<Vec8, 6, true>(plan, values, stride, count); break;
        case 7: runStepsOn<Vec8, 7, true>(plan, values, stride, count); break;
        case 8: runStepsOn<Vec8, 8, true>(plan, values, stride, count); break;
        default: break;
    }
}
[[gnu::target("arch=x86-64-v3")]]
void runStepsWide(const CompiledNetwork& plan, double* values, size_t stride, int32_t count) {
    runStepsWith<true>(plan, values, stride, count);
}
// Plain x86-64 emulates a Vec with two 2-lane registers, where sigmoid and tanh
// cost more on vectors than one lane at a time.
void runStepsBaseline(const CompiledNetwork& plan, double* values, size_t stride, int32_t count) {
    runStepsWith<false>(plan, values, stride, count);
}

// The float kernels: up to 8 vectors per slot row, as many as the tile's samples fill.
template <typename V>
[[gnu::always_inline]] inline void runSingleStepsOn(const CompiledNetwork& plan, float* values, size_t stride,
                                                    int32_t count) {
    switch ((count + kLanesOf<V> - 1) / kLanesOf<V>) {
        case 1: runStepsOn<V, 1, true>(plan, values, stride, count); break;
        case 2: runStepsOn<V, 2, true>(plan, values, stride, count); break;
        case 3: runStepsOn<V, 3, true>(plan, values, stride, count); break;
        case 4: runStepsOn<V, 4, true>(plan, values, stride, count); break;
        case 5: runStepsOn<V, 5, true>(plan, values, stride, count); break;
        case 6: runStepsOn<V, 6, true>(plan, values, stride, count); break;
        case 7: runStepsOn<V, 7, true>(plan, values, stride, count); break;
        case 8: runStepsOn<V, 8, true>(plan, values, stride, count); break;
        default: break;
    }
}
[[gnu::target("arch=x86-64-v4")]]
void runSingleStepsWidest(const CompiledNetwork& plan, float* values, size_t stride, int32_t count) {
    if (count <= 8) {
        runStepsOn<Float8, 1, true>(plan, values, stride, count);
        return;
    }
    runSingleStepsOn<Float16>(plan, values, stride, count);
}
[[gnu::target("arch=x86-64-v3")]]
void runSingleStepsWide(const CompiledNetwork& plan, float* values, size_t stride, int32_t count) {
    runSingleStepsOn<Float8>(plan, values, stride, count);
}
void runSingleStepsBaseline(const CompiledNetwork& plan, float* values, size_t stride, int32_t count) {
    runSingleStepsOn<Float4>(plan, values, stride, count);
}

// sum[s] += exp(p[s] - largest[s]) for s < count, rounded up to whole vectors:
// the softmax losses' exps on vectors, fastmath's exp giving the scalar bits.
template <typename V>
[[gnu::always_inline]] inline void addShiftedExpsOn(const double* p, const double* largest, double* sum, int32_t count) {
    for (int32_t s = 0; s < count; s += kLanesOf<V>) {
        store(sum + s, load<V>(sum + s) + fastmath::exp(load<V>(p + s) - load<V>(largest + s)));
    }
}
[[gnu::target("arch=x86-64-v3")]]
void addShiftedExpsWide(const double* p, const double* largest, double* sum, int32_t count) {
    addShiftedExpsOn<Vec>(p, largest, sum, count);
}
void addShiftedExpsBaseline(const double* p, const double* largest, double* sum, int32_t count) {
    addShiftedExpsOn<Vec>(p, largest, sum, count);
}

}  // namespace

BatchScorer::Kernel BatchScorer::widestKernel() {
    static const Kernel widest = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("x86-64-v4")) return Kernel::kWidest;
        return __builtin_cpu_supports("x86-64-v3") ? Kernel::kWide : Kernel::kBaseline;
    }();
    return widest;
}

int32_t BatchScorer::prepare(const CompiledNetwork& plan, Precision precision, int32_t maxWidth) {
    // Eight running sums per node hide the add latency; that matters more than
    // keeping every slot row in L1 (measured: 32 wide beats 16 up to 256 nodes).
    constexpr size_t kTileBytes = 128 * 1024;
    single_ = precision == Precision::kFloat32;
    const size_t slots = static_cast<size_t>(std::max(plan.slotCount(), 1));
    const size_t valueBytes = single_ ? sizeof(float) : sizeof(double);
    // Floats: twice the lanes per AVX2 or AVX-512 vector, so twice the samples
    // per tile (the baseline's float vectors have four lanes, as its double ones).
    const int32_t narrowest = single_ ? kSinglePadLanes : 2 * kLanes;
    int32_t width = kernel_ == Kernel::kWidest ? 2 * kMaxTile : kMaxTile;
    if (single_ && kernel_ != Kernel::kBaseline) width *= 2;
    if (maxWidth > 0) width = std::min(width, std::max(maxWidth, narrowest));
    while (width > narrowest && slots * static_cast<size_t>(width) * valueBytes > kTileBytes) width /= 2;
    tileWidth_ = width;
    if (softmaxScratch_.size() < 2 * static_cast<size_t>(width)) softmaxScratch_.resize(2 * static_cast<size_t>(width));

    const std::vector<int32_t>& constants = plan.constantSlots();
    if (single_) {
        constexpr size_t kAlignFloats = 64 / sizeof(float);
        const size_t needed = slots * static_cast<size_t>(width) + kAlignFloats;
        if (singleStorage_.size() < needed) singleStorage_.resize(needed);
        const auto address = reinterpret_cast<uintptr_t>(singleStorage_.data());
        singleValues_ = singleStorage_.data() + ((64 - address % 64) % 64) / sizeof(float);
        const size_t wide = static_cast<size_t>(std::max(plan.outputs(), 1)) * static_cast<size_t>(width);
        if (wideOutputs_.size() < wide) wideOutputs_.resize(wide);
        for (size_t c = 0; c < constants.size(); ++c) {
            float* row = singleValues_ + static_cast<size_t>(constants[c]) * width;
            std::fill(row, row + width, plan.singleConstantValues()[c]);
        }
        return width;
    }

    constexpr size_t kAlignDoubles = 64 / sizeof(double);
    const size_t needed = slots * static_cast<size_t>(width) + kAlignDoubles;
    if (storage_.size() < needed) storage_.resize(needed);
    const auto address = reinterpret_cast<uintptr_t>(storage_.data());
    values_ = storage_.data() + ((64 - address % 64) % 64) / sizeof(double);

    for (size_t c = 0; c < constants.size(); ++c) {
        double* row = values_ + static_cast<size_t>(constants[c]) * width;
        std::fill(row, row + width, plan.constantValues()[c]);
    }
    return width;
}

void BatchScorer::runTile(const CompiledNetwork& plan, const SampleView& x, int32_t first, int32_t count) {
    const size_t stride = static_cast<size_t>(tileWidth_);
    if (single_) {
        const int32_t padded = std::min((count + kSinglePadLanes - 1) / kSinglePadLanes * kSinglePadLanes, tileWidth_);
        for (int32_t i = 0; i < plan.inputs(); ++i) {
            float* row = singleValues_ + static_cast<size_t>(i) * stride;
            for (int32_t s = 0; s < count; ++s) row[s] = static_cast<float>(x.row(first + s)[i]);
            for (int32_t s = count; s < padded; ++s) row[s] = 0.0f;
        }
        switch (kernel_) {
            case Kernel::kWidest: runSingleStepsWidest(plan, singleValues_, stride, count); break;
            case Kernel::kWide: runSingleStepsWide(plan, singleValues_, stride, count); break;
            default: runSingleStepsBaseline(plan, singleValues_, stride, count); break;
        }
        // Loss terms and predictions read double rows, padding lanes included.
        for (int32_t k = 0; k < plan.outputs(); ++k) {
            const float* row = singleValues_ + static_cast<size_t>(plan.outputSlots()[k]) * stride;
            double* wide = wideOutputs_.data() + static_cast<size_t>(k) * stride;
            for (int32_t s = 0; s < padded; ++s) wide[s] = row[s];
        }
        return;
    }
    const int32_t padded = (count + kPadLanes - 1) / kPadLanes * kPadLanes;
    for (int32_t i = 0; i < plan.inputs(); ++i) {
        double* row = values_ + static_cast<size_t>(i) * stride;
        for (int32_t s = 0; s < count; ++s) row[s] = x.row(first + s)[i];
        // Lanes past the last sample are computed too; give them harmless values.
        for (int32_t s = count; s < padded; ++s) row[s] = 0.0;
    }
    switch (kernel_) {
        case Kernel::kWidest: runStepsWidest(plan, values_, stride, count); break;
        case Kernel::kWide: runStepsWide(plan, values_, stride, count); break;
        default: runStepsBaseline(plan, values_, stride, count); break;
    }
}

void BatchScorer::predict(Network& network, const SampleView& x, double* out) {
    if (x.rows > 0 && x.columns < network.inputs) throw std::invalid_argument("samples narrower than the network's inputs");
    if (!compilesFor(x.rows)) {
        for (int32_t i = 0; i < x.rows; ++i) network.activate(x.row(i), out + static_cast<size_t>(i) * network.outputs);
        return;
    }
    plan_.compile(network);
    predict(plan_, x, out);
}

void BatchScorer::predict(const CompiledNetwork& plan, const SampleView& x, double* out) {
    if (x.rows > 0 && x.columns < plan.inputs()) throw std::invalid_argument("samples narrower than the network's inputs");
    const int32_t width = prepare(plan);
    const int32_t outputs = plan.outputs();
    for (int32_t first = 0; first < x.rows; first += width) {
        const int32_t count = std::min(width, x.rows - first);
        runTile(plan, x, first, count);
        for (int32_t k = 0; k < outputs; ++k) {
            const double* row = outputRow(plan, k);
            for (int32_t s = 0; s < count; ++s) out[static_cast<size_t>(first + s) * outputs + k] = row[s];
        }
    }
}

namespace {

// Same reach as the reference evaluate: only samples with every input and a
// target row, and only targets the network predicts.
int32_t scoredSamples(const SampleView& x, const SampleView& y, int32_t inputs) {
    return x.columns >= inputs ? std::max(0, std::min(x.rows, y.rows)) : 0;
}
int32_t scoredWidth(const SampleView& y, int32_t outputs) { return std::max(0, std::min(y.columns, outputs)); }

void finishScores(double* result, size_t idCount, double denominator) {
    for (size_t j = 0; j < idCount; ++j) result[j] /= denominator;
}

bool hasRowTerm(int32_t id) { return knownLoss(id) && kLossTable[static_cast<size_t>(id)].row != nullptr; }

template <ElementTerm term>
[[gnu::always_inline]] inline void addElementTerms(const double* t, size_t stride, const double* p, int32_t count,
                                                   double* terms) {
    for (int32_t s = 0; s < count; ++s) terms[s] += term(t[s * stride], p[s]);
}

}  // namespace

void BatchScorer::addSampleTerms(const SampleView& y, int32_t row, int32_t width, const int32_t* ids, size_t idCount,
                                 double* result) const {
    const double* target = y.row(row);
    const auto outputs = static_cast<int32_t>(prediction_.size());
    for (size_t j = 0; j < idCount; ++j) {
        const double term = sampleTerm(ids[j], target, width, prediction_.data(), outputs);
        result[j] += y.weights ? y.weights[row] * term : term;
    }
}

void BatchScorer::tileTerms(const CompiledNetwork& plan, const SampleView& y, int32_t first, int32_t count,
                           int32_t width, int32_t id, double* terms) {
    const size_t stride = static_cast<size_t>(y.columns);
    const double* targets = y.row(first);
    if (id == kCategoricalCrossentropy || id == kSparseCategoricalCrossentropy) {
        softmaxTerms(plan, y, first, count, width, id, terms);
        return;
    }
    if (hasRowTerm(id)) {
        // A whole-row term sees one sample's outputs side by side, as the
        // reference pass holds them: gathered from the slot rows (a few values).
        const RowTerm term = kLossTable[static_cast<size_t>(id)].row;
        const int32_t outputs = plan.outputs();
        double* p = prediction_.data();
        for (int32_t s = 0; s < count; ++s) {
            for (int32_t k = 0; k < outputs; ++k) p[k] = outputRow(plan, k)[s];
            terms[s] = term(targets + s * stride, width, p, outputs);
        }
        return;
    }
    // Each term sums its outputs in index order from 0.0, as errorSum does; the
    // loops over the tile's samples vectorise.
    std::fill(terms, terms + count, 0.0);
    for (int32_t k = 0; k < width; ++k) {
        const double* p = outputRow(plan, k);
        const double* t = targets + k;
        switch (id) {
            case kMse:
                for (int32_t s = 0; s < count; ++s) terms[s] += squaredError(t[s * stride], p[s]);
                break;
            case kMae:
                for (int32_t s = 0; s < count; ++s) terms[s] += absoluteError(t[s * stride], p[s]);
                break;
            case kMape:
                for (int32_t s = 0; s < count; ++s) terms[s] += percentageError(t[s * stride], p[s]);
                break;
            case kBinaryCrossentropy: addElementTerms<sigmoidCrossEntropy>(t, stride, p, count, terms); break;
            case kBinaryAccuracy:
            case kAccuracyBinary: addElementTerms<binaryHit>(t, stride, p, count, terms); break;
            case kBinaryAccuracyOfLogits:
            case kAccuracyBinaryOfLogits: addElementTerms<logitHit>(t, stride, p, count, terms); break;
            default:
                break;
        }
    }
    if (!knownLoss(id)) std::fill(terms, terms + count, std::numeric_limits<double>::quiet_NaN());
    for (int32_t s = 0; s < count; ++s) terms[s] /= width;
}

void BatchScorer::softmaxTerms(const CompiledNetwork& plan, const SampleView& y, int32_t first, int32_t count,
                               int32_t width, int32_t id, double* terms) {
    // loss_terms.h's softmax losses, output by output over the tile's samples
    // (loops that vectorise) with each sample's operations in the reference order.
    const int32_t outputs = plan.outputs();
    const size_t stride = static_cast<size_t>(y.columns);
    const double* targets = y.row(first);
    if (count <= 0) return;
    if (width <= 0 || outputs <= 0) {
        std::fill(terms, terms + count, kNoTerm);
        return;
    }
    // Whole vectors: the slot rows are padded past the tile's last sample, and so is the scratch.
    const auto padded = static_cast<size_t>((count + kLanes - 1) / kLanes * kLanes);
    double* largest = softmaxScratch_.data();
    double* sum = largest + tileWidth_;
    std::fill(largest, largest + padded, -std::numeric_limits<double>::infinity());
    std::fill(sum, sum + padded, 0.0);
    for (int32_t k = 0; k < outputs; ++k) {
        const double* p = outputRow(plan, k);
        for (size_t s = 0; s < padded; ++s) largest[s] = largerOf(largest[s], p[s]);
    }
    for (int32_t k = 0; k < outputs; ++k) {
        if (kernel_ == Kernel::kBaseline) {
            addShiftedExpsBaseline(outputRow(plan, k), largest, sum, static_cast<int32_t>(padded));
        } else {
            addShiftedExpsWide(outputRow(plan, k), largest, sum, static_cast<int32_t>(padded));
        }
    }
    for (int32_t s = 0; s < count; ++s) largest[s] = logSumExpFrom(largest[s], sum[s]);  // now the log-sum-exp
    if (id == kSparseCategoricalCrossentropy) {
        for (int32_t s = 0; s < count; ++s) {
            const int32_t c = classIndex(targets[s * stride], outputs);
            terms[s] = c < 0 ? kNoTerm : largest[s] - outputRow(plan, c)[s];
        }
        return;
    }
    std::fill(terms, terms + count, 0.0);
    for (int32_t k = 0; k < width; ++k) {
        const double* p = outputRow(plan, k);
        const double* t = targets + k;
        for (int32_t s = 0; s < count; ++s) terms[s] += t[s * stride] * (largest[s] - p[s]);
    }
}

void BatchScorer::addTileTerms(const CompiledNetwork& plan, const SampleView& y, int32_t first, int32_t count,
                               int32_t width, const int32_t* ids, size_t idCount, double* result) {
    // Id by id instead of sample by sample: each accumulator still receives the
    // same terms in sample order.
    double* terms = terms_.data();
    const double* weights = y.weights ? y.weights + first : nullptr;
    for (size_t j = 0; j < idCount; ++j) {
        tileTerms(plan, y, first, count, width, ids[j], terms);
        double total = result[j];
        if (weights) {
            for (int32_t s = 0; s < count; ++s) total += weights[s] * terms[s];
        } else {
            for (int32_t s = 0; s < count; ++s) total += terms[s];
        }
        result[j] = total;
    }
}

std::vector<double> BatchScorer::score(Network& network, const SampleView& x, const SampleView& y,
                                       const std::vector<int32_t>& ids) {
    std::vector<double> result(ids.size(), 0.0);
    const int32_t samples = scoredSamples(x, y, network.inputs);
    if (compilesFor(samples)) {
        plan_.compile(network);
        score(plan_, x, y, ids.data(), ids.size(), result.data());
        return result;
    }
    const int32_t width = scoredWidth(y, network.outputs);
    prediction_.resize(static_cast<size_t>(std::max(network.outputs, 0)));
    for (int32_t i = 0; i < samples; ++i) {
        network.activate(x.row(i), prediction_.data());
        addSampleTerms(y, i, width, ids.data(), ids.size(), result.data());
    }
    finishScores(result.data(), ids.size(), y.weightTotal(samples));
    return result;
}

ScoreRows BatchScorer::score(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                             const std::vector<int32_t>& ids) {
    ScoreRows rows;
    rows.reserve(networks.size());
    for (Network& network : networks) rows.push_back(score(network, x, y, ids));
    return rows;
}

void BatchScorer::score(const CompiledNetwork& plan, const SampleView& x, const SampleView& y, const int32_t* ids,
                        size_t idCount, double* result) {
    const int32_t samples = scoredSamples(x, y, plan.inputs());
    const int32_t width = scoredWidth(y, plan.outputs());
    std::fill(result, result + idCount, 0.0);
    const int32_t tile = prepare(plan);
    if (terms_.size() < static_cast<size_t>(tile)) terms_.resize(static_cast<size_t>(tile));
    if (prediction_.size() < static_cast<size_t>(plan.outputs())) prediction_.resize(static_cast<size_t>(plan.outputs()));
    for (int32_t first = 0; first < samples; first += tile) {
        const int32_t count = std::min(tile, samples - first);
        runTile(plan, x, first, count);
        addTileTerms(plan, y, first, count, width, ids, idCount, result);
    }
    finishScores(result, idCount, y.weightTotal(samples));
}

void BatchScorer::sampleTerms(const CompiledNetwork& plan, const SampleView& x, const SampleView& y, const int32_t* ids,
                              size_t idCount, double* terms, size_t stride) {
    const int32_t samples = scoredSamples(x, y, plan.inputs());
    const int32_t width = scoredWidth(y, plan.outputs());
    const int32_t tile = prepare(plan);
    if (prediction_.size() < static_cast<size_t>(plan.outputs())) prediction_.resize(static_cast<size_t>(plan.outputs()));
    for (int32_t first = 0; first < samples; first += tile) {
        const int32_t count = std::min(tile, samples - first);
        runTile(plan, x, first, count);
        for (size_t j = 0; j < idCount; ++j) {
            double* out = terms + j * stride + first;
            tileTerms(plan, y, first, count, width, ids[j], out);
            if (y.weights) {
                for (int32_t s = 0; s < count; ++s) out[s] = y.weights[first + s] * out[s];
            }
        }
    }
}

void BatchScorer::addSampleTermsInOrder(const double* terms, size_t stride, const SampleView& y, int32_t samples,
                                        size_t idCount, double* result) {
    for (size_t j = 0; j < idCount; ++j) {
        double total = 0.0;
        for (int32_t s = 0; s < samples; ++s) total += terms[j * stride + s];
        result[j] = total;
    }
    finishScores(result, idCount, y.weightTotal(samples));
}

}  // namespace kestrin
