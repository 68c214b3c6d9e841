#include "training/parallel_scorer.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace kestrin {
namespace {

// A slice of at least this many rows per thread: a few tiles, far more work
// than waking a thread.
constexpr int32_t kMinSliceRows = 1024;

}  // namespace

ParallelScorer::ParallelScorer(int workers) : pool_(workers), scorers_(1) {}

void ParallelScorer::setPrecision(Precision precision) {
    precision_ = precision;
    for (BatchScorer& scorer : scorers_) scorer.setPrecision(precision);
}

int ParallelScorer::slicesFor(int32_t rows) const {
    return static_cast<int>(std::clamp<int64_t>(rows / kMinSliceRows, 1, pool_.capacity()));
}

template <typename Work>
void ParallelScorer::share(size_t items, const Work& work) {
    const auto participants = static_cast<int>(std::min<size_t>(items, static_cast<size_t>(pool_.capacity())));
    if (scorers_.size() < static_cast<size_t>(participants)) {
        scorers_.resize(static_cast<size_t>(participants));
        for (BatchScorer& scorer : scorers_) scorer.setPrecision(precision_);
    }
    std::atomic<size_t> next{0};
    // Fewer threads may run than asked for (the system may refuse more): whoever
    // runs takes the next item until none is left.
    pool_.run(participants, [&](int k) {
        BatchScorer& scorer = scorers_[static_cast<size_t>(k)];
        for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < items;
             i = next.fetch_add(1, std::memory_order_relaxed)) {
            work(scorer, i);
        }
    });
}

ScoreRows ParallelScorer::score(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                                const std::vector<int32_t>& ids) {
    if (pool_.capacity() == 1 || networks.size() < 2) return scorers_[0].score(networks, x, y, ids);
    ScoreRows rows(networks.size());
    // One network at a time: their sizes differ, fixed shares would not balance.
    share(networks.size(), [&](BatchScorer& scorer, size_t i) { rows[i] = scorer.score(networks[i], x, y, ids); });
    return rows;
}

std::vector<double> ParallelScorer::score(Network& network, const SampleView& x, const SampleView& y,
                                          const std::vector<int32_t>& ids) {
    const int32_t samples = x.columns >= network.inputs ? std::max(0, std::min(x.rows, y.rows)) : 0;
    const int slices = slicesFor(samples);
    if (slices == 1 || samples < BatchScorer::kCompileFromRows) return scorers_[0].score(network, x, y, ids);

    plan_.compile(network);
    const auto stride = static_cast<size_t>(samples);
    terms_.resize(ids.size() * stride);
    share(static_cast<size_t>(slices), [&](BatchScorer& scorer, size_t k) {
        const int32_t first = sliceStart(samples, static_cast<int>(k), slices);
        const int32_t count = sliceStart(samples, static_cast<int>(k) + 1, slices) - first;
        scorer.sampleTerms(plan_, x.slice(first, count), y.slice(first, count), ids.data(), ids.size(),
                           terms_.data() + first, stride);
    });
    std::vector<double> result(ids.size());
    BatchScorer::addSampleTermsInOrder(terms_.data(), stride, y, samples, ids.size(), result.data());
    return result;
}

void ParallelScorer::predict(Network& network, const SampleView& x, double* out) {
    const int slices = slicesFor(x.rows);
    // Small or unfit inputs go the one-thread way, with its checks and errors.
    if (slices == 1 || x.rows < BatchScorer::kCompileFromRows || x.columns < network.inputs) {
        scorers_[0].predict(network, x, out);
        return;
    }
    plan_.compile(network);
    const auto outputs = static_cast<size_t>(network.outputs);
    share(static_cast<size_t>(slices), [&](BatchScorer& scorer, size_t k) {
        const int32_t first = sliceStart(x.rows, static_cast<int>(k), slices);
        const int32_t count = sliceStart(x.rows, static_cast<int>(k) + 1, slices) - first;
        scorer.predict(plan_, x.slice(first, count), out + static_cast<size_t>(first) * outputs);
    });
}

NetworkGradient ParallelScorer::gradient(const Network& network, const SampleView& x, const SampleView& y,
                                         int32_t lossId) {
    if (pool_.capacity() == 1) return networkGradient(network, x, y, lossId);
    GradientPass whole;
    whole.compile(network);
    const CompiledNetwork& plan = whole.plan();
    const int32_t samples = x.columns >= network.inputs ? std::max(0, std::min(x.rows, y.rows)) : 0;
    const int32_t width = std::max(0, std::min(y.columns, network.outputs));
    const int32_t chunks = (samples + kGradientChunkRows - 1) / kGradientChunkRows;
    if (chunks < 2 || width == 0) return networkGradient(network, x, y, lossId);

    const size_t stepCount = plan.steps().size();
    const size_t perChunk = stepCount + plan.weights().size();
    std::vector<double> slopes(perChunk * static_cast<size_t>(chunks));
    std::vector<double> terms(static_cast<size_t>(samples));
    const auto participants = static_cast<int>(std::min<int64_t>(chunks, pool_.capacity()));
    if (passes_.size() < static_cast<size_t>(participants)) passes_.resize(static_cast<size_t>(participants));
    std::atomic<int32_t> next{0};
    pool_.run(participants, [&](int k) {
        GradientPass& pass = passes_[static_cast<size_t>(k)];
        for (int32_t c = next.fetch_add(1, std::memory_order_relaxed); c < chunks;
             c = next.fetch_add(1, std::memory_order_relaxed)) {
            const int32_t first = c * kGradientChunkRows;
            double* own = slopes.data() + perChunk * static_cast<size_t>(c);
            pass.chunk(plan, x, y, lossId, width, first, std::min(kGradientChunkRows, samples - first), own,
                       own + stepCount, terms.data() + first);
        }
    });
    // As GradientPass::run adds them: chunk by chunk from 0.0, then the mean.
    std::vector<double> total(perChunk, 0.0);
    for (int32_t c = 0; c < chunks; ++c) {
        const double* own = slopes.data() + perChunk * static_cast<size_t>(c);
        for (size_t i = 0; i < perChunk; ++i) total[i] += own[i];
    }
    const double denominator = y.weightTotal(samples);
    const double inverse = 1.0 / denominator;
    for (double& slope : total) slope *= inverse;
    double loss = 0.0;
    for (double term : terms) loss += term;
    return gradientOfNetwork(network, plan, loss / denominator, total.data(), total.data() + stepCount);
}

int64_t ParallelScorer::refine(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                               int32_t lossId, const RefineOptions& options) {
    const auto participants = static_cast<int>(std::min<size_t>(networks.size(), static_cast<size_t>(pool_.capacity())));
    if (participants == 0) return 0;
    if (refiners_.size() < static_cast<size_t>(participants)) refiners_.resize(static_cast<size_t>(participants));
    std::atomic<size_t> next{0};
    std::atomic<int64_t> passes{0};
    pool_.run(participants, [&](int k) {
        GradientRefiner& refiner = refiners_[static_cast<size_t>(k)];
        for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < networks.size();
             i = next.fetch_add(1, std::memory_order_relaxed)) {
            refiner.refine(networks[i], x, y, lossId, options);
            passes.fetch_add(refiner.passes(), std::memory_order_relaxed);
        }
    });
    return passes.load();
}

}  // namespace kestrin
