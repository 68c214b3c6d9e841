// Keras-style callbacks of Model.evolve and Model.func_evolve: the submodule
// kestrin.callbacks with its two types, and CallbackList, which drives the
// callbacks of one training call. Any object may be a callback; each of its
// methods set_model, set_params, on_train_begin, on_epoch_begin,
// on_train_batch_begin, on_train_batch_end, on_epoch_end and on_train_end is
// looked up when it is due and called if present, as Keras does.
// EarlyStopping and ModelCheckpoint are run natively, so that they keep and
// save C++ networks without going through Python; BackupAndRestore is run by
// the training call itself (python/backup_run.h).
#pragma once

#include "python/pyref.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "network/network.h"

namespace kestrin::py {

struct EarlyStoppingObject {
    PyObject_HEAD
    PyObject* monitor;  // str
    double minDelta;    // >= 0: an improvement must beat the best by more than this
    int patience;
    bool hasBaseline;
    double baseline;
    bool restoreBestWeights;
    // The state of the last training call, reset when one begins (Keras's names).
    int wait;
    int stoppedEpoch;
    bool hasBest;
    double best;
    int bestEpoch;
};

struct ModelCheckpointObject {
    PyObject_HEAD
    PyObject* filepath;  // str, with str.format fields
    PyObject* monitor;   // str
    bool saveBestOnly;
    // Kept across training calls, as Keras does.
    bool hasBest;
    double best;
};

struct BackupAndRestoreObject {
    PyObject_HEAD
    PyObject* backupDir;  // str
    int saveFreq;         // a backup after every saveFreq-th epoch
    bool everyEpoch;      // save_freq was given as "epoch"
    bool deleteCheckpoint;
};

extern PyTypeObject EarlyStoppingType;
extern PyTypeObject ModelCheckpointType;
extern PyTypeObject BackupAndRestoreType;

// The submodule kestrin.callbacks (a new reference, or null with an error set).
PyObject* makeCallbacksModule();

// A new logs dict of the epoch at hand; every callback gets its own.
using MakeLogs = std::function<PyRef()>;

// The callbacks of one training call, in the order given. Every member needs
// the interpreter lock and throws PythonErrorSet when a callback raises.
class CallbackList {
public:
    // None or null: no callbacks; a list or tuple: its items, copied; a Keras
    // CallbackList: the items of its `callbacks`; anything else TypeError.
    explicit CallbackList(PyObject* argument);

    bool empty() const { return entries_.empty(); }

    // Keras's params: the call's verbose and epochs, and its batches per epoch.
    struct Params {
        int verbose;
        int epochs;
        int steps;
    };
    // set_model(model) and set_params(params) on every callback, then on_train_begin({}).
    void trainBegin(PyObject* model, const Params& params);
    void epochBegin(int epoch);
    // on_train_batch_begin(batch, {}) and on_train_batch_end(batch, logs) of the
    // callbacks that have them; logs as for epochEnd.
    bool wantsBatches() const { return wantsBatches_; }
    void batchBegin(int batch);
    void batchEnd(int batch, const MakeLogs& logs);
    // best: the network the model would receive if training stopped now.
    void epochEnd(int epoch, const MakeLogs& logs, const Network& best);
    // The network an EarlyStopping with restore_best_weights kept (the last
    // such callback in the list wins, as in Keras), or null.
    Network* restoredNetwork();
    // logs may be empty (no epoch ran): the callbacks get {}.
    void trainEnd(const MakeLogs& logs);

    // The list's BackupAndRestore (at most one), or null.
    BackupAndRestoreObject* backup() const { return backup_; }
    // The type names of the callbacks whose state a backup keeps, in order.
    std::string keptKinds() const;
    // Those callbacks' states (pickled, with the networks restore_best_weights
    // kept), and back after trainBegin; ValueError for states of another list.
    std::string savedStates() const;
    void restoreStates(const std::string& saved);

private:
    enum class Kind { generic, earlyStopping, checkpoint, backup };
    struct Entry {
        PyRef object;
        Kind kind;
        std::optional<Network> kept;  // restore_best_weights
    };
    std::vector<Entry> entries_;
    PyRef model_;
    bool wantsBatches_ = false;
    BackupAndRestoreObject* backup_ = nullptr;  // borrowed from entries_
};

}  // namespace kestrin::py
