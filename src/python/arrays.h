// Conversion between NumPy arrays and sample matrices, and the wrapping of a
// network in a kestrin.Genome. Shared by inference, the training loops and the
// Keras import.
#pragma once

#include "python/pyref.h"

#include <string>

#include "network/network.h"
#include "training/precision.h"
#include "training/sample_matrix.h"

namespace kestrin::py {

// Copies array into a sample matrix: rows from the first dimension, columns from
// the second (1 for a one-dimensional array), read through the strides, so
// views, transposes and Fortran order need no copy. Further axes contribute
// their element 0. Only an array that is not native float64 is converted first
// (any object that is not an array is converted the same way).
// Errors are raised as Python exceptions (PythonErrorSet): NumPy's own for a
// failed conversion, ValueError naming `name` and the shape for an array with
// no dimension, more than 2^31 - 1 rows or columns, or no element to read.
// Call inside guarded().
SampleMatrix rowsFromArray(PyObject* array, const char* name = "array");

// evaluate's checks of a dataset against a network (inference.cpp): x has
// every input, y as many rows as x and at most the network's outputs as
// columns; ValueError naming the shapes otherwise. Call inside guarded().
void requireDatasetFits(const SampleMatrix& x, PyObject* xArray, const SampleMatrix& y, PyObject* yArray,
                        const Network& network);

// The shape of an array as Python writes it, "(5, 2)", "(5,)" or "()".
std::string shapeText(PyObject* array);

// A new kestrin.Genome holding a copy of network, or null with a Python error set.
PyObject* NetworkToGenome(const Network& network, Precision precision = Precision::kFloat64);

}  // namespace kestrin::py
