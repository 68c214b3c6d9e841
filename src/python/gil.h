// Scopes for the interpreter lock. Pure C++ work (scoring, the generation
// steps) runs with the lock released so that other Python threads keep going;
// anything that touches a Python object takes it back first. Both scopes pair
// every change with its undo on every path, exceptions included.
//
// At interpreter exit CPython ends a daemon thread that waits for the lock
// with pthread_exit, whose forced unwind runs through our frames. It must pass
// (no noexcept frame, every catch-all rethrows it: see guarded()), and what is
// unwound on the way must not touch Python, for that thread no longer holds
// the lock (~PyRef and ~HeldGil check).
#pragma once

#include "python/pyref.h"

namespace kestrin::py {

// Set on a thread that CPython is ending while it waits for the lock: the
// scopes unwound after that must not take the lock back (a second exit from
// a cleanup would terminate the process).
inline thread_local bool lockGoneForGood = false;

// Releases the lock for the lifetime of the scope. Code inside must touch no
// Python object and no model record, except through a HeldGil scope.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    // noexcept(false): CPython's forced unwind may start in here.
    ~ReleasedGil() noexcept(false) {
        if (lockGoneForGood) return;
        lockGoneForGood = true;  // until the lock is back: CPython may end the thread in here
        PyEval_RestoreThread(state_);
        lockGoneForGood = false;
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// Holds the lock for the lifetime of the scope, whether or not the thread held
// it before: the callbacks of a loop that runs inside a ReleasedGil scope use it.
// A Python error set inside stays set on the thread's state after the scope.
class HeldGil {
public:
    HeldGil() : state_(ensure()) {}
    ~HeldGil() {
        // Python code inside may have lost the lock for good (its thread is being ended).
        if (!PyGILState_Check()) {
            lockGoneForGood = true;
            return;
        }
        PyGILState_Release(state_);
    }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;

private:
    static PyGILState_STATE ensure() {
        lockGoneForGood = true;
        const PyGILState_STATE state = PyGILState_Ensure();
        lockGoneForGood = false;
        return state;
    }

    PyGILState_STATE state_;
};

}  // namespace kestrin::py
