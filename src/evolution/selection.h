// Ranking and selection: four-way tournaments on entry 0 of each score row
// (lower is better; ties go to the earlier position), and the choice of the best.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "network/network.h"

namespace kestrin {

// One row per network; entry 0 ranks it, further entries ride along.
using ScoreRows = std::vector<std::vector<double>>;

struct Selection {
    std::vector<Network> networks;
    ScoreRows scores;
};

// Puts population and scores into one common random order, by swaps. scores
// needs a row per network (std::length_error otherwise, before anything
// changes); extra rows stay in place.
void shuffleTogether(std::vector<Network>& population, ScoreRows& scores);

// Two passes, each shuffling candidates and scores together and then taking
// the winner of every complete group of four consecutive candidates (the
// last m % 4 sit out). Returns copies of the winners' networks and rows,
// 2 * (m / 4) of each; a row without entries ranks like NaN.
Selection tournamentSelect(std::vector<Network>& candidates, ScoreRows& scores);

// The same selection, from the same draws, for a caller that gives up the
// candidates and rows (the evolution loops): the shuffles reorder positions
// only, and each winner is moved out at its last use instead of copied.
Selection tournamentSelect(std::vector<Network>&& candidates, ScoreRows&& scores);

// Position of the row with the lowest entry 0 below the largest finite double,
// the first of equal ones; none when no row qualifies (NaN never does).
std::optional<size_t> bestIndex(const ScoreRows& scores);

}  // namespace kestrin
