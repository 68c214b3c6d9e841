// Scoring on several threads with the bits of one: a BatchScorer per thread.
//
// A population is split network by network: each thread takes the next
// unscored network, compiles and scores it with its own scorer and writes its
// row in place, so every row is what one BatchScorer gives, whichever thread
// scored it. One network's samples are split in slices: for predict each
// thread writes its rows of the result; for a score each thread writes its
// samples' terms, and the calling thread adds them up in sample order, as one
// scorer does. Networks are compiled and scored without a random draw, so the
// threads leave the random streams of the calling thread as they were.
//
// With one worker everything runs on the calling thread through one
// BatchScorer, exactly as without this class, and no thread is started.
#pragma once

#include <cstdint>
#include <vector>

#include "evolution/selection.h"
#include "network/network.h"
#include "training/gradient.h"
#include "training/refine.h"
#include "training/sample_matrix.h"
#include "training/scoring_plan.h"
#include "training/thread_pool.h"

namespace kestrin {

class ParallelScorer {
public:
    // workers threads, the calling one included (at least 1); started on first need.
    explicit ParallelScorer(int workers);

    int workers() const { return pool_.capacity(); }

    // Every scorer's precision (BatchScorer::setPrecision); gradients stay float64.
    void setPrecision(Precision precision);

    // BatchScorer::score for each network: one row per network, in order.
    ScoreRows score(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                    const std::vector<int32_t>& ids);
    // BatchScorer::score (evaluate) for one network, its samples split in slices.
    std::vector<double> score(Network& network, const SampleView& x, const SampleView& y,
                              const std::vector<int32_t>& ids);
    // BatchScorer::predict, the rows split in slices.
    void predict(Network& network, const SampleView& x, double* out);

    // networkGradient (gradient.h), its chunks of samples shared by the threads
    // and added in chunk order: the same bits for any number of workers.
    NetworkGradient gradient(const Network& network, const SampleView& x, const SampleView& y, int32_t lossId);
    // GradientRefiner::refine on each network (the same settings for all),
    // one network per thread at a time. Returns the passes spent, all networks together.
    int64_t refine(std::vector<Network>& networks, const SampleView& x, const SampleView& y, int32_t lossId,
                const RefineOptions& options);

private:
    // Runs work(scorer, item) for every item in [0, items), items handed out one
    // at a time to the threads that run, each with its own scorer.
    template <typename Work>
    void share(size_t items, const Work& work);
    // How many threads `rows` samples keep busy: slices below this many rows
    // cost more to hand out than they save.
    int slicesFor(int32_t rows) const;
    // Bounds of slice k of `count` over rows [0, rows).
    static int32_t sliceStart(int32_t rows, int k, int count) {
        return static_cast<int32_t>(static_cast<int64_t>(rows) * k / count);
    }

    ThreadPool pool_;
    Precision precision_ = Precision::kFloat64;
    std::vector<BatchScorer> scorers_;  // one per thread that has run
    CompiledNetwork plan_;              // the shared plan of a split network (read only while split)
    std::vector<double> terms_;         // per id, per sample: the terms of a split score
    std::vector<GradientPass> passes_;       // one per thread that has taken a gradient
    std::vector<GradientRefiner> refiners_;  // one per thread that has refined
};

}  // namespace kestrin
