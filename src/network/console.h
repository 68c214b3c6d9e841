// The core's console: every line the core prints (progress lines, the
// operators' lines) goes through writeLine. Without a writer installed the
// text goes to the C library's standard output, flushed at once so that an
// in-place line (no line feed) shows; a host such as the Python module installs
// a writer of its own to send the lines where its users look.
#pragma once

#include <string_view>

namespace kestrin {

// Receives the text exactly as it is to appear, line feed included when the
// line ends in one. May throw; the exception leaves through the caller.
using LineWriter = void (*)(std::string_view text);

// Installs writer for the whole process; nullptr restores the default.
void setLineWriter(LineWriter writer);

void writeLine(std::string_view text);

// The default writer: the C library's stdout, flushed after the text.
void writeToStandardOutput(std::string_view text);

}  // namespace kestrin
