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
#include "python/targets.h"
#include "python/workers.h"
#include "training/evaluate.h"
#include "training/parallel_scorer.h"

namespace kestrin::py {
namespace {

// The forward pass reads network.inputs values from every row.
void requireInputs(const SampleMatrix& x, PyObject* array, const Network& network) {
    if (x.columns() < network.inputs) {
        std::string message = "x has shape " + shapeText(array) + " but the network has " +
                              std::to_string(network.inputs) + " inputs; x needs at least " +
                              std::to_string(network.inputs) + " columns.";
        // A 1-D array is read as one column of samples: most often one sample was meant.
        if (PyArray_NDIM(asArray(array)) == 1 && x.rows() == network.inputs && network.inputs > 1) {
            message += " For one sample of " + std::to_string(network.inputs) + " inputs, pass x.reshape(1, -1).";
        }
        raise(PyExc_ValueError, message);
    }
}

// x positional, workers keyword-only: the two forms predict and evaluate take.
const char* const kPredictKeywords[] = {"", "workers", nullptr};
const char* const kEvaluateKeywords[] = {"", "", "workers", "sample_weight", nullptr};

// One forward pass per row of x, `outputs` columns per row, into a new float64
// array. x is converted by the caller first: converting can run Python code
// that re-initialises the record. The network is copied before anything here
// can run any (allocating the result may start a collection).
PyObject* predictRows(const Network& source, int32_t outputs, const SampleMatrix& x, PyObject* array, int workers,
                      Precision precision) {
    // The call's own copy: while the lock is released another thread may change the record.
    Network network = source;
    requireInputs(x, array, network);

    npy_intp dims[2] = {x.rows(), outputs};
    PyRef result = check(PyRef::steal(PyArray_Zeros(2, dims, PyArray_DescrFromType(NPY_DOUBLE), 0)));
    auto* out = static_cast<double*>(PyArray_DATA(asArray(result.get())));
    {
        // The result array is ours alone until we return it: writing its cells needs no lock.
        ReleasedGil unlocked;
        ParallelScorer scorer(workers);
        scorer.setPrecision(precision);
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

struct Node {
    double bias;
    int32_t activation;
};

struct Connection {
    int32_t from;
    int32_t to;
    double weight;
};

// The lists below are built from copies taken first: creating the Python
// objects can start a garbage collection, whose finalizers may re-initialise
// the model under a loop that still reads its network.
std::vector<Node> nodesOf(const Network& network) {
    std::vector<Node> nodes(static_cast<size_t>(network.size));
    for (int32_t i = 0; i < network.size; ++i) nodes[i] = {network.biases[i], network.activations[i]};
    return nodes;
}

std::vector<Connection> connectionsOf(const Network& network) {
    std::vector<Connection> connections;
    connections.reserve(static_cast<size_t>(network.connections.count()));
    for (int32_t from = 0; from < network.size; ++from) {
        network.connections.forEachInRow(from, 0, [&](int32_t to) {
            connections.push_back({from, to, network.weights[from][to]});
        });
    }
    return connections;
}

}  // namespace

void requireDatasetFits(const SampleMatrix& x, PyObject* xArray, const SampleMatrix& y, PyObject* yArray,
                        const Network& network) {
    requireInputs(x, xArray, network);
    if (y.rows() != x.rows()) {
        raise(PyExc_ValueError, "x has shape " + shapeText(xArray) + " and y has shape " + shapeText(yArray) +
                                    "; they need the same number of rows.");
    }
    if (y.columns() > network.outputs) {
        raise(PyExc_ValueError, "y has shape " + shapeText(yArray) + " but the model has " +
                                    std::to_string(network.outputs) + " outputs; y may have at most " +
                                    std::to_string(network.outputs) + " columns.");
    }
}

PyObject* Model_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* x = nullptr;
        PyObject* workersValue = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|$O", const_cast<char**>(kPredictKeywords), &PyArray_Type,
                                         &x, &workersValue)) {
            return nullptr;
        }
        const int workers = workersFrom(workersValue);
        const SampleMatrix rows = rowsFromArray(x, "x");
        // Read only now: the conversion may have re-initialised the model.
        ModelObject* model = asModel(self);
        // Holds by construction; checked so that no path reads past the result.
        if (model->outputs < 0 || model->outputs > model->network.outputs) {
            raise(PyExc_RuntimeError, "The model's network has " + std::to_string(model->network.outputs) +
                                          " outputs, not " + std::to_string(model->outputs) + ".");
        }
        return predictRows(model->network, model->outputs, rows, x, workers, model->precision);
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
        const auto requireNetwork = [genome] {
            if (genome->network.size == 0) {
                raise(PyExc_RuntimeError,
                      "This genome holds no network: genomes that predict are handed out by `model.func_evolve`.");
            }
            if (genome->outputs < 0 || genome->outputs > genome->network.outputs) {
                raise(PyExc_RuntimeError, "This genome holds no network with " + std::to_string(genome->outputs) +
                                              " outputs; its network has " +
                                              std::to_string(genome->network.outputs) + ".");
            }
        };
        requireNetwork();
        const SampleMatrix rows = rowsFromArray(x, "x");
        // Again: the conversion may have run __init__ on the genome.
        requireNetwork();
        return predictRows(genome->network, genome->outputs, rows, x, workers, genome->precision);
    });
}

PyObject* Model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ModelObject* model = asModel(self);
        const auto requireCompiled = [model] {
            if (!model->compiled) {
                raise(PyExc_RuntimeError,
                      "You must compile your model before evaluating. Use `model.compile(loss)`.");
            }
        };
        requireCompiled();
        PyObject* xArray = nullptr;
        PyObject* yArray = nullptr;
        PyObject* workersValue = nullptr;
        PyObject* sampleWeight = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|$OO", const_cast<char**>(kEvaluateKeywords),
                                         &PyArray_Type, &xArray, &PyArray_Type, &yArray, &workersValue,
                                         &sampleWeight)) {
            return nullptr;
        }
        const int workers = workersFrom(workersValue);
        const SampleMatrix x = rowsFromArray(xArray, "x");
        const SampleMatrix y = rowsFromArray(yArray, "y");
        const std::vector<double> weights = sampleWeightsFrom(sampleWeight, y.rows(), "sample_weight");
        // The conversions may have re-initialised or recompiled the model: every
        // field is read from here on, with no Python code running in between.
        requireCompiled();
        requireDatasetFits(x, xArray, y, yArray, model->network);
        checkClassIndices(model->metricIds, y, model->network.outputs, "y");

        // The call's own copies: while the lock is released another thread may change the record.
        Network network = model->network;
        const std::vector<int32_t> ids = model->metricIds;
        const Precision precision = model->precision;
        std::vector<double> scores;
        {
            ReleasedGil unlocked;
            ParallelScorer scorer(workers);
            scorer.setPrecision(precision);
            scores = scorer.score(network, x.view(), y.view().weighted(weights.empty() ? nullptr : weights.data()), ids);
        }
        PyRef list = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores.size()))));
        for (size_t j = 0; j < scores.size(); ++j) {
            PyObject* score = check(PyFloat_FromDouble(scores[j]));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), score);  // steals score
        }
        return list.release();
    });
}

namespace {

// [(index, {"bias", "activation"}), ...] in node order.
PyObject* nodeList(const Network& network) {
    const std::vector<Node> nodes = nodesOf(network);
    PyRef list = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(nodes.size()))));
    for (size_t i = 0; i < nodes.size(); ++i) {
        const char* name = activationName(nodes[i].activation);
        PyObject* node = check(Py_BuildValue("(n,{s:d,s:s})", static_cast<Py_ssize_t>(i), "bias", nodes[i].bias,
                                             "activation", name ? name : "unknown"));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node);  // steals the tuple
    }
    return list.release();
}

// [(from, to, {"weight"}), ...] in the network's connection order.
PyObject* connectionList(const Network& network) {
    const std::vector<Connection> connections = connectionsOf(network);
    PyRef list = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(connections.size()))));
    for (size_t k = 0; k < connections.size(); ++k) {
        const Connection& c = connections[k];
        PyObject* connection = check(Py_BuildValue("(i,i, {s: d})", c.from, c.to, "weight", c.weight));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), connection);  // steals connection
    }
    return list.release();
}

}  // namespace

PyObject* Model_get_nodes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return nodeList(asModel(self)->network); });
}

PyObject* Model_get_connections(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return connectionList(asModel(self)->network); });
}

PyObject* Genome_get_nodes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return nodeList(asGenome(self)->network); });
}

PyObject* Genome_get_connections(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return connectionList(asGenome(self)->network); });
}

}  // namespace kestrin::py
