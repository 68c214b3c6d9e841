#include "python/console.h"

#include "network/console.h"
#include "python/boundary.h"
#include "python/gil.h"

namespace kestrin::py {

void writeToSysStdout(std::string_view text) {
    // Declared first so that every reference below is released with the lock held.
    HeldGil held;
    PyObject* stream = PySys_GetObject("stdout");  // borrowed; null without an error when missing
    if (stream == nullptr || stream == Py_None) {
        writeToStandardOutput(text);
        return;
    }
    // The write may run code that replaces sys.stdout: keep this stream alive.
    PyRef out = PyRef::borrow(stream);
    const auto length = static_cast<Py_ssize_t>(text.size());
    PyRef line = check(PyRef::steal(PyUnicode_DecodeUTF8(text.data(), length, "replace")));
    check(PyRef::steal(PyObject_CallMethod(out.get(), "write", "O", line.get())));
    PyRef flush = PyRef::steal(PyObject_GetAttrString(out.get(), "flush"));
    if (!flush) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        return;
    }
    check(PyRef::steal(PyObject_CallNoArgs(flush.get())));
}

void installConsole() { setLineWriter(writeToSysStdout); }

}  // namespace kestrin::py
