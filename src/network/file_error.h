// Errors of the '.kn' reader and writer.
//
// A file that cannot be opened, written or renamed is a std::system_error
// carrying errno, so callers can tell a missing file from a full disk. A file
// that opens but does not hold a well-formed network is a FileFormatError; it
// derives from std::invalid_argument because the bytes, not the system, are at
// fault.
#pragma once

#include <stdexcept>

namespace kestrin {

class FileFormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace kestrin
