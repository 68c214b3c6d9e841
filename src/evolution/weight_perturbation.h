// Additive Gaussian perturbation of a network's real-valued genes (the biases
// of non-input nodes and the weights of existing connections) with a step size
// that the caller adapts, plus occasional replacement of a gene by a fresh
// standard-normal draw. Unlike Mutation::changeWeightsAndBiases the spread does
// not follow the magnitude, so a gene at 0 can move and a large one is not
// thrown far.
#pragma once

#include "network/network.h"

namespace kestrin {

struct PerturbationRates {
    double replaceRate = 0.0;  // chance that a gene is re-drawn
    double geneRate = 1.0;     // chance that a gene not re-drawn is perturbed
};

// Changes at least one gene whenever the network has any (a gene is picked
// when no draw chose one). Every draw through the random module.
void perturbGenes(Network& network, double stepSize, const PerturbationRates& rates);

// The log-normal self-adaptation of a step size: step * exp(tau * N(0, 1)),
// kept within [minimum, maximum].
double adaptStepSize(double step, double tau, double minimum, double maximum);

}  // namespace kestrin
