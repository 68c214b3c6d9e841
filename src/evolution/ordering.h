// Random permutations and in-place reordering by them. A permutation `order`
// sends the element at position k to position order[k].
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrin {

// 0..n-1 shuffled with the C library generator (swap k with rand() % (k+1)).
std::vector<int32_t> shuffledIndices(int32_t n);

// Applies order to the first n elements, reached only through swap(a, b):
// each cycle is rotated once, from its highest position (the one from which
// following order only visits lower positions before coming back). Needs no
// second list and makes n minus the number of cycles swaps.
template <typename Swap>
void reorderBy(size_t n, const std::vector<int32_t>& order, Swap&& swap) {
    if (n < 2) return;
    for (size_t s = 1; s < n; ++s) {
        size_t d = static_cast<size_t>(order[s]);
        while (d < s) d = static_cast<size_t>(order[d]);
        if (d != s || static_cast<size_t>(order[s]) == s) continue;
        d = static_cast<size_t>(order[s]);
        while (d != s) {
            swap(s, d);
            d = static_cast<size_t>(order[d]);
        }
    }
}

template <typename T>
void reorder(std::vector<T>& list, const std::vector<int32_t>& order) {
    reorderBy(list.size(), order, [&](size_t a, size_t b) {
        using std::swap;
        swap(list[a], list[b]);
    });
}

}  // namespace kestrin
