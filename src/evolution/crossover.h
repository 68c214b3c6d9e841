// Crossover: children from pairs of parents, genes matched by node index.
// The parent with the lower loss dominates (the first one on equal losses).
#pragma once

#include <functional>
#include <vector>

#include "network/network.h"

namespace kestrin {

class Crossover {
public:
    Crossover() = delete;

    // One child of first and second: the dominant parent's node count and
    // connections; each node's bias and activation, and each shared
    // connection's weight, from either parent with even chances.
    static Network simple(const Network& first, const Network& second, double firstLoss, double secondLoss);

    // Shuffles population and losses together (in place, the order is kept),
    // then returns children 2i, 2i+1 for members 2i, 2i+1: two crossed
    // children or two fresh copies, with even chances. A member that already
    // fails the connectivity check is reported once; a child that fails it is
    // reported and std::invalid_argument thrown. losses needs at least one
    // entry per member (std::length_error otherwise, before anything changes).
    // poll, when given, runs before each pair of children and may throw to stop.
    static std::vector<Network> crossover(std::vector<Network>& population, std::vector<double>& losses,
                                          const std::function<void()>& poll = {});
};

}  // namespace kestrin
