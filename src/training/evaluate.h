// Scoring networks on samples: the mean over samples of the per-sample mean,
// over the target's columns, of each loss's per-element error.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "evolution/selection.h"
#include "network/network.h"
#include "training/sample_matrix.h"

namespace kestrin {

enum LossId : int32_t {
    kMse = 0,
    kMae = 1,
    kMape = 2,
};

inline constexpr int32_t kLossCount = 3;

// Indexed by loss id; the same ids name the loss and the metrics.
inline constexpr std::array<const char*, kLossCount> kLossNames = {"mse", "mae", "mape"};

// One value per entry of ids (an unknown id scores NaN). Callers keep
// y.rows == x.rows, x.columns >= network.inputs and y.columns <= network.outputs;
// otherwise only what exists is scored: the first min(x.rows, y.rows) samples,
// none when x lacks inputs, and min(y.columns, network.outputs) targets each.
// No samples, or no targets, give NaN. Scores through a compiled plan, many
// samples at a time (BatchScorer); bit for bit what evaluateReference gives.
std::vector<double> evaluate(Network& network, const SampleView& x, const SampleView& y,
                             const std::vector<int32_t>& ids);

// One row per network, each what the single-network form returns.
ScoreRows evaluate(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                   const std::vector<int32_t>& ids);

// The same results the plain way, one Network::activate per sample: the
// baseline the compiled scoring (scoring_plan.h) behind evaluate is checked
// and measured against.
std::vector<double> evaluateReference(Network& network, const SampleView& x, const SampleView& y,
                                      const std::vector<int32_t>& ids);
ScoreRows evaluateReference(std::vector<Network>& networks, const SampleView& x, const SampleView& y,
                            const std::vector<int32_t>& ids);

}  // namespace kestrin
