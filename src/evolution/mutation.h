// Mutation operators: each changes one network in place. mutate() picks at most
// one of them by a fixed cascade of chances. The four structural operators keep
// the connectivity invariant (every non-output node has an outgoing and every
// non-input node an incoming connection) on any network that satisfied it and
// whose connections all run forward; a failed check after one of them prints a
// line and throws std::invalid_argument.
#pragma once

#include "network/network.h"
#include "network/random.h"

namespace kestrin {

class Mutation {
public:
    Mutation() = delete;

    // At most one operator per call: weights and biases 0.3, activations 0.21,
    // add node 0.049, remove node 0.0441, remove connection 0.019845, add
    // connection 0.01885275; the structural ones are followed by the check.
    static void mutate(Network& network);

    // Every bias and every existing weight += N(0, 0.2 * |value|).
    static void changeWeightsAndBiases(Network& network);
    // Each non-input node re-draws its activation with chance 0.05.
    static void changeActivation(Network& network);

    // The structural operators pick one entry of a row-major candidate list
    // with the C library generator, and do nothing when the list is empty.
    static void addNode(Network& network);           // splits a random connection
    static void removeNode(Network& network);        // drops a random hidden node, bridging around it
    static void addConnection(Network& network);     // adds a random missing forward connection
    static void removeConnection(Network& network);  // drops a connection that is not a last one

    // Every non-output node has a connection to itself or later, every
    // non-input node one from an earlier node. Changes nothing.
    static bool checkConnectivity(const Network& network);
};

}  // namespace kestrin
