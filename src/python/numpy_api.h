// Include NumPy's C API through this header only. module.cpp defines
// KESTRIN_NUMPY_IMPORT before including it and owns the API table; every other
// file sees the table through PY_ARRAY_UNIQUE_SYMBOL.
#pragma once

#include "python/pyref.h"

#ifndef KESTRIN_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kestrin::py {

inline PyArrayObject* asArray(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

}  // namespace kestrin::py
