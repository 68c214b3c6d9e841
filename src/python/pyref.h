// A move-only owner of one strong Python reference. Every path that takes a
// reference hands it to a PyRef, so no early return forgets a Py_DECREF.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestrin::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, e.g. from a failed API call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    // Every owner is released with the interpreter lock held, except on a
    // thread that CPython ends at exit while it waits for the lock: the forced
    // unwind then leaves the reference alone (python/gil.h).
    ~PyRef() {
        if (object_ != nullptr && PyGILState_Check()) Py_DECREF(object_);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (to return it to CPython, or to a stealing API).
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace kestrin::py
