// Entry points of the Python methods, one file per area; module.cpp lists
// them in the method tables.
#pragma once

#include "python/pyref.h"

#include <memory>

#include "evolution/strategy.h"
#include "network/network.h"

namespace kestrin::py {

// training.cpp
PyObject* Model_evolve(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs);

// inference.cpp
PyObject* Model_predict(PyObject* self, PyObject* args);
PyObject* Genome_predict(PyObject* self, PyObject* args);
PyObject* Model_evaluate(PyObject* self, PyObject* args);
PyObject* Model_get_nodes(PyObject* self, PyObject* args);
PyObject* Model_get_connections(PyObject* self, PyObject* args);

// compile.cpp
PyObject* Model_compile(PyObject* self, PyObject* args, PyObject* kwargs);

// optimizers.cpp
// The strategy the training loops run for a compiled optimizer: null (the
// loops' default, "alpha") for no optimizer or an Alpha.
std::shared_ptr<EvolutionStrategy> strategyFor(PyObject* optimizer);

// keras.cpp
PyObject* Model_to_keras(PyObject* self, PyObject* args);
PyObject* kestrin_from_keras(PyObject* module, PyObject* args);

// persistence.cpp
PyObject* Model_save(PyObject* self, PyObject* args);
PyObject* kestrin_load(PyObject* module, PyObject* args);
// A new kestrin.Model made from (inputs, outputs) that then takes over network.
// Throws PythonErrorSet; call inside guarded().
PyObject* modelFromNetwork(Network&& network);

// seeding.cpp
PyObject* kestrin_set_random_seed(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace kestrin::py
