// Eigendecomposition of a symmetric matrix, for the covariance of the CMA
// distribution: C = B diag(values) B^T with B orthonormal.
//
// Matrices are flat, row-major, n x n. The method is Householder reduction to
// tridiagonal form followed by the implicit QL iteration (about 9 n^3 flops),
// cheaper than Jacobi sweeps at the sizes a covariance reaches here.
#pragma once

#include <vector>

namespace kestrin {

struct SymmetricEigen {
    // Working rows kept between calls, so repeated decompositions allocate nothing.
    std::vector<double> offDiagonal;

    // matrix (read, only its lower triangle) into vectors (column k the
    // eigenvector of values[k]) and values, ascending. Both outputs are resized
    // to n x n and n. Returns false if the iteration did not converge.
    bool decompose(const std::vector<double>& matrix, int n, std::vector<double>& vectors, std::vector<double>& values);
};

}  // namespace kestrin
