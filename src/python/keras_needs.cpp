// What Keras's own callbacks ask of a Keras model that a kestrin Model has not:
// an optimizer with a learning rate, Keras weights and weight files, layers and
// variables. The lookup still fails with AttributeError (so hasattr answers as
// before), but the message names what the callback needs and, where there is
// one, the kestrin callback that does the same job.
#include "python/methods.h"

#include <cstring>

namespace kestrin::py {
namespace {

struct KerasNeed {
    const char* attribute;
    const char* why;
};

constexpr KerasNeed kKerasNeeds[] = {
    {"optimizer",
     "Keras's ReduceLROnPlateau, LearningRateScheduler and TensorBoard read or set a Keras optimizer's "
     "learning_rate, and evolution has no learning rate (a kestrin optimizer's settings are compile's optimizer "
     "argument)"},
    {"get_weights",
     "Keras's EarlyStopping(restore_best_weights=True) keeps Keras weights; use "
     "kestrin.callbacks.EarlyStopping(restore_best_weights=True)"},
    {"set_weights",
     "Keras's EarlyStopping(restore_best_weights=True) sets Keras weights; use "
     "kestrin.callbacks.EarlyStopping(restore_best_weights=True)"},
    {"save_weights",
     "Keras's ModelCheckpoint(save_weights_only=True) and BackupAndRestore write Keras weight files; use "
     "kestrin.callbacks.ModelCheckpoint (it writes '.kn' files) or kestrin.callbacks.BackupAndRestore"},
    {"load_weights",
     "Keras's BackupAndRestore reads Keras weight files; use kestrin.callbacks.BackupAndRestore"},
    {"built", "Keras's BackupAndRestore needs a built Keras model; use kestrin.callbacks.BackupAndRestore"},
    {"layers", "a kestrin network is one graph of nodes, not Keras layers (see get_nodes, get_connections, to_keras)"},
    {"trainable_variables", "a kestrin network has no Keras variables (see get_nodes, get_connections, to_keras)"},
    {"trainable_weights", "a kestrin network has no Keras variables (see get_nodes, get_connections, to_keras)"},
};

const char* kerasNeed(PyObject* name) {
    if (!PyUnicode_Check(name)) return nullptr;
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    for (const KerasNeed& need : kKerasNeeds) {
        if (std::strcmp(need.attribute, text) == 0) return need.why;
    }
    return nullptr;
}

}  // namespace

PyObject* Model_getattro(PyObject* self, PyObject* name) {
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    const char* why = kerasNeed(name);
    if (why == nullptr) return nullptr;
    PyErr_Clear();
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U': %s.", Py_TYPE(self)->tp_name, name,
                 why);
    return nullptr;
}

}  // namespace kestrin::py
