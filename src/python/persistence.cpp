// Model.save and kestrin.load: the '.kn' file behind a Python path. Only the
// network is stored; a loaded model must be compiled again.
#include "python/pyref.h"

#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "python/boundary.h"
#include "python/methods.h"
#include "python/paths.h"
#include "python/records.h"

namespace kestrin::py {
namespace {

// OSError(errno, strerror, path): Python picks the subclass from errno
// (FileNotFoundError, IsADirectoryError, ...) and shows the path as filename.
[[noreturn]] void raiseFileError(const std::system_error& error, PyObject* path) {
    const int code = error.code().value();
    PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "isO", code, std::strerror(code), path));
    if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw PythonErrorSet{};
}

}  // namespace

PyObject* modelFromNetwork(Network&& network) {
    PyRef args = check(PyRef::steal(Py_BuildValue("(ii)", network.inputs, network.outputs)));
    PyRef model = check(PyRef::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(&ModelType), args.get())));
    ModelObject* record = asModel(model.get());
    record->network = std::move(network);
    record->size = record->network.size;
    return model.release();
}

PyObject* Model_save(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
            // Keras's ModelCheckpoint calls model.save(filepath, overwrite=True).
            raise(PyExc_TypeError,
                  "save() takes no keyword arguments (Keras's ModelCheckpoint calls model.save(filepath, "
                  "overwrite=True) to write a Keras model's '.keras' file; kestrin.callbacks.ModelCheckpoint writes "
                  "'.kn' files)");
        }
        PyObject* given = nullptr;
        if (!PyArg_ParseTuple(args, "O", &given)) return nullptr;
        const std::string path = pathFrom(given);
        try {
            asModel(self)->network.save(path);
        } catch (const std::system_error& error) {
            raiseFileError(error, given);
        }
        Py_RETURN_NONE;
    });
}

PyObject* kestrin_load(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* given = nullptr;
        if (!PyArg_ParseTuple(args, "O", &given)) return nullptr;
        const std::string path = pathFrom(given);
        Network network;
        try {
            network = Network::load(path);
        } catch (const std::system_error& error) {
            raiseFileError(error, given);
        }
        return modelFromNetwork(std::move(network));
    });
}

}  // namespace kestrin::py
