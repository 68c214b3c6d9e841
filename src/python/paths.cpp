#include "python/paths.h"

#include "python/boundary.h"

namespace kestrin::py {

std::string pathFrom(PyObject* path) {
    PyRef text = PyRef::borrow(path);
    // os.fspath looks __fspath__ up on the type; bytes keep the "s" format's
    // TypeError, as before paths were accepted.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(path));
    if (!PyUnicode_Check(path) && !PyBytes_Check(path) && PyObject_HasAttrString(type, "__fspath__")) {
        text = check(PyRef::steal(PyOS_FSPath(path)));
    }
    // One parser for every case keeps its exact messages.
    PyRef args = check(PyRef::steal(PyTuple_Pack(1, text.get())));
    const char* utf8 = nullptr;
    if (!PyArg_ParseTuple(args.get(), "s", &utf8)) throw PythonErrorSet{};
    return std::string(utf8);
}

}  // namespace kestrin::py
