#include "network/random.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <random>

namespace kestrin {

void OnceSeedFlag::seedIfFirstUse() {
    if (pending_) {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        pending_ = false;
    }
}

int libcRand() { return std::rand(); }

uint32_t deviceSeed() {
    // Opening the device once per thread; a draw from it is cheap.
    thread_local std::random_device device;
    return static_cast<uint32_t>(device());
}

namespace {

// Seeded once per thread: reseeding on every draw costs microseconds and adds
// nothing to the quality of the draws.
std::mt19937& helperEngine() {
    thread_local std::mt19937 engine(deviceSeed());
    return engine;
}

}  // namespace

double randomUniform() {
    std::mt19937& engine = helperEngine();
    const double low = static_cast<double>(engine());
    const double high = static_cast<double>(engine());
    const double value = (low + high * 4294967296.0) * 0x1p-64;
    return value < 1.0 ? value : std::nextafter(1.0, 0.0);
}

double randomNormal(double stddev) {
    double x, y, s;
    do {
        x = 2.0 * randomUniform() - 1.0;
        y = 2.0 * randomUniform() - 1.0;
        s = x * x + y * y;
    } while (s > 1.0 || s == 0.0);
    return y * std::sqrt(-2.0 * std::log(s) / s) * stddev;
}

}  // namespace kestrin
