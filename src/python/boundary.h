// The one place where C++ exceptions become Python exceptions. Every method
// body runs inside guarded(): nothing thrown in the core reaches CPython.
#pragma once

#include "python/pyref.h"

#include <cxxabi.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kestrin::py {

// Thrown when a Python error is already set and should pass through unchanged.
struct PythonErrorSet {};

// Throws PythonErrorSet when object is null (the failing API call set the error).
inline PyObject* check(PyObject* object) {
    if (object == nullptr) throw PythonErrorSet{};
    return object;
}
inline PyRef check(PyRef object) {
    if (!object) throw PythonErrorSet{};
    return object;
}

// An exact str holding the text of a str or of a str subclass (a new
// reference): hashing and comparing it run no Python code, so nothing a lookup
// runs can free or change the text that is being looked up.
inline PyRef exactText(PyObject* text) { return check(PyRef::steal(PyUnicode_FromObject(text))); }

// Raises a Python exception of the given type and leaves through the boundary.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonErrorSet{};
}

// Sets the Python error for the exception in flight. Call only from a catch block.
inline void translateCurrentException() {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error indicator lost");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& e) {
        // Keeps errno so that OSError picks the right subclass (FileNotFoundError, ...).
        PyRef args = PyRef::steal(Py_BuildValue("(is)", e.code().value(), e.what()));
        if (args) PyErr_SetObject(PyExc_OSError, args.get());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    }
}

// Runs body; on any exception sets the Python error and returns failure
// (nullptr for object-returning bodies, -1 for int-returning ones).
// Not noexcept: CPython's forced unwind of a thread (python/gil.h) passes through.
// That unwind has no exception object, so its handler binds a null reference,
// as the C library's own idiom does: UBSan is off here.
template <typename Body>
__attribute__((no_sanitize_undefined)) auto guarded(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translateCurrentException();
        if constexpr (std::is_pointer_v<decltype(body())>) {
            return nullptr;
        } else {
            return -1;
        }
    }
}

}  // namespace kestrin::py
