// A network's '.kn' encoding in memory, for pickling and copying: the same
// bytes that Network::save writes, read back with every check of Network::load.
#pragma once

#include <cstddef>
#include <string>

#include "network/network.h"

namespace kestrin {

std::string encodeNetwork(const Network& network);

// Throws FileFormatError "invalid <what>: <defect>" for bytes that the file
// reader would refuse; the result has a freshly seeded engine, as a loaded network.
Network decodeNetwork(const unsigned char* data, size_t size, const std::string& what);

}  // namespace kestrin
