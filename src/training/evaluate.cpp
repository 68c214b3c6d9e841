#include "training/evaluate.h"

#include <algorithm>

#include "training/scoring_plan.h"

namespace kestrin {

std::vector<double> evaluate(Network& network, const SampleView& x, const SampleView& y,
                             const std::vector<int32_t>& ids) {
    BatchScorer scorer;
    return scorer.score(network, x, y, ids);
}

ScoreRows evaluate(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                   const std::vector<int32_t>& ids) {
    BatchScorer scorer;  // one for all: its buffers are reused from network to network
    return scorer.score(networks, x, y, ids);
}

std::vector<double> evaluateReference(Network& network, const SampleView& x, const SampleView& y,
                                      const std::vector<int32_t>& ids) {
    std::vector<double> totals(ids.size(), 0.0);
    // A row without every input cannot be run, and a target without a row or a
    // prediction cannot be scored: only what exists on both sides counts.
    const int32_t samples = x.columns >= network.inputs ? std::max(0, std::min(x.rows, y.rows)) : 0;
    const int32_t width = std::max(0, std::min(y.columns, network.outputs));
    std::vector<double> prediction(static_cast<size_t>(std::max(network.outputs, 0)));

    double weightSum = 0.0;
    for (int32_t i = 0; i < samples; ++i) {
        network.activate(x.row(i), prediction.data());
        const double* target = y.row(i);
        for (size_t j = 0; j < ids.size(); ++j) {
            const double term = sampleTerm(ids[j], target, width, prediction.data(), network.outputs);
            totals[j] += y.weights ? y.weights[i] * term : term;
        }
        if (y.weights) weightSum += y.weights[i];
    }
    if (!ids.empty()) {
        for (double& total : totals) total /= y.weights ? weightSum : samples;
    }
    return totals;
}

ScoreRows evaluateReference(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                            const std::vector<int32_t>& ids) {
    ScoreRows scores;
    scores.reserve(networks.size());
    for (Network& network : networks) scores.push_back(evaluateReference(network, x, y, ids));
    return scores;
}

}  // namespace kestrin
