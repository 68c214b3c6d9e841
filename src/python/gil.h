// Scopes for the interpreter lock. Pure C++ work (scoring, the generation
// steps) runs with the lock released so that other Python threads keep going;
// anything that touches a Python object takes it back first. Both scopes pair
// every change with its undo on every path, exceptions included.
#pragma once

#include "python/pyref.h"

namespace kestrin::py {

// Releases the lock for the lifetime of the scope. Code inside must touch no
// Python object and no model record, except through a HeldGil scope.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
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
    HeldGil() : state_(PyGILState_Ensure()) {}
    ~HeldGil() { PyGILState_Release(state_); }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace kestrin::py
