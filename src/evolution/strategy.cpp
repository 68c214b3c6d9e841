#include "evolution/strategy.h"

namespace kestrin {

BrokenNetworkError brokenNetwork(const std::string& what) {
    return BrokenNetworkError(
        what +
        " (every node but the outputs needs an outgoing connection and every node but the inputs an incoming one;"
        " a damaged network, or one without inputs or outputs, cannot evolve).");
}

}  // namespace kestrin
