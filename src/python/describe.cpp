// What a model shows of itself: the reprs of Model, Genome and Alpha, and
// Model.to_dot, the network as Graphviz DOT text.
#include "python/pyref.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "network/activation.h"
#include "python/boundary.h"
#include "python/methods.h"
#include "python/records.h"
#include "training/evaluate.h"

namespace kestrin::py {
namespace {

// "module.qualname" as object.__repr__ writes a type (without "builtins."),
// or the bare qualname: a subclass shows its own name.
PyRef typeName(PyObject* self, bool withModule) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyRef qualname = check(PyRef::steal(PyObject_GetAttrString(type, "__qualname__")));
    // A metaclass may answer anything; the format below needs a str.
    if (!PyUnicode_Check(qualname.get())) {
        qualname = check(PyRef::steal(PyUnicode_FromString(Py_TYPE(self)->tp_name)));
    }
    if (!withModule) return qualname;
    PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    if (!module) PyErr_Clear();
    if (!module || !PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) {
        return qualname;
    }
    return check(PyRef::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get())));
}

long long connectionCount(const Network& network) {
    long long count = 0;
    for (int32_t from = 0; from < network.size; ++from) {
        network.connections.forEachInRow(from, 0, [&](int32_t) { ++count; });
    }
    return count;
}

std::string counts(int32_t inputs, int32_t outputs, const Network& network) {
    return " inputs=" + std::to_string(inputs) + " outputs=" + std::to_string(outputs) +
           " nodes=" + std::to_string(network.size) + " connections=" + std::to_string(connectionCount(network));
}

std::string quotedLossName(int32_t id) {
    // Appended piece by piece: GCC 12 at -O3 misreads "'" + std::string&& as an overlapping copy.
    std::string text = "'";
    text += id >= 0 && id < kLossCount ? std::string(kLossNames[static_cast<size_t>(id)])
                                       : "metric_" + std::to_string(id);
    text += "'";
    return text;
}

std::string compileState(const ModelObject* model) {
    if (!model->compiled) return " compiled=False";
    const std::vector<int32_t>& ids = model->metricIds;
    const size_t firstMetric = model->hasLoss ? 1 : 0;
    std::string text = " loss=" + (model->hasLoss && !ids.empty() ? quotedLossName(ids[0]) : std::string("None"));
    text += " metrics=[";
    for (size_t k = firstMetric; k < ids.size(); ++k) {
        if (k > firstMetric) text += ", ";
        text += quotedLossName(ids[k]);
    }
    text += "]";
    if (!model->monitorIds.empty()) {
        text += " monitors=[";
        for (size_t k = 0; k < model->monitorIds.size(); ++k) text += k > 0 ? ", 'size'" : "'size'";
        text += "]";
    }
    if (model->precision != Precision::kFloat64) text += std::string(" precision='") + precisionName(model->precision) + "'";
    return text;
}

// ---- DOT -------------------------------------------------------------------

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// Positive weights blue, negative red; the width grows with |w| up to |w| = 4.
std::string edgeStyle(double weight, bool counts) {
    if (!counts) return "style=dashed, color=\"#999999\", fontcolor=\"#999999\"";
    const char* colour = weight > 0 ? "#1f77b4" : weight < 0 ? "#d62728" : "#999999";
    const double magnitude = std::isnan(weight) ? 4.0 : std::min(std::fabs(weight), 4.0);
    char width[16];
    std::snprintf(width, sizeof width, "%.2f", 0.5 + 1.5 * magnitude);
    return std::string("color=\"") + colour + "\", fontcolor=\"" + colour + "\", penwidth=" + width;
}

std::string nodeLine(const Network& network, int32_t i, const std::string& title) {
    const char* activation = activationName(network.activations[i]);
    return "    n" + std::to_string(i) + " [label=\"" + title + "\\n" + (activation ? activation : "unknown") +
           "\\nb=" + number(network.biases[i]) + "\"];\n";
}

std::string dotText(const Network& network) {
    const int32_t size = network.size;
    const int32_t inputs = std::min(network.inputs, size);
    const int32_t firstOutput = std::max(size - network.outputs, inputs);

    // Hidden nodes ranked by their longest forward path from the inputs;
    // sources always precede targets, so one ascending pass settles each depth.
    std::vector<int32_t> depth(static_cast<size_t>(size), 0);
    int32_t deepest = 0;
    for (int32_t from = 0; from < firstOutput; ++from) {
        if (from >= inputs) {
            depth[from] = std::max(depth[from], 1);
            deepest = std::max(deepest, depth[from]);
        }
        network.connections.forEachInRow(from, std::max(from + 1, inputs),
                                         [&](int32_t to) { depth[to] = std::max(depth[to], depth[from] + 1); });
    }

    std::string dot = "digraph kestrin {\n  rankdir=LR;\n"
                      "  node [shape=circle, fontname=\"Helvetica\", fontsize=10];\n"
                      "  edge [fontname=\"Helvetica\", fontsize=8, arrowsize=0.6];\n";
    dot += "  subgraph inputs {\n    rank=same;\n";
    for (int32_t i = 0; i < inputs; ++i) {
        dot += "    n" + std::to_string(i) + " [label=\"" + std::to_string(i) + "\\ninput " + std::to_string(i) +
               "\", shape=box];\n";
    }
    dot += "  }\n";
    for (int32_t d = 1; d <= deepest; ++d) {
        dot += "  subgraph hidden_" + std::to_string(d) + " {\n    rank=same;\n";
        for (int32_t i = inputs; i < firstOutput; ++i) {
            if (depth[i] == d) dot += nodeLine(network, i, std::to_string(i));
        }
        dot += "  }\n";
    }
    dot += "  subgraph outputs {\n    rank=same;\n";
    for (int32_t i = firstOutput; i < size; ++i) {
        dot += nodeLine(network, i, std::to_string(i) + ": output " + std::to_string(i - firstOutput));
    }
    dot += "  }\n";
    // Every flag is drawn; those the forward pass skips (into an input, or
    // backwards) are dashed.
    for (int32_t from = 0; from < size; ++from) {
        const double* row = network.weights[from];
        network.connections.forEachInRow(from, 0, [&](int32_t to) {
            const bool counts = to >= inputs && to > from;
            dot += "  n" + std::to_string(from) + " -> n" + std::to_string(to) + " [label=\"" + number(row[to]) +
                   "\", " + edgeStyle(row[to], counts) + "];\n";
        });
    }
    dot += "}\n";
    return dot;
}

}  // namespace

PyObject* Model_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyRef name = typeName(self, true);
        const ModelObject* model = asModel(self);
        const std::string text = counts(model->inputs, model->outputs, model->network) + compileState(model);
        return PyUnicode_FromFormat("<%U%s>", name.get(), text.c_str());
    });
}

PyObject* Genome_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyRef name = typeName(self, true);
        const GenomeObject* genome = asGenome(self);
        const std::string text = counts(genome->inputs, genome->outputs, genome->network);
        return PyUnicode_FromFormat("<%U%s>", name.get(), text.c_str());
    });
}

PyObject* Alpha_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyRef name = typeName(self, false);
        const double rate = reinterpret_cast<AlphaObject*>(self)->mutationRate;
        char* text = PyOS_double_to_string(rate, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) throw PythonErrorSet{};
        PyObject* repr = PyUnicode_FromFormat("%U(mutation_rate=%s)", name.get(), text);
        PyMem_Free(text);
        return repr;
    });
}

PyObject* Model_to_dot(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::string dot = dotText(asModel(self)->network);
        return PyUnicode_FromStringAndSize(dot.data(), static_cast<Py_ssize_t>(dot.size()));
    });
}

}  // namespace kestrin::py
