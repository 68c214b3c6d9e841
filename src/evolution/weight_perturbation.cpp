#include "evolution/weight_perturbation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "network/random.h"

namespace kestrin {
namespace {

void changeGene(double& gene, double stepSize, const PerturbationRates& rates, bool& changed) {
    const double draw = randomUniform();
    if (draw < rates.replaceRate) {
        gene = randomNormal(1.0);
        changed = true;
    } else if (draw - rates.replaceRate < rates.geneRate * (1.0 - rates.replaceRate)) {
        gene += randomNormal(stepSize);
        changed = true;
    }
}

int64_t geneCount(const Network& network) {
    int64_t genes = network.size - network.inputs;
    for (int32_t i = 0; i < network.size; ++i) genes += network.connections.countRow(i);
    return genes;
}

// Gene k in the order perturbGenes visits them: biases first, then weights row by row.
double* geneAt(Network& network, int64_t k) {
    const int32_t biases = network.size - network.inputs;
    if (k < biases) return &network.biases[network.inputs + static_cast<int32_t>(k)];
    k -= biases;
    for (int32_t i = 0; i < network.size; ++i) {
        const int32_t row = network.connections.countRow(i);
        if (k < row) {
            double* found = nullptr;
            int64_t seen = 0;
            network.connections.forEachInRow(i, 0, [&](int32_t j) {
                if (seen++ == k) found = &network.weights[i][j];
            });
            return found;
        }
        k -= row;
    }
    return nullptr;
}

}  // namespace

void perturbGenes(Network& network, double stepSize, const PerturbationRates& rates) {
    bool changed = false;
    for (int32_t i = network.inputs; i < network.size; ++i) changeGene(network.biases[i], stepSize, rates, changed);
    for (int32_t i = 0; i < network.size; ++i) {
        double* row = network.weights[i];
        network.connections.forEachInRow(i, 0, [&](int32_t j) { changeGene(row[j], stepSize, rates, changed); });
    }
    if (changed) return;
    const int64_t genes = geneCount(network);
    if (genes == 0) return;
    const auto k = std::min<int64_t>(static_cast<int64_t>(randomUniform() * static_cast<double>(genes)), genes - 1);
    if (double* gene = geneAt(network, k)) *gene += randomNormal(stepSize);
}

double adaptStepSize(double step, double tau, double minimum, double maximum) {
    return std::clamp(step * std::exp(tau * randomNormal(1.0)), minimum, maximum);
}

}  // namespace kestrin
