#include "evolution/ordering.h"

#include "network/random.h"

namespace kestrin {

std::vector<int32_t> shuffledIndices(int32_t n) {
    std::vector<int32_t> order(n > 0 ? static_cast<size_t>(n) : 0);
    for (int32_t k = 0; k < n; ++k) order[k] = k;
    for (int32_t k = 1; k < n; ++k) {
        const int32_t r = libcRand() % (k + 1);
        if (r != k) std::swap(order[k], order[r]);
    }
    return order;
}

}  // namespace kestrin
