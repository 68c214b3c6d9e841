// A guard for allocations sized by user input. Zero-filling a block larger than
// the memory the system can give does not fail cleanly: the kernel kills the
// process. Such requests are refused up front as an allocation failure.
#pragma once

namespace kestrin {

// Bytes this process can still obtain: the kernel's estimate of available memory,
// lowered to what the memory limits of the process's cgroups leave. Parts that
// cannot be read count as unlimited.
double availableMemoryBytes();

// Throws std::bad_alloc when bytes exceed availableMemoryBytes(). Requests below
// 64 MiB are not checked, so small networks pay nothing.
void requireMemory(double bytes);

}  // namespace kestrin
