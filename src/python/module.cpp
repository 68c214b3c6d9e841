// Module initialisation, the three extension types and their lifecycles.
#define KESTRIN_NUMPY_IMPORT
#include "python/numpy_api.h"

#include <structmember.h>

#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "python/boundary.h"
#include "python/callbacks.h"
#include "python/console.h"
#include "python/methods.h"
#include "python/type_object.h"
#include "python/records.h"

namespace kestrin::py {
namespace {

// ---- kestrin.Model ---------------------------------------------------------

PyObject* Model_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ModelObject* model = asModel(self);
    try {
        new (&model->network) Network();
    } catch (...) {
        translateCurrentException();
        type->tp_free(self);
        if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_DECREF(type);
        return nullptr;
    }
    new (&model->metricIds) std::vector<int32_t>();
    new (&model->monitorIds) std::vector<int32_t>();
    model->size = 0;
    model->precision = Precision::kFloat64;
    model->stopTraining = false;
    model->gradientPasses = 0;
    return self;
}

void checkModelCounts(int inputs, int outputs, int size) {
    if (inputs < 0 || outputs < 0) {
        raise(PyExc_ValueError, "The numbers of inputs (" + std::to_string(inputs) + ") and outputs (" +
                                    std::to_string(outputs) + ") must not be negative.");
    }
    const long long needed = static_cast<long long>(inputs) + outputs;
    if (size == -1 && needed > INT32_MAX) {
        raise(PyExc_ValueError, "The number of nodes, inputs + outputs (" + std::to_string(needed) +
                                    "), must be at most " + std::to_string(INT32_MAX) + ".");
    }
    if (size != -1 && size < needed) {
        raise(PyExc_ValueError, "The size (" + std::to_string(size) + ") must be -1 or at least inputs + outputs (" +
                                    std::to_string(needed) + ").");
    }
}

int Model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* keywords[] = {"inputs", "outputs", "size", nullptr};
        int inputs = 0, outputs = 0, size = -1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|i", const_cast<char**>(keywords), &inputs, &outputs,
                                         &size)) {
            return -1;
        }
        checkModelCounts(inputs, outputs, size);
        // Built aside, so that a failure leaves the record as it was.
        Network network(inputs, outputs);
        if (size != -1) network.setSize(size);
        network.initializeWeights();

        ModelObject* model = asModel(self);
        model->inputs = inputs;
        model->outputs = outputs;
        model->network = std::move(network);
        model->compiled = false;
        model->precision = Precision::kFloat64;
        model->size = model->network.size;
        return 0;
    });
}

// Tracked by the collector: a callback that sets model.history to itself
// while holding the model makes a cycle.
int Model_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(asModel(self)->dict);
    Py_VISIT(asModel(self)->optimizer);
    return 0;
}

int Model_clear(PyObject* self) {
    Py_CLEAR(asModel(self)->dict);
    return 0;
}

void Model_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    ModelObject* model = asModel(self);
    model->network.~Network();
    model->metricIds.~vector();
    model->monitorIds.~vector();
    Py_CLEAR(model->optimizer);
    Py_CLEAR(model->dict);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef modelMethods[] = {
    {"evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Model_evolve)),
     METH_VARARGS | METH_KEYWORDS,
     "evolve(self, x_train, y_train, pop_size=100, batch_size=-1, epochs=100, validation_data=None, verbose=1)"
     "\n--\n\nEvolves the network on a given dataset."},
    {"func_evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Model_func_evolve)),
     METH_VARARGS | METH_KEYWORDS,
     "func_evolve(self, train_func, pop_size=100, epochs=100, verbose=1, validation_func=None)\n--\n\nEvolves "
     "the network on a given fitness function."},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Model_predict)),
     METH_VARARGS | METH_KEYWORDS,
     "predict(self, x)\n--\n\nPredict the the outputs for a given set of samples."},
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Model_evaluate)),
     METH_VARARGS | METH_KEYWORDS,
     "evaluate(self, x, y)\n--\n\nEvaluate the the network based on the compiled losses/metrics on a given dataset."},
    {"gradients", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Model_gradients)),
     METH_VARARGS | METH_KEYWORDS,
     "gradients(self, x, y, /, *, workers=1)\n--\n\nThe compiled loss on a dataset and its exact derivatives: a tuple "
     "(loss, bias_gradients, weight_gradients) of a float and two float64 arrays, one entry per node in the order "
     "of get_nodes() and one per connection in the order of get_connections(). loss is what evaluate gives for "
     "the loss; inputs, and nodes or connections no output depends on, get 0.0. mae and mape take the derivative "
     "0 where a prediction equals its target, relu 0 at 0. x and y are checked as for evaluate; workers threads "
     "share the samples with the same result for any count."},
    {"set_genes", Model_set_genes, METH_VARARGS,
     "set_genes(self, biases, weights, /)\n--\n\nReplaces every bias and connection weight, the structure kept: "
     "biases one float per node in the order of get_nodes(), weights one per connection in the order of "
     "get_connections(), as gradients() returns their derivatives (so that SciPy or another optimizer can move "
     "them). ValueError, and no change, when a length differs."},
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Model_compile)),
     METH_VARARGS | METH_KEYWORDS,
     "compile(self, optimizer, loss, metrics, monitors, *, precision)\n--\n\nConfigure the losses, metrics and "
     "monitors for evolution. For `model.evolve_func`, losses and metrics are optional."},
    {"get_nodes", Model_get_nodes, METH_VARARGS,
     "get_nodes(self)\n--\n\nReturns a list of nodes contained in the network."},
    {"get_connections", Model_get_connections, METH_VARARGS,
     "get_connections(self)\n--\n\nReturns a list of connections contained in the network."},
    {"to_keras", Model_to_keras, METH_VARARGS, "to_keras(self)\n--\n\nConvert the Kestrin model to a Keras model."},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Model_save)), METH_VARARGS | METH_KEYWORDS,
     "save(self, path)\n--\n\nSaves the model using the '.kn' format."},
    {"to_dot", Model_to_dot, METH_NOARGS,
     "to_dot(self)\n--\n\nThe network as Graphviz DOT text: inputs, hidden nodes and outputs in ranks, each node "
     "with its activation and bias, each connection with its weight (blue positive, red negative, wider when "
     "larger; dashed when the forward pass does not use it)."},
    {"__reduce__", Model_reduce, METH_NOARGS,
     "__reduce__(self)\n--\n\nThe state that pickle stores: the network and the compile state."},
    {"__setstate__", Model_setstate, METH_O, "__setstate__(self, state)\n--\n\nRestores a pickled state."},
    {"__copy__", Model_copy, METH_NOARGS, "__copy__(self)\n--\n\nA copy that shares the Python objects it refers to."},
    {"__deepcopy__", Model_deepcopy, METH_O, "__deepcopy__(self, memo)\n--\n\nA copy that shares nothing."},
    {nullptr, nullptr, 0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef modelMembers[] = {
    {"size", T_INT, offsetof(ModelObject, size), 0,
     "Total number of nodes in the network (including inputs and outputs)."},
    {"inputs", T_INT, offsetof(ModelObject, inputs), READONLY, "Number of inputs of the network."},
    {"outputs", T_INT, offsetof(ModelObject, outputs), READONLY, "Number of outputs of the network."},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop
static_assert(sizeof(int32_t) == sizeof(int), "the T_INT members read the record's int32 fields");

// Keras's attribute: any object is taken by its truth value.
PyObject* Model_get_stop_training(PyObject* self, void*) { return PyBool_FromLong(asModel(self)->stopTraining); }

int Model_set_stop_training(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "stop_training cannot be deleted");
        return -1;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    asModel(self)->stopTraining = truth != 0;
    return 0;
}

PyObject* Model_get_gradient_passes(PyObject* self, void*) {
    return PyLong_FromLongLong(asModel(self)->gradientPasses);
}

PyGetSetDef modelGetSets[] = {
    {"stop_training", Model_get_stop_training, Model_set_stop_training,
     "Set to True (e.g. by a callback) to end the running evolve or func_evolve after the current epoch; reset to "
     "False when a training call starts.",
     nullptr},
    {"gradient_passes", Model_get_gradient_passes, nullptr,
     "Loss-and-gradient passes the optimizer has spent refining by gradient in the running or last training "
     "call, counted at the end of each epoch (0 in func_evolve, for an optimizer that does not refine, and "
     "before any training call).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- kestrin.Genome --------------------------------------------------------

// Read-only: a fitness function may look at a candidate's structure, not edit it.
PyObject* Genome_get_size(PyObject* self, void*) { return PyLong_FromLong(asGenome(self)->network.size); }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef genomeMembers[] = {
    {"inputs", T_INT, offsetof(GenomeObject, inputs), READONLY, "Number of inputs of the network."},
    {"outputs", T_INT, offsetof(GenomeObject, outputs), READONLY, "Number of outputs of the network."},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyGetSetDef genomeGetSets[] = {
    {"size", Genome_get_size, nullptr, "Total number of nodes in the network (including inputs and outputs).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* Genome_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&asGenome(self)->network) Network();
        asGenome(self)->precision = Precision::kFloat64;
    } catch (...) {
        translateCurrentException();
        type->tp_free(self);
        if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_DECREF(type);
        return nullptr;
    }
    return self;
}

int Genome_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* keywords[] = {"inputs", "outputs", nullptr};
        int inputs = 0, outputs = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|", const_cast<char**>(keywords), &inputs, &outputs)) {
            return -1;
        }
        asGenome(self)->inputs = inputs;
        asGenome(self)->outputs = outputs;
        return 0;
    });
}

void Genome_dealloc(PyObject* self) {
    asGenome(self)->network.~Network();
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef genomeMethods[] = {
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Genome_predict)),
     METH_VARARGS | METH_KEYWORDS,
     "predict(self, x)\n--\n\nPredict the the outputs for a given set of samples."},
    {"get_nodes", Genome_get_nodes, METH_NOARGS,
     "get_nodes(self)\n--\n\nThe genome's nodes as Model.get_nodes lists them: (index, {\"bias\", "
     "\"activation\"}) in node order."},
    {"get_connections", Genome_get_connections, METH_NOARGS,
     "get_connections(self)\n--\n\nThe genome's connections as Model.get_connections lists them: "
     "(from, to, {\"weight\"})."},
    {"gradients", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Genome_gradients)),
     METH_VARARGS | METH_KEYWORDS,
     "gradients(self, x, y, /, *, loss='mse', workers=1)\n--\n\nThe loss named `loss` (a loss name that compile "
     "takes) on a dataset and its exact derivatives, as Model.gradients gives them."},
    {"__reduce__", Genome_reduce, METH_NOARGS,
     "__reduce__(self)\n--\n\nThe state that pickle stores: the network."},
    {"__setstate__", Genome_setstate, METH_O, "__setstate__(self, state)\n--\n\nRestores a pickled state."},
    {"__copy__", Genome_copy, METH_NOARGS, "__copy__(self)\n--\n\nA copy that shares the Python objects it refers to."},
    {"__deepcopy__", Genome_deepcopy, METH_O, "__deepcopy__(self, memo)\n--\n\nA copy that shares nothing."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- kestrin.optimizers.Alpha ----------------------------------------------

int Alpha_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* keywords[] = {"mutation_rate", nullptr};
        AlphaObject* alpha = reinterpret_cast<AlphaObject*>(self);
        alpha->mutationRate = 0.5;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|d", const_cast<char**>(keywords), &alpha->mutationRate)) {
            return -1;
        }
        return 0;
    });
}

void Alpha_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyMethodDef alphaMethods[] = {
    {"__reduce__", Alpha_reduce, METH_NOARGS,
     "__reduce__(self)\n--\n\nThe state that pickle stores: the mutation rate."},
    {"__setstate__", Alpha_setstate, METH_O, "__setstate__(self, state)\n--\n\nRestores a pickled state."},
    {"__copy__", Alpha_copy, METH_NOARGS, "__copy__(self)\n--\n\nA copy that shares the Python objects it refers to."},
    {"__deepcopy__", Alpha_deepcopy, METH_O, "__deepcopy__(self, memo)\n--\n\nA copy that shares nothing."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- modules ---------------------------------------------------------------

PyMethodDef moduleFunctions[] = {
    {"from_keras", kestrin_from_keras, METH_VARARGS,
     "from_keras(keras_model)\n--\n\nConvert a Keras model to a Kestrin model. This only works for Keras models that "
     "have been exported from Kestrin using `model.to_keras()` with unmodified architecture."},
    {"load", kestrin_load, METH_VARARGS, "load(path)\n--\n\nLoad a model saved in the '.kn' format."},
    {"set_random_seed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kestrin_set_random_seed)),
     METH_VARARGS | METH_KEYWORDS,
     "set_random_seed(seed)\n--\n\nSeed every random source of kestrin with an int >= 0 (of any size). After it, "
     "the same sequence of kestrin calls gives the same results: starting weights, histories, networks and saved "
     "files. Calling it again with the same seed replays them. A forked child that does not call it draws streams "
     "of its own, derived from the seed and the fork's number."},
    {"_derived_seed", kestrin_derived_seed, METH_NOARGS,
     "_derived_seed()\n--\n\nA 64-bit seed drawn from kestrin's random streams."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kestrinModule = {
    PyModuleDef_HEAD_INIT, "kestrin", "Kestrin allows training models through neuro-evolution.", -1,
    moduleFunctions,       nullptr,   nullptr,
    nullptr,               nullptr,
};

PyModuleDef optimizersModule = {
    PyModuleDef_HEAD_INIT, "kestrin.optimizers", "Optimizers.", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The pure-Python submodules (kestrin.sklearn) are installed in a folder beside
// the shared object; a __path__ naming it lets the import system find them,
// while kestrin itself stays this extension module.
bool addSubmodulePath(PyObject* module) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&addSubmodulePath), &info) == 0 || info.dli_fname == nullptr) return true;
    std::string folder = info.dli_fname;
    const size_t slash = folder.rfind('/');
    folder = (slash == std::string::npos ? std::string(".") : folder.substr(0, slash)) + "/kestrin-submodules";
    PyRef path = PyRef::steal(Py_BuildValue("[s]", folder.c_str()));
    return path && PyModule_AddObject(module, "__path__", path.release()) == 0;
}

// NumPy 2 names its module numpy._core; users of older releases know the old text.
bool importNumPy() {
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return false;
    }
    return true;
}

}  // namespace

PyTypeObject ModelType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.Model";
    type.tp_basicsize = sizeof(ModelObject);
    type.tp_itemsize = 0;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    type.tp_dictoffset = offsetof(ModelObject, dict);
#pragma GCC diagnostic pop
    type.tp_traverse = Model_traverse;
    type.tp_clear = Model_clear;
    type.tp_doc = "Model(inputs, outputs, size=-1)\n--\n\n"
                  "A Kestrin model that can be evolved on datasets and fitness functions.";
    type.tp_repr = Model_repr;
    type.tp_dealloc = Model_dealloc;
    type.tp_new = Model_new;
    type.tp_init = Model_init;
    type.tp_methods = modelMethods;
    type.tp_members = modelMembers;
    type.tp_getset = modelGetSets;
    type.tp_getattro = Model_getattro;
    return type;
}();

PyTypeObject GenomeType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.Genome";
    type.tp_basicsize = sizeof(GenomeObject);
    type.tp_itemsize = 0;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "Genome(inputs, outputs)\n--\n\nA lightweight Kestrin model that can only be used for predictions.";
    type.tp_repr = Genome_repr;
    type.tp_dealloc = Genome_dealloc;
    type.tp_new = Genome_new;
    type.tp_init = Genome_init;
    type.tp_methods = genomeMethods;
    type.tp_members = genomeMembers;
    type.tp_getset = genomeGetSets;
    return type;
}();

PyTypeObject AlphaType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.optimizers.Alpha";
    type.tp_basicsize = sizeof(AlphaObject);
    type.tp_itemsize = 0;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "Alpha(mutation_rate=0.5)\n--\n\nThe first optimizer in Kestrin.";
    type.tp_repr = Alpha_repr;
    type.tp_dealloc = Alpha_dealloc;
    type.tp_new = PyType_GenericNew;
    type.tp_init = Alpha_init;
    type.tp_methods = alphaMethods;
    return type;
}();

PyObject* Optimizers::getByString(const char* name) {
    if (std::strcmp(name, "alpha") == 0) return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&AlphaType));
    if (std::strcmp(name, "beta") == 0) return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&BetaType));
    if (std::strcmp(name, "gamma") == 0) return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&GammaType));
    return nullptr;
}

}  // namespace kestrin::py

using namespace kestrin::py;

PyMODINIT_FUNC PyInit_optimizers() {
    if (PyType_Ready(&AlphaType) < 0) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create(&optimizersModule));
    if (!module) return nullptr;
    Py_INCREF(&AlphaType);
    if (PyModule_AddObject(module.get(), "Alpha", reinterpret_cast<PyObject*>(&AlphaType)) < 0) {
        Py_DECREF(&AlphaType);
        return nullptr;
    }
    if (PyType_Ready(&BetaType) < 0) return nullptr;
    Py_INCREF(&BetaType);
    if (PyModule_AddObject(module.get(), "Beta", reinterpret_cast<PyObject*>(&BetaType)) < 0) {
        Py_DECREF(&BetaType);
        return nullptr;
    }
    if (PyType_Ready(&GammaType) < 0) return nullptr;
    Py_INCREF(&GammaType);
    if (PyModule_AddObject(module.get(), "Gamma", reinterpret_cast<PyObject*>(&GammaType)) < 0) {
        Py_DECREF(&GammaType);
        return nullptr;
    }
    return module.release();
}

PyMODINIT_FUNC PyInit_kestrin() {
    if (!importNumPy()) return nullptr;
    if (PyType_Ready(&ModelType) < 0 || PyType_Ready(&GenomeType) < 0) return nullptr;

    PyRef module = PyRef::steal(PyModule_Create(&kestrinModule));
    if (!module) return nullptr;

    PyRef optimizers = PyRef::steal(PyInit_optimizers());
    if (!optimizers) return nullptr;
    // Lets `from kestrin.optimizers import Alpha` find the submodule.
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_SetItemString(modules, "kestrin.optimizers", optimizers.get()) < 0) return nullptr;
    if (PyModule_AddObject(module.get(), "optimizers", optimizers.get()) < 0) return nullptr;
    optimizers.release();

    PyRef callbacks = PyRef::steal(makeCallbacksModule());
    if (!callbacks) return nullptr;
    if (PyDict_SetItemString(modules, "kestrin.callbacks", callbacks.get()) < 0) return nullptr;
    if (PyModule_AddObject(module.get(), "callbacks", callbacks.get()) < 0) return nullptr;
    callbacks.release();

    struct Entry {
        const char* name;
        PyTypeObject* type;
    };
    for (const Entry& entry : {Entry{"Model", &ModelType}, Entry{"Genome", &GenomeType}}) {
        Py_INCREF(entry.type);
        if (PyModule_AddObject(module.get(), entry.name, reinterpret_cast<PyObject*>(entry.type)) < 0) {
            Py_DECREF(entry.type);
            return nullptr;
        }
    }
    if (PyModule_AddStringConstant(module.get(), "__version__", KESTRIN_VERSION) < 0) return nullptr;
    if (!addSubmodulePath(module.get())) return nullptr;
    installConsole();
    return module.release();
}
