// kestrin.optimizers.Beta and Gamma, and the conversion of a compiled optimizer into the
// evolution strategy the training loops run.
#include "python/pyref.h"

#include <structmember.h>

#include <cstddef>
#include <memory>
#include <new>
#include <cstring>
#include <string>

#include "evolution/beta_strategy.h"
#include "evolution/gamma_strategy.h"
#include "python/boundary.h"
#include "python/methods.h"
#include "python/records.h"
#include "python/type_object.h"

namespace kestrin::py {
namespace {

BetaObject* asBeta(PyObject* self) { return reinterpret_cast<BetaObject*>(self); }

// The knobs in constructor order; the format below follows it.
const char* const kBetaKeywords[] = {"crossover_rate",   "tournament_size",  "islands", "step_size",
                                     "gene_rate",        "replace_rate",     "activation_rate",
                                     "add_node_rate",    "remove_node_rate", "add_connection_rate",
                                     "remove_connection_rate", "parsimony",  "refine_steps",
                                     "refine_rate",      "refine_best",      "refine_method",
                                     nullptr};

const char* methodName(const BetaSettings& s) { return s.refineLbfgs ? "lbfgs" : "adam"; }

// Reads the knobs from kwargs over `settings`; nothing is stored unless every one is valid.
int applyKnobs(BetaObject* beta, PyObject* args, PyObject* kwargs, BetaSettings settings) {
    const char* method = methodName(settings);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$diidddddddddidis:Beta", const_cast<char**>(kBetaKeywords),
                                     &settings.crossoverRate, &settings.tournamentSize, &settings.islands, &settings.stepSize,
                                     &settings.geneRate, &settings.replaceRate, &settings.activationRate,
                                     &settings.addNodeRate, &settings.removeNodeRate, &settings.addConnectionRate,
                                     &settings.removeConnectionRate, &settings.parsimony, &settings.refineSteps,
                                     &settings.refineRate, &settings.refineBest, &method)) {
        return -1;
    }
    if (std::strcmp(method, "adam") != 0 && std::strcmp(method, "lbfgs") != 0) {
        raise(PyExc_ValueError, std::string("refine_method must be 'adam' or 'lbfgs', got '") + method + "'.");
    }
    settings.refineLbfgs = std::strcmp(method, "lbfgs") == 0;
    if (const std::string problem = settings.problem(); !problem.empty()) raise(PyExc_ValueError, problem);
    beta->settings = settings;
    return 0;
}

PyObject* Beta_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* self = check(type->tp_alloc(type, 0));
        new (&asBeta(self)->settings) BetaSettings();
        return self;
    });
}

int Beta_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int { return applyKnobs(asBeta(self), args, kwargs, BetaSettings()); });
}

void Beta_dealloc(PyObject* self) {
    asBeta(self)->settings.~BetaSettings();
    Py_TYPE(self)->tp_free(self);
}

// The knobs as keyword arguments, in constructor order.
PyRef knobs(const BetaSettings& s) {
    return check(PyRef::steal(Py_BuildValue(
        "{sdsisisdsdsdsdsdsdsdsdsdsisdsiss}", "crossover_rate", s.crossoverRate, "tournament_size", s.tournamentSize,
        "islands", s.islands,
        "step_size", s.stepSize, "gene_rate", s.geneRate, "replace_rate", s.replaceRate, "activation_rate",
        s.activationRate, "add_node_rate", s.addNodeRate, "remove_node_rate", s.removeNodeRate,
        "add_connection_rate", s.addConnectionRate, "remove_connection_rate", s.removeConnectionRate, "parsimony",
        s.parsimony, "refine_steps", s.refineSteps, "refine_rate", s.refineRate, "refine_best", s.refineBest, "refine_method",
        methodName(s))));
}

// "Name(keyword=repr, ...)" for the keywords in order, each value's repr from values.
PyObject* knobsRepr(const char* name, const char* const* keywords, const PyRef& values) {
    std::string text = std::string(name) + "(";
    for (int k = 0; keywords[k] != nullptr; ++k) {
        PyObject* value = PyDict_GetItemString(values.get(), keywords[k]);  // borrowed
        PyRef shown = check(PyRef::steal(PyObject_Repr(value)));
        const char* utf8 = PyUnicode_AsUTF8(shown.get());
        if (utf8 == nullptr) throw PythonErrorSet{};
        text += std::string(k == 0 ? "" : ", ") + keywords[k] + "=" + utf8;
    }
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* Beta_repr(PyObject* self) {
    return guarded([&]() -> PyObject* { return knobsRepr("Beta", kBetaKeywords, knobs(asBeta(self)->settings)); });
}

PyMethodDef betaMethods[] = {
    {"__reduce__", Beta_reduce, METH_NOARGS, "Helper for pickle."},
    {"__setstate__", Beta_setstate, METH_O, "Helper for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

#define BETA_KNOB(name, type, field) \
    {name, type, static_cast<Py_ssize_t>(offsetof(BetaObject, settings) + offsetof(BetaSettings, field)), READONLY, nullptr}

PyMemberDef betaMembers[] = {
    BETA_KNOB("crossover_rate", T_DOUBLE, crossoverRate),
    BETA_KNOB("tournament_size", T_INT, tournamentSize),
    BETA_KNOB("islands", T_INT, islands),
    BETA_KNOB("step_size", T_DOUBLE, stepSize),
    BETA_KNOB("gene_rate", T_DOUBLE, geneRate),
    BETA_KNOB("replace_rate", T_DOUBLE, replaceRate),
    BETA_KNOB("activation_rate", T_DOUBLE, activationRate),
    BETA_KNOB("add_node_rate", T_DOUBLE, addNodeRate),
    BETA_KNOB("remove_node_rate", T_DOUBLE, removeNodeRate),
    BETA_KNOB("add_connection_rate", T_DOUBLE, addConnectionRate),
    BETA_KNOB("remove_connection_rate", T_DOUBLE, removeConnectionRate),
    BETA_KNOB("parsimony", T_DOUBLE, parsimony),
    BETA_KNOB("refine_steps", T_INT, refineSteps),
    BETA_KNOB("refine_rate", T_DOUBLE, refineRate),
    BETA_KNOB("refine_best", T_INT, refineBest),
    {nullptr, 0, 0, 0, nullptr},
};

#undef BETA_KNOB

PyObject* Beta_get_refine_method(PyObject* self, void*) { return PyUnicode_FromString(methodName(asBeta(self)->settings)); }

PyGetSetDef betaGetSets[] = {
    {"refine_method", Beta_get_refine_method, nullptr, "'adam' or 'lbfgs': how children are refined.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kBetaDoc =
    "Beta(*, crossover_rate=0.25, tournament_size=2, islands=4, step_size=0.5, gene_rate=0.5, replace_rate=0.0, "
    "activation_rate=0.05, add_node_rate=0.05, remove_node_rate=0.02, add_connection_rate=0.05, "
    "remove_connection_rate=0.02, parsimony=0.0, refine_steps=0, refine_rate=0.01, refine_best=0, refine_method='adam')\n--\n\n"
    "An optimizer that learns with fewer evaluations than Alpha: a (mu + lambda) evolution strategy.\n\n"
    "The population starts diverse (the model's network and copies of its structure with their own random\n"
    "weights). Each generation makes one child per member from parents chosen by tournaments of\n"
    "`tournament_size` on their losses, crossed with a second parent at `crossover_rate`. Every child is\n"
    "changed: each weight and bias is moved by a Gaussian step with chance `gene_rate` (the step size starts\n"
    "at `step_size` and adapts itself per member) or re-drawn with chance `replace_rate`; one activation is\n"
    "re-drawn with chance `activation_rate`; nodes and connections are added and removed with the chances\n"
    "`add_node_rate`, `remove_node_rate`, `add_connection_rate` and `remove_connection_rate` (new nodes and\n"
    "connections start without changing what the network computes). Parents and children are scored\n"
    "together and the best half survives; `parsimony` adds that share of a network's loss per hidden node\n"
    "when ranking, so networks stay small unless their size pays. Rates are chances between 0 and 1.\n\n"
    "With `refine_steps` above 0, `evolve` refines every child (or only the `refine_best` best of each island,\n"
    "ranked by their loss before refinement, when that is above 0) by that many Adam steps of size `refine_rate`\n"
    "(`refine_method='adam'`) or L-BFGS iterations (`'lbfgs'`) on the current batch before ranking, and the\n"
    "refined weights and biases are kept. The loss must have a\n"
    "derivative (see Model.gradients). `func_evolve` has no gradient: there the three are ignored.";

}  // namespace

PyTypeObject BetaType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.optimizers.Beta";
    type.tp_basicsize = sizeof(BetaObject);
    type.tp_itemsize = 0;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = kBetaDoc;
    type.tp_dealloc = Beta_dealloc;
    type.tp_new = Beta_new;
    type.tp_init = Beta_init;
    type.tp_repr = Beta_repr;
    type.tp_methods = betaMethods;
    type.tp_members = betaMembers;
    type.tp_getset = betaGetSets;
    return type;
}();

namespace {

// ---- Gamma ----------------------------------------------------------------------

GammaObject* asGamma(PyObject* self) { return reinterpret_cast<GammaObject*>(self); }

const char* const kGammaKeywords[] = {"step_size", "hidden", "grow_patience", "max_hidden", "separable_above",
                                      "refine_passes", "refine_step_size", "refine_hidden", "refine_grow_patience",
                                      "weight_decay", "max_weight_decay", "hold_out", nullptr};

PyObject* Gamma_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* self = check(type->tp_alloc(type, 0));
        new (&asGamma(self)->settings) GammaSettings();
        return self;
    });
}

// Nothing is stored unless every knob is valid.
int Gamma_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        GammaSettings settings;
        int holdOut = settings.holdOut ? 1 : 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$diiiiidiiddp:Gamma", const_cast<char**>(kGammaKeywords),
                                         &settings.stepSize, &settings.hidden, &settings.growPatience,
                                         &settings.maxHidden, &settings.separableAbove, &settings.refinePasses,
                                         &settings.refineStepSize, &settings.refineHidden, &settings.refineGrowPatience,
                                         &settings.weightDecay, &settings.maxWeightDecay, &holdOut)) {
            return -1;
        }
        settings.holdOut = holdOut != 0;
        if (const std::string problem = settings.problem(); !problem.empty()) raise(PyExc_ValueError, problem);
        asGamma(self)->settings = settings;
        return 0;
    });
}

void Gamma_dealloc(PyObject* self) {
    asGamma(self)->settings.~GammaSettings();
    Py_TYPE(self)->tp_free(self);
}

PyRef knobs(const GammaSettings& s) {
    return check(PyRef::steal(Py_BuildValue("{sdsisisisisisdsisisdsdsO}", "step_size", s.stepSize, "hidden", s.hidden,
                                            "grow_patience", s.growPatience, "max_hidden", s.maxHidden,
                                            "separable_above", s.separableAbove, "refine_passes", s.refinePasses,
                                            "refine_step_size", s.refineStepSize, "refine_hidden", s.refineHidden,
                                            "refine_grow_patience", s.refineGrowPatience, "weight_decay", s.weightDecay,
                                            "max_weight_decay", s.maxWeightDecay, "hold_out",
                                            s.holdOut ? Py_True : Py_False)));
}

PyObject* Gamma_repr(PyObject* self) {
    return guarded([&]() -> PyObject* { return knobsRepr("Gamma", kGammaKeywords, knobs(asGamma(self)->settings)); });
}

PyMethodDef gammaMethods[] = {
    {"__reduce__", Gamma_reduce, METH_NOARGS, "Helper for pickle."},
    {"__setstate__", Gamma_setstate, METH_O, "Helper for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

#define GAMMA_KNOB(name, type, field) \
    {name, type, static_cast<Py_ssize_t>(offsetof(GammaObject, settings) + offsetof(GammaSettings, field)), READONLY, nullptr}

PyMemberDef gammaMembers[] = {
    GAMMA_KNOB("step_size", T_DOUBLE, stepSize),
    GAMMA_KNOB("hidden", T_INT, hidden),
    GAMMA_KNOB("grow_patience", T_INT, growPatience),
    GAMMA_KNOB("max_hidden", T_INT, maxHidden),
    GAMMA_KNOB("separable_above", T_INT, separableAbove),
    GAMMA_KNOB("refine_passes", T_INT, refinePasses),
    GAMMA_KNOB("refine_step_size", T_DOUBLE, refineStepSize),
    GAMMA_KNOB("refine_hidden", T_INT, refineHidden),
    GAMMA_KNOB("refine_grow_patience", T_INT, refineGrowPatience),
    GAMMA_KNOB("weight_decay", T_DOUBLE, weightDecay),
    GAMMA_KNOB("max_weight_decay", T_DOUBLE, maxWeightDecay),
    GAMMA_KNOB("hold_out", T_BOOL, holdOut),
    {nullptr, 0, 0, 0, nullptr},
};

#undef GAMMA_KNOB

constexpr const char* kGammaDoc =
    "Gamma(*, step_size=1.0, hidden=8, grow_patience=0, max_hidden=32, separable_above=200, refine_passes=100, "
    "refine_step_size=0.25, refine_hidden=16, refine_grow_patience=60, weight_decay=0.0, max_weight_decay=16.0, "
    "hold_out=True)\n--\n\n"
    "An optimizer for small networks and costly fitness functions: CMA-ES on the network's weights and biases.\n\n"
    "A model without hidden nodes is searched on a small dense network of its own: `hidden` tanh nodes fed by\n"
    "the inputs, and linear outputs fed by the inputs and the hidden nodes; the hidden nodes' incoming weights\n"
    "start at random (LeCun's spread), every other gene at 0, so the network starts out computing 0. A model\n"
    "with hidden nodes is searched as it is, from its weights. Samples are drawn from a normal distribution\n"
    "whose mean, step size and covariance adapt as in Hansen's CMA-ES. Every gene starts with spread\n"
    "`step_size`, a weight's divided by the square root of its target's fan-in and, where samples search\n"
    "alone, a bias's by that of the fan-in plus one (as a weight on an input that is always 1); the\n"
    "covariance is diagonal once there are more than `separable_above` genes, so a generation stays cheap.\n\n"
    "Each generation scores the mean, the best network so far (again, so a changing loss is judged afresh)\n"
    "and 2 x pop_size - 2 samples: func_evolve hands the fitness function 2 x pop_size genomes, as for every\n"
    "optimizer. The population is the best pop_size of them. Small populations suit Gamma: pop_size around\n"
    "(4 + 3 ln(genes)) / 2, even, so 6 to 16 (10 is a good default), with the epochs that fill the budget.\n\n"
    "In `evolve`, each generation first moves the mean by L-BFGS on the current batch, spending at most\n"
    "`refine_passes` loss-and-gradient passes (each costs about 2.5 loss evaluations; 0: none) on the\n"
    "loss plus `weight_decay` / samples x the sum of the squared weights, and the samples are drawn around\n"
    "the refined mean, with the initial spread `refine_step_size` in place of `step_size` (they only look\n"
    "around a mean the gradient has placed), and a model without hidden nodes starts with `refine_hidden` of\n"
    "them in place of `hidden` (the gradient tunes more genes per evaluation than samples do), and grows\n"
    "after `refine_grow_patience` in place of `grow_patience` (see below). With\n"
    "`hold_out` (and a batch of 60 rows or more), L-BFGS fits four rows in five and keeps the genes that\n"
    "best predict the fifth, so it does not fit the noise of a small dataset, and stops once 20 passes in a\n"
    "row have not predicted it better. When no pass predicted it better than the mean did, the passes could\n"
    "only fit the batch's noise: the next refinement's penalty per squared weight doubles (from 0.1, up to\n"
    "`max_weight_decay`; 0: no such rise), and a refinement that moves the mean halves it (to 0 below 0.1).\n"
    "On data without noise it stays 0. While it is above 0, the mean is kept as the best network (the one\n"
    "the model receives, whose loss the history records), not the sample that fitted the batch best: there\n"
    "a sample's lead is mostly noise. `weight_decay` is a floor under it, for every batch; where every\n"
    "sample must be fitted exactly (XOR) a fixed penalty gets in the way, hence 0 by default.\n"
    "`func_evolve` has no gradient: there these knobs are ignored.\n\n"
    "When the best loss has not improved by 0.1% for `grow_patience` + 30 x genes / samples generations\n"
    "(0: never grow), a tanh node is added before the outputs (up to `max_hidden` hidden nodes) with outgoing\n"
    "weights 0, so the network computes what it did. Where samples search alone, the genes a node adds cost\n"
    "more than its capacity gains, hence 0 by default; around a refined mean it pays off in long runs, and\n"
    "the wait is `refine_grow_patience` generations alone (the gradient, not the covariance, searches\n"
    "nearby), with no growth while the held-out penalty is on. When\n"
    "the distribution collapses, the search restarts around the best network seen, with a generation twice\n"
    "as long (IPOP).";

}  // namespace

PyTypeObject GammaType = [] {
    PyTypeObject type = blankType();
    type.tp_name = "kestrin.optimizers.Gamma";
    type.tp_basicsize = sizeof(GammaObject);
    type.tp_itemsize = 0;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = kGammaDoc;
    type.tp_dealloc = Gamma_dealloc;
    type.tp_new = Gamma_new;
    type.tp_init = Gamma_init;
    type.tp_repr = Gamma_repr;
    type.tp_methods = gammaMethods;
    type.tp_members = gammaMembers;
    return type;
}();

std::shared_ptr<EvolutionStrategy> strategyFor(PyObject* optimizer) {
    if (optimizer != nullptr && PyObject_TypeCheck(optimizer, &GammaType)) {
        return std::make_shared<GammaStrategy>(asGamma(optimizer)->settings);
    }
    if (optimizer == nullptr || !PyObject_TypeCheck(optimizer, &BetaType)) return nullptr;
    return std::make_shared<BetaStrategy>(asBeta(optimizer)->settings);
}

}  // namespace kestrin::py
