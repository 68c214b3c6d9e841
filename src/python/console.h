// The module's console: the core's lines go through Python's sys.stdout, so
// that they show live in Jupyter, follow contextlib.redirect_stdout and keep
// their order with the user's own prints when output is piped.
#pragma once

#include <string_view>

namespace kestrin::py {

// Routes the core's lines (network/console.h) through writeToSysStdout;
// called once when the module is initialised.
void installConsole();

// Writes text with sys.stdout.write and flushes (when the stream has a flush),
// looking sys.stdout up anew each time; the C library's stdout when
// sys.stdout is None or missing. Takes the interpreter lock itself, so it may
// be called with or without it. A failing write throws PythonErrorSet.
void writeToSysStdout(std::string_view text);

}  // namespace kestrin::py
