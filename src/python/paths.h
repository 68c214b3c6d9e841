// File paths given from Python: a str or any os.PathLike whose __fspath__
// gives a str, as open() takes them.
#pragma once

#include "python/pyref.h"

#include <string>

namespace kestrin::py {

// The UTF-8 text of path. A str is read as the "s" argument format reads it,
// and an os.PathLike is first turned into its str by os.fspath, so both give
// the format's errors (embedded NUL, unencodable text). Anything else, bytes
// included, gets the format's TypeError ("argument 1 must be str, not int").
// Throws PythonErrorSet; call inside guarded().
std::string pathFrom(PyObject* path);

}  // namespace kestrin::py
