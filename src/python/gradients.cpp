// Model.gradients and Genome.gradients: the loss of a network on a dataset and
// its derivatives in every bias and weight, for SciPy or any other optimizer;
// neither changes the model or the genome. Model.set_genes writes such an
// optimizer's values back, in the same order.
#include "python/numpy_api.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "python/arrays.h"
#include "python/boundary.h"
#include "python/gil.h"
#include "python/methods.h"
#include "python/records.h"
#include "python/targets.h"
#include "python/workers.h"
#include "training/evaluate.h"
#include "training/gradient.h"
#include "training/parallel_scorer.h"

namespace kestrin::py {
namespace {

const char* const kModelKeywords[] = {"", "", "workers", nullptr};
const char* const kGenomeKeywords[] = {"", "", "loss", "workers", nullptr};

// The losses with a derivative, for messages: "'mse', 'mae', 'mape', ...".
std::string differentiableLosses() {
    std::string text;
    for (int32_t id = 0; id < kLossCount; ++id) {
        if (!GradientPass::supports(id)) continue;
        text += std::string(text.empty() ? "'" : ", '") + kLossNames[static_cast<size_t>(id)] + "'";
    }
    return text;
}

void requireDifferentiable(int32_t id) {
    if (GradientPass::supports(id)) return;
    const std::string name = id >= 0 && id < kLossCount ? kLossNames[static_cast<size_t>(id)] : std::to_string(id);
    raise(PyExc_ValueError, "The loss '" + name + "' has no derivative; gradients take " + differentiableLosses() + ".");
}

PyRef vectorArray(const std::vector<double>& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyRef array = check(PyRef::steal(PyArray_Zeros(1, dims, PyArray_DescrFromType(NPY_DOUBLE), 0)));
    std::copy(values.begin(), values.end(), static_cast<double*>(PyArray_DATA(asArray(array.get()))));
    return array;
}

// network is the call's own copy: while the lock is released another thread may change the record.
PyObject* gradientsOf(const Network& network, const SampleMatrix& x, const SampleMatrix& y, int32_t lossId,
                      int workers) {
    NetworkGradient gradient;
    {
        ReleasedGil unlocked;
        ParallelScorer scorer(workers);
        gradient = scorer.gradient(network, x.view(), y.view(), lossId);
    }
    PyRef biases = vectorArray(gradient.biases);
    PyRef weights = vectorArray(gradient.weights);
    return Py_BuildValue("(dOO)", gradient.loss, biases.get(), weights.get());
}

}  // namespace

PyObject* Model_gradients(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ModelObject* model = asModel(self);
        const auto requireLoss = [model] {
            if (!model->compiled || !model->hasLoss || model->metricIds.empty()) {
                raise(PyExc_RuntimeError,
                      "You must compile your model with a loss before taking gradients. Use `model.compile(loss)`.");
            }
            requireDifferentiable(model->metricIds[0]);
        };
        requireLoss();
        PyObject* xArray = nullptr;
        PyObject* yArray = nullptr;
        PyObject* workersValue = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|$O:gradients", const_cast<char**>(kModelKeywords),
                                         &PyArray_Type, &xArray, &PyArray_Type, &yArray, &workersValue)) {
            return nullptr;
        }
        const int workers = workersFrom(workersValue);
        const SampleMatrix x = rowsFromArray(xArray, "x");
        const SampleMatrix y = rowsFromArray(yArray, "y");
        // The conversions may have re-initialised or recompiled the model.
        requireLoss();
        requireDatasetFits(x, xArray, y, yArray, model->network);
        checkClassIndices({model->metricIds[0]}, y, model->network.outputs, "y");
        const Network network = model->network;
        return gradientsOf(network, x, y, model->metricIds[0], workers);
    });
}

PyObject* Genome_gradients(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* xArray = nullptr;
        PyObject* yArray = nullptr;
        const char* lossName = "mse";
        PyObject* workersValue = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|$sO:gradients", const_cast<char**>(kGenomeKeywords),
                                         &PyArray_Type, &xArray, &PyArray_Type, &yArray, &lossName, &workersValue)) {
            return nullptr;
        }
        int32_t lossId = -1;
        for (int32_t id = 0; id < kLossCount; ++id) {
            if (std::strcmp(lossName, kLossNames[static_cast<size_t>(id)]) == 0) lossId = id;
        }
        if (lossId < 0) {
            raise(PyExc_ValueError, std::string("Loss '") + lossName + "' not known; gradients take " +
                                        differentiableLosses() + ".");
        }
        requireDifferentiable(lossId);
        const int workers = workersFrom(workersValue);
        GenomeObject* genome = asGenome(self);
        const auto requireNetwork = [genome] {
            if (genome->network.size == 0) {
                raise(PyExc_RuntimeError,
                      "This genome holds no network: genomes with one are handed out by `model.func_evolve`.");
            }
        };
        requireNetwork();
        const SampleMatrix x = rowsFromArray(xArray, "x");
        const SampleMatrix y = rowsFromArray(yArray, "y");
        // Again: the conversions may have run __init__ on the genome.
        requireNetwork();
        requireDatasetFits(x, xArray, y, yArray, genome->network);
        checkClassIndices({lossId}, y, genome->network.outputs, "y");
        const Network network = genome->network;
        return gradientsOf(network, x, y, lossId, workers);
    });
}

PyObject* Model_set_genes(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* biasArray = nullptr;
        PyObject* weightArray = nullptr;
        if (!PyArg_ParseTuple(args, "O!O!:set_genes", &PyArray_Type, &biasArray, &PyArray_Type, &weightArray)) {
            return nullptr;
        }
        const SampleMatrix biases = rowsFromArray(biasArray, "biases");
        const SampleMatrix weights = rowsFromArray(weightArray, "weights");
        // Read only now: the conversions may have re-initialised the model.
        Network& network = asModel(self)->network;
        const auto requireLength = [](const SampleMatrix& values, PyObject* array, const char* name, int64_t wanted,
                                      const char* what) {
            if (values.columns() != 1 || values.rows() != wanted || PyArray_NDIM(asArray(array)) != 1) {
                raise(PyExc_ValueError, std::string(name) + " has shape " + shapeText(array) + " but the model has " +
                                            std::to_string(wanted) + " " + what + "; pass an array of shape (" +
                                            std::to_string(wanted) + ",).");
            }
        };
        requireLength(biases, biasArray, "biases", network.size, "nodes");
        requireLength(weights, weightArray, "weights", network.connections.count(), "connections");
        for (int32_t i = 0; i < network.size; ++i) network.biases[i] = biases.at(i, 0);
        int32_t k = 0;
        for (int32_t from = 0; from < network.size; ++from) {
            double* row = network.weights[from];
            network.connections.forEachInRow(from, 0, [&](int32_t to) { row[to] = weights.at(k++, 0); });
        }
        Py_RETURN_NONE;
    });
}

}  // namespace kestrin::py
