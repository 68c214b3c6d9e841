#include "python/boundary.h"
#include "python/methods.h"

#include <cstdint>
#include <string>

#include "network/random.h"

namespace kestrin::py {

PyObject* kestrin_set_random_seed(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"seed", nullptr};
        PyObject* given = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_random_seed", const_cast<char**>(keywords), &given)) {
            return nullptr;
        }
        // Integers of any kind (bool and numpy's included, as for Python's own
        // integer arguments), but not floats: 7.5 is no seed.
        if (!PyIndex_Check(given)) {
            raise(PyExc_TypeError, std::string("seed must be an int, not ") + Py_TYPE(given)->tp_name);
        }
        PyRef seed = check(PyRef::steal(PyNumber_Index(given)));
        const int sign = PyObject_RichCompareBool(seed.get(), PyRef::steal(check(PyLong_FromLong(0))).get(), Py_LT);
        if (sign < 0) throw PythonErrorSet{};
        if (sign) {
            PyRef text = check(PyRef::steal(PyObject_Repr(seed.get())));
            const char* digits = PyUnicode_AsUTF8(text.get());
            if (digits == nullptr) throw PythonErrorSet{};
            raise(PyExc_ValueError, std::string("seed must be >= 0, got ") + digits);
        }
        const unsigned long long small = PyLong_AsUnsignedLongLong(seed.get());
        if (!(small == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            setRandomSeed(static_cast<uint64_t>(small));
            Py_RETURN_NONE;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorSet{};
        PyErr_Clear();
        // Beyond 64 bits: all of its bytes count.
        PyRef bits = check(PyRef::steal(PyObject_CallMethod(seed.get(), "bit_length", nullptr)));
        const Py_ssize_t bitCount = PyLong_AsSsize_t(bits.get());
        if (bitCount < 0) throw PythonErrorSet{};
        const Py_ssize_t count = (bitCount + 7) / 8;
        PyRef bytes = check(PyRef::steal(PyObject_CallMethod(seed.get(), "to_bytes", "ns", count, "little")));
        char* data = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(bytes.get(), &data, &length) < 0) throw PythonErrorSet{};
        setRandomSeed(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(length));
        Py_RETURN_NONE;
    });
}

// 64 bits from kestrin's own streams: a seeded section (kestrin.sklearn's
// random_state) draws it first and seeds with it after, so that what follows
// depends on the streams as they were, not on the section's seed.
PyObject* kestrin_derived_seed(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        const uint64_t high = deviceSeed();
        const uint64_t low = deviceSeed();
        return PyLong_FromUnsignedLongLong(high << 32 | low);
    });
}

}  // namespace kestrin::py
