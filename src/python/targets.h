// What the targets of a dataset must hold for the compiled losses, and the
// per-sample weights of evolve and evaluate (sample_weight, class_weight).
// Shared by the training and inference methods. Call inside guarded().
#pragma once

#include "python/pyref.h"

#include <cstdint>
#include <vector>

#include "training/sample_matrix.h"

namespace kestrin::py {

// True when the ids score class indices (the sparse losses and metrics).
bool takesClassIndices(const std::vector<int32_t>& ids);

// With class-index ids: y must have one column of whole numbers in
// [0, outputs); ValueError naming `name`, the first bad value and the outputs.
// Other ids: nothing to check here.
void checkClassIndices(const std::vector<int32_t>& ids, const SampleMatrix& y, int32_t outputs, const char* name);

// sample_weight as one finite, non-negative weight per sample (an array of
// shape (rows,) or (rows, 1)); empty for None. Converting may run Python code.
std::vector<double> sampleWeightsFrom(PyObject* given, int32_t rows, const char* name);

// Multiplies weights (all 1 when empty) by class_weight[class of each sample]:
// the index for class-index targets, the rounded target for one column, the
// argmax of several. Classes the dict leaves out weigh 1. Needs a
// cross-entropy loss. Reading the dict may run Python code.
void applyClassWeights(PyObject* classWeight, const std::vector<int32_t>& ids, const SampleMatrix& y,
                       std::vector<double>& weights);

// Rows [first, first+count) of a matrix, and of a weight list when it is not empty.
SampleMatrix rowsOf(const SampleMatrix& matrix, int32_t first, int32_t count);
std::vector<double> rowsOf(const std::vector<double>& weights, int32_t first, int32_t count);

}  // namespace kestrin::py
