// The pickled state of kestrin's extension types: a dict of plain values
// (ints, bools, floats, bytes, tuples of ids, kestrin objects) under fixed keys,
// with a format version, plus the instance attributes of subclass instances
// under "attributes". States come from files and networks, so the reader
// accepts nothing else: every defect is a ValueError, and a state is checked
// whole before the record changes.
//
// A type pickles through reduceWithState(self, writer.finish()) and restores
// in __setstate__ with a StateReader: read every field into locals, finish(),
// write the record, then restoreAttributes(). Call everything inside guarded().
#pragma once

#include "python/pyref.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "network/network.h"

namespace kestrin::py {

class StateWriter {
public:
    StateWriter(PyObject* self, long version);

    void putInt(const char* key, long long value);
    void putFlag(const char* key, bool value);
    void putReal(const char* key, double value);
    void putOptionalReal(const char* key, bool present, double value);  // None when absent
    void putBytes(const char* key, const std::string& bytes);
    void putIds(const char* key, const std::vector<int32_t>& ids);
    void putNetwork(const char* key, const Network& network);  // its '.kn' bytes
    void putObject(const char* key, PyObject* object);         // null as None

    // The state, with a copy of the instance's attributes when it has any.
    PyRef finish();

private:
    void put(const char* key, PyRef value);

    PyObject* self_;
    PyRef state_;
};

class StateReader {
public:
    // Refuses anything but a dict with str keys holding this format version.
    StateReader(PyObject* self, PyObject* state, long version);

    // Whether the state holds key: lets a field added later default when absent.
    bool has(const char* key) const;

    int32_t int32(const char* key);
    bool flag(const char* key);
    double real(const char* key);
    // A float, or None as nullopt.
    std::optional<double> optionalReal(const char* key);
    // A str, as an exact str (a subclass's text is copied).
    PyRef text(const char* key);
    // A tuple or list of ints in lowest..highest.
    std::vector<int32_t> ids(const char* key, int32_t lowest, int32_t highest);
    // The bytes refused as the '.kn' reader refuses a file.
    Network network(const char* key);
    // Borrowed; the reader holds the state.
    PyObject* object(const char* key);

    [[noreturn]] void refuse(const std::string& defect) const;

    // Checks the attributes and refuses keys no read asked for; call after the
    // last read, before changing the record.
    void finish();
    // Puts the attributes into the instance's __dict__. Last: it may run Python code.
    void restoreAttributes();

private:
    PyObject* value(const char* key);

    PyObject* self_;
    PyRef state_;
    std::vector<const char*> read_;
    PyRef attributes_;
};

// (copyreg.__newobj__, (type(self),), state): unpickling makes the object with
// type(self).__new__, without __init__ (which would draw new weights), then
// hands the state to __setstate__.
PyObject* reduceWithState(PyObject* self, PyRef state);

}  // namespace kestrin::py
