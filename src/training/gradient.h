// Reverse-mode derivatives of a loss on a batch, with respect to every bias
// and every connection weight of a network.
//
// GradientPass compiles the network as the scorer does but keeps a step for
// every node an output depends on (constant nodes are not folded: their genes
// still move the loss), runs the scorer's forward pass on tiles of samples
// (the same values, so the loss has evaluate's bits), then walks the steps
// backwards on the same tile: each node's slope of the loss in its value
// becomes one in its summed input (times the activation's derivative, read
// from the value: sigmoid v(1-v), tanh 1-v^2, relu 1 where v > 0 else 0,
// linear 1, any other id 0), which is added to its bias's slope, to each
// incoming weight's slope (times the source's value) and to each hidden
// source's slope (times the weight). Everything runs on 8-sample blocks with
// one lane per sample, and each tile's lanes are summed in one fixed order.
//
// Tiles hold at most 64 samples whatever the CPU, and the samples are cut in
// chunks of kGradientChunkRows summed on their own, then added chunk by chunk:
// the bits depend on neither the CPU nor the number of threads.
#pragma once

#include <cstdint>
#include <vector>

#include "network/network.h"
#include "training/sample_matrix.h"
#include "training/scoring_plan.h"

namespace kestrin {

inline constexpr int32_t kGradientChunkRows = 1024;

// d loss / d gene of one network, in the order Python lists the genes.
struct NetworkGradient {
    double loss = 0.0;            // what evaluate gives for the loss, bit for bit
    std::vector<double> biases;   // per node; 0.0 for inputs and for nodes no output depends on
    std::vector<double> weights;  // per connection flag, rows (sources) in order, targets ascending
                                  // within a row; 0.0 for flags the forward pass skips
};

class GradientPass {
public:
    // The loss ids with a derivative (the loss table's slope rows).
    static bool supports(int32_t lossId);

    // Compiles network for run(); storage is reused.
    void compile(const Network& network);
    const CompiledNetwork& plan() const { return plan_; }
    // New genes for the compiled structure, in the plan's order: the steps'
    // biases, then its weights (what compiling the network with them gives).
    void setGenes(const double* genes) { plan_.setGenes(genes, genes + plan_.steps().size()); }

    // Loss `lossId` of the compiled network on x and y, with evaluate's reach
    // (min(x.rows, y.rows) samples, none when x lacks inputs, min(y.columns,
    // outputs) targets), and its derivatives: stepSlopes()[k] in the bias of
    // plan().steps()[k], weightSlopes()[c] in plan().weights()[c]. No samples:
    // loss NaN, slopes 0. Throws std::invalid_argument for an id without a slope.
    double run(const SampleView& x, const SampleView& y, int32_t lossId);
    // The loss alone, as run computes it, without the backward pass.
    double loss(const SampleView& x, const SampleView& y, int32_t lossId);
    const std::vector<double>& stepSlopes() const { return stepSlopes_; }
    const std::vector<double>& weightSlopes() const { return weightSlopes_; }

    // One chunk of run on a plan compiled without folding (by this or another
    // pass): the slopes of the sum over samples [first, first+count) of their
    // per-sample terms, written (not added) to stepSlopes and weightSlopes, and
    // each sample's term to terms[s - first]. width: targets scored per sample.
    void chunk(const CompiledNetwork& plan, const SampleView& x, const SampleView& y, int32_t lossId, int32_t width,
               int32_t first, int32_t count, double* stepSlopes, double* weightSlopes, double* terms);

private:
    void weighTile(const CompiledNetwork& plan, const SampleView& y, int32_t at, int32_t n, size_t stride,
                   double* sampleTerms);
    void rowSlopesOfTile(const CompiledNetwork& plan, const double* values, size_t stride, const double* targets,
                         size_t targetStride, int32_t lossId, int32_t width, int32_t n, double* sampleTerms);

    CompiledNetwork plan_;
    BatchScorer scorer_;
    std::vector<double> delta_;  // per slot, per tile lane: slope of the loss in the slot's value
    std::vector<double> stepSlopes_, weightSlopes_;
    std::vector<double> chunkSteps_, chunkWeights_, terms_;
    std::vector<double> rowValues_, rowSlopes_;  // one sample's outputs, for the row losses
};

// The plan's slopes laid out per node and per connection flag of network (the
// network the plan was compiled from).
NetworkGradient gradientOfNetwork(const Network& network, const CompiledNetwork& plan, double loss,
                                  const double* stepSlopes, const double* weightSlopes);

// GradientPass::run on one network, as a NetworkGradient.
NetworkGradient networkGradient(const Network& network, const SampleView& x, const SampleView& y, int32_t lossId);

}  // namespace kestrin
