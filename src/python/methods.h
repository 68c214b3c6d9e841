// Entry points of the Python methods, one file per area; module.cpp lists
// them in the method tables.
#pragma once

#include "python/pyref.h"

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

}  // namespace kestrin::py
