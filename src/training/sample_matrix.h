// A dataset side: rows x columns doubles in one row-major block, row i holding
// sample i. SampleView reads a run of rows in place (a mini-batch) without copying;
// a view of targets may carry one weight per row beside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "evolution/ordering.h"

namespace kestrin {

struct SampleView {
    const double* data = nullptr;
    int32_t rows = 0;
    int32_t columns = 0;
    const double* weights = nullptr;  // one per row, or null: every row weighs the same

    const double* row(int32_t i) const { return data + static_cast<size_t>(i) * static_cast<size_t>(columns); }
    // Rows first .. first+count-1, with their weights.
    SampleView slice(int32_t first, int32_t count) const {
        return {row(first), count, columns, weights ? weights + first : nullptr};
    }
    SampleView weighted(const double* w) const { return {data, rows, columns, w}; }
    // What a score over the first `samples` rows is divided by: their weights'
    // sum in row order, or the count when they carry none.
    double weightTotal(int32_t samples) const {
        if (weights == nullptr) return samples;
        double sum = 0.0;
        for (int32_t s = 0; s < samples; ++s) sum += weights[s];
        return sum;
    }
};

class SampleMatrix {
public:
    SampleMatrix() = default;
    SampleMatrix(int32_t rows, int32_t columns)
        : rows_(rows), columns_(columns), cells_(static_cast<size_t>(rows) * static_cast<size_t>(columns), 0.0) {}

    int32_t rows() const { return rows_; }
    int32_t columns() const { return columns_; }
    double* row(int32_t i) { return cells_.data() + offset(i); }
    const double* row(int32_t i) const { return cells_.data() + offset(i); }
    double& at(int32_t i, int32_t j) { return row(i)[j]; }
    double at(int32_t i, int32_t j) const { return row(i)[j]; }
    SampleView view() const { return {cells_.data(), rows_, columns_}; }

    // Moves row k to position order[k], for every k.
    void reorderRows(const std::vector<int32_t>& order) {
        reorderBy(static_cast<size_t>(rows_), order, [&](size_t a, size_t b) {
            double* first = cells_.data() + a * static_cast<size_t>(columns_);
            double* second = cells_.data() + b * static_cast<size_t>(columns_);
            for (int32_t j = 0; j < columns_; ++j) std::swap(first[j], second[j]);
        });
    }

private:
    size_t offset(int32_t i) const { return static_cast<size_t>(i) * static_cast<size_t>(columns_); }

    int32_t rows_ = 0;
    int32_t columns_ = 0;
    std::vector<double> cells_;
};

}  // namespace kestrin
