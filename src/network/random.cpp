#include "network/random.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <random>

namespace kestrin {

void OnceSeedFlag::seedIfFirstUse() {
    if (pending_) {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        pending_ = false;
    }
}

int libcRand() { return std::rand(); }

namespace {

// Counts the forks this process descends from. A forked child inherits the
// parent's per-thread state: buffered device values and the helper engine would
// hand out the parent's numbers again, so both are renewed after a fork.
std::atomic<uint32_t> forks{0};
[[maybe_unused]] const int forkHandler = pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });

uint32_t currentFork() { return forks.load(std::memory_order_relaxed); }

// Device values are read 64 at a time: one getrandom call costs about what one
// value of std::random_device (RDSEED on this machine) does, some 300 ns, and
// every new network needs a value.
struct DeviceValues {
    static constexpr int kCount = 64;
    uint32_t values[kCount];
    int next = kCount;
    uint32_t fork = 0;

    void refill() {
        size_t filled = 0;
        for (int attempt = 0; attempt < 2 && filled < sizeof values; ++attempt) {
            const ssize_t got = getrandom(reinterpret_cast<char*>(values) + filled, sizeof values - filled, 0);
            if (got > 0) filled += static_cast<size_t>(got);
        }
        if (filled < sizeof values) {
            // No getrandom (an old kernel): the standard device, one value at a time.
            thread_local std::random_device device;
            for (size_t k = filled / sizeof(uint32_t); k < kCount; ++k) values[k] = static_cast<uint32_t>(device());
        }
        next = 0;
    }
};

}  // namespace

uint32_t deviceSeed() {
    thread_local DeviceValues device;
    const uint32_t fork = currentFork();
    if (device.next == DeviceValues::kCount || device.fork != fork) {
        device.refill();
        device.fork = fork;
    }
    return device.values[device.next++];
}

namespace {

// Seeded once per thread, and again in a forked child: reseeding on every draw
// costs microseconds and adds nothing to the quality of the draws. Constant-
// initialised, so that reaching it needs no guard.
struct HelperEngine {
    std::optional<CompactMt19937> engine;
    uint32_t fork = 0;
};

CompactMt19937& helperEngine() {
    thread_local HelperEngine helper;
    const uint32_t fork = currentFork();
    if (!helper.engine || helper.fork != fork) [[unlikely]] {
        helper.engine.emplace(deviceSeed());
        helper.fork = fork;
    }
    return *helper.engine;
}

double uniformFrom(CompactMt19937& engine) {
    const double low = static_cast<double>(engine());
    const double high = static_cast<double>(engine());
    const double value = (low + high * 4294967296.0) * 0x1p-64;
    return value < 1.0 ? value : std::nextafter(1.0, 0.0);
}

}  // namespace

double randomUniform() { return uniformFrom(helperEngine()); }

double randomNormal(double stddev) {
    // One lookup of the thread's engine for all the draws (in a shared object,
    // reaching a thread_local costs a call).
    CompactMt19937& engine = helperEngine();
    double x, y, s;
    do {
        x = 2.0 * uniformFrom(engine) - 1.0;
        y = 2.0 * uniformFrom(engine) - 1.0;
        s = x * x + y * y;
    } while (s > 1.0 || s == 0.0);
    return y * std::sqrt(-2.0 * std::log(s) / s) * stddev;
}

}  // namespace kestrin
