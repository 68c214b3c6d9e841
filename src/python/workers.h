// The `workers` keyword of evolve, predict and evaluate: how many threads score.
#pragma once

#include "python/pyref.h"

#include <sched.h>

#include <algorithm>
#include <string>

#include "python/boundary.h"

namespace kestrin::py {

// The cores this process may run on (its CPU affinity), at least 1.
inline int usableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(CPU_COUNT(&set), 1);
}

// The thread count `value` asks for: a positive int, or -1 for every usable
// core, never more than there are usable cores (more threads only wait on
// each other; the results are the same for every count). None (the keyword
// left out) is 1. Raises TypeError or ValueError (PythonErrorSet) otherwise;
// call inside guarded(), before any work starts.
inline int workersFrom(PyObject* value) {
    if (value == nullptr) return 1;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        raise(PyExc_TypeError, std::string("workers must be an int (-1 for every core), not ") +
                                   Py_TYPE(value)->tp_name + ".");
    }
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (count == -1 && PyErr_Occurred()) throw PythonErrorSet{};
    if (overflow > 0) return usableCores();
    if (count == -1 && overflow == 0) return usableCores();
    if (overflow < 0 || count < 1) {
        raise(PyExc_ValueError, "workers must be at least 1, or -1 for every core; got " +
                                    (overflow < 0 ? std::string("a number below -2^63") : std::to_string(count)) +
                                    ".");
    }
    return static_cast<int>(std::min<long long>(count, usableCores()));
}

}  // namespace kestrin::py
