// Scoring networks on samples: the mean over samples of each sample's term
// (loss_table.h), weighted by y.weights when the targets carry weights.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "evolution/selection.h"
#include "network/network.h"
#include "training/loss_table.h"
#include "training/sample_matrix.h"

namespace kestrin {

// One value per entry of ids (an unknown id scores NaN). Callers keep
// y.rows == x.rows, x.columns >= network.inputs and y.columns <= network.outputs;
// otherwise only what exists is scored: the first min(x.rows, y.rows) samples,
// none when x lacks inputs, and min(y.columns, network.outputs) targets each.
// No samples, or no targets, give NaN. With weights w the value is
// sum(w * term) / sum(w) over the scored samples, both summed in sample order;
// without, every sample weighs the same. Scores through a compiled plan, many
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
