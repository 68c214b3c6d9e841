// Pickling and copying of kestrin.Model, kestrin.Genome, kestrin.optimizers.Beta,
// Gamma and Alpha and the callbacks of kestrin.callbacks. A model travels whole: its network as '.kn' bytes
// and its compile state, so that a copy or a model unpickled on a worker
// evaluates and evolves without compile. copy.copy shares the Python objects a
// record refers to (the optimizer, attribute values); copy.deepcopy copies them.
#include "python/pickle_state.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "evolution/beta_strategy.h"
#include "network/network_bytes.h"
#include "python/boundary.h"
#include "python/callbacks.h"
#include "python/methods.h"
#include "python/records.h"
#include "training/evaluate.h"

namespace kestrin::py {

// ---- StateWriter ------------------------------------------------------------

StateWriter::StateWriter(PyObject* self, long version) : self_(self), state_(check(PyRef::steal(PyDict_New()))) {
    put("version", PyRef::steal(PyLong_FromLong(version)));
}

void StateWriter::put(const char* key, PyRef value) {
    if (!value) throw PythonErrorSet{};
    if (PyDict_SetItemString(state_.get(), key, value.get()) < 0) throw PythonErrorSet{};
}

void StateWriter::putInt(const char* key, long long value) { put(key, PyRef::steal(PyLong_FromLongLong(value))); }

void StateWriter::putFlag(const char* key, bool value) { put(key, PyRef::borrow(value ? Py_True : Py_False)); }

void StateWriter::putReal(const char* key, double value) { put(key, PyRef::steal(PyFloat_FromDouble(value))); }

void StateWriter::putOptionalReal(const char* key, bool present, double value) {
    if (present) {
        putReal(key, value);
    } else {
        putObject(key, nullptr);
    }
}

void StateWriter::putBytes(const char* key, const std::string& bytes) {
    put(key, PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
}

void StateWriter::putIds(const char* key, const std::vector<int32_t>& ids) {
    PyRef tuple = check(PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(ids.size()))));
    for (size_t i = 0; i < ids.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromLong(ids[i])));
    }
    put(key, std::move(tuple));
}

void StateWriter::putNetwork(const char* key, const Network& network) { putBytes(key, encodeNetwork(network)); }

void StateWriter::putObject(const char* key, PyObject* object) {
    put(key, PyRef::borrow(object != nullptr ? object : Py_None));
}

namespace {

// The instance's __dict__ (new reference), or null when its type gives it none.
PyRef instanceDict(PyObject* self) {
    PyRef dict = PyRef::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
    }
    return dict;
}

}  // namespace

PyRef StateWriter::finish() {
    PyRef dict = instanceDict(self_);
    if (dict && PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0) {
        put("attributes", PyRef::steal(PyDict_Copy(dict.get())));
    }
    return std::move(state_);
}

// ---- StateReader ------------------------------------------------------------

StateReader::StateReader(PyObject* self, PyObject* state, long version) : self_(self), state_(PyRef::borrow(state)) {
    // Exact types only: looking up str keys among str keys runs no Python code.
    if (!PyDict_CheckExact(state)) refuse(std::string("it must be a dict, not ") + Py_TYPE(state)->tp_name);
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(state, &at, &key, &item)) {
        if (!PyUnicode_CheckExact(key)) refuse(std::string("its keys must be str, not ") + Py_TYPE(key)->tp_name);
    }
    PyObject* given = value("version");
    if (!PyLong_CheckExact(given)) refuse(std::string("'version' must be an int, not ") + Py_TYPE(given)->tp_name);
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(given, &overflow);
    if (overflow != 0 || number != version) {
        refuse("format version " + (overflow != 0 ? std::string("beyond 64 bits") : std::to_string(number)) +
               " is not known; this kestrin reads version " + std::to_string(version));
    }
}

void StateReader::refuse(const std::string& defect) const {
    raise(PyExc_ValueError, std::string("invalid pickled state of ") + Py_TYPE(self_)->tp_name + ": " + defect + ".");
}

bool StateReader::has(const char* key) const {
    PyRef name = check(PyRef::steal(PyUnicode_FromString(key)));
    return PyDict_Contains(state_.get(), name.get()) == 1;
}

PyObject* StateReader::value(const char* key) {
    PyRef name = check(PyRef::steal(PyUnicode_FromString(key)));
    PyObject* item = PyDict_GetItemWithError(state_.get(), name.get());
    if (item == nullptr) {
        if (PyErr_Occurred()) throw PythonErrorSet{};
        refuse(std::string("'") + key + "' is missing");
    }
    read_.push_back(key);
    return item;
}

namespace {

std::string typeName(PyObject* object) { return Py_TYPE(object)->tp_name; }

}  // namespace

int32_t StateReader::int32(const char* key) {
    PyObject* item = value(key);
    if (!PyLong_Check(item) || PyBool_Check(item)) {
        refuse(std::string("'") + key + "' must be an int, not " + typeName(item));
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (number == -1 && PyErr_Occurred()) throw PythonErrorSet{};
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) {
        refuse(std::string("'") + key + "' is outside the 32-bit range");
    }
    return static_cast<int32_t>(number);
}

bool StateReader::flag(const char* key) {
    PyObject* item = value(key);
    if (!PyBool_Check(item)) refuse(std::string("'") + key + "' must be a bool, not " + typeName(item));
    return item == Py_True;
}

double StateReader::real(const char* key) {
    PyObject* item = value(key);
    if (!PyFloat_Check(item)) refuse(std::string("'") + key + "' must be a float, not " + typeName(item));
    return PyFloat_AS_DOUBLE(item);
}

std::optional<double> StateReader::optionalReal(const char* key) {
    PyObject* item = value(key);
    if (item == Py_None) return std::nullopt;
    if (!PyFloat_Check(item)) refuse(std::string("'") + key + "' must be a float or None, not " + typeName(item));
    return PyFloat_AS_DOUBLE(item);
}

PyRef StateReader::text(const char* key) {
    PyObject* item = value(key);
    if (!PyUnicode_Check(item)) refuse(std::string("'") + key + "' must be a str, not " + typeName(item));
    return exactText(item);
}

std::vector<int32_t> StateReader::ids(const char* key, int32_t lowest, int32_t highest) {
    PyObject* item = value(key);
    if (!PyTuple_Check(item) && !PyList_Check(item)) {
        refuse(std::string("'") + key + "' must be a tuple of ints, not " + typeName(item));
    }
    std::vector<int32_t> ids;
    // A list cannot change while this reads it: nothing here runs Python code.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(item); ++i) {
        PyObject* id = PySequence_Fast_GET_ITEM(item, i);
        int overflow = 0;
        const long long number = PyLong_Check(id) && !PyBool_Check(id) ? PyLong_AsLongLongAndOverflow(id, &overflow)
                                                                         : int64_t{lowest} - 1;
        if (overflow != 0 || number < lowest || number > highest) {
            refuse(std::string("'") + key + "' must hold ids from " + std::to_string(lowest) + " to " +
                   std::to_string(highest) + "; item " + std::to_string(i) + " is not one");
        }
        ids.push_back(static_cast<int32_t>(number));
    }
    return ids;
}

Network StateReader::network(const char* key) {
    PyObject* item = value(key);
    if (!PyBytes_Check(item)) refuse(std::string("'") + key + "' must be bytes, not " + typeName(item));
    // The file reader's FileFormatError becomes a ValueError at the boundary.
    return decodeNetwork(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(item)),
                         static_cast<size_t>(PyBytes_GET_SIZE(item)),
                         std::string("network in the pickled state of ") + Py_TYPE(self_)->tp_name);
}

PyObject* StateReader::object(const char* key) { return value(key); }

void StateReader::finish() {
    if (has("attributes")) {
        PyObject* attributes = value("attributes");
        if (!PyDict_CheckExact(attributes)) refuse("'attributes' must be a dict, not " + typeName(attributes));
        Py_ssize_t at = 0;
        PyObject* name = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(attributes, &at, &name, &item)) {
            if (!PyUnicode_CheckExact(name)) refuse("the names in 'attributes' must be str, not " + typeName(name));
        }
        if (PyDict_GET_SIZE(attributes) > 0 && !instanceDict(self_)) {
            refuse(std::string("it holds attributes, but a ") + Py_TYPE(self_)->tp_name + " has no __dict__");
        }
        attributes_ = PyRef::borrow(attributes);
    }
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(state_.get(), &at, &key, &item)) {
        bool known = false;
        for (const char* name : read_) known = known || PyUnicode_CompareWithASCIIString(key, name) == 0;
        if (!known) {
            PyRef text = check(PyRef::steal(PyObject_Repr(key)));
            const char* name = PyUnicode_AsUTF8(text.get());
            if (name == nullptr) throw PythonErrorSet{};
            refuse(std::string(name) + " is not a field of this format");
        }
    }
}

void StateReader::restoreAttributes() {
    if (!attributes_ || PyDict_GET_SIZE(attributes_.get()) == 0) return;
    PyRef dict = instanceDict(self_);
    if (!dict) refuse(std::string("it holds attributes, but a ") + Py_TYPE(self_)->tp_name + " has no __dict__");
    if (PyDict_Update(dict.get(), attributes_.get()) < 0) throw PythonErrorSet{};
}

PyObject* reduceWithState(PyObject* self, PyRef state) {
    PyRef copyreg = check(PyRef::steal(PyImport_ImportModule("copyreg")));
    PyRef newObject = check(PyRef::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__")));
    return check(Py_BuildValue("(O(O)O)", newObject.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get()));
}

namespace {

// ---- the states -------------------------------------------------------------

// Raise a version when a field changes its meaning; a field added later can be
// read with a default when absent (StateReader::has) and keep the version.
constexpr long kModelVersion = 1;
constexpr long kGenomeVersion = 1;
constexpr long kAlphaVersion = 1;
constexpr long kBetaVersion = 1;
constexpr long kGammaVersion = 1;
constexpr long kEarlyStoppingVersion = 1;
constexpr long kCheckpointVersion = 1;
constexpr long kBackupVersion = 1;

// The only monitor id, "size".
constexpr int32_t kSizeMonitor = 0;

// Every optimizer type of kestrin.optimizers: what compile accepts as an object.
bool isOptimizer(PyObject* object) {
    return PyObject_TypeCheck(object, &AlphaType) || PyObject_TypeCheck(object, &BetaType) ||
           PyObject_TypeCheck(object, &GammaType);
}

// Written only when not float64, so float64 states are as before; states
// without it are float64.
void putPrecision(StateWriter& out, Precision precision) {
    if (precision == Precision::kFloat32) out.putInt("precision_bits", 32);
}
Precision readPrecision(StateReader& in) {
    if (!in.has("precision_bits")) return Precision::kFloat64;
    const int32_t bits = in.int32("precision_bits");
    if (bits != 32 && bits != 64) in.refuse("'precision_bits' must be 32 or 64, not " + std::to_string(bits));
    return bits == 32 ? Precision::kFloat32 : Precision::kFloat64;
}

PyRef modelState(PyObject* self) {
    const ModelObject* model = asModel(self);
    StateWriter out(self, kModelVersion);
    out.putInt("inputs", model->inputs);
    out.putInt("outputs", model->outputs);
    // The node count the mirror stands for: a reassigned mirror would make an unreadable state.
    out.putInt("size", model->network.size);
    out.putNetwork("network", model->network);
    out.putFlag("compiled", model->compiled);
    out.putFlag("has_loss", model->hasLoss);
    out.putIds("metric_ids", model->metricIds);
    out.putIds("monitor_ids", model->monitorIds);
    out.putObject("optimizer", model->optimizer);
    putPrecision(out, model->precision);
    return out.finish();
}

void restoreModel(PyObject* self, PyObject* state) {
    StateReader in(self, state, kModelVersion);
    const int32_t inputs = in.int32("inputs");
    const int32_t outputs = in.int32("outputs");
    const int32_t size = in.int32("size");
    Network network = in.network("network");
    const bool compiled = in.flag("compiled");
    const bool hasLoss = in.flag("has_loss");
    std::vector<int32_t> metricIds = in.ids("metric_ids", 0, kLossCount - 1);
    std::vector<int32_t> monitorIds = in.ids("monitor_ids", kSizeMonitor, kSizeMonitor);
    PyObject* optimizer = in.object("optimizer");
    const Precision precision = readPrecision(in);
    in.finish();

    if (optimizer == Py_None) {
        optimizer = nullptr;
    } else if (!isOptimizer(optimizer)) {
        in.refuse("'optimizer' must be None or an optimizer, not " + typeName(optimizer));
    }
    if (network.inputs != inputs || network.outputs != outputs) {
        in.refuse("its network has " + std::to_string(network.inputs) + " inputs and " +
                  std::to_string(network.outputs) + " outputs, the model " + std::to_string(inputs) + " and " +
                  std::to_string(outputs));
    }
    if (size != network.size) {
        in.refuse("'size' is " + std::to_string(size) + " but its network has " + std::to_string(network.size) +
                  " nodes");
    }
    if (hasLoss && metricIds.empty()) in.refuse("it has a loss but no loss id");
    if (compiled && optimizer == nullptr) in.refuse("it is compiled but has no optimizer");

    ModelObject* model = asModel(self);
    model->inputs = inputs;
    model->outputs = outputs;
    model->size = size;
    model->network = std::move(network);
    model->compiled = compiled;
    model->hasLoss = hasLoss;
    model->precision = precision;
    model->metricIds = std::move(metricIds);
    model->monitorIds = std::move(monitorIds);
    // Swapped before the old one is released: releasing it may run Python code.
    PyObject* old = std::exchange(model->optimizer, PyRef::borrow(optimizer).release());
    Py_XDECREF(old);
    in.restoreAttributes();
}

std::string mustNotBeNegative(const char* key) { return std::string("'") + key + "' must not be negative"; }

PyRef genomeState(PyObject* self) {
    const GenomeObject* genome = asGenome(self);
    StateWriter out(self, kGenomeVersion);
    out.putInt("inputs", genome->inputs);
    out.putInt("outputs", genome->outputs);
    // A genome made by the user holds the empty network: its 12 header bytes.
    out.putNetwork("network", genome->network);
    putPrecision(out, genome->precision);
    return out.finish();
}

void restoreGenome(PyObject* self, PyObject* state) {
    StateReader in(self, state, kGenomeVersion);
    const int32_t inputs = in.int32("inputs");
    const int32_t outputs = in.int32("outputs");
    Network network = in.network("network");
    const Precision precision = readPrecision(in);
    in.finish();
    if (inputs < 0) in.refuse(mustNotBeNegative("inputs"));
    if (outputs < 0) in.refuse(mustNotBeNegative("outputs"));
    // A genome made by the user holds the empty network and only its counts.
    if (network.size > 0 && (network.inputs != inputs || network.outputs != outputs)) {
        in.refuse("its network has " + std::to_string(network.inputs) + " inputs and " +
                  std::to_string(network.outputs) + " outputs, the genome " + std::to_string(inputs) + " and " +
                  std::to_string(outputs));
    }

    GenomeObject* genome = asGenome(self);
    genome->inputs = inputs;
    genome->outputs = outputs;
    genome->network = std::move(network);
    genome->precision = precision;
    in.restoreAttributes();
}

PyRef alphaState(PyObject* self) {
    StateWriter out(self, kAlphaVersion);
    out.putReal("mutation_rate", reinterpret_cast<AlphaObject*>(self)->mutationRate);
    return out.finish();
}

void restoreAlpha(PyObject* self, PyObject* state) {
    StateReader in(self, state, kAlphaVersion);
    const double mutationRate = in.real("mutation_rate");
    in.finish();
    reinterpret_cast<AlphaObject*>(self)->mutationRate = mutationRate;
    in.restoreAttributes();
}

// Releases up to 0.1 pickled Beta as its bare knobs, without a version: such a
// state is read as version 1. A knob absent from a state keeps its default.
PyRef betaState(PyObject* self) {
    const BetaSettings& knobs = reinterpret_cast<BetaObject*>(self)->settings;
    StateWriter out(self, kBetaVersion);
    out.putReal("crossover_rate", knobs.crossoverRate);
    out.putInt("tournament_size", knobs.tournamentSize);
    out.putInt("islands", knobs.islands);
    out.putReal("step_size", knobs.stepSize);
    out.putReal("gene_rate", knobs.geneRate);
    out.putReal("replace_rate", knobs.replaceRate);
    out.putReal("activation_rate", knobs.activationRate);
    out.putReal("add_node_rate", knobs.addNodeRate);
    out.putReal("remove_node_rate", knobs.removeNodeRate);
    out.putReal("add_connection_rate", knobs.addConnectionRate);
    out.putReal("remove_connection_rate", knobs.removeConnectionRate);
    out.putReal("parsimony", knobs.parsimony);
    out.putInt("refine_steps", knobs.refineSteps);
    out.putReal("refine_rate", knobs.refineRate);
    out.putInt("refine_best", knobs.refineBest);
    out.putFlag("refine_lbfgs", knobs.refineLbfgs);
    return out.finish();
}

void restoreBeta(PyObject* self, PyObject* given) {
    PyRef state = PyRef::borrow(given);
    if (PyDict_CheckExact(given) && PyDict_GetItemString(given, "version") == nullptr) {
        state = check(PyRef::steal(PyDict_Copy(given)));
        PyRef version = check(PyRef::steal(PyLong_FromLong(kBetaVersion)));
        if (PyDict_SetItemString(state.get(), "version", version.get()) < 0) throw PythonErrorSet{};
    }
    StateReader in(self, state.get(), kBetaVersion);
    BetaSettings knobs;
    const auto real = [&](const char* key, double& field) {
        if (in.has(key)) field = in.real(key);
    };
    const auto count = [&](const char* key, int& field) {
        if (in.has(key)) field = in.int32(key);
    };
    real("crossover_rate", knobs.crossoverRate);
    count("tournament_size", knobs.tournamentSize);
    count("islands", knobs.islands);
    real("step_size", knobs.stepSize);
    real("gene_rate", knobs.geneRate);
    real("replace_rate", knobs.replaceRate);
    real("activation_rate", knobs.activationRate);
    real("add_node_rate", knobs.addNodeRate);
    real("remove_node_rate", knobs.removeNodeRate);
    real("add_connection_rate", knobs.addConnectionRate);
    real("remove_connection_rate", knobs.removeConnectionRate);
    real("parsimony", knobs.parsimony);
    count("refine_steps", knobs.refineSteps);
    real("refine_rate", knobs.refineRate);
    count("refine_best", knobs.refineBest);
    if (in.has("refine_lbfgs")) knobs.refineLbfgs = in.flag("refine_lbfgs");
    in.finish();
    if (const std::string problem = knobs.problem(); !problem.empty()) in.refuse(problem);
    reinterpret_cast<BetaObject*>(self)->settings = knobs;
    in.restoreAttributes();
}

// A knob absent from a state keeps its default, so knobs added later still read old pickles.
PyRef gammaState(PyObject* self) {
    const GammaSettings& knobs = reinterpret_cast<GammaObject*>(self)->settings;
    StateWriter out(self, kGammaVersion);
    out.putReal("step_size", knobs.stepSize);
    out.putInt("hidden", knobs.hidden);
    out.putInt("grow_patience", knobs.growPatience);
    out.putInt("max_hidden", knobs.maxHidden);
    out.putInt("separable_above", knobs.separableAbove);
    out.putInt("refine_passes", knobs.refinePasses);
    out.putReal("refine_step_size", knobs.refineStepSize);
    out.putInt("refine_hidden", knobs.refineHidden);
    out.putInt("refine_grow_patience", knobs.refineGrowPatience);
    out.putReal("weight_decay", knobs.weightDecay);
    out.putReal("max_weight_decay", knobs.maxWeightDecay);
    out.putFlag("hold_out", knobs.holdOut);
    return out.finish();
}

void restoreGamma(PyObject* self, PyObject* state) {
    StateReader in(self, state, kGammaVersion);
    GammaSettings knobs;
    if (in.has("step_size")) knobs.stepSize = in.real("step_size");
    // A knob split later into one for each loop (`hidden` and `refine_hidden`, say): a state from
    // before the split has only the first, which served both loops then and keeps doing so.
    const auto readPair = [&](const char* name, int& value, const char* refineName, int& refineValue) {
        if (in.has(name)) value = in.int32(name);
        if (in.has(refineName)) {
            refineValue = in.int32(refineName);
        } else if (in.has(name)) {
            refineValue = value;
        }
    };
    readPair("hidden", knobs.hidden, "refine_hidden", knobs.refineHidden);
    readPair("grow_patience", knobs.growPatience, "refine_grow_patience", knobs.refineGrowPatience);
    if (in.has("max_hidden")) knobs.maxHidden = in.int32("max_hidden");
    if (in.has("separable_above")) knobs.separableAbove = in.int32("separable_above");
    // A state from before gradient steps existed trained without them: it keeps doing so.
    knobs.refinePasses = in.has("refine_passes") ? in.int32("refine_passes") : 0;
    if (in.has("refine_step_size")) knobs.refineStepSize = in.real("refine_step_size");
    if (in.has("weight_decay")) knobs.weightDecay = in.real("weight_decay");
    // A state from before the held-out penalty trained with a fixed one: it keeps doing so.
    knobs.maxWeightDecay = in.has("max_weight_decay") ? in.real("max_weight_decay") : 0.0;
    if (in.has("hold_out")) knobs.holdOut = in.flag("hold_out");
    in.finish();
    if (const std::string problem = knobs.problem(); !problem.empty()) in.refuse(problem);
    reinterpret_cast<GammaObject*>(self)->settings = knobs;
    in.restoreAttributes();
}

// A callback travels with its settings and its progress as the attributes
// show them. The network kept for restore_best_weights is not part of it: the
// training call's CallbackList holds that, and the next call starts afresh.

PyRef earlyStoppingState(PyObject* self) {
    const EarlyStoppingObject* stopping = reinterpret_cast<EarlyStoppingObject*>(self);
    StateWriter out(self, kEarlyStoppingVersion);
    out.putObject("monitor", stopping->monitor);
    out.putReal("min_delta", stopping->minDelta);
    out.putInt("patience", stopping->patience);
    out.putOptionalReal("baseline", stopping->hasBaseline, stopping->baseline);
    out.putFlag("restore_best_weights", stopping->restoreBestWeights);
    out.putInt("wait", stopping->wait);
    out.putOptionalReal("best", stopping->hasBest, stopping->best);
    out.putInt("best_epoch", stopping->bestEpoch);
    out.putInt("stopped_epoch", stopping->stoppedEpoch);
    return out.finish();
}

void restoreEarlyStopping(PyObject* self, PyObject* state) {
    StateReader in(self, state, kEarlyStoppingVersion);
    PyRef monitor = in.text("monitor");
    const double minDelta = in.real("min_delta");
    const int32_t patience = in.int32("patience");
    const std::optional<double> baseline = in.optionalReal("baseline");
    const bool restoreBestWeights = in.flag("restore_best_weights");
    const int32_t wait = in.int32("wait");
    const std::optional<double> best = in.optionalReal("best");
    const int32_t bestEpoch = in.int32("best_epoch");
    const int32_t stoppedEpoch = in.int32("stopped_epoch");
    in.finish();
    // The constructor stores |min_delta|; the comparison relies on it.
    if (minDelta < 0.0) in.refuse(mustNotBeNegative("min_delta"));
    if (wait < 0) in.refuse(mustNotBeNegative("wait"));
    if (bestEpoch < 0) in.refuse(mustNotBeNegative("best_epoch"));
    if (stoppedEpoch < 0) in.refuse(mustNotBeNegative("stopped_epoch"));

    EarlyStoppingObject* stopping = reinterpret_cast<EarlyStoppingObject*>(self);
    stopping->minDelta = minDelta;
    stopping->patience = patience;
    stopping->hasBaseline = baseline.has_value();
    stopping->baseline = baseline.value_or(0.0);
    stopping->restoreBestWeights = restoreBestWeights;
    stopping->wait = wait;
    stopping->hasBest = best.has_value();
    stopping->best = best.value_or(0.0);
    stopping->bestEpoch = bestEpoch;
    stopping->stoppedEpoch = stoppedEpoch;
    // Last: releasing the old str may run Python code.
    Py_XSETREF(stopping->monitor, monitor.release());
    in.restoreAttributes();
}

PyRef checkpointState(PyObject* self) {
    const ModelCheckpointObject* checkpoint = reinterpret_cast<ModelCheckpointObject*>(self);
    StateWriter out(self, kCheckpointVersion);
    out.putObject("filepath", checkpoint->filepath);
    out.putObject("monitor", checkpoint->monitor);
    out.putFlag("save_best_only", checkpoint->saveBestOnly);
    out.putOptionalReal("best", checkpoint->hasBest, checkpoint->best);
    return out.finish();
}

void restoreCheckpoint(PyObject* self, PyObject* state) {
    StateReader in(self, state, kCheckpointVersion);
    PyRef filepath = in.text("filepath");
    PyRef monitor = in.text("monitor");
    const bool saveBestOnly = in.flag("save_best_only");
    const std::optional<double> best = in.optionalReal("best");
    in.finish();

    ModelCheckpointObject* checkpoint = reinterpret_cast<ModelCheckpointObject*>(self);
    checkpoint->saveBestOnly = saveBestOnly;
    checkpoint->hasBest = best.has_value();
    checkpoint->best = best.value_or(0.0);
    // Both stored before either old str is released: releasing may run Python code.
    PyObject* oldPath = std::exchange(checkpoint->filepath, filepath.release());
    PyObject* oldMonitor = std::exchange(checkpoint->monitor, monitor.release());
    Py_XDECREF(oldPath);
    Py_XDECREF(oldMonitor);
    in.restoreAttributes();
}

PyRef backupState(PyObject* self) {
    const BackupAndRestoreObject* backup = reinterpret_cast<BackupAndRestoreObject*>(self);
    StateWriter out(self, kBackupVersion);
    out.putObject("backup_dir", backup->backupDir);
    out.putInt("save_freq", backup->everyEpoch ? 0 : backup->saveFreq);  // 0: "epoch"
    out.putFlag("delete_checkpoint", backup->deleteCheckpoint);
    return out.finish();
}

void restoreBackup(PyObject* self, PyObject* state) {
    StateReader in(self, state, kBackupVersion);
    PyRef backupDir = in.text("backup_dir");
    const int32_t saveFreq = in.int32("save_freq");
    const bool deleteCheckpoint = in.flag("delete_checkpoint");
    in.finish();
    if (saveFreq < 0) in.refuse(mustNotBeNegative("save_freq"));
    if (PyUnicode_GetLength(backupDir.get()) == 0) in.refuse("'backup_dir' must not be empty");

    BackupAndRestoreObject* backup = reinterpret_cast<BackupAndRestoreObject*>(self);
    backup->everyEpoch = saveFreq == 0;
    backup->saveFreq = saveFreq == 0 ? 1 : saveFreq;
    backup->deleteCheckpoint = deleteCheckpoint;
    // Last: releasing the old str may run Python code.
    Py_XSETREF(backup->backupDir, backupDir.release());
    in.restoreAttributes();
}

// ---- the methods, the same for every type -----------------------------------

using StateOf = PyRef (*)(PyObject*);
using Restore = void (*)(PyObject*, PyObject*);

// A new object of self's type as unpickling makes it: __new__ without __init__.
PyRef blankLike(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyRef noArgs = check(PyRef::steal(PyTuple_New(0)));
    PyRef blank = check(PyRef::steal(type->tp_new(type, noArgs.get(), nullptr)));
    // A subclass's __new__ may return anything; the record is written only into its own type.
    if (!PyObject_TypeCheck(blank.get(), type)) {
        raise(PyExc_TypeError, std::string("cannot copy a ") + type->tp_name + ": its __new__ returned a " +
                                   Py_TYPE(blank.get())->tp_name);
    }
    return blank;
}

PyObject* reduce(PyObject* self, StateOf state) {
    return guarded([&]() -> PyObject* { return reduceWithState(self, state(self)); });
}

PyObject* setState(PyObject* self, PyObject* state, Restore restore) {
    return guarded([&]() -> PyObject* {
        restore(self, state);
        Py_RETURN_NONE;
    });
}

PyObject* shallowCopy(PyObject* self, StateOf state, Restore restore) {
    return guarded([&]() -> PyObject* {
        PyRef copy = blankLike(self);
        PyRef taken = state(self);
        restore(copy.get(), taken.get());
        return copy.release();
    });
}

PyObject* deepCopy(PyObject* self, PyObject* memo, StateOf state, Restore restore) {
    return guarded([&]() -> PyObject* {
        PyRef ownMemo;
        if (memo == Py_None) {
            ownMemo = check(PyRef::steal(PyDict_New()));
            memo = ownMemo.get();
        }
        PyRef copy = blankLike(self);
        // Registered first, so that attributes referring back to self refer to the copy.
        PyRef id = check(PyRef::steal(PyLong_FromVoidPtr(self)));
        if (PyObject_SetItem(memo, id.get(), copy.get()) < 0) throw PythonErrorSet{};
        PyRef taken = state(self);
        PyRef copyModule = check(PyRef::steal(PyImport_ImportModule("copy")));
        PyRef copied =
            check(PyRef::steal(PyObject_CallMethod(copyModule.get(), "deepcopy", "OO", taken.get(), memo)));
        restore(copy.get(), copied.get());
        return copy.release();
    });
}

}  // namespace

PyObject* Model_reduce(PyObject* self, PyObject*) { return reduce(self, modelState); }
PyObject* Model_setstate(PyObject* self, PyObject* state) { return setState(self, state, restoreModel); }
PyObject* Model_copy(PyObject* self, PyObject*) { return shallowCopy(self, modelState, restoreModel); }
PyObject* Model_deepcopy(PyObject* self, PyObject* memo) { return deepCopy(self, memo, modelState, restoreModel); }

PyObject* Genome_reduce(PyObject* self, PyObject*) { return reduce(self, genomeState); }
PyObject* Genome_setstate(PyObject* self, PyObject* state) { return setState(self, state, restoreGenome); }
PyObject* Genome_copy(PyObject* self, PyObject*) { return shallowCopy(self, genomeState, restoreGenome); }
PyObject* Genome_deepcopy(PyObject* self, PyObject* memo) { return deepCopy(self, memo, genomeState, restoreGenome); }

PyObject* Alpha_reduce(PyObject* self, PyObject*) { return reduce(self, alphaState); }
PyObject* Alpha_setstate(PyObject* self, PyObject* state) { return setState(self, state, restoreAlpha); }
PyObject* Alpha_copy(PyObject* self, PyObject*) { return shallowCopy(self, alphaState, restoreAlpha); }
PyObject* Alpha_deepcopy(PyObject* self, PyObject* memo) { return deepCopy(self, memo, alphaState, restoreAlpha); }

PyObject* Beta_reduce(PyObject* self, PyObject*) { return reduce(self, betaState); }
PyObject* Beta_setstate(PyObject* self, PyObject* state) { return setState(self, state, restoreBeta); }

PyObject* Gamma_reduce(PyObject* self, PyObject*) { return reduce(self, gammaState); }
PyObject* Gamma_setstate(PyObject* self, PyObject* state) { return setState(self, state, restoreGamma); }

PyObject* EarlyStopping_reduce(PyObject* self, PyObject*) { return reduce(self, earlyStoppingState); }
PyObject* EarlyStopping_setstate(PyObject* self, PyObject* state) {
    return setState(self, state, restoreEarlyStopping);
}
PyObject* EarlyStopping_copy(PyObject* self, PyObject*) {
    return shallowCopy(self, earlyStoppingState, restoreEarlyStopping);
}
PyObject* EarlyStopping_deepcopy(PyObject* self, PyObject* memo) {
    return deepCopy(self, memo, earlyStoppingState, restoreEarlyStopping);
}

PyObject* ModelCheckpoint_reduce(PyObject* self, PyObject*) { return reduce(self, checkpointState); }
PyObject* ModelCheckpoint_setstate(PyObject* self, PyObject* state) {
    return setState(self, state, restoreCheckpoint);
}
PyObject* ModelCheckpoint_copy(PyObject* self, PyObject*) {
    return shallowCopy(self, checkpointState, restoreCheckpoint);
}
PyObject* ModelCheckpoint_deepcopy(PyObject* self, PyObject* memo) {
    return deepCopy(self, memo, checkpointState, restoreCheckpoint);
}

PyObject* BackupAndRestore_reduce(PyObject* self, PyObject*) { return reduce(self, backupState); }
PyObject* BackupAndRestore_setstate(PyObject* self, PyObject* state) { return setState(self, state, restoreBackup); }
PyObject* BackupAndRestore_copy(PyObject* self, PyObject*) { return shallowCopy(self, backupState, restoreBackup); }
PyObject* BackupAndRestore_deepcopy(PyObject* self, PyObject* memo) {
    return deepCopy(self, memo, backupState, restoreBackup);
}

}  // namespace kestrin::py
