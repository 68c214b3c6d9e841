#include "evolution/selection.h"

#include <cmath>
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
