#include "python/callbacks.h"

#include <structmember.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "network/network_bytes.h"
#include "python/boundary.h"
#include "python/gil.h"
#include "python/methods.h"
#include "python/type_object.h"

namespace kestrin::py {
namespace {

// ---- shared helpers --------------------------------------------------------

// The object's attribute, or null (no error set) when it has none.
PyRef optionalAttribute(PyObject* object, const char* name) {
    PyRef found = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
    }
    return found;
}

// object.name(*args) if the object has such a method.
template <typename... Args>
void callIfPresent(PyObject* object, const char* name, Args... args) {
    PyRef method = optionalAttribute(object, name);
    if (method) check(PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), args..., nullptr)));
}

PyRef emptyLogs() { return check(PyRef::steal(PyDict_New())); }

PyRef floatOrNone(bool present, double value) {
    if (!present) return PyRef::borrow(Py_None);
    return check(PyRef::steal(PyFloat_FromDouble(value)));
}

// Keras's comparison in "min" mode: lower by more than minDelta, anything
// beats no reference at all, and NaN never improves on a number.
bool improves(double current, bool hasReference, double reference, double minDelta) {
    return !hasReference || current + minDelta < reference;
}

// logs[monitor] as a double; a missing key is a ValueError naming the keys there are.
double monitoredValue(PyObject* logs, PyObject* given, const char* who) {
    // Held here: whatever the lookup runs must not free the key it is looking up.
    PyRef monitor = PyRef::borrow(given);
    PyObject* value = PyDict_GetItemWithError(logs, monitor.get());  // borrowed
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PythonErrorSet{};
        PyRef keys = check(PyRef::steal(PyDict_Keys(logs)));
        PyRef shown = check(PyRef::steal(PyObject_Repr(keys.get())));
        PyErr_Format(PyExc_ValueError, "%s monitors %R, which is not in the logs; the logs hold %U.", who,
                     monitor.get(), shown.get());
        throw PythonErrorSet{};
    }
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    return number;
}

// A str from a str or an os.PathLike giving one.
PyObject* pathText(PyObject* path, const char* what) {
    PyRef text = check(PyRef::steal(PyOS_FSPath(path)));
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "%s must be a str or an os.PathLike giving a str, not %s.", what,
                     Py_TYPE(text.get())->tp_name);
        throw PythonErrorSet{};
    }
    return exactText(text.get()).release();
}

// OSError(errno, strerror, path), so that Python picks the subclass and shows the path.
[[noreturn]] void raiseFileError(const std::system_error& error, PyObject* path) {
    const int code = error.code().value();
    PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "isO", code, std::strerror(code), path));
    if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw PythonErrorSet{};
}

// The exception being raised, cleared from the thread's error indicator.
PyRef takeRaisedException() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

// The object itself as a new reference (Py_NewRef, which Python 3.9 lacks).
PyObject* newReference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

// ---- EarlyStopping ---------------------------------------------------------

EarlyStoppingObject* asEarlyStopping(PyObject* self) { return reinterpret_cast<EarlyStoppingObject*>(self); }

int EarlyStopping_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* keywords[] = {"monitor", "min_delta", "patience", "baseline", "restore_best_weights",
                                         nullptr};
        PyObject* monitor = nullptr;
        double minDelta = 0.0;
        int patience = 0;
        PyObject* baseline = Py_None;
        int restore = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|UdiOp", const_cast<char**>(keywords), &monitor, &minDelta,
                                         &patience, &baseline, &restore)) {
            return -1;
        }
        double baselineValue = 0.0;
        if (baseline != Py_None) {
            baselineValue = PyFloat_AsDouble(baseline);
            if (baselineValue == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
        }
        PyRef monitorText = monitor ? exactText(monitor) : check(PyRef::steal(PyUnicode_FromString("loss")));

        EarlyStoppingObject* stopping = asEarlyStopping(self);
        Py_XSETREF(stopping->monitor, monitorText.release());
        stopping->minDelta = std::fabs(minDelta);
        stopping->patience = patience;
        stopping->hasBaseline = baseline != Py_None;
        stopping->baseline = baselineValue;
        stopping->restoreBestWeights = restore != 0;
        stopping->wait = 0;
        stopping->stoppedEpoch = 0;
        stopping->hasBest = false;
        stopping->best = 0.0;
        stopping->bestEpoch = 0;
        return 0;
    });
}

void EarlyStopping_dealloc(PyObject* self) {
    Py_CLEAR(asEarlyStopping(self)->monitor);
    Py_TYPE(self)->tp_free(self);
}

PyObject* EarlyStopping_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const EarlyStoppingObject* stopping = asEarlyStopping(self);
        PyRef minDelta = check(PyRef::steal(PyFloat_FromDouble(stopping->minDelta)));
        PyRef baseline = floatOrNone(stopping->hasBaseline, stopping->baseline);
        return PyUnicode_FromFormat(
            "EarlyStopping(monitor=%R, min_delta=%R, patience=%d, baseline=%R, restore_best_weights=%s)",
            stopping->monitor ? stopping->monitor : Py_None, minDelta.get(), stopping->patience, baseline.get(),
            stopping->restoreBestWeights ? "True" : "False");
    });
}

PyObject* EarlyStopping_baseline(PyObject* self, void*) {
    const EarlyStoppingObject* stopping = asEarlyStopping(self);
    return guarded([&] { return floatOrNone(stopping->hasBaseline, stopping->baseline).release(); });
}

PyObject* EarlyStopping_best(PyObject* self, void*) {
    const EarlyStoppingObject* stopping = asEarlyStopping(self);
    return guarded([&] { return floatOrNone(stopping->hasBest, stopping->best).release(); });
}

PyObject* EarlyStopping_monitor(PyObject* self, void*) {
    PyObject* monitor = asEarlyStopping(self)->monitor;
    return newReference(monitor ? monitor : Py_None);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef earlyStoppingMembers[] = {
    {"min_delta", T_DOUBLE, offsetof(EarlyStoppingObject, minDelta), READONLY,
     "How much lower than the best a value must be to count as an improvement."},
    {"patience", T_INT, offsetof(EarlyStoppingObject, patience), READONLY,
     "Epochs without improvement after which training stops."},
    {"restore_best_weights", T_BOOL, offsetof(EarlyStoppingObject, restoreBestWeights), READONLY,
     "Whether the model receives the best network of the best epoch at the end."},
    {"wait", T_INT, offsetof(EarlyStoppingObject, wait), READONLY, "Epochs since the last improvement."},
    {"stopped_epoch", T_INT, offsetof(EarlyStoppingObject, stoppedEpoch), READONLY,
     "The 0-based epoch after which this callback stopped training, 0 if it did not."},
    {"best_epoch", T_INT, offsetof(EarlyStoppingObject, bestEpoch), READONLY,
     "The 0-based epoch of the best monitored value."},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyGetSetDef earlyStoppingGetSets[] = {
    {"monitor", EarlyStopping_monitor, nullptr, "The logs key watched.", nullptr},
    {"baseline", EarlyStopping_baseline, nullptr, "The value to beat, or None.", nullptr},
    {"best", EarlyStopping_best, nullptr, "The lowest monitored value of the last training, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef earlyStoppingMethods[] = {
    {"__reduce__", EarlyStopping_reduce, METH_NOARGS,
     "__reduce__(self)\n--\n\nThe state that pickle stores: the settings and the progress attributes."},
    {"__setstate__", EarlyStopping_setstate, METH_O, "__setstate__(self, state)\n--\n\nRestores a pickled state."},
    {"__copy__", EarlyStopping_copy, METH_NOARGS, "__copy__(self)\n--\n\nA copy with the same settings and progress."},
    {"__deepcopy__", EarlyStopping_deepcopy, METH_O, "__deepcopy__(self, memo)\n--\n\nA copy that shares nothing."},
    {nullptr, nullptr, 0, nullptr},
};

void earlyStoppingTrainBegin(EarlyStoppingObject* stopping) {
    stopping->wait = 0;
    stopping->stoppedEpoch = 0;
    stopping->hasBest = false;
    stopping->bestEpoch = 0;
}

// Keras's EarlyStopping.on_epoch_end in "min" mode; kept receives a copy of
// best whenever it is the network to restore.
void earlyStoppingEpochEnd(EarlyStoppingObject* stopping, PyObject* model, int epoch, PyObject* logs,
                           const Network& best, std::optional<Network>& kept) {
    const double current = monitoredValue(logs, stopping->monitor, "EarlyStopping");
    if (stopping->restoreBestWeights && !kept) {
        kept = best;
        stopping->bestEpoch = epoch;
    }
    stopping->wait += 1;
    if (improves(current, stopping->hasBest, stopping->best, stopping->minDelta)) {
        stopping->best = current;
        stopping->hasBest = true;
        stopping->bestEpoch = epoch;
        if (stopping->restoreBestWeights) *kept = best;
        // The wait restarts only when the value also beats the baseline.
        if (improves(current, stopping->hasBaseline, stopping->baseline, stopping->minDelta)) stopping->wait = 0;
        return;
    }
    if (stopping->wait >= stopping->patience && epoch > 0) {
        stopping->stoppedEpoch = epoch;
        if (PyObject_SetAttrString(model, "stop_training", Py_True) < 0) throw PythonErrorSet{};
    }
}

// ---- ModelCheckpoint -------------------------------------------------------

ModelCheckpointObject* asCheckpoint(PyObject* self) { return reinterpret_cast<ModelCheckpointObject*>(self); }

int ModelCheckpoint_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* keywords[] = {"filepath", "monitor", "save_best_only", nullptr};
        PyObject* filepath = nullptr;
        PyObject* monitor = nullptr;
        int saveBestOnly = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Up", const_cast<char**>(keywords), &filepath, &monitor,
                                         &saveBestOnly)) {
            return -1;
        }
        PyRef path = PyRef::steal(pathText(filepath, "filepath"));
        PyRef monitorText = monitor ? exactText(monitor) : check(PyRef::steal(PyUnicode_FromString("loss")));

        ModelCheckpointObject* checkpoint = asCheckpoint(self);
        Py_XSETREF(checkpoint->filepath, path.release());
        Py_XSETREF(checkpoint->monitor, monitorText.release());
        checkpoint->saveBestOnly = saveBestOnly != 0;
        checkpoint->hasBest = false;
        checkpoint->best = 0.0;
        return 0;
    });
}

void ModelCheckpoint_dealloc(PyObject* self) {
    Py_CLEAR(asCheckpoint(self)->filepath);
    Py_CLEAR(asCheckpoint(self)->monitor);
    Py_TYPE(self)->tp_free(self);
}

PyObject* ModelCheckpoint_repr(PyObject* self) {
    const ModelCheckpointObject* checkpoint = asCheckpoint(self);
    return PyUnicode_FromFormat("ModelCheckpoint(filepath=%R, monitor=%R, save_best_only=%s)",
                                checkpoint->filepath ? checkpoint->filepath : Py_None,
                                checkpoint->monitor ? checkpoint->monitor : Py_None,
                                checkpoint->saveBestOnly ? "True" : "False");
}

PyObject* ModelCheckpoint_filepath(PyObject* self, void*) {
    PyObject* path = asCheckpoint(self)->filepath;
    return newReference(path ? path : Py_None);
}

PyObject* ModelCheckpoint_monitor(PyObject* self, void*) {
    PyObject* monitor = asCheckpoint(self)->monitor;
    return newReference(monitor ? monitor : Py_None);
}

PyObject* ModelCheckpoint_best(PyObject* self, void*) {
    return guarded([&] { return floatOrNone(asCheckpoint(self)->hasBest, asCheckpoint(self)->best).release(); });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef checkpointMembers[] = {
    {"save_best_only", T_BOOL, offsetof(ModelCheckpointObject, saveBestOnly), READONLY,
     "Whether a file is written only when the monitored value improved."},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyGetSetDef checkpointGetSets[] = {
    {"filepath", ModelCheckpoint_filepath, nullptr, "The path of the files, with str.format fields.", nullptr},
    {"monitor", ModelCheckpoint_monitor, nullptr, "The logs key watched by save_best_only.", nullptr},
    {"best", ModelCheckpoint_best, nullptr, "The lowest monitored value saved so far, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef checkpointMethods[] = {
    {"__reduce__", ModelCheckpoint_reduce, METH_NOARGS,
     "__reduce__(self)\n--\n\nThe state that pickle stores: the settings and the best value saved."},
    {"__setstate__", ModelCheckpoint_setstate, METH_O, "__setstate__(self, state)\n--\n\nRestores a pickled state."},
    {"__copy__", ModelCheckpoint_copy, METH_NOARGS,
     "__copy__(self)\n--\n\nA copy with the same settings and best value."},
    {"__deepcopy__", ModelCheckpoint_deepcopy, METH_O, "__deepcopy__(self, memo)\n--\n\nA copy that shares nothing."},
    {nullptr, nullptr, 0, nullptr},
};

// filepath.format(epoch=epoch + 1, **logs), as Keras fills it.
PyRef checkpointPath(const ModelCheckpointObject* checkpoint, int epoch, PyObject* logs) {
    PyRef fields = check(PyRef::steal(PyDict_Copy(logs)));
    PyRef number = check(PyRef::steal(PyLong_FromLong(epoch + 1)));
    if (PyDict_SetItemString(fields.get(), "epoch", number.get()) < 0) throw PythonErrorSet{};
    PyRef format = check(PyRef::steal(PyObject_GetAttrString(checkpoint->filepath, "format")));
    PyRef noArguments = check(PyRef::steal(PyTuple_New(0)));
    PyRef path = PyRef::steal(PyObject_Call(format.get(), noArguments.get(), fields.get()));
    if (!path && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyRef missing = takeRaisedException();
        PyRef keys = check(PyRef::steal(PyDict_Keys(fields.get())));
        PyErr_Format(PyExc_KeyError, "ModelCheckpoint cannot fill the field %S of the filepath %R; the fields are %R.",
                     missing ? missing.get() : Py_None, checkpoint->filepath, keys.get());
    }
    return check(std::move(path));
}

void saveCheckpoint(PyObject* path, const Network& best) {
    PyRef encoded = check(PyRef::steal(PyUnicode_EncodeFSDefault(path)));
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    const auto length = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
    if (std::strlen(bytes) != length) raise(PyExc_ValueError, "The checkpoint's file path holds a null character.");
    const std::string target(bytes, length);
    try {
        // The fsync of a save takes milliseconds: let other threads run meanwhile.
        ReleasedGil released;
        const std::filesystem::path parent = std::filesystem::path(target).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent);
        best.save(target);
    } catch (const std::system_error& error) {
        raiseFileError(error, path);
    }
}

void checkpointEpochEnd(ModelCheckpointObject* checkpoint, int epoch, PyObject* logs, const Network& best) {
    PyRef path = checkpointPath(checkpoint, epoch, logs);
    if (checkpoint->saveBestOnly) {
        const double current = monitoredValue(logs, checkpoint->monitor, "ModelCheckpoint");
        if (!improves(current, checkpoint->hasBest, checkpoint->best, 0.0)) return;
        checkpoint->best = current;
        checkpoint->hasBest = true;
    }
    saveCheckpoint(path.get(), best);
}

// ---- BackupAndRestore ------------------------------------------------------

BackupAndRestoreObject* asBackup(PyObject* self) { return reinterpret_cast<BackupAndRestoreObject*>(self); }

int BackupAndRestore_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* keywords[] = {"backup_dir", "save_freq", "delete_checkpoint", nullptr};
        PyObject* backupDir = nullptr;
        PyObject* saveFreq = nullptr;
        int deleteCheckpoint = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op", const_cast<char**>(keywords), &backupDir, &saveFreq,
                                         &deleteCheckpoint)) {
            return -1;
        }
        PyRef path = PyRef::steal(pathText(backupDir, "backup_dir"));
        if (PyUnicode_GetLength(path.get()) == 0) raise(PyExc_ValueError, "backup_dir must not be empty.");
        bool everyEpoch = true;
        long every = 1;
        if (saveFreq != nullptr && !(PyUnicode_Check(saveFreq) && PyUnicode_CompareWithASCIIString(saveFreq, "epoch") == 0)) {
            if (PyBool_Check(saveFreq) || !PyLong_Check(saveFreq)) {
                PyRef shown = check(PyRef::steal(PyObject_Repr(saveFreq)));
                PyErr_Format(PyExc_ValueError, "save_freq must be 'epoch' or a number of epochs of at least 1, not %U.",
                             shown.get());
                throw PythonErrorSet{};
            }
            every = PyLong_AsLong(saveFreq);
            if (every == -1 && PyErr_Occurred()) throw PythonErrorSet{};
            if (every < 1 || every > INT32_MAX) {
                raise(PyExc_ValueError,
                      "save_freq must be 'epoch' or a number of epochs of at least 1, not " + std::to_string(every) + ".");
            }
            everyEpoch = false;
        }
        BackupAndRestoreObject* backup = asBackup(self);
        Py_XSETREF(backup->backupDir, path.release());
        backup->saveFreq = static_cast<int>(every);
        backup->everyEpoch = everyEpoch;
        backup->deleteCheckpoint = deleteCheckpoint != 0;
        return 0;
    });
}

void BackupAndRestore_dealloc(PyObject* self) {
    Py_CLEAR(asBackup(self)->backupDir);
    Py_TYPE(self)->tp_free(self);
}

PyObject* BackupAndRestore_saveFreq(PyObject* self, void*) {
    const BackupAndRestoreObject* backup = asBackup(self);
    if (backup->everyEpoch) return PyUnicode_FromString("epoch");
    return PyLong_FromLong(backup->saveFreq);
}

PyObject* BackupAndRestore_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const BackupAndRestoreObject* backup = asBackup(self);
        PyRef saveFreq = check(PyRef::steal(BackupAndRestore_saveFreq(self, nullptr)));
        return PyUnicode_FromFormat("BackupAndRestore(backup_dir=%R, save_freq=%R, delete_checkpoint=%s)",
                                    backup->backupDir ? backup->backupDir : Py_None, saveFreq.get(),
                                    backup->deleteCheckpoint ? "True" : "False");
    });
}

PyObject* BackupAndRestore_backupDir(PyObject* self, void*) {
    PyObject* path = asBackup(self)->backupDir;
    return newReference(path ? path : Py_None);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef backupMembers[] = {
    {"delete_checkpoint", T_BOOL, offsetof(BackupAndRestoreObject, deleteCheckpoint), READONLY,
     "Whether a call that completes deletes its backup."},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyGetSetDef backupGetSets[] = {
    {"backup_dir", BackupAndRestore_backupDir, nullptr, "The directory that holds the backup.", nullptr},
    {"save_freq", BackupAndRestore_saveFreq, nullptr, "'epoch', or the number of epochs between backups.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef backupMethods[] = {
    {"__reduce__", BackupAndRestore_reduce, METH_NOARGS, "__reduce__(self)\n--\n\nThe state that pickle stores: the settings."},
    {"__setstate__", BackupAndRestore_setstate, METH_O, "__setstate__(self, state)\n--\n\nRestores a pickled state."},
    {"__copy__", BackupAndRestore_copy, METH_NOARGS, "__copy__(self)\n--\n\nA copy with the same settings."},
    {"__deepcopy__", BackupAndRestore_deepcopy, METH_O, "__deepcopy__(self, memo)\n--\n\nA copy that shares nothing."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the submodule ---------------------------------------------------------

PyModuleDef callbacksModule = {
    PyModuleDef_HEAD_INIT, "kestrin.callbacks", "Callbacks for Model.evolve and Model.func_evolve.", -1, nullptr,
    nullptr,               nullptr,             nullptr,                                               nullptr,
};

}  // namespace

PyTypeObject EarlyStoppingType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.callbacks.EarlyStopping";
    type.tp_basicsize = sizeof(EarlyStoppingObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "EarlyStopping(monitor='loss', min_delta=0.0, patience=0, baseline=None, restore_best_weights=False)\n--\n\n"
        "Stops training when the monitored value (a key of the logs; lower is better) has not improved by more "
        "than min_delta for patience epochs, or has not beaten baseline. With restore_best_weights the model "
        "receives the best network of the epoch with the lowest monitored value.";
    type.tp_dealloc = EarlyStopping_dealloc;
    type.tp_repr = EarlyStopping_repr;
    type.tp_new = PyType_GenericNew;
    type.tp_init = EarlyStopping_init;
    type.tp_methods = earlyStoppingMethods;
    type.tp_members = earlyStoppingMembers;
    type.tp_getset = earlyStoppingGetSets;
    return type;
}();

PyTypeObject ModelCheckpointType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.callbacks.ModelCheckpoint";
    type.tp_basicsize = sizeof(ModelCheckpointObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "ModelCheckpoint(filepath, monitor='loss', save_best_only=False)\n--\n\n"
        "Saves the best network of each epoch as a '.kn' file (atomically). filepath may hold str.format fields: "
        "{epoch} (1-based) and the keys of the logs, e.g. 'run-{epoch:03d}-{loss:.4f}.kn'. With save_best_only a "
        "file is written only when the monitored value improved.";
    type.tp_dealloc = ModelCheckpoint_dealloc;
    type.tp_repr = ModelCheckpoint_repr;
    type.tp_new = PyType_GenericNew;
    type.tp_init = ModelCheckpoint_init;
    type.tp_methods = checkpointMethods;
    type.tp_members = checkpointMembers;
    type.tp_getset = checkpointGetSets;
    return type;
}();

PyTypeObject BackupAndRestoreType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.callbacks.BackupAndRestore";
    type.tp_basicsize = sizeof(BackupAndRestoreObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "BackupAndRestore(backup_dir, save_freq='epoch', delete_checkpoint=True)\n--\n\n"
        "Backs up the whole state of the run after every epoch (or every save_freq epochs; unlike Keras, an int "
        "counts epochs) in backup_dir, in one file replaced atomically: the population with its scores, the "
        "optimizer's state, the random streams of a seeded run, the history, the best network and the state of "
        "the kestrin callbacks. When the same call starts again and finds the backup, it resumes after the last "
        "backed-up epoch; a seeded run then ends exactly as it would have without the interruption. A call that "
        "completes deletes its backup unless delete_checkpoint is False. A backup of another call (model shape, "
        "optimizer, pop_size, loss, data shape) or a damaged one is refused with ValueError and left in place.";
    type.tp_dealloc = BackupAndRestore_dealloc;
    type.tp_repr = BackupAndRestore_repr;
    type.tp_new = PyType_GenericNew;
    type.tp_init = BackupAndRestore_init;
    type.tp_methods = backupMethods;
    type.tp_members = backupMembers;
    type.tp_getset = backupGetSets;
    return type;
}();

PyObject* makeCallbacksModule() {
    if (PyType_Ready(&EarlyStoppingType) < 0 || PyType_Ready(&ModelCheckpointType) < 0 ||
        PyType_Ready(&BackupAndRestoreType) < 0) {
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create(&callbacksModule));
    if (!module) return nullptr;
    for (PyTypeObject* type : {&EarlyStoppingType, &ModelCheckpointType, &BackupAndRestoreType}) {
        const char* name = std::strrchr(type->tp_name, '.') + 1;
        Py_INCREF(type);
        if (PyModule_AddObject(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    return module.release();
}

// ---- CallbackList ----------------------------------------------------------

CallbackList::CallbackList(PyObject* given) {
    if (given == nullptr || given == Py_None) return;
    PyRef held = PyRef::borrow(given);
    if (!PyList_Check(given) && !PyTuple_Check(given)) {
        // A Keras CallbackList holds its callbacks in a list of that name.
        PyRef inner;
        if (std::string_view(Py_TYPE(given)->tp_name) == "CallbackList") inner = optionalAttribute(given, "callbacks");
        if (!inner || (!PyList_Check(inner.get()) && !PyTuple_Check(inner.get()))) {
            raise(PyExc_TypeError, std::string("callbacks must be a list or tuple of callbacks, not ") +
                                       Py_TYPE(given)->tp_name + ".");
        }
        held = std::move(inner);
    }
    // Copied as a tuple: nothing below may see the list change.
    PyRef items = check(PyRef::steal(PySequence_Tuple(held.get())));
    PyObject* argument = items.get();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(argument);
    entries_.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(argument, i);
        Kind kind = Kind::generic;
        if (Py_IS_TYPE(item, &EarlyStoppingType)) kind = Kind::earlyStopping;
        if (Py_IS_TYPE(item, &ModelCheckpointType)) kind = Kind::checkpoint;
        if (Py_IS_TYPE(item, &BackupAndRestoreType)) kind = Kind::backup;
        // __new__ alone leaves the texts null, which the epochs would read.
        const bool blank = (kind == Kind::earlyStopping && asEarlyStopping(item)->monitor == nullptr) ||
                           (kind == Kind::checkpoint && asCheckpoint(item)->filepath == nullptr) ||
                           (kind == Kind::backup && asBackup(item)->backupDir == nullptr);
        if (blank) {
            raise(PyExc_ValueError, std::string("callbacks[") + std::to_string(i) + "] is a " +
                                        Py_TYPE(item)->tp_name + " that __init__ has not set up.");
        }
        if (kind == Kind::backup) {
            if (backup_) raise(PyExc_ValueError, "callbacks holds more than one BackupAndRestore.");
            backup_ = asBackup(item);
        }
        entries_.push_back(Entry{PyRef::borrow(item), kind, std::nullopt});
    }
}

void CallbackList::trainBegin(PyObject* model, const Params& params) {
    model_ = PyRef::borrow(model);
    for (Entry& entry : entries_) {
        if (entry.kind == Kind::generic) callIfPresent(entry.object.get(), "set_model", model);
    }
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::generic) continue;
        PyRef values = check(PyRef::steal(
            Py_BuildValue("{sisisi}", "verbose", params.verbose, "epochs", params.epochs, "steps", params.steps)));
        callIfPresent(entry.object.get(), "set_params", values.get());
    }
    wantsBatches_ = false;
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::generic) continue;
        for (const char* hook : {"on_train_batch_begin", "on_train_batch_end"}) {
            const int has = PyObject_HasAttrString(entry.object.get(), hook);
            wantsBatches_ = wantsBatches_ || has == 1;
        }
    }
    for (Entry& entry : entries_) {
        entry.kept.reset();
        if (entry.kind == Kind::earlyStopping) {
            earlyStoppingTrainBegin(asEarlyStopping(entry.object.get()));
        } else if (entry.kind == Kind::generic) {
            callIfPresent(entry.object.get(), "on_train_begin", emptyLogs().get());
        }
    }
}

void CallbackList::epochBegin(int epoch) {
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::generic) continue;
        PyRef number = check(PyRef::steal(PyLong_FromLong(epoch)));
        callIfPresent(entry.object.get(), "on_epoch_begin", number.get(), emptyLogs().get());
    }
}

void CallbackList::batchBegin(int batch) {
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::generic) continue;
        PyRef number = check(PyRef::steal(PyLong_FromLong(batch)));
        callIfPresent(entry.object.get(), "on_train_batch_begin", number.get(), emptyLogs().get());
    }
}

void CallbackList::batchEnd(int batch, const MakeLogs& logs) {
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::generic) continue;
        PyRef number = check(PyRef::steal(PyLong_FromLong(batch)));
        callIfPresent(entry.object.get(), "on_train_batch_end", number.get(), logs().get());
    }
}

void CallbackList::epochEnd(int epoch, const MakeLogs& logs, const Network& best) {
    for (Entry& entry : entries_) {
        PyRef epochLogs = logs();
        switch (entry.kind) {
            case Kind::earlyStopping:
                earlyStoppingEpochEnd(asEarlyStopping(entry.object.get()), model_.get(), epoch, epochLogs.get(), best,
                                      entry.kept);
                break;
            case Kind::checkpoint:
                checkpointEpochEnd(asCheckpoint(entry.object.get()), epoch, epochLogs.get(), best);
                break;
            case Kind::backup:
                break;  // the training call writes the backup once every callback has run
            case Kind::generic: {
                PyRef number = check(PyRef::steal(PyLong_FromLong(epoch)));
                callIfPresent(entry.object.get(), "on_epoch_end", number.get(), epochLogs.get());
                break;
            }
        }
    }
}

Network* CallbackList::restoredNetwork() {
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
        if (entry->kept) return &*entry->kept;
    }
    return nullptr;
}

void CallbackList::trainEnd(const MakeLogs& logs) {
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::generic) continue;
        PyRef lastLogs = logs ? logs() : emptyLogs();
        callIfPresent(entry.object.get(), "on_train_end", lastLogs.get());
    }
}

// ---- the callbacks' part of a backup ---------------------------------------

namespace {

const char* keptTypeName(PyObject* object) { return std::strrchr(Py_TYPE(object)->tp_name, '.') + 1; }

PyRef pickleModule() { return check(PyRef::steal(PyImport_ImportModule("pickle"))); }

}  // namespace

std::string CallbackList::keptKinds() const {
    std::string kinds;
    for (const Entry& entry : entries_) {
        if (entry.kind != Kind::earlyStopping && entry.kind != Kind::checkpoint) continue;
        if (!kinds.empty()) kinds += ", ";
        kinds += keptTypeName(entry.object.get());
    }
    return kinds.empty() ? "none" : kinds;
}

// A list of (state, kept network's '.kn' bytes or None), one per such callback, pickled.
std::string CallbackList::savedStates() const {
    PyRef states = check(PyRef::steal(PyList_New(0)));
    for (const Entry& entry : entries_) {
        if (entry.kind != Kind::earlyStopping && entry.kind != Kind::checkpoint) continue;
        PyRef reduced = check(PyRef::steal(entry.kind == Kind::earlyStopping
                                               ? EarlyStopping_reduce(entry.object.get(), nullptr)
                                               : ModelCheckpoint_reduce(entry.object.get(), nullptr)));
        PyObject* state = PyTuple_GET_ITEM(reduced.get(), 2);  // borrowed
        PyRef kept = PyRef::borrow(Py_None);
        if (entry.kept) {
            const std::string bytes = encodeNetwork(*entry.kept);
            kept = check(PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
        }
        PyRef pair = check(PyRef::steal(PyTuple_Pack(2, state, kept.get())));
        if (PyList_Append(states.get(), pair.get()) < 0) throw PythonErrorSet{};
    }
    PyRef pickled = check(PyRef::steal(PyObject_CallMethod(pickleModule().get(), "dumps", "Oi", states.get(), 4)));
    return std::string(PyBytes_AS_STRING(pickled.get()), static_cast<size_t>(PyBytes_GET_SIZE(pickled.get())));
}

void CallbackList::restoreStates(const std::string& saved) {
    PyRef bytes = check(PyRef::steal(PyBytes_FromStringAndSize(saved.data(), static_cast<Py_ssize_t>(saved.size()))));
    PyRef states = check(PyRef::steal(PyObject_CallMethod(pickleModule().get(), "loads", "O", bytes.get())));
    if (!PyList_Check(states.get())) raise(PyExc_ValueError, "The backup's callback states are damaged.");
    Py_ssize_t at = 0;
    for (Entry& entry : entries_) {
        if (entry.kind != Kind::earlyStopping && entry.kind != Kind::checkpoint) continue;
        if (at >= PyList_GET_SIZE(states.get())) raise(PyExc_ValueError, "The backup holds too few callback states.");
        PyRef pair = PyRef::borrow(PyList_GET_ITEM(states.get(), at++));
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            raise(PyExc_ValueError, "The backup's callback states are damaged.");
        }
        PyObject* state = PyTuple_GET_ITEM(pair.get(), 0);
        PyObject* kept = PyTuple_GET_ITEM(pair.get(), 1);
        std::optional<Network> network;
        if (kept != Py_None) {
            if (!PyBytes_Check(kept)) raise(PyExc_ValueError, "The backup's callback states are damaged.");
            network = decodeNetwork(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(kept)),
                                    static_cast<size_t>(PyBytes_GET_SIZE(kept)), "network kept by a callback");
        }
        check(PyRef::steal(entry.kind == Kind::earlyStopping ? EarlyStopping_setstate(entry.object.get(), state)
                                                             : ModelCheckpoint_setstate(entry.object.get(), state)));
        entry.kept = std::move(network);
    }
    if (at != PyList_GET_SIZE(states.get())) raise(PyExc_ValueError, "The backup holds too many callback states.");
}

}  // namespace kestrin::py
