// The C records behind kestrin.Model, kestrin.Genome and
// kestrin.optimizers.Alpha. The records hold C++ members: tp_new constructs
// them in place and tp_dealloc destroys them before tp_free.
#pragma once

#include "python/pyref.h"

#include <cstdint>
#include <vector>

#include "evolution/beta_strategy.h"
#include "evolution/gamma_strategy.h"
#include "network/network.h"
#include "training/precision.h"

namespace kestrin::py {

struct ModelObject {
    PyObject_HEAD
    int32_t size;  // mirror of network.size, exposed as the member "size"
    Network network;
    int32_t inputs;
    int32_t outputs;
    bool compiled;
    bool hasLoss;
    Precision precision;  // what evolve, predict and evaluate score in; float64 until compiled otherwise
    std::vector<int32_t> metricIds;   // loss id first (when given), then metrics
    std::vector<int32_t> monitorIds;
    PyObject* optimizer;  // strong reference or null
    bool stopTraining;    // "stop_training": ends a training call after its epoch when set
    int64_t gradientPasses;  // "gradient_passes": what the last training call's refining spent
    PyObject* dict;       // the instance's __dict__ (callbacks set attributes such as "history"), or null
};

struct GenomeObject {
    PyObject_HEAD
    Network network;
    int32_t inputs;
    int32_t outputs;
    Precision precision;  // predict's; func_evolve hands out genomes in its model's
};

struct AlphaObject {
    PyObject_HEAD
    double mutationRate;
};

extern PyTypeObject ModelType;
extern PyTypeObject GenomeType;
extern PyTypeObject AlphaType;

// kestrin.optimizers.Beta: its knobs, always valid.
struct BetaObject {
    PyObject_HEAD
    BetaSettings settings;
};

extern PyTypeObject BetaType;  // optimizers.cpp

// kestrin.optimizers.Gamma: its knobs, always valid.
struct GammaObject {
    PyObject_HEAD
    GammaSettings settings;
};

extern PyTypeObject GammaType;  // optimizers.cpp

inline ModelObject* asModel(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }
inline GenomeObject* asGenome(PyObject* self) { return reinterpret_cast<GenomeObject*>(self); }

// Optimizers::getByString: a new Alpha, Beta or Gamma for "alpha", "beta" or "gamma", null (no error set) otherwise.
struct Optimizers {
    static PyObject* getByString(const char* name);
};

}  // namespace kestrin::py
