// Crossover: children from pairs of parents, genes matched by node index.
// The parent with the lower loss dominates (the first one on equal losses).
#pragma once

#include <vector>

#include "network/network.h"

namespace kestrin {

class Crossover {
public:
    Crossover() = delete;

    // One child of first and second; the parents are not changed.
    static Network simple(Network& first, Network& second, double firstLoss, double secondLoss);

    // Shuffles population and losses together (in place, the order is kept),
    // then returns children 2i, 2i+1 for members 2i, 2i+1. Throws
    // std::invalid_argument when a child breaks the connectivity invariant.
    static std::vector<Network> crossover(std::vector<Network>& population, std::vector<double>& losses);
};

}  // namespace kestrin
