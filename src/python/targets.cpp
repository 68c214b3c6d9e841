#include "python/targets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "python/arrays.h"
#include "python/boundary.h"
#include "python/numpy_api.h"
#include "training/loss_table.h"
#include "training/loss_terms.h"

namespace kestrin::py {
namespace {

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace

bool takesClassIndices(const std::vector<int32_t>& ids) {
    return std::any_of(ids.begin(), ids.end(),
                       [](int32_t id) { return knownLoss(id) && kLossTable[static_cast<size_t>(id)].classIndices; });
}

void checkClassIndices(const std::vector<int32_t>& ids, const SampleMatrix& y, int32_t outputs, const char* name) {
    if (!takesClassIndices(ids)) return;
    if (y.columns() != 1) {
        raise(PyExc_ValueError, std::string(name) + " must hold class indices, an integer array of shape (n,) or (n, 1), "
                                                    "for the sparse losses and metrics; got " +
                                    std::to_string(y.columns()) + " columns.");
    }
    for (int32_t i = 0; i < y.rows(); ++i) {
        const double c = y.at(i, 0);
        if (classIndex(c, outputs) < 0) {
            raise(PyExc_ValueError, "Class index " + number(c) + " in " + name + " (sample " + std::to_string(i) +
                                        ") is not in [0, " + std::to_string(outputs) + "): the model has " +
                                        std::to_string(outputs) + " outputs, one per class.");
        }
    }
}

std::vector<double> sampleWeightsFrom(PyObject* given, int32_t rows, const char* name) {
    if (given == nullptr || given == Py_None) return {};
    PyRef array = check(PyRef::steal(PyArray_FromAny(given, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr)));
    const int ndim = PyArray_NDIM(asArray(array.get()));
    const npy_intp* dims = PyArray_DIMS(asArray(array.get()));
    if (ndim < 1 || ndim > 2 || (ndim == 2 && dims[1] != 1) || dims[0] != rows) {
        raise(PyExc_ValueError, std::string(name) + " must hold one weight per sample, shape (" + std::to_string(rows) +
                                    ",); got an array of shape " + shapeText(array.get()) + ".");
    }
    const SampleMatrix matrix = rowsFromArray(array.get(), name);
    std::vector<double> weights(static_cast<size_t>(rows));
    for (int32_t i = 0; i < rows; ++i) {
        const double w = matrix.at(i, 0);
        if (!(w >= 0.0) || std::isinf(w)) {
            raise(PyExc_ValueError, std::string(name) + " must hold finite weights of at least 0; sample " +
                                        std::to_string(i) + " has " + number(w) + ".");
        }
        weights[static_cast<size_t>(i)] = w;
    }
    return weights;
}

void applyClassWeights(PyObject* classWeight, const std::vector<int32_t>& ids, const SampleMatrix& y,
                       std::vector<double>& weights) {
    if (classWeight == nullptr || classWeight == Py_None) return;
    if (!PyDict_Check(classWeight)) {
        raise(PyExc_TypeError, std::string("class_weight must be a dict {class index: weight}, not ") +
                                   Py_TYPE(classWeight)->tp_name + ".");
    }
    const int32_t loss = ids.empty() ? -1 : ids[0];
    if (loss != kBinaryCrossentropy && loss != kCategoricalCrossentropy && loss != kSparseCategoricalCrossentropy) {
        raise(PyExc_ValueError, "class_weight needs a classification loss ('binary_crossentropy', "
                                "'categorical_crossentropy' or 'sparse_categorical_crossentropy').");
    }
    // A copy of the items: converting a key or a value may run Python code that changes the dict.
    PyRef items = check(PyRef::steal(PyDict_Items(classWeight)));
    std::vector<double> byClass;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (!PyIndex_Check(key)) {
            raise(PyExc_TypeError, std::string("class_weight's keys must be class indices (int), not ") +
                                       Py_TYPE(key)->tp_name + ".");
        }
        PyRef index = check(PyRef::steal(PyNumber_Index(key)));
        const long c = PyLong_AsLong(index.get());
        if (c == -1 && PyErr_Occurred()) throw PythonErrorSet{};
        const double w = PyFloat_AsDouble(PyTuple_GET_ITEM(item, 1));
        if (w == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
        if (c < 0 || c > (1 << 20)) {
            raise(PyExc_ValueError, "class_weight has the class index " + std::to_string(c) + ", below 0 or too large.");
        }
        if (!(w >= 0.0) || std::isinf(w)) {
            raise(PyExc_ValueError, "class_weight must hold finite weights of at least 0; class " + std::to_string(c) +
                                        " has " + number(w) + ".");
        }
        if (byClass.size() <= static_cast<size_t>(c)) byClass.resize(static_cast<size_t>(c) + 1, 1.0);
        byClass[static_cast<size_t>(c)] = w;
    }
    if (weights.empty()) weights.assign(static_cast<size_t>(y.rows()), 1.0);
    const bool indices = takesClassIndices(ids);
    for (int32_t i = 0; i < y.rows(); ++i) {
        const double* row = y.row(i);
        const double label = indices || y.columns() == 1 ? std::round(row[0]) : argmax(row, y.columns());
        if (label >= 0.0 && label < static_cast<double>(byClass.size())) {
            weights[static_cast<size_t>(i)] *= byClass[static_cast<size_t>(label)];
        }
    }
}

SampleMatrix rowsOf(const SampleMatrix& matrix, int32_t first, int32_t count) {
    SampleMatrix part(count, matrix.columns());
    if (count > 0 && matrix.columns() > 0) {
        std::copy_n(matrix.row(first), static_cast<size_t>(count) * static_cast<size_t>(matrix.columns()), part.row(0));
    }
    return part;
}

std::vector<double> rowsOf(const std::vector<double>& weights, int32_t first, int32_t count) {
    if (weights.empty()) return {};
    return {weights.begin() + first, weights.begin() + first + count};
}

}  // namespace kestrin::py
