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
PyObject* Model_predict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Genome_predict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Model_get_nodes(PyObject* self, PyObject* args);
PyObject* Model_get_connections(PyObject* self, PyObject* args);
PyObject* Genome_get_nodes(PyObject* self, PyObject* args);
PyObject* Genome_get_connections(PyObject* self, PyObject* args);

// gradients.cpp
PyObject* Model_gradients(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Genome_gradients(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Model_set_genes(PyObject* self, PyObject* args);

// compile.cpp
PyObject* Model_compile(PyObject* self, PyObject* args, PyObject* kwargs);

// optimizers.cpp
// The strategy the training loops run for a compiled optimizer: null (the
// loops' default, "alpha") for no optimizer or an Alpha.
std::shared_ptr<EvolutionStrategy> strategyFor(PyObject* optimizer);

// keras.cpp
PyObject* Model_to_keras(PyObject* self, PyObject* args);
PyObject* kestrin_from_keras(PyObject* module, PyObject* args);

// describe.cpp
PyObject* Model_repr(PyObject* self);
PyObject* Genome_repr(PyObject* self);
PyObject* Alpha_repr(PyObject* self);
PyObject* Model_to_dot(PyObject* self, PyObject* unused);

// persistence.cpp
PyObject* Model_save(PyObject* self, PyObject* args, PyObject* kwargs);
// Attribute lookup that names what a Keras callback needs when it asks for a
// Keras model's attribute (keras_needs.cpp).
PyObject* Model_getattro(PyObject* self, PyObject* name);
PyObject* kestrin_load(PyObject* module, PyObject* args);
// A new kestrin.Model made from (inputs, outputs) that then takes over network.
// Throws PythonErrorSet; call inside guarded().
PyObject* modelFromNetwork(Network&& network);

// pickling.cpp: __reduce__, __setstate__, __copy__ and __deepcopy__ of each type.
PyObject* Model_reduce(PyObject* self, PyObject* args);
PyObject* Model_setstate(PyObject* self, PyObject* state);
PyObject* Model_copy(PyObject* self, PyObject* args);
PyObject* Model_deepcopy(PyObject* self, PyObject* memo);
PyObject* Genome_reduce(PyObject* self, PyObject* args);
PyObject* Genome_setstate(PyObject* self, PyObject* state);
PyObject* Genome_copy(PyObject* self, PyObject* args);
PyObject* Genome_deepcopy(PyObject* self, PyObject* memo);
PyObject* Alpha_reduce(PyObject* self, PyObject* args);
PyObject* Alpha_setstate(PyObject* self, PyObject* state);
PyObject* Alpha_copy(PyObject* self, PyObject* args);
PyObject* Alpha_deepcopy(PyObject* self, PyObject* memo);
PyObject* Beta_reduce(PyObject* self, PyObject* args);
PyObject* Beta_setstate(PyObject* self, PyObject* state);
PyObject* Gamma_reduce(PyObject* self, PyObject* args);
PyObject* Gamma_setstate(PyObject* self, PyObject* state);
PyObject* EarlyStopping_reduce(PyObject* self, PyObject* args);
PyObject* EarlyStopping_setstate(PyObject* self, PyObject* state);
PyObject* EarlyStopping_copy(PyObject* self, PyObject* args);
PyObject* EarlyStopping_deepcopy(PyObject* self, PyObject* memo);
PyObject* ModelCheckpoint_reduce(PyObject* self, PyObject* args);
PyObject* ModelCheckpoint_setstate(PyObject* self, PyObject* state);
PyObject* ModelCheckpoint_copy(PyObject* self, PyObject* args);
PyObject* ModelCheckpoint_deepcopy(PyObject* self, PyObject* memo);
PyObject* BackupAndRestore_reduce(PyObject* self, PyObject* args);
PyObject* BackupAndRestore_setstate(PyObject* self, PyObject* state);
PyObject* BackupAndRestore_copy(PyObject* self, PyObject* args);
PyObject* BackupAndRestore_deepcopy(PyObject* self, PyObject* memo);

// seeding.cpp
PyObject* kestrin_set_random_seed(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* kestrin_derived_seed(PyObject* module, PyObject* unused);

}  // namespace kestrin::py
