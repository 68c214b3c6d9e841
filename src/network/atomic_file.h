// Replacing a file in one step: the new contents are written beside the
// target (without a name where the system allows, else under a temporary
// name), made durable, and only then named as the target. A writer killed at
// any moment leaves the old file or the new one, never a part of either.
//
// Errors are std::system_error carrying errno (see file_error.h). The target
// keeps its permissions and its symbolic links; a device or a pipe is written
// in place.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace kestrin {

// Writes the contents to the open file; path names the target in errors.
using WriteContents = std::function<void(FILE* file, const std::string& path)>;

void replaceFile(const std::string& path, const WriteContents& write);

// The bytes, whole, for a WriteContents.
void writeBytes(FILE* file, const std::string& bytes, const std::string& path);

}  // namespace kestrin
