// Static extension types are built from a zeroed type object, filled in field
// by field by each type's definition.
#pragma once

#include "python/pyref.h"

namespace kestrin::py {

// A zeroed static type object with the reference count that HEAD_INIT gives.
inline PyTypeObject blankType() {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    return type;
}

}  // namespace kestrin::py
