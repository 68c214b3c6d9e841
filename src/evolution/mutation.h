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

    static void mutate(Network& network);
    static void changeWeightsAndBiases(Network& network);
    static void changeActivation(Network& network);
    static void addNode(Network& network);
    static void removeNode(Network& network);
    static void addConnection(Network& network);
    static void removeConnection(Network& network);
    static bool checkConnectivity(Network& network);
};

}  // namespace kestrin
