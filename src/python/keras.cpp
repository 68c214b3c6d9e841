// Model.to_keras and kestrin.from_keras, through ordinary Python calls on the
// keras package (imported at call time; kestrin itself never needs it).
//
// The graph layout both directions share: one input tensor; one single-unit
// Dense layer per node named "node" + index (inputs pass their own column
// through); a node with several predecessors reads a Concatenate of their
// tensors in ascending node order, one with a single predecessor reads its
// tensor directly; several outputs end in a Concatenate of the output nodes.
// Keras 3 has no output_shape or inbound_layers: widths come from a layer's
// output tensor shape, and the layers feeding a layer from the operations that
// produced the input tensors of its first call.
#include "python/numpy_api.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "network/activation.h"
#include "python/arrays.h"
#include "python/boundary.h"
#include "python/methods.h"
#include "python/records.h"

namespace kestrin::py {
namespace {

constexpr std::string_view kNodePrefix = "node";

PyRef attribute(PyObject* object, const char* name) {
    return check(PyRef::steal(PyObject_GetAttrString(object, name)));
}

std::string nodeName(int32_t index) { return std::string(kNodePrefix) + std::to_string(index); }

// ---- export -----------------------------------------------------------------

// Nodes j < i with a connection into i, ascending: the node's Keras inputs.
std::vector<int32_t> predecessors(const Network& network, int32_t i) {
    std::vector<int32_t> found;
    for (int32_t j = 0; j < i; ++j) {
        if (network.connections.test(j, i)) found.push_back(j);
    }
    return found;
}

[[noreturn]] void refuseNode(int32_t i, const std::string& why) {
    raise(PyExc_ValueError, "Node " + std::to_string(i) + " cannot be converted to Keras: " + why);
}

// Checks, before anything is built, that every node gets a layer Keras keeps.
void checkExportable(const Network& network) {
    const int32_t n = network.size;
    if (network.outputs < 1) raise(PyExc_ValueError, "A model without outputs cannot be converted to Keras.");
    // A functional Keras model keeps only the layers that lead to its outputs;
    // a node that leads nowhere would vanish and the import could not rebuild it.
    std::vector<char> leadsToOutput(static_cast<size_t>(n), 0);
    for (int32_t i = n - 1; i >= 0; --i) {
        bool leads = i >= n - network.outputs;
        network.connections.forEachInRow(i, std::max(i + 1, network.inputs), [&](int32_t j) {
            leads = leads || leadsToOutput[j];
        });
        leadsToOutput[i] = leads;
    }
    for (int32_t i = 0; i < n; ++i) {
        if (i >= network.inputs) {
            if (activationName(network.activations[i]) == nullptr) {
                refuseNode(i, "its activation id " + std::to_string(network.activations[i]) +
                                  " has no Keras activation.");
            }
            if (predecessors(network, i).empty()) {
                refuseNode(i, "it has no connection from a lower-numbered node, so its layer would have no input.");
            }
        }
        if (!leadsToOutput[i]) refuseNode(i, "it leads to no output, so Keras would leave its layer out.");
    }
}

// A new Concatenate layer applied to the given tensors.
PyRef concatenate(PyObject* concatenateType, const std::vector<PyObject*>& tensors) {
    PyRef list = check(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tensors.size()))));
    for (size_t r = 0; r < tensors.size(); ++r) {
        Py_INCREF(tensors[r]);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), tensors[r]);
    }
    PyRef layer = check(PyRef::steal(PyObject_CallNoArgs(concatenateType)));
    return check(PyRef::steal(PyObject_CallOneArg(layer.get(), list.get())));
}

// A new zero-filled float64 array in C order.
PyRef zeros(std::initializer_list<npy_intp> shape) {
    std::vector<npy_intp> dims(shape);
    return check(PyRef::steal(
        PyArray_Zeros(static_cast<int>(dims.size()), dims.data(), PyArray_DescrFromType(NPY_DOUBLE), 0)));
}

double* cells(const PyRef& array) { return static_cast<double*>(PyArray_DATA(asArray(array.get()))); }

// [kernel, bias] for node i, in the layer's own dtype: an input passes its own
// column through; any other node weighs its predecessors in ascending order and
// adds its bias.
PyRef nodeWeights(const Network& network, int32_t i, PyObject* layer) {
    PyRef kernel, bias = zeros({1});
    if (i < network.inputs) {
        kernel = zeros({network.inputs, 1});
        cells(kernel)[i] = 1.0;
    } else {
        const std::vector<int32_t> sources = predecessors(network, i);
        kernel = zeros({static_cast<npy_intp>(sources.size()), 1});
        for (size_t r = 0; r < sources.size(); ++r) cells(kernel)[r] = network.weights[sources[r]][i];
        cells(bias)[0] = network.biases[i];
    }
    // Casting here rounds exactly as Keras would, and spares its backend a
    // conversion compiled for every new kernel shape.
    PyRef dtype = attribute(layer, "dtype");
    kernel = check(PyRef::steal(PyObject_CallMethod(kernel.get(), "astype", "O", dtype.get())));
    bias = check(PyRef::steal(PyObject_CallMethod(bias.get(), "astype", "O", dtype.get())));
    return check(PyRef::steal(Py_BuildValue("[OO]", kernel.get(), bias.get())));
}

// ---- import -----------------------------------------------------------------

// The layer's name; a node layer's name starts with "node".
// The attribute, or else the error that missing() raises when there is none;
// any other error from the lookup passes through.
template <typename Missing>
PyRef attributeOr(PyObject* object, const char* attributeName, Missing&& missing) {
    PyObject* value = PyObject_GetAttrString(object, attributeName);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        missing();
        throw PythonErrorSet{};
    }
    return PyRef::steal(value);
}

std::string layerName(PyObject* layer) {
    PyRef name = attributeOr(layer, "name", [&] {
        raise(PyExc_TypeError, std::string("A layer of the Keras model (") + Py_TYPE(layer)->tp_name +
                                   ") has no attribute 'name'.");
    });
    if (!PyUnicode_Check(name.get())) {
        raise(PyExc_TypeError, std::string("A layer's name must be a str, not ") + Py_TYPE(name.get())->tp_name + ".");
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &length);
    if (text == nullptr) throw PythonErrorSet{};
    return std::string(text, static_cast<size_t>(length));
}

bool isNodeLayer(const std::string& name) { return name.compare(0, kNodePrefix.size(), kNodePrefix) == 0; }

[[noreturn]] void refuseLayer(const std::string& name, const std::string& why, PyObject* type = PyExc_ValueError) {
    raise(type, "Layer '" + name + "' does not follow the layout of to_keras: " + why);
}

// The number after "node": leading white space and a sign allowed, digits up to
// the first other character; no digit, or a value beyond 32 bits, is refused.
int32_t nodeIndex(const std::string& name) {
    size_t at = kNodePrefix.size();
    while (at < name.size() && std::isspace(static_cast<unsigned char>(name[at]))) ++at;
    bool negative = false;
    if (at < name.size() && (name[at] == '+' || name[at] == '-')) negative = name[at++] == '-';
    const size_t firstDigit = at;
    int64_t value = 0;
    for (; at < name.size() && std::isdigit(static_cast<unsigned char>(name[at])); ++at) {
        value = value * 10 + (name[at] - '0');
        if (value > int64_t{INT32_MAX} + 1) break;
    }
    if (at == firstDigit) refuseLayer(name, "no node number follows 'node'.");
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) refuseLayer(name, "its node number is out of range.");
    return static_cast<int32_t>(value);
}

// Like attribute(), but a missing attribute is reported against the layer.
PyRef layerAttribute(PyObject* object, const char* attributeName, const std::string& layer) {
    return attributeOr(object, attributeName, [&] {
        refuseLayer(layer, std::string("it has no attribute '") + attributeName + "'.", PyExc_TypeError);
    });
}

// A tuple of the items of a sequence, or a TypeError naming the layer. A tuple,
// because the Python code run by later attribute reads could change a list
// under borrowed items.
PyRef itemsOf(PyObject* object, const std::string& message) {
    if (!PySequence_Check(object)) raise(PyExc_TypeError, message);
    PyObject* items = PySequence_Tuple(object);
    if (items == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
        PyErr_Clear();
        raise(PyExc_TypeError, message);
    }
    return PyRef::steal(items);
}

PyRef sequence(PyObject* object, const std::string& layer, const char* what) {
    return itemsOf(object, "Layer '" + layer + "' does not follow the layout of to_keras: " + what +
                               " is not a sequence.");
}

// The width (element 1 of the output shape) of a layer's first output tensor.
int32_t outputWidth(PyObject* layer, const std::string& name) {
    PyRef output = layerAttribute(layer, "output", name);
    PyRef shape = sequence(layerAttribute(output.get(), "shape", name).get(), name, "its output shape");
    if (PyTuple_GET_SIZE(shape.get()) != 2) refuseLayer(name, "its output is not a batch of rows.");
    PyObject* width = PyTuple_GET_ITEM(shape.get(), 1);
    const long value = PyLong_Check(width) ? PyLong_AsLong(width) : -1;
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    if (value < 0 || value > INT32_MAX) refuseLayer(name, "its output width is not a usable count.");
    return static_cast<int32_t>(value);
}

// The layers whose outputs feed the first call of layer, in input order.
std::vector<PyRef> feedingLayers(PyObject* layer, const std::string& name) {
    PyRef calls = sequence(layerAttribute(layer, "_inbound_nodes", name).get(), name, "its inbound nodes");
    if (PyTuple_GET_SIZE(calls.get()) < 1) refuseLayer(name, "it is not connected to the graph.");
    PyObject* firstCall = PyTuple_GET_ITEM(calls.get(), 0);
    PyRef tensors = sequence(layerAttribute(firstCall, "input_tensors", name).get(), name, "its input tensors");
    std::vector<PyRef> layers;
    for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(tensors.get()); ++t) {
        PyRef history = layerAttribute(PyTuple_GET_ITEM(tensors.get(), t), "_keras_history", name);
        layers.push_back(layerAttribute(history.get(), "operation", name));
    }
    return layers;
}

std::string typeName(PyObject* object) {
    PyRef name = attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__");
    const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) PyErr_Clear();
    return text ? text : "";
}

// The array behind a kernel or bias as NumPy sees it: the object itself when
// it is an ndarray, so that its shape is read without copying anything.
PyRef weightArray(PyObject* object) {
    if (PyArray_Check(object)) return PyRef::borrow(object);
    return check(PyRef::steal(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr)));
}

// The weight's values, once its shape is exactly `shape`. Checked before the
// copy: a broadcast view can describe far more elements than memory holds.
SampleMatrix exactRows(PyObject* object, std::initializer_list<npy_intp> shape, const std::string& layer,
                       const char* what) {
    PyRef array = weightArray(object);
    PyArrayObject* view = asArray(array.get());
    const bool exact = PyArray_NDIM(view) == static_cast<int>(shape.size()) &&
                       std::equal(shape.begin(), shape.end(), PyArray_DIMS(view));
    if (!exact) {
        std::string wanted;
        for (npy_intp d : shape) wanted += (wanted.empty() ? "(" : ", ") + std::to_string(d);
        wanted += shape.size() == 1 ? ",)" : ")";
        refuseLayer(layer,
                    std::string("its ") + what + " has shape " + shapeText(array.get()) + ", not " + wanted + ".");
    }
    const std::string name = std::string("the ") + what + " of layer '" + layer + "'";
    return rowsFromArray(array.get(), name.c_str());
}

// The layout has one unit per node; a Dense layer of several would import as
// its unit 0 alone. A layer without "units" is judged by its kernel's shape.
void requireOneUnit(PyObject* layer, const std::string& name) {
    PyObject* units = PyObject_GetAttrString(layer, "units");
    if (units == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        return;
    }
    PyRef owned = PyRef::steal(units);
    if (!PyLong_Check(units)) return;
    const long long count = PyLong_AsLongLong(units);
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (count != 1) {
        PyRef text = check(PyRef::steal(PyObject_Str(units)));
        const char* digits = PyUnicode_AsUTF8(text.get());
        if (digits == nullptr) throw PythonErrorSet{};
        refuseLayer(name, std::string("it has ") + digits + " units; every node layer has exactly 1.");
    }
}

// Reads node k's incoming weights, bias and activation from its layer. An
// activation the names table does not know is stored as the table's "anything
// else" id and its name returned, so that the caller can warn once the import
// has succeeded.
std::optional<std::string> importNode(Network& network, int32_t k, PyObject* layer, const std::string& name) {
    PyRef weights = check(PyRef::steal(PyObject_CallMethod(layer, "get_weights", nullptr)));
    PyRef pair = sequence(weights.get(), name, "get_weights()");
    if (PyTuple_GET_SIZE(pair.get()) < 2) refuseLayer(name, "it has no kernel and bias.");

    // A node layer reads either one node layer or a Concatenate of node layers.
    std::vector<PyRef> feeders = feedingLayers(layer, name);
    if (feeders.size() != 1) refuseLayer(name, "it reads " + std::to_string(feeders.size()) + " tensors, not one.");
    std::vector<PyRef> sources;
    const std::string feederName = layerName(feeders[0].get());
    if (isNodeLayer(feederName)) {
        sources.push_back(std::move(feeders[0]));
    } else if (typeName(feeders[0].get()) == "Concatenate") {
        sources = feedingLayers(feeders[0].get(), feederName);
    } else {
        refuseLayer(name, "it reads '" + feederName + "', which is neither a node layer nor a Concatenate.");
    }
    if (sources.empty()) refuseLayer(name, "it has no predecessor.");

    std::vector<int32_t> from;
    for (const PyRef& source : sources) {
        const std::string sourceName = layerName(source.get());
        if (!isNodeLayer(sourceName)) refuseLayer(name, "it reads '" + sourceName + "', which is not a node layer.");
        const int32_t j = nodeIndex(sourceName);
        if (j < 0 || j >= k) refuseLayer(name, "it reads '" + sourceName + "', which does not come before it.");
        if (std::find(from.begin(), from.end(), j) != from.end()) {
            refuseLayer(name, "it reads '" + sourceName + "' twice.");
        }
        from.push_back(j);
    }

    requireOneUnit(layer, name);
    // The pair is our own tuple, so its items stay alive whatever the conversions run.
    const SampleMatrix kernel =
        exactRows(PyTuple_GET_ITEM(pair.get(), 0), {static_cast<npy_intp>(from.size()), 1}, name, "kernel");
    const SampleMatrix bias = exactRows(PyTuple_GET_ITEM(pair.get(), 1), {1}, name, "bias");

    PyRef activation = layerAttribute(layer, "activation", name);
    PyRef activationName = layerAttribute(activation.get(), "__name__", name);
    if (!PyUnicode_Check(activationName.get())) refuseLayer(name, "its activation has no name.", PyExc_TypeError);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(activationName.get(), &length);
    if (text == nullptr) throw PythonErrorSet{};
    const std::string_view activationText(text, static_cast<size_t>(length));

    // Only now, with everything read and checked, touch the network.
    for (size_t r = 0; r < from.size(); ++r) {
        network.connect(from[r], k, kernel.at(static_cast<int32_t>(r), 0));
    }
    network.biases[k] = bias.at(0, 0);
    network.activations[k] = nameToInt(activationText);
    if (network.activations[k] < kActivationCount) return std::nullopt;
    return std::string(activationText);
}

}  // namespace

PyObject* Model_to_keras(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        // A copy: Keras runs Python code, which could replace the model's network.
        const Network network = asModel(self)->network;
        checkExportable(network);
        const int32_t n = network.size;

        PyRef keras = check(PyRef::steal(PyImport_ImportModule("keras")));
        PyRef layers = attribute(keras.get(), "layers");
        PyRef activations = attribute(keras.get(), "activations");
        PyRef dense = attribute(layers.get(), "Dense");
        PyRef concatenateType = attribute(layers.get(), "Concatenate");
        PyRef input;
        {
            // Keras 3 takes the input width as a shape tuple.
            PyRef inputType = attribute(layers.get(), "Input");
            PyRef noArgs = check(PyRef::steal(PyTuple_New(0)));
            PyRef shape = check(PyRef::steal(Py_BuildValue("{s:(i)}", "shape", network.inputs)));
            input = check(PyRef::steal(PyObject_Call(inputType.get(), noArgs.get(), shape.get())));
        }

        PyRef oneUnit = check(PyRef::steal(Py_BuildValue("(i)", 1)));
        std::vector<PyRef> nodeLayers, tensors;
        for (int32_t i = 0; i < n; ++i) {
            const char* function = i < network.inputs ? "linear" : activationName(network.activations[i]);
            PyRef activation = attribute(activations.get(), function);
            // Input layers only pass their column through, so training leaves
            // them alone (the import ignores them). Zero initial values skip
            // the random draws Keras would make and set_weights overwrite.
            PyRef options = check(PyRef::steal(Py_BuildValue(
                "{s:O,s:s,s:s,s:s,s:O}", "activation", activation.get(), "name", nodeName(i).c_str(),
                "kernel_initializer", "zeros", "bias_initializer", "zeros", "trainable",
                i < network.inputs ? Py_False : Py_True)));
            PyRef layer = check(PyRef::steal(PyObject_Call(dense.get(), oneUnit.get(), options.get())));

            PyRef in;
            if (i < network.inputs) {
                in = PyRef::borrow(input.get());
            } else {
                std::vector<PyObject*> sources;
                for (int32_t j : predecessors(network, i)) sources.push_back(tensors[j].get());
                in = sources.size() == 1 ? PyRef::borrow(sources[0]) : concatenate(concatenateType.get(), sources);
            }
            tensors.push_back(check(PyRef::steal(PyObject_CallOneArg(layer.get(), in.get()))));
            nodeLayers.push_back(std::move(layer));
        }

        PyRef output;
        if (network.outputs == 1) {
            output = PyRef::borrow(tensors[n - 1].get());
        } else {
            std::vector<PyObject*> last;
            for (int32_t i = n - network.outputs; i < n; ++i) last.push_back(tensors[i].get());
            output = concatenate(concatenateType.get(), last);
        }
        PyRef modelType = attribute(keras.get(), "Model");
        PyRef model = check(
            PyRef::steal(PyObject_CallFunctionObjArgs(modelType.get(), input.get(), output.get(), nullptr)));

        for (int32_t i = 0; i < n; ++i) {
            PyRef weights = nodeWeights(network, i, nodeLayers[i].get());
            check(PyRef::steal(PyObject_CallMethod(nodeLayers[i].get(), "set_weights", "(O)", weights.get())));
        }
        return model.release();
    });
}

PyObject* kestrin_from_keras(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* kerasModel = nullptr;
        if (!PyArg_ParseTuple(args, "O", &kerasModel)) return nullptr;
        PyRef layerList = attributeOr(kerasModel, "layers", [&] {
            raise(PyExc_TypeError, std::string("from_keras expects a Keras model; ") + Py_TYPE(kerasModel)->tp_name +
                                       " has no attribute 'layers'.");
        });
        PyRef layers = itemsOf(layerList.get(), "The Keras model's layers are not a sequence.");
        const Py_ssize_t count = PyTuple_GET_SIZE(layers.get());
        if (count == 0) raise(PyExc_ValueError, "The Keras model has no layers.");

        // First pass: the counts. The input layer comes first; the last layer
        // is either the single output node or the Concatenate of the outputs.
        std::vector<std::string> names;
        int32_t inputs = -1, outputs = -1;
        int64_t nodes = 0;
        for (Py_ssize_t p = 0; p < count; ++p) {
            PyObject* layer = PyTuple_GET_ITEM(layers.get(), p);
            names.push_back(layerName(layer));
            if (isNodeLayer(names.back())) {
                ++nodes;
            } else if (p == 0) {
                inputs = outputWidth(layer, names.back());
            } else if (p == count - 1) {
                outputs = outputWidth(layer, names.back());
            }
        }
        if (outputs == -1) outputs = 1;
        if (inputs == -1) refuseLayer(names[0], "a Keras model from to_keras starts with its input layer.");
        if (nodes > INT32_MAX || inputs + int64_t{outputs} > nodes) {
            raise(PyExc_ValueError, "The Keras model has " + std::to_string(nodes) + " node layers, fewer than its " +
                                        std::to_string(inputs) + " inputs plus " + std::to_string(outputs) +
                                        " outputs.");
        }
        const auto n = static_cast<int32_t>(nodes);

        // Every node number 0..n-1 must name exactly one layer.
        std::vector<Py_ssize_t> layerOfNode(static_cast<size_t>(n), -1);
        for (Py_ssize_t p = 0; p < count; ++p) {
            if (!isNodeLayer(names[p])) continue;
            const int32_t k = nodeIndex(names[p]);
            if (k < 0 || k >= n) {
                refuseLayer(names[p], "its node number is outside 0.." + std::to_string(n - 1) + " for the " +
                                          std::to_string(n) + " node layers of the model.");
            }
            if (layerOfNode[k] != -1) refuseLayer(names[p], "'" + names[layerOfNode[k]] + "' has the same number.");
            layerOfNode[k] = p;
        }

        // Second pass: the contents. Input nodes carry nothing to import.
        Network network(inputs, outputs);
        network.setSize(n);
        std::vector<std::pair<std::string, std::string>> unknown;  // layer, activation
        for (int32_t k = inputs; k < n; ++k) {
            const std::string& name = names[layerOfNode[k]];
            std::optional<std::string> activation =
                importNode(network, k, PyTuple_GET_ITEM(layers.get(), layerOfNode[k]), name);
            if (activation) unknown.emplace_back(name, std::move(*activation));
        }
        // Unknown names import as id 4, whose node outputs 0.0 where
        // Keras computed something else: say so, through the warnings filters.
        for (const auto& [layer, activation] : unknown) {
            const std::string message = "Layer '" + layer + "' has the activation '" + activation +
                                        "', which kestrin does not know; its node will output 0.0.";
            if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw PythonErrorSet{};
        }
        return modelFromNetwork(std::move(network));
    });
}

}  // namespace kestrin::py
