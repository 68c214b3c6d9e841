// Entry points of the Python methods, one file per area; module.cpp lists
// them in the method tables.
#pragma once

#include "python/pyref.h"

namespace kestrin::py {

}  // namespace kestrin::py
