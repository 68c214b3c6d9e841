// Model.evolve and Model.func_evolve: argument checks, the CPython side of the
// training loops (signals, callbacks, calls into the user's functions) and the
// history dict. Everything is checked before training or printing starts, and
// the model's network is replaced only when a call completes.
//
// The loops run with the interpreter lock released, on the call's own copies;
// everything they call back that touches Python takes the lock again.
#include "python/numpy_api.h"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "network/console.h"
#include "python/arrays.h"
#include "python/backup_run.h"
#include "python/boundary.h"
#include "python/callbacks.h"
#include "python/gil.h"
#include "python/methods.h"
#include "python/records.h"
#include "python/targets.h"
#include "python/workers.h"
#include "training/evaluate.h"
#include "training/evolve.h"

namespace kestrin::py {
namespace {

// Ctrl-C and Python signal handlers take effect here; false leaves the error set.
bool noPendingSignal() {
    HeldGil held;
    return PyErr_CheckSignals() == 0;
}

std::string lossName(int32_t id) {
    return id >= 0 && id < kLossCount ? kLossNames[static_cast<size_t>(id)] : "metric_" + std::to_string(id);
}

void checkPopulationAndEpochs(int popSize, int epochs, int initialEpoch) {
    if (popSize < 2 || popSize % 2 != 0) {
        raise(PyExc_ValueError, "pop_size must be an even number of at least 2, got " + std::to_string(popSize) + ".");
    }
    if (epochs < 0) raise(PyExc_ValueError, "epochs must be at least 0, got " + std::to_string(epochs) + ".");
    if (initialEpoch < 0) {
        raise(PyExc_ValueError, "initial_epoch must be at least 0, got " + std::to_string(initialEpoch) + ".");
    }
}

// ---- what a backup must match ----------------------------------------------

std::string rowsText(const SampleMatrix& rows) {
    std::string text = "(";
    text += std::to_string(rows.rows());
    text += ", ";
    text += std::to_string(rows.columns());
    return text += ")";
}

std::string modelShape(const Network& start) {
    return "inputs=" + std::to_string(start.inputs) + ", outputs=" + std::to_string(start.outputs) +
           ", size=" + std::to_string(start.size);
}

std::string optimizerText(PyObject* optimizer) {
    if (optimizer == nullptr) return "'alpha'";
    PyRef shown = check(PyRef::steal(PyObject_Repr(optimizer)));
    const char* text = PyUnicode_AsUTF8(shown.get());
    if (text == nullptr) throw PythonErrorSet{};
    return text;
}

std::string lossesText(const std::vector<int32_t>& ids) {
    std::string text;
    for (const int32_t id : ids) {
        if (!text.empty()) text += ", ";
        text += lossName(id);
    }
    return text;
}

void checkHasRows(const SampleMatrix& x, PyObject* array, const char* name) {
    if (x.rows() < 1) {
        raise(PyExc_ValueError,
              std::string(name) + " must hold at least one sample; got an array of shape " + shapeText(array) + ".");
    }
}

// The shape checks of evolve, for the training or the validation pair.
void checkShapes(const ModelObject* model, const SampleMatrix& x, const SampleMatrix& y, const char* xName,
                 const char* yName) {
    if (x.columns() != model->inputs) {
        raise(PyExc_ValueError, std::string("Expected second dimension of ") + xName + " (" +
                                    std::to_string(x.columns()) +
                                    ") to be equal to the number of inputs of the model (" +
                                    std::to_string(model->inputs) + ")");
    }
    if (takesClassIndices(model->metricIds)) {
        checkClassIndices(model->metricIds, y, model->outputs, yName);
    } else if (y.columns() != model->outputs) {
        raise(PyExc_ValueError, std::string("Expected second dimension of ") + yName + " (" +
                                    std::to_string(y.columns()) +
                                    ") to be equal to the number of outputs of the model (" +
                                    std::to_string(model->outputs) + ")");
    }
    if (x.rows() != y.rows()) {
        raise(PyExc_ValueError, std::string("Expected first dimension of ") + xName + " (" +
                                    std::to_string(x.rows()) + ") to be equal to the first dimension of " + yName +
                                    " (" + std::to_string(y.rows()) + ")");
    }
}

void requireLoss(const ModelObject* model) {
    if (!model->compiled) {
        raise(PyExc_RuntimeError, "You must compile your model before evolving. Use `model.compile(loss)`.");
    }
    if (!model->hasLoss) {
        raise(PyExc_RuntimeError, "Please set the loss function uring compilation. Use `model.compile(loss)`.");
    }
}

// The two items of validation_data; their types are checked when they are converted.
struct ValidationItems {
    PyRef x;
    PyRef y;
};

std::optional<ValidationItems> validationItems(PyObject* data) {
    if (data == Py_None) return std::nullopt;
    if (!PyTuple_Check(data) && !PyList_Check(data)) {
        raise(PyExc_TypeError, std::string("validation_data must be a tuple (x_val, y_val) of two NumPy arrays, not ") +
                                   Py_TYPE(data)->tp_name + ".");
    }
    const Py_ssize_t length = PySequence_Fast_GET_SIZE(data);
    if (length != 2) {
        raise(PyExc_ValueError, "validation_data must hold two NumPy arrays (x_val, y_val), got " +
                                    std::to_string(length) + " items.");
    }
    return ValidationItems{PyRef::borrow(PySequence_Fast_GET_ITEM(data, 0)),
                           PyRef::borrow(PySequence_Fast_GET_ITEM(data, 1))};
}

SampleMatrix validationRows(PyObject* item, const char* name) {
    if (!PyArray_Check(item)) {
        raise(PyExc_TypeError, std::string("validation_data must hold two NumPy arrays; ") + name + " is " +
                                   Py_TYPE(item)->tp_name + ".");
    }
    return rowsFromArray(item, name);
}

// A list with one item per epoch, made by item(e).
template <typename Item>
void addHistory(PyObject* history, const std::string& key, size_t epochs, Item&& item) {
    PyRef list = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(epochs))));
    for (size_t e = 0; e < epochs; ++e) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(e), check(item(e)));  // steals the item
    }
    // A metric named twice sets its key twice with equal lists; the key keeps its first place.
    if (PyDict_SetItemString(history, key.c_str(), list.get()) < 0) throw PythonErrorSet{};
}

void setLog(PyObject* logs, const std::string& key, PyRef value) {
    if (PyDict_SetItemString(logs, key.c_str(), check(std::move(value)).get()) < 0) throw PythonErrorSet{};
}

// One epoch's values under the history's keys, for the callbacks.
PyRef datasetLogs(const DatasetEpoch& epoch, const std::vector<int32_t>& ids, const std::vector<int32_t>& monitors,
                  bool hasValidation) {
    PyRef logs = check(PyRef::steal(PyDict_New()));
    for (size_t k = 0; k < ids.size(); ++k) {
        setLog(logs.get(), k == 0 ? "loss" : lossName(ids[k]), PyRef::steal(PyFloat_FromDouble(epoch.losses[k])));
    }
    if (hasValidation) {
        for (size_t k = 0; k < ids.size(); ++k) {
            setLog(logs.get(), "val_" + (k == 0 ? std::string("loss") : lossName(ids[k])),
                   PyRef::steal(PyFloat_FromDouble(epoch.validation[k])));
        }
    }
    if (!monitors.empty()) setLog(logs.get(), "size", PyRef::steal(PyLong_FromLong(epoch.size)));
    return logs;
}

PyRef functionLogs(const FunctionEpoch& epoch, const std::vector<int32_t>& monitors, bool hasValidation) {
    PyRef logs = check(PyRef::steal(PyDict_New()));
    setLog(logs.get(), "loss", PyRef::steal(PyFloat_FromDouble(epoch.loss)));
    if (hasValidation) setLog(logs.get(), "val_loss", PyRef::steal(PyFloat_FromDouble(epoch.validation)));
    if (!monitors.empty()) setLog(logs.get(), "size", PyRef::steal(PyLong_FromLong(epoch.size)));
    return logs;
}

PyRef datasetHistory(const DatasetResult& result, const std::vector<int32_t>& ids,
                     const std::vector<int32_t>& monitors, bool hasValidation) {
    const std::vector<DatasetEpoch>& epochs = result.epochs;
    PyRef history = check(PyRef::steal(PyDict_New()));
    for (size_t k = 0; k < ids.size(); ++k) {
        addHistory(history.get(), k == 0 ? "loss" : lossName(ids[k]), epochs.size(),
                   [&](size_t e) { return PyFloat_FromDouble(epochs[e].losses[k]); });
    }
    if (hasValidation) {
        for (size_t k = 0; k < ids.size(); ++k) {
            addHistory(history.get(), "val_" + (k == 0 ? std::string("loss") : lossName(ids[k])), epochs.size(),
                       [&](size_t e) { return PyFloat_FromDouble(epochs[e].validation[k]); });
        }
    }
    if (!monitors.empty()) {
        addHistory(history.get(), "size", epochs.size(), [&](size_t e) { return PyLong_FromLong(epochs[e].size); });
    }
    return history;
}

PyRef functionHistory(const FunctionResult& result, const std::vector<int32_t>& monitors, bool hasValidation) {
    const std::vector<FunctionEpoch>& epochs = result.epochs;
    PyRef history = check(PyRef::steal(PyDict_New()));
    addHistory(history.get(), "loss", epochs.size(), [&](size_t e) { return PyFloat_FromDouble(epochs[e].loss); });
    if (hasValidation) {
        addHistory(history.get(), "val_loss", epochs.size(),
                   [&](size_t e) { return PyFloat_FromDouble(epochs[e].validation); });
    }
    if (!monitors.empty()) {
        addHistory(history.get(), "size", epochs.size(), [&](size_t e) { return PyLong_FromLong(epochs[e].size); });
    }
    return history;
}

// The counts follow too: the user's functions may have reinitialised the model
// with other counts while it trained.
void replaceNetwork(ModelObject* model, Network&& best) {
    model->network = std::move(best);
    model->size = model->network.size;
    model->inputs = model->network.inputs;
    model->outputs = model->network.outputs;
}

// The end of a call that completed: the model receives best (or the network
// an EarlyStopping restores), then on_train_end runs, seeing the trained model
// as in Keras. A callback that raises there leaves the model as it was.
void finishTraining(ModelObject* model, Network&& best, CallbackList& callbacks, const MakeLogs& lastLogs) {
    if (Network* restored = callbacks.restoredNetwork()) best = std::move(*restored);
    if (callbacks.empty()) {
        replaceNetwork(model, std::move(best));
        return;
    }
    Network previous = std::move(model->network);
    const int32_t size = model->size, inputs = model->inputs, outputs = model->outputs;
    replaceNetwork(model, std::move(best));
    try {
        callbacks.trainEnd(lastLogs);
    } catch (...) {
        model->network = std::move(previous);
        model->size = size;
        model->inputs = inputs;
        model->outputs = outputs;
        throw;
    }
}

// The callbacks a training call runs, set up once its arguments are checked:
// stop_training is reset and on_train_begin has run. Also refuses a network
// that cannot evolve before on_train_begin, not after.
void beginTraining(PyObject* self, CallbackList& callbacks, const Network& start, int popSize, EvolutionLoop loop,
                   const CallbackList::Params& params) {
    if (!callbacks.empty()) checkCanEvolve(start, popSize, loop);
    asModel(self)->stopTraining = false;
    asModel(self)->gradientPasses = 0;
    callbacks.trainBegin(self, params);
}

// train_func's result as score rows: anything NumPy turns into float64, with a
// row of at least one loss per candidate.
ScoreRows scoresFrom(PyObject* returned, size_t candidates) {
    PyRef array =
        check(PyRef::steal(PyArray_FromAny(returned, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr)));
    const auto expected = [&] {
        raise(PyExc_ValueError, "Expected train_func to return " + std::to_string(candidates) +
                                    " losses, one per candidate genome; got an array of shape " +
                                    shapeText(array.get()) + ".");
    };
    if (PyArray_NDIM(asArray(array.get())) == 0) expected();
    const SampleMatrix rows = rowsFromArray(array.get(), "the result of train_func");
    if (static_cast<size_t>(rows.rows()) < candidates || rows.columns() < 1) expected();

    ScoreRows scores(candidates);
    for (size_t i = 0; i < candidates; ++i) {
        const double* row = rows.row(static_cast<int32_t>(i));
        scores[i].assign(row, row + rows.columns());
    }
    return scores;
}

// Hands a loop the run to resume (the callbacks' states restored first) and,
// when a BackupAndRestore is in the list, the saving of its state.
template <typename Options>
void resumeAndBackUp(const std::optional<RunState>& resume, BackupRun& backup, CallbackList& callbacks,
                     Options& options) {
    if (resume) callbacks.restoreStates(resume->callerState);
    options.resume = resume ? &*resume : nullptr;
    if (backup.active()) {
        options.saveEvery = backup.every();
        options.saveState = [&backup, &callbacks](const RunStateView& state) {
            HeldGil held;
            backup.save(state, callbacks);
        };
    }
}

}  // namespace

PyObject* Model_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ModelObject* model = asModel(self);
        requireLoss(model);

        static const char* keywords[] = {"x_train",   "y_train",          "pop_size",      "batch_size",
                                         "epochs",    "validation_data",  "verbose",       "callbacks",
                                         "workers",   "validation_split", "sample_weight", "class_weight",
                                         "initial_epoch", nullptr};
        PyObject* xArray = nullptr;
        PyObject* yArray = nullptr;
        PyObject* validationData = Py_None;
        PyObject* callbackArgument = Py_None;
        PyObject* workersValue = nullptr;
        double validationSplit = 0.0;
        PyObject* sampleWeight = Py_None;
        PyObject* classWeight = Py_None;
        DatasetOptions options;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|iiiOiO$OdOOi", const_cast<char**>(keywords),
                                         &PyArray_Type, &xArray, &PyArray_Type, &yArray, &options.popSize,
                                         &options.batchSize, &options.epochs, &validationData, &options.verbose,
                                         &callbackArgument, &workersValue, &validationSplit, &sampleWeight,
                                         &classWeight, &options.initialEpoch)) {
            return nullptr;
        }
        options.workers = workersFrom(workersValue);
        CallbackList callbacks(callbackArgument);
        const std::optional<ValidationItems> items = validationItems(validationData);
        const bool split = validationSplit != 0.0;
        if (split && items) raise(PyExc_ValueError, "Pass validation_split or validation_data, not both.");
        if (!(validationSplit >= 0.0 && validationSplit < 1.0)) {
            raise(PyExc_ValueError, "validation_split must be in [0, 1), got " + std::to_string(validationSplit) + ".");
        }

        SampleMatrix x = rowsFromArray(xArray, "x_train");
        SampleMatrix y = rowsFromArray(yArray, "y_train");
        checkShapes(model, x, y, "x_train", "y_train");
        std::vector<double> weights = sampleWeightsFrom(sampleWeight, x.rows(), "sample_weight");
        SampleMatrix xVal, yVal;
        std::vector<double> valWeights;
        if (items) {
            xVal = validationRows(items->x.get(), "x_val");
            yVal = validationRows(items->y.get(), "y_val");
            checkShapes(model, xVal, yVal, "x_val", "y_val");
        }
        if (split) {
            // As Keras: the last fraction of the samples, in their order, validates.
            const auto trained = static_cast<int32_t>(std::floor(x.rows() * (1.0 - validationSplit)));
            if (trained == 0 || trained == x.rows()) {
                raise(PyExc_ValueError, "validation_split=" + std::to_string(validationSplit) + " of " +
                                            std::to_string(x.rows()) +
                                            " samples leaves no sample for training or for validation.");
            }
            const int32_t held = x.rows() - trained;
            xVal = rowsOf(x, trained, held);
            yVal = rowsOf(y, trained, held);
            valWeights = rowsOf(weights, trained, held);
            x = rowsOf(x, 0, trained);
            y = rowsOf(y, 0, trained);
            weights = rowsOf(weights, 0, trained);
        }
        // Training samples only, as Keras weighs them.
        applyClassWeights(classWeight, model->metricIds, y, weights);

        checkPopulationAndEpochs(options.popSize, options.epochs, options.initialEpoch);
        if (options.batchSize != -1 && options.batchSize < 1) {
            raise(PyExc_ValueError, "batch_size must be -1 (the whole training set) or at least 1, got " +
                                        std::to_string(options.batchSize) + ".");
        }
        checkHasRows(x, xArray, "x_train");
        if (items) checkHasRows(xVal, items->x.get(), "x_val");
        const bool hasValidation = items.has_value() || split;

        if (options.batchSize != -1 && options.batchSize < 0.1 * x.rows()) {
            writeLine(
                "WARNING! The batch size is less than 10% the number of samples in your dataset. If the dataset "
                "is highly nonlinear, individual batches may not represent your dataset correctly and the loss can "
                "be extremely underestimated. Make sure to use a validation set to monitor the actual loss "
                "closely.\n");
        }

        // Parsing, the conversions and the warning's write can run Python code
        // that recompiles or reinitialises the model: check again what the
        // copies below must agree with, with no Python code in between.
        requireLoss(model);
        checkShapes(model, x, y, "x_train", "y_train");
        if (hasValidation) checkShapes(model, xVal, yVal, "x_val", "y_val");

        // Copies: signal handlers, callbacks and other threads may recompile or reinitialise the model meanwhile.
        options.metricIds = model->metricIds;
        options.monitorIds = model->monitorIds;
        options.strategy = strategyFor(model->optimizer);
        const PyRef optimizer = PyRef::borrow(model->optimizer);
        options.precision = model->precision;
        const Network start = model->network;
        options.sampleWeights = std::move(weights);
        std::optional<ValidationSet> validation;
        if (hasValidation) {
            validation = ValidationSet{xVal.view(), yVal.view().weighted(valWeights.empty() ? nullptr : valWeights.data())};
        }
        BackupRun::Identity identity;
        if (callbacks.backup()) {
            identity = {{"call", "evolve"},
                        {"model", modelShape(start)},
                        {"optimizer", optimizerText(optimizer.get())},
                        {"pop_size", std::to_string(options.popSize)},
                        {"loss", lossesText(options.metricIds)},
                        {"x_train shape", rowsText(x)},
                        {"y_train shape", rowsText(y)},
                        {"validation shape", hasValidation ? rowsText(xVal) : "none"},
                        {"batch_size", std::to_string(options.batchSize)},
                        {"precision", precisionName(options.precision)},
                        {"kestrin callbacks", callbacks.keptKinds()}};
        }
        BackupRun backup(callbacks.backup(), std::move(identity));
        const std::optional<RunState> resume = backup.load();
        beginTraining(self, callbacks, start, options.popSize, EvolutionLoop::dataset,
                      {options.verbose, options.epochs, batchCount(x.rows(), options.batchSize)});
        resumeAndBackUp(resume, backup, callbacks, options);

        if (!callbacks.empty()) {
            options.epochBegin = [&](int epoch) {
                HeldGil held;
                callbacks.epochBegin(epoch);
            };
        }
        if (callbacks.wantsBatches()) {
            options.batchBegin = [&](int batch) {
                HeldGil held;
                callbacks.batchBegin(batch);
            };
            options.batchEnd = [&](int batch, const std::vector<double>& means, int32_t size) {
                HeldGil held;
                DatasetEpoch running;
                running.losses = means;
                running.size = size;
                callbacks.batchEnd(batch,
                                   [&] { return datasetLogs(running, options.metricIds, options.monitorIds, false); });
            };
        }
        options.epochEnd = [&](int epoch, const DatasetEpoch& record, const Network& best) {
            HeldGil held;
            asModel(self)->gradientPasses = record.gradientPasses;
            callbacks.epochEnd(
                epoch, [&] { return datasetLogs(record, options.metricIds, options.monitorIds, hasValidation); },
                best);
            return asModel(self)->stopTraining;
        };

        std::optional<DatasetResult> result;
        {
            ReleasedGil released;
            result = evolveOnDataset(start, std::move(x), std::move(y), validation, options, noPendingSignal);
        }
        if (!result) throw PythonErrorSet{};
        PyRef history = datasetHistory(*result, options.metricIds, options.monitorIds, hasValidation);
        MakeLogs lastLogs;
        if (!result->epochs.empty()) {
            lastLogs = [&] {
                return datasetLogs(result->epochs.back(), options.metricIds, options.monitorIds, hasValidation);
            };
        }
        backup.flush();
        asModel(self)->gradientPasses = result->gradientPasses;
        finishTraining(model, std::move(result->best), callbacks, lastLogs);
        backup.remove();
        return history.release();
    });
}

PyObject* Model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ModelObject* model = asModel(self);
        static const char* keywords[] = {"train_func",      "pop_size",  "epochs",        "verbose",
                                         "validation_func", "callbacks", "initial_epoch", nullptr};
        PyObject* trainFunc = nullptr;
        PyObject* validationFunc = Py_None;
        PyObject* callbackArgument = Py_None;
        FunctionOptions options;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|iiiOO$i", const_cast<char**>(keywords), &trainFunc,
                                         &options.popSize, &options.epochs, &options.verbose, &validationFunc,
                                         &callbackArgument, &options.initialEpoch)) {
            return nullptr;
        }
        CallbackList callbacks(callbackArgument);
        checkPopulationAndEpochs(options.popSize, options.epochs, options.initialEpoch);

        // Copies: the user's functions may recompile or reinitialise the model meanwhile.
        options.monitorIds = model->monitorIds;
        options.strategy = strategyFor(model->optimizer);
        const PyRef optimizer = PyRef::borrow(model->optimizer);
        const Precision precision = model->precision;
        const Network start = model->network;
        const bool hasValidation = validationFunc != Py_None;
        BackupRun::Identity identity;
        if (callbacks.backup()) {
            identity = {{"call", "func_evolve"},
                        {"model", modelShape(start)},
                        {"optimizer", optimizerText(optimizer.get())},
                        {"pop_size", std::to_string(options.popSize)},
                        {"validation", hasValidation ? "validation_func" : "none"},
                        {"precision", precisionName(precision)},
                        {"kestrin callbacks", callbacks.keptKinds()}};
        }
        BackupRun backup(callbacks.backup(), std::move(identity));
        const std::optional<RunState> resume = backup.load();
        beginTraining(self, callbacks, start, options.popSize, EvolutionLoop::function,
                      {options.verbose, options.epochs, 1});
        resumeAndBackUp(resume, backup, callbacks, options);

        if (!callbacks.empty()) {
            options.epochBegin = [&](int epoch) {
                HeldGil held;
                callbacks.epochBegin(epoch);
            };
        }
        options.epochEnd = [&](int epoch, const FunctionEpoch& record, const Network& best) {
            HeldGil held;
            callbacks.epochEnd(epoch, [&] { return functionLogs(record, options.monitorIds, hasValidation); }, best);
            return asModel(self)->stopTraining;
        };

        // Both take the lock first, so that every reference they hold is released with it.
        const PopulationScorer score = [&](std::vector<Network>& networks) {
            HeldGil held;
            PyRef candidates = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(networks.size()))));
            for (size_t i = 0; i < networks.size(); ++i) {
                PyList_SET_ITEM(candidates.get(), static_cast<Py_ssize_t>(i), check(NetworkToGenome(networks[i], precision)));
            }
            PyRef returned = check(PyRef::steal(PyObject_CallOneArg(trainFunc, candidates.get())));
            candidates = PyRef();
            return scoresFrom(returned.get(), networks.size());
        };
        NetworkScorer validate;
        if (hasValidation) {
            validate = [&](const Network& best) {
                HeldGil held;
                PyRef genome = check(PyRef::steal(NetworkToGenome(best, precision)));
                PyRef returned = check(PyRef::steal(PyObject_CallOneArg(validationFunc, genome.get())));
                const double loss = PyFloat_AsDouble(returned.get());
                if (loss == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
                return loss;
            };
        }

        std::optional<FunctionResult> result;
        {
            ReleasedGil released;
            result = evolveOnFunction(start, options, noPendingSignal, score, validate);
        }
        if (!result) throw PythonErrorSet{};
        PyRef history = functionHistory(*result, options.monitorIds, hasValidation);
        MakeLogs lastLogs;
        if (!result->epochs.empty()) {
            lastLogs = [&] { return functionLogs(result->epochs.back(), options.monitorIds, hasValidation); };
        }
        backup.flush();
        asModel(self)->gradientPasses = 0;
        finishTraining(model, std::move(result->best), callbacks, lastLogs);
        backup.remove();
        return history.release();
    });
}

}  // namespace kestrin::py
