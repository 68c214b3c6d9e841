// Which numbers of a network a continuous optimizer searches over: the bias
// of every non-input node and the weight of every forward connection, each a
// slot. Slots keep their order when nodes are inserted (a slot names its nodes,
// which move with them) and new slots are appended, so a vector of genes can
// grow at its end without the others moving.
#pragma once

#include <cstdint>
#include <vector>

#include "network/network.h"

namespace kestrin {

struct GeneSlot {
    int32_t from;  // -1: the bias of `to`
    int32_t to;
};

class GeneLayout {
public:
    std::vector<GeneSlot> slots;

    // Biases of nodes inputs..size-1, then forward connections, from major.
    static GeneLayout of(const Network& network);

    size_t size() const { return slots.size(); }
    // genes[k] into slot k of network (which has this layout's flags).
    void write(const double* genes, Network& network) const;
    void read(const Network& network, double* genes) const;

    // Inserts a hidden node just before the outputs, fed by every node before it
    // and feeding every output, with bias 0 and the given activation; its new
    // slots are appended (bias, the incoming weights by source, the outgoing by
    // target). The outgoing weights are 0, so the network computes what it did.
    // Returns the number of slots added.
    size_t insertNode(Network& network, int32_t activation);
};

}  // namespace kestrin
