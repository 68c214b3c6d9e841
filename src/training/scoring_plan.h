// Fast scoring: a network compiled once into a flat plan, run on many samples at a time.
//
// CompiledNetwork lists, for each non-input node in index order, its incoming
// (source, weight) pairs in ascending source order: exactly the connections the
// forward pass of Network::activate adds up (from a lower index into a non-input
// node), so the cost follows the number of connections, not size^2. Compiling
// also drops nodes no output depends on and folds nodes whose value cannot depend
// on the inputs into constants, computed once with the same operations. Node i's
// value lives in slot i.
//
// BatchScorer runs a plan on tiles of samples. Node values live in a scratch
// block of "slots" (one per input or kept node) x tile width, sample-contiguous,
// so the inner loop is a multiply-add over the samples of a tile. Every sample
// still sums bias first, then w * value + sum for each source in ascending
// order, and applies the same activation functions: results are bit-identical
// to the reference pass and to the reference evaluate. The scorer owns its
// scratch and reuses it across calls; nothing is allocated per tile or node.
// Where the CPU has AVX-512 (x86-64-v4, checked at run time) a kernel on 8-lane
// vectors runs, where it has AVX2 and FMA (x86-64-v3) one on 4-lane vectors,
// both with sigmoid and tanh on whole vectors; elsewhere one built for plain
// x86-64. None contracts or reorders, so all give the same bits.
//
// With Precision::kFloat32 the same plan runs on floats (the plan keeps float
// copies of its starts, weights and constants): twice the lanes per vector,
// tiles twice as wide, single-precision sigmoid and tanh (fast_math_single.h).
// The outputs are widened to double before any loss term, so terms and their
// sums are the float64 code's; every kernel width gives the same bits, but
// they are not the reference pass's (precision.h says how close they are).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "evolution/selection.h"
#include "network/network.h"
#include "training/precision.h"
#include "training/sample_matrix.h"

namespace kestrin {

class CompiledNetwork {
public:
    // One computed node: value = activation(start + sum of weight * source value).
    // start is the bias with any leading constant sources already added in.
    struct Step {
        double start;
        int32_t first;  // range [first, last) of sources() / weights(), past folded sources
        int32_t last;
        int32_t activation;
        int32_t slot;  // where the value goes
    };

    // Replaces the plan by one for network; storage is reused. The network must
    // keep size >= inputs + outputs (as every Network operation does).
    // foldConstants false keeps a step for every node an output depends on, with
    // start its bias and all its sources: what the backward pass (gradient.h)
    // needs, since a constant node's bias and weights still move the loss.
    void compile(const Network& network, bool foldConstants = true);
    // For a plan compiled with foldConstants false: every step's start (its
    // bias) and every weight replaced, in the plan's order, giving the plan that
    // compiling the network with those genes would (its structure depends on the
    // connections alone).
    void setGenes(const double* starts, const double* weights);

    int32_t inputs() const { return inputs_; }
    int32_t outputs() const { return outputs_; }
    // One slot per node; slots 0..inputs-1 hold the inputs.
    int32_t slotCount() const { return slotCount_; }
    // Connections the reference forward pass adds up (before any pruning).
    int64_t forwardConnections() const { return forwardConnections_; }

    const std::vector<Step>& steps() const { return steps_; }
    // Every forward connection, grouped by target in index order, sources ascending.
    const std::vector<int32_t>& sources() const { return sources_; }
    const std::vector<double>& weights() const { return weights_; }
    // Slots whose value is the same for every sample, and those values.
    const std::vector<int32_t>& constantSlots() const { return constantSlots_; }
    const std::vector<double>& constantValues() const { return constantValues_; }
    // The same numbers rounded to float, for the float32 kernels: one start per step.
    const std::vector<float>& singleStarts() const { return singleStarts_; }
    const std::vector<float>& singleWeights() const { return singleWeights_; }
    const std::vector<float>& singleConstantValues() const { return singleConstantValues_; }
    // Whether some weight of weights() is -0.0 (the kernels then splat weights lane by lane).
    bool hasNegativeZeroWeights() const { return negativeZeroWeights_; }
    // Slot of output k.
    const std::vector<int32_t>& outputSlots() const { return outputSlots_; }

private:
    int32_t inputs_ = 0;
    int32_t outputs_ = 0;
    int32_t slotCount_ = 0;
    int64_t forwardConnections_ = 0;
    std::vector<Step> steps_;
    std::vector<int32_t> sources_;
    std::vector<double> weights_;
    std::vector<int32_t> constantSlots_;
    std::vector<double> constantValues_;
    std::vector<int32_t> outputSlots_;
    std::vector<float> singleStarts_;
    std::vector<float> singleWeights_;
    std::vector<float> singleConstantValues_;
    bool negativeZeroWeights_ = false;

    // Compile-time scratch, kept to avoid reallocating per network.
    std::vector<int32_t> sourceStart_;  // per node: its range in sources_ / weights_
    std::vector<int32_t> rowEnd_;       // per node: end of its outgoing edges in edgeTarget_
    std::vector<int32_t> edgeTarget_;
    std::vector<double> edgeWeight_;
    std::vector<int32_t> cursor_;
    std::vector<uint8_t> live_;
    std::vector<uint8_t> constant_;
    std::vector<double> constantOfNode_;
};

class BatchScorer {
public:
    // Below this many samples, compiling costs more than it saves: the Network
    // forms below then run the reference pass (Network::activate) per sample,
    // which is why they take the network by non-const reference, as evaluate does.
    static constexpr int32_t kCompileFromRows = 3;

    // Writes x.rows rows of network.outputs values to out, row-major: row i is what
    // Network::activate returns for x.row(i). Reads network.inputs columns of x;
    // throws std::invalid_argument when x has fewer.
    void predict(Network& network, const SampleView& x, double* out);
    void predict(const CompiledNetwork& plan, const SampleView& x, double* out);

    // Exactly what evaluate returns for one network, including its handling of
    // unknown ids and of rows or columns that do not match (see evaluate.h).
    std::vector<double> score(Network& network, const SampleView& x, const SampleView& y,
                              const std::vector<int32_t>& ids);
    void score(const CompiledNetwork& plan, const SampleView& x, const SampleView& y, const int32_t* ids,
               size_t idCount, double* result);

    // score(plan, ...) in two halves, so that several scorers can share one
    // network's samples: sampleTerms writes the term each scored sample adds
    // (min(x.rows, y.rows) samples, none when x lacks inputs; times its weight
    // when y has weights) to terms[j * stride + s] for id j and sample s, and
    // addSampleTermsInOrder adds them up in sample order and divides (by the
    // count, or the sum of y's weights), giving score's bits.
    void sampleTerms(const CompiledNetwork& plan, const SampleView& x, const SampleView& y, const int32_t* ids,
                     size_t idCount, double* terms, size_t stride);
    static void addSampleTermsInOrder(const double* terms, size_t stride, const SampleView& y, int32_t samples,
                                      size_t idCount, double* result);

    // What the population evaluate returns: one row per network, in order.
    ScoreRows score(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                    const std::vector<int32_t>& ids);

    // The forward half of the backward pass (gradient.h): sizes the scratch for
    // plan with tiles of at most maxWidth samples (the width then depends on the
    // plan alone, not on the CPU) and returns the tile width; forwardTile then
    // runs samples [first, first+count) of x and returns the slot rows, one tile
    // width apart. Lanes from count up to the next multiple of 8 hold values of
    // zero inputs.
    int32_t prepareTiles(const CompiledNetwork& plan, int32_t maxWidth) {
        return prepare(plan, Precision::kFloat64, maxWidth);
    }
    double* forwardTile(const CompiledNetwork& plan, const SampleView& x, int32_t first, int32_t count) {
        runTile(plan, x, first, count);
        return values_;
    }

    // float64 (the default) or float32 node values for everything after this
    // call but forwardTile, which the backward pass reads in double. In float32
    // the Network forms compile a plan for any number of rows.
    void setPrecision(Precision precision) { precision_ = precision; }
    Precision precision() const { return precision_; }

    // The plan compiled by the last Network form that compiled one.
    const CompiledNetwork& lastPlan() const { return plan_; }

    // Runs the kernel built for plain x86-64, or at most the AVX2 one, even
    // where the CPU has wider vector units, which are used otherwise (the
    // results are the same; tests check every kernel the CPU runs).
    void useBaselineInstructions() { kernel_ = Kernel::kBaseline; }
    void useAtMostAvx2Instructions() { kernel_ = std::min(kernel_, Kernel::kWide); }

private:
    // Sizes the scratch for plan and fills its constant slots; returns the tile
    // width (at most maxWidth when positive).
    int32_t prepare(const CompiledNetwork& plan, Precision precision, int32_t maxWidth = 0);
    int32_t prepare(const CompiledNetwork& plan) { return prepare(plan, precision_); }
    // Loads samples [first, first+count) of x into the input slots and runs the plan.
    void runTile(const CompiledNetwork& plan, const SampleView& x, int32_t first, int32_t count);
    // The terms of id for the tile's samples [first, first+count) (loss_table.h's sampleTerm), into terms[0..count).
    void tileTerms(const CompiledNetwork& plan, const SampleView& y, int32_t first, int32_t count, int32_t width,
                   int32_t id, double* terms);
    // tileTerms for the softmax cross-entropies, without gathering each sample's outputs.
    void softmaxTerms(const CompiledNetwork& plan, const SampleView& y, int32_t first, int32_t count, int32_t width,
                      int32_t id, double* terms);
    // Adds the terms of the tile's samples [first, first+count) to result, as evaluate does.
    void addTileTerms(const CompiledNetwork& plan, const SampleView& y, int32_t first, int32_t count, int32_t width,
                      const int32_t* ids, size_t idCount, double* result);
    // Adds sample `row`'s terms to result, as evaluate does; prediction_ holds its outputs.
    void addSampleTerms(const SampleView& y, int32_t row, int32_t width, const int32_t* ids, size_t idCount,
                        double* result) const;
    const double* slotRow(int32_t slot) const { return values_ + static_cast<size_t>(slot) * tileWidth_; }
    // Output k's values for the tile, in double whatever the precision.
    const double* outputRow(const CompiledNetwork& plan, int32_t k) const {
        return single_ ? wideOutputs_.data() + static_cast<size_t>(k) * tileWidth_
                       : slotRow(plan.outputSlots()[static_cast<size_t>(k)]);
    }
    bool compilesFor(int32_t rows) const { return rows >= kCompileFromRows || precision_ == Precision::kFloat32; }

    // Baseline: plain x86-64; wide: x86-64-v3 (AVX2 and FMA); widest: x86-64-v4 (AVX-512).
    enum class Kernel { kBaseline, kWide, kWidest };
    static Kernel widestKernel();  // the widest this CPU runs

    CompiledNetwork plan_;
    Kernel kernel_ = widestKernel();
    Precision precision_ = Precision::kFloat64;
    bool single_ = false;  // the prepared tiles hold floats (forwardTile prepares double ones)
    std::vector<double> storage_;
    double* values_ = nullptr;  // slots x tileWidth_, 64-byte aligned inside storage_
    std::vector<float> singleStorage_;
    float* singleValues_ = nullptr;    // the same in float32
    std::vector<double> wideOutputs_;  // outputs x tileWidth_: the float32 outputs widened
    int32_t tileWidth_ = 0;
    std::vector<double> prediction_;  // one sample's outputs, for the per-sample pass and the whole-row terms
    std::vector<double> terms_;       // one loss term per sample of a tile
    std::vector<double> softmaxScratch_;  // per sample of a tile: largest logit, then sum of exps
};

}  // namespace kestrin
