// Square matrix of connection weights: one contiguous block, row-major, with
// weights[from][to] at cells[from * n + to]. Cells without a connection hold 0.0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace kestrin {

class WeightMatrix {
public:
    WeightMatrix() = default;
    explicit WeightMatrix(int32_t n) { reset(n); }

    // n x n zeros; a negative n is refused before anything is allocated.
    void reset(int32_t n) {
        if (n < 0) throw std::length_error("negative matrix dimension");
        std::vector<double> cells(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0);
        cells_.swap(cells);
        n_ = n;
    }

    int32_t dimension() const { return n_; }

    double* operator[](int32_t row) { return cells_.data() + static_cast<size_t>(row) * n_; }
    const double* operator[](int32_t row) const {
        return cells_.data() + static_cast<size_t>(row) * n_;
    }

    const double* data() const { return cells_.data(); }

    // Inserts a zero row and a zero column at index p; later rows and columns move up by one.
    void insertRowAndColumn(int32_t p) {
        const size_t n = static_cast<size_t>(n_), m = n + 1, at = static_cast<size_t>(p);
        std::vector<double> cells(m * m, 0.0);
        for (size_t r = 0; r < n; ++r) {
            const double* from = cells_.data() + r * n;
            double* to = cells.data() + (r < at ? r : r + 1) * m;
            for (size_t c = 0; c < at; ++c) to[c] = from[c];
            for (size_t c = at; c < n; ++c) to[c + 1] = from[c];
        }
        cells_.swap(cells);
        n_ += 1;
    }

    // Removes row p and column p; later rows and columns move down by one.
    void eraseRowAndColumn(int32_t p) {
        const size_t n = static_cast<size_t>(n_), m = n - 1, at = static_cast<size_t>(p);
        std::vector<double> cells(m * m, 0.0);
        for (size_t r = 0; r < n; ++r) {
            if (r == at) continue;
            const double* from = cells_.data() + r * n;
            double* to = cells.data() + (r < at ? r : r - 1) * m;
            for (size_t c = 0; c < at; ++c) to[c] = from[c];
            for (size_t c = at + 1; c < n; ++c) to[c - 1] = from[c];
        }
        cells_.swap(cells);
        n_ -= 1;
    }

    friend bool operator==(const WeightMatrix&, const WeightMatrix&) = default;

private:
    int32_t n_ = 0;
    std::vector<double> cells_;
};

}  // namespace kestrin
