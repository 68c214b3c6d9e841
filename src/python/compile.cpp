// Model.compile: turns the names of the optimizer, loss, metrics and monitors
// into the ids the training loops and evaluate work on.
#include "python/pyref.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/boundary.h"
#include "python/methods.h"
#include "python/records.h"
#include "training/evaluate.h"

namespace kestrin::py {
namespace {

constexpr std::string_view kSizeMonitor = "size";
constexpr int32_t kSizeMonitorId = 0;

// Like raise(), but keeps a name with an embedded NUL whole.
[[noreturn]] void raiseText(PyObject* type, const std::string& message) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    throw PythonErrorSet{};
}

std::string_view utf8(PyObject* text) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &length);
    if (data == nullptr) throw PythonErrorSet{};
    return {data, static_cast<size_t>(length)};
}

// The first row of that name: a metric-only name such as "accuracy" is resolved by metricId.
int32_t lossId(std::string_view name) {
    for (int32_t id = 0; id < kLossCount; ++id) {
        if (name == kLossNames[id]) return id;
    }
    return -1;
}

bool isCrossEntropy(int32_t id) {
    return id == kBinaryCrossentropy || id == kCategoricalCrossentropy || id == kSparseCategoricalCrossentropy;
}

// As Keras resolves "accuracy": sparse beside the sparse loss, binary beside
// binary cross-entropy or for one output, categorical otherwise. Beside a
// cross-entropy the outputs are logits, so binary accuracy thresholds at 0.
int32_t metricId(std::string_view name, int32_t loss, int32_t outputs) {
    const bool logits = isCrossEntropy(loss);
    if (name == "accuracy") {
        if (loss == kSparseCategoricalCrossentropy) return kAccuracySparse;
        if (loss == kBinaryCrossentropy || outputs == 1) return logits ? kAccuracyBinaryOfLogits : kAccuracyBinary;
        return kAccuracyCategorical;
    }
    const int32_t id = lossId(name);
    return id == kBinaryAccuracy && logits ? kBinaryAccuracyOfLogits : id;
}

// Class-index targets (one column) and one target per output cannot be scored on the same y.
void requireOneKindOfTarget(const std::vector<int32_t>& ids) {
    for (int32_t id : ids) {
        if (kLossTable[static_cast<size_t>(id)].classIndices != kLossTable[static_cast<size_t>(ids[0])].classIndices) {
            const int32_t sparse = kLossTable[static_cast<size_t>(id)].classIndices ? id : ids[0];
            const int32_t other = sparse == id ? ids[0] : id;
            raise(PyExc_ValueError, std::string("'") + kLossNames[static_cast<size_t>(sparse)] +
                                        "' takes class indices as targets and '" +
                                        kLossNames[static_cast<size_t>(other)] +
                                        "' one target per output: they cannot be compiled together.\n");
        }
    }
}

void requireSequence(PyObject* names, const char* argument) {
    if (!PyList_Check(names) && !PyTuple_Check(names)) {
        raise(PyExc_TypeError, std::string(argument) + " must be a list or tuple of str, not " +
                                   Py_TYPE(names)->tp_name + ".");
    }
}

// Item i of a list or tuple, as UTF-8 text; TypeError naming argument if it is not a str.
std::string_view nameAt(PyObject* names, Py_ssize_t i, const char* argument) {
    PyObject* item = PySequence_Fast_GET_ITEM(names, i);
    if (!PyUnicode_Check(item)) {
        raise(PyExc_TypeError, std::string(argument) + " must hold only str; item " + std::to_string(i) + " is " +
                                   Py_TYPE(item)->tp_name + ".");
    }
    return utf8(item);
}

// What a successful compile installs, built whole before the record changes.
struct CompileState {
    PyRef optimizer;
    bool hasLoss = false;
    Precision precision = Precision::kFloat64;
    std::vector<int32_t> metricIds;  // loss id first (when given), then metrics
    std::vector<int32_t> monitorIds;
};

PyObject* resolveOptimizer(PyObject* given) {
    if (given == nullptr) return check(Optimizers::getByString("alpha"));
    if (PyObject_TypeCheck(given, &AlphaType)) return PyRef::borrow(given).release();
    if (PyObject_TypeCheck(given, &BetaType)) return PyRef::borrow(given).release();
    if (PyObject_TypeCheck(given, &GammaType)) return PyRef::borrow(given).release();
    if (PyUnicode_Check(given)) {
        const std::string_view name = utf8(given);
        // A name with an embedded NUL is no optimizer's name.
        PyObject* optimizer = std::strlen(name.data()) == name.size() ? Optimizers::getByString(name.data()) : nullptr;
        if (optimizer == nullptr) {
            if (PyErr_Occurred()) throw PythonErrorSet{};
            raiseText(PyExc_ValueError, "Optimizer '" + std::string(name) + "' not known.\n");
        }
        return optimizer;
    }
    raise(PyExc_ValueError, "The given optimizer is not an optimizer and not the name of an optimizer.\n");
}

// Reads every argument into a new state; the model is not touched. Runs no
// Python code of the user's: the names are str objects read in place.
// "float64" or "float32"; anything else a ValueError that says so.
Precision precisionFrom(PyObject* given) {
    if (given == nullptr) return Precision::kFloat64;
    if (PyUnicode_Check(given)) {
        const std::string_view name = utf8(given);
        if (const std::optional<Precision> precision = precisionFromName(name)) return *precision;
        raiseText(PyExc_ValueError, "precision must be 'float64' or 'float32', not '" + std::string(name) + "'.");
    }
    raise(PyExc_ValueError, std::string("precision must be 'float64' or 'float32', not an object of type ") +
                                Py_TYPE(given)->tp_name + ".");
}

CompileState compileState(PyObject* optimizer, const char* loss, PyObject* metrics, PyObject* monitors,
                          PyObject* precision, int32_t outputs) {
    CompileState state;
    state.precision = precisionFrom(precision);
    state.optimizer = PyRef::steal(resolveOptimizer(optimizer));

    if (loss[0] != '\0') {
        const int32_t id = lossId(loss);
        if (id < 0) raise(PyExc_ValueError, "Loss '" + std::string(loss) + "' not known.\n");
        if (!kLossTable[static_cast<size_t>(id)].isLoss) {
            raise(PyExc_ValueError, "'" + std::string(loss) +
                                        "' is a metric, not a loss: selection needs a loss to minimise. Pass it in "
                                        "metrics, beside a loss such as 'binary_crossentropy'.\n");
        }
        state.metricIds.push_back(id);
        state.hasLoss = true;
    }
    const int32_t lossForMetrics = state.hasLoss ? state.metricIds[0] : -1;

    requireSequence(metrics, "metrics");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(metrics); ++i) {
        const std::string_view name = nameAt(metrics, i, "metrics");
        const int32_t id = metricId(name, lossForMetrics, outputs);
        if (id < 0) raiseText(PyExc_ValueError, "Metric '" + std::string(name) + "' not known.\n");
        state.metricIds.push_back(id);
    }
    requireOneKindOfTarget(state.metricIds);

    requireSequence(monitors, "monitors");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(monitors); ++i) {
        const std::string_view name = nameAt(monitors, i, "monitors");
        if (name != kSizeMonitor) raiseText(PyExc_ValueError, "Monitor '" + std::string(name) + "' not known.\n");
        state.monitorIds.push_back(kSizeMonitorId);
    }
    return state;
}

}  // namespace

PyObject* Model_compile(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"optimizer", "loss", "metrics", "monitors", "precision", nullptr};
        PyRef noMetrics = check(PyRef::steal(PyList_New(0)));
        PyRef noMonitors = check(PyRef::steal(PyList_New(0)));
        PyObject* optimizer = nullptr;
        const char* loss = "";
        PyObject* metrics = noMetrics.get();
        PyObject* monitors = noMonitors.get();
        PyObject* precision = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OsOO$O", const_cast<char**>(keywords), &optimizer, &loss,
                                         &metrics, &monitors, &precision)) {
            return nullptr;
        }

        ModelObject* model = asModel(self);
        CompileState state;
        try {
            state = compileState(optimizer, loss, metrics, monitors, precision, model->outputs);
        } catch (...) {
            // An error leaves the model uncompiled. Its optimizer stays: releasing
            // it could run Python code while the error is pending.
            model->compiled = false;
            model->hasLoss = false;
            model->precision = Precision::kFloat64;
            std::vector<int32_t>().swap(model->metricIds);
            throw;
        }

        // Nothing below runs Python code until the record is complete.
        PyObject* previous = model->optimizer;
        model->optimizer = state.optimizer.release();
        model->hasLoss = state.hasLoss;
        model->precision = state.precision;
        model->metricIds.swap(state.metricIds);
        model->monitorIds.swap(state.monitorIds);
        model->compiled = true;
        // Last: an optimizer's __del__ may compile this model again, which then
        // simply follows this call.
        Py_XDECREF(previous);
        Py_RETURN_NONE;
    });
}

}  // namespace kestrin::py
