// predict, evaluate, get_nodes and get_connections: the read-only methods that
// run or inspect a network. None of them changes the model or the genome.
#include "python/numpy_api.h"

#include <algorithm>
#include <string>
#include <vector>

#include "network/activation.h"
#include "python/arrays.h"
#include "python/boundary.h"
#include "python/gil.h"
#include "python/methods.h"
#include "python/records.h"
#include "python/workers.h"
#include "training/evaluate.h"
#include "training/parallel_scorer.h"

namespace kestrin::py {
namespace {

// The forward pass reads network.inputs values from every row.
void requireInputs(const SampleMatrix& x, PyObject* array, const Network& network) {
    if (x.columns() < network.inputs) {
        raise(PyExc_ValueError, "x has shape " + shapeText(array) + " but the network has " +
                                    std::to_string(network.inputs) + " inputs; x needs at least " +
                                    std::to_string(network.inputs) + " columns.");
    }
}

// x positional, workers keyword-only: the two forms predict and evaluate take.
const char* const kPredictKeywords[] = {"", "workers", nullptr};
const char* const kEvaluateKeywords[] = {"", "", "workers", nullptr};

// One forward pass per row of x, `outputs` columns per row, into a new float64 array.
PyObject* predictRows(const Network& source, int32_t outputs, PyObject* array, int workers) {
    const SampleMatrix x = rowsFromArray(array, "x");
    requireInputs(x, array, source);

    npy_intp dims[2] = {x.rows(), outputs};
    PyRef result = check(PyRef::steal(PyArray_Zeros(2, dims, PyArray_DescrFromType(NPY_DOUBLE), 0)));
    auto* out = static_cast<double*>(PyArray_DATA(asArray(result.get())));
    // The call's own copy: while the lock is released another thread may change the record.
    Network network = source;
    {
        // The result array is ours alone until we return it: writing its cells needs no lock.
        ReleasedGil unlocked;
        ParallelScorer scorer(workers);
        if (outputs == network.outputs) {
            // Our own C-ordered array: the rows are written in place.
            scorer.predict(network, x.view(), out);
        } else {
            std::vector<double> values(static_cast<size_t>(x.rows()) * static_cast<size_t>(network.outputs));
            scorer.predict(network, x.view(), values.data());
            for (int32_t i = 0; i < x.rows(); ++i) {
                std::copy_n(values.begin() + static_cast<ptrdiff_t>(i) * network.outputs, outputs,
                            out + static_cast<size_t>(i) * outputs);
            }
        }
    }
    return result.release();
}

PyObject* nodeDescription(const Network& network, int32_t i) {
    const char* name = activationName(network.activations[i]);
    return Py_BuildValue("(i,{s:d,s:s})", i, "bias", network.biases[i], "activation", name ? name : "unknown");
}

}  // namespace

PyObject* Model_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* x = nullptr;
        PyObject* workersValue = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|$O", const_cast<char**>(kPredictKeywords), &PyArray_Type,
                                         &x, &workersValue)) {
            return nullptr;
        }
        const int workers = workersFrom(workersValue);
        ModelObject* model = asModel(self);
        // Holds by construction; checked so that no path reads past the result.
        if (model->outputs < 0 || model->outputs > model->network.outputs) {
            raise(PyExc_RuntimeError, "The model's network has " + std::to_string(model->network.outputs) +
                                          " outputs, not " + std::to_string(model->outputs) + ".");
        }
        return predictRows(model->network, model->outputs, x, workers);
    });
}

PyObject* Genome_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* x = nullptr;
        PyObject* workersValue = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|$O", const_cast<char**>(kPredictKeywords), &PyArray_Type,
                                         &x, &workersValue)) {
            return nullptr;
        }
        const int workers = workersFrom(workersValue);
        GenomeObject* genome = asGenome(self);
        if (genome->network.size == 0) {
            raise(PyExc_RuntimeError,
                  "This genome holds no network: genomes that predict are handed out by `model.func_evolve`.");
        }
        if (genome->outputs < 0 || genome->outputs > genome->network.outputs) {
            raise(PyExc_RuntimeError, "This genome holds no network with " + std::to_string(genome->outputs) +
                                          " outputs; its network has " + std::to_string(genome->network.outputs) +
                                          ".");
        }
        return predictRows(genome->network, genome->outputs, x, workers);
    });
}

PyObject* Model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ModelObject* model = asModel(self);
        if (!model->compiled) {
            raise(PyExc_RuntimeError, "You must compile your model before evaluating. Use `model.compile(loss)`.");
        }
        PyObject* xArray = nullptr;
        PyObject* yArray = nullptr;
        PyObject* workersValue = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|$O", const_cast<char**>(kEvaluateKeywords),
                                         &PyArray_Type, &xArray, &PyArray_Type, &yArray, &workersValue)) {
            return nullptr;
        }
        const int workers = workersFrom(workersValue);
        const SampleMatrix x = rowsFromArray(xArray, "x");
        const SampleMatrix y = rowsFromArray(yArray, "y");
        requireInputs(x, xArray, model->network);
        if (y.rows() != x.rows()) {
            raise(PyExc_ValueError, "x has shape " + shapeText(xArray) + " and y has shape " + shapeText(yArray) +
                                        "; they need the same number of rows.");
        }
        if (y.columns() > model->network.outputs) {
            raise(PyExc_ValueError, "y has shape " + shapeText(yArray) + " but the model has " +
                                        std::to_string(model->network.outputs) + " outputs; y may have at most " +
                                        std::to_string(model->network.outputs) + " columns.");
        }

        // The call's own copies: while the lock is released another thread may change the record.
        Network network = model->network;
        const std::vector<int32_t> ids = model->metricIds;
        std::vector<double> scores;
        {
            ReleasedGil unlocked;
            ParallelScorer scorer(workers);
            scores = scorer.score(network, x.view(), y.view(), ids);
        }
        PyRef list = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores.size()))));
        for (size_t j = 0; j < scores.size(); ++j) {
            PyObject* score = check(PyFloat_FromDouble(scores[j]));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), score);  // steals score
        }
        return list.release();
    });
}

PyObject* Model_get_nodes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Network& network = asModel(self)->network;
        PyRef list = check(PyRef::steal(PyList_New(network.size)));
        for (int32_t i = 0; i < network.size; ++i) {
            PyList_SET_ITEM(list.get(), i, check(nodeDescription(network, i)));  // steals the tuple
        }
        return list.release();
    });
}

PyObject* Model_get_connections(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Network& network = asModel(self)->network;
        PyRef list = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(network.connections.count()))));
        Py_ssize_t next = 0;
        for (int32_t from = 0; from < network.size; ++from) {
            network.connections.forEachInRow(from, 0, [&](int32_t to) {
                PyObject* connection =
                    check(Py_BuildValue("(i,i, {s: d})", from, to, "weight", network.weights[from][to]));
                PyList_SET_ITEM(list.get(), next++, connection);  // steals connection
            });
        }
        return list.release();
    });
}

}  // namespace kestrin::py
