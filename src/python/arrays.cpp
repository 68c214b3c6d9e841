#include "python/arrays.h"

#include "python/numpy_api.h"

#include <cstdint>
#include <cstring>

#include "network/memory.h"
#include "python/boundary.h"
#include "python/records.h"

namespace kestrin::py {

std::string shapeText(PyObject* object) {
    PyArrayObject* array = asArray(object);
    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    std::string text = "(";
    for (int d = 0; d < ndim; ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(dims[d]);
    }
    if (ndim == 1) text += ",";
    return text + ")";
}

SampleMatrix rowsFromArray(PyObject* object, const char* name) {
    // Byte-swapped float64 has the right type number but not the native layout,
    // so it is converted as well.
    PyRef converted;
    if (!PyArray_Check(object) || PyArray_TYPE(asArray(object)) != NPY_DOUBLE ||
        !PyArray_ISNOTSWAPPED(asArray(object))) {
        converted = check(PyRef::steal(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr)));
        object = converted.get();
    }
    PyArrayObject* array = asArray(object);

    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    if (ndim == 0) {
        raise(PyExc_ValueError, std::string(name) + " must have at least one dimension; got an array of shape ().");
    }
    const npy_intp rowCount = dims[0];
    const npy_intp columnCount = ndim == 1 ? 1 : dims[1];
    if (rowCount > INT32_MAX || columnCount > INT32_MAX) {
        raise(PyExc_ValueError, std::string(name) + " has shape " + shapeText(object) +
                                    "; at most 2147483647 rows and columns are supported.");
    }
    if (rowCount > 0 && columnCount > 0 && PyArray_SIZE(array) == 0) {
        raise(PyExc_ValueError, std::string(name) + " has shape " + shapeText(object) +
                                    ", which holds no element to read.");
    }
    // A broadcast view (stride 0) can describe far more elements than memory
    // holds; zero-filling such a matrix would get the process killed instead of
    // raising MemoryError.
    requireMemory(static_cast<double>(rowCount) * static_cast<double>(columnCount) * sizeof(double));

    const auto rows = static_cast<int32_t>(rowCount);
    const auto columns = static_cast<int32_t>(columnCount);
    SampleMatrix matrix(rows, columns);
    if (rows == 0 || columns == 0) return matrix;

    const char* base = PyArray_BYTES(array);
    const npy_intp rowStride = PyArray_STRIDES(array)[0];
    const npy_intp columnStride = ndim == 1 ? 0 : PyArray_STRIDES(array)[1];
    const npy_intp packedRow = static_cast<npy_intp>(sizeof(double)) * columns;
    if (rowStride == packedRow && (columns == 1 || columnStride == static_cast<npy_intp>(sizeof(double)))) {
        std::memcpy(matrix.row(0), base, static_cast<size_t>(rows) * static_cast<size_t>(packedRow));
        return matrix;
    }
    // memcpy, not a double load: a strided view need not be aligned.
    for (int32_t i = 0; i < rows; ++i) {
        const char* row = base + i * rowStride;
        double* target = matrix.row(i);
        for (int32_t j = 0; j < columns; ++j) std::memcpy(target + j, row + j * columnStride, sizeof(double));
    }
    return matrix;
}

PyObject* NetworkToGenome(const Network& network, Precision precision) {
    return guarded([&]() -> PyObject* {
        PyRef args = check(PyRef::steal(Py_BuildValue("(ii)", network.inputs, network.outputs)));
        PyRef genome = check(PyRef::steal(PyObject_CallObject(reinterpret_cast<PyObject*>(&GenomeType), args.get())));
        asGenome(genome.get())->network = network;
        asGenome(genome.get())->precision = precision;
        return genome.release();
    });
}

}  // namespace kestrin::py
