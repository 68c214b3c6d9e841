#include "evolution/selection.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

#include "evolution/ordering.h"

namespace kestrin {

namespace {

// A row without an entry has no score: it ranks like NaN instead of being read past its end.
double rankOf(const std::vector<double>& row) {
    return row.empty() ? std::numeric_limits<double>::quiet_NaN() : row[0];
}

}  // namespace

void shuffleTogether(std::vector<Network>& population, ScoreRows& scores) {
    const size_t n = population.size();
    if (scores.size() < n) throw std::length_error("fewer score rows than networks");
    const std::vector<int32_t> order = shuffledIndices(static_cast<int32_t>(n));
    reorder(population, order);
    // Rows past the networks, if any, stay where they are.
    reorderBy(n, order, [&](size_t a, size_t b) { scores[a].swap(scores[b]); });
}

Selection tournamentSelect(std::vector<Network>& candidates, ScoreRows& scores) {
    const size_t groups = candidates.size() / 4;
    Selection selected;
    selected.networks.reserve(2 * groups);
    selected.scores.reserve(2 * groups);
    for (int pass = 0; pass < 2; ++pass) {
        shuffleTogether(candidates, scores);
        for (size_t g = 0; g < groups; ++g) {
            size_t best = 4 * g;
            // Strictly greater: ties keep the earlier candidate, and a NaN
            // neither replaces nor is replaced.
            for (size_t c = best + 1; c < 4 * g + 4; ++c) {
                if (rankOf(scores[best]) > rankOf(scores[c])) best = c;
            }
            // A copy, not a move: the same candidate may win in both passes.
            selected.networks.push_back(candidates[best]);
            selected.scores.push_back(scores[best]);
        }
    }
    return selected;
}

Selection tournamentSelect(std::vector<Network>&& candidates, ScoreRows&& scores) {
    const size_t n = candidates.size();
    if (scores.size() < n) throw std::length_error("fewer score rows than networks");
    const size_t groups = n / 4;
    // at[k]: the candidate at position k of the shuffled order; the shuffles
    // draw and permute exactly as shuffleTogether does, on positions only.
    std::vector<int32_t> at(n);
    for (size_t k = 0; k < n; ++k) at[k] = static_cast<int32_t>(k);
    std::vector<int32_t> winners;
    winners.reserve(2 * groups);
    for (int pass = 0; pass < 2; ++pass) {
        reorder(at, shuffledIndices(static_cast<int32_t>(n)));
        for (size_t g = 0; g < groups; ++g) {
            size_t best = 4 * g;
            for (size_t c = best + 1; c < 4 * g + 4; ++c) {
                if (rankOf(scores[at[best]]) > rankOf(scores[at[c]])) best = c;
            }
            winners.push_back(at[best]);
        }
    }

    // A candidate that wins in both passes is copied for its first place.
    std::vector<uint8_t> wins(n, 0);
    for (const int32_t w : winners) ++wins[w];
    Selection selected;
    selected.networks.reserve(winners.size());
    selected.scores.reserve(winners.size());
    for (const int32_t w : winners) {
        if (--wins[w] > 0) {
            selected.networks.push_back(candidates[w]);
            selected.scores.push_back(scores[w]);
        } else {
            selected.networks.push_back(std::move(candidates[w]));
            selected.scores.push_back(std::move(scores[w]));
        }
    }
    return selected;
}

std::optional<size_t> bestIndex(const ScoreRows& scores) {
    double best = std::numeric_limits<double>::max();
    std::optional<size_t> index;
    for (size_t i = 0; i < scores.size(); ++i) {
        const double score = rankOf(scores[i]);
        if (best > score) {
            best = score;
            index = i;
        }
    }
    return index;
}

}  // namespace kestrin
