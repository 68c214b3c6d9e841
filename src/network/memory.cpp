#include "network/memory.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <string>

namespace kestrin {
namespace {

constexpr double kUnlimited = std::numeric_limits<double>::infinity();

// The first number in the file, or kUnlimited ("max", missing, unreadable).
double readNumber(const std::string& path) {
    std::ifstream in(path);
    double value = 0.0;
    return in >> value ? value : kUnlimited;
}

double meminfoAvailable() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    double kibibytes = 0.0;
    std::string unit;
    while (in >> key >> kibibytes >> unit) {
        if (key == "MemAvailable:") return kibibytes * 1024.0;
    }
    return kUnlimited;
}

// Limit minus usage of the cgroup at path and of each of its ancestors (a limit
// anywhere up the tree applies).
double cgroupHeadroom(const std::string& root, std::string path, const char* limitFile, const char* usageFile) {
    double headroom = kUnlimited;
    for (;;) {
        const std::string dir = root + path;
        const double limit = readNumber(dir + "/" + limitFile);
        // cgroup v1 writes "no limit" as a number near 2^63.
        if (limit < 1e18) {
            const double usage = readNumber(dir + "/" + usageFile);
            headroom = std::min(headroom, std::max(0.0, limit - (usage < kUnlimited ? usage : 0.0)));
        }
        if (path.empty() || path == "/") return headroom;
        path.erase(path.find_last_of('/'));
    }
}

}  // namespace

double availableMemoryBytes() {
    double available = meminfoAvailable();
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        // "<id>:<controllers>:<path>"; v2 has id 0 and no controllers.
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            available = std::min(available, cgroupHeadroom("/sys/fs/cgroup", path, "memory.max", "memory.current"));
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            available = std::min(available, cgroupHeadroom("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes",
                                                           "memory.usage_in_bytes"));
        }
    }
    return available;
}

void requireMemory(double bytes) {
    if (bytes < 64.0 * 1024 * 1024) return;
    if (bytes > availableMemoryBytes()) throw std::bad_alloc();
}

}  // namespace kestrin
