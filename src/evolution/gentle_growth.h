// Structural mutations that leave the network's function (nearly) as it was,
// so that new structure is not discarded before its weights can be tuned: a
// split whose new node passes its input on with weight 1 and hands it on with
// the old connection's weight, and a new connection with weight 0. Both keep
// the connectivity rule on any network that satisfies it (split only replaces
// a connection by a path, and a connection only adds).
#pragma once

#include "network/network.h"

namespace kestrin {

// Splits a random forward connection; the new node has bias 0 and a random
// activation. Does nothing when there is no connection to split.
void splitConnectionGently(Network& network);

// Adds a random missing forward connection with weight 0. Does nothing when
// every forward connection exists.
void addZeroConnection(Network& network);

// Re-draws the activation of one random non-input node.
void changeOneActivation(Network& network);

}  // namespace kestrin
