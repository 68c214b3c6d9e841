// The search distribution of CMA-ES, N(mean, sigma^2 C), with Hansen's
// default learning rates: weighted recombination of the best half, cumulative
// step-size adaptation, and rank-one plus rank-mu covariance updates.
//
// Full form: C is dim x dim (row-major; only its lower triangle is kept up to
// date) and sampled through its factors C = B D^2 B^T, which are refreshed
// lazily, every eigenGap() generations, so a generation costs O(lambda dim^2)
// and the O(dim^3) decomposition is spread over many. Separable form: C is
// diagonal (dim entries), B the identity, with the larger learning rates of
// Ros and Hansen (2008); a generation costs O(lambda dim).
//
// Every draw goes through the random module (randomNormal), in call order.
#pragma once

#include <cstddef>
#include <vector>

#include "evolution/symmetric_eigen.h"

namespace kestrin {

class CmaDistribution {
public:
    // A fresh distribution around mean (dim values) with C diagonal: the
    // squares of scales (one per gene, in units of sigma), or I when empty.
    void reset(const std::vector<double>& mean, double sigma, int lambda, bool separable,
               const std::vector<double>& scales = {});

    int dim() const { return dim_; }
    int lambda() const { return lambda_; }
    bool separable() const { return separable_; }
    double sigma() const { return sigma_; }
    const std::vector<double>& mean() const { return mean_; }

    // One sample: y = B D z with z standard normal, x = mean + sigma y. Both
    // point at dim doubles; nothing is allocated.
    void sample(double* x, double* y);

    // One generation's update from lambda steps y (as sample gave them),
    // ranked best first.
    void update(const double* const* rankedY);

    // Moves the mean to x (dim values) outside an update: C, sigma and the
    // paths stay, so step-size adaptation sees only the samples' own steps.
    void moveMean(const double* x);

    // Appends genes with the given means and spreads (standard deviations in
    // x units), uncorrelated with the others; the form may switch to separable.
    void extend(const std::vector<double>& newMeans, const std::vector<double>& spreads, bool separable);

    // sigma times the largest standard deviation along a principal axis.
    double largestSpread() const;
    // Largest over smallest eigenvalue of C as last decomposed.
    double condition() const;

    // Everything the distribution carries, appended to out; read back by
    // restore from in[at...] (at advances). restore throws std::invalid_argument
    // on anything that cannot be such a state.
    void save(std::vector<double>& out) const;
    void restore(const std::vector<double>& in, size_t& at);

    // Generations between two decompositions of C.
    int eigenGap() const;

private:
    void setRates();
    void refreshFactors();

    int dim_ = 0;
    int lambda_ = 0;
    int mu_ = 0;
    bool separable_ = false;
    double sigma_ = 1.0;
    std::vector<double> mean_, pc_, ps_;
    std::vector<double> cov_;   // dim x dim (full) or dim (separable)
    std::vector<double> axes_;  // B: dim x dim (full) or empty
    std::vector<double> scales_;  // D: square roots of C's eigenvalues
    double generations_ = 0;       // updates so far, for the path's bias correction
    double sinceDecomposition_ = 0;
    // Rates, from dim, lambda and the form.
    std::vector<double> weights_;
    double mueff_ = 1, cc_ = 0, cs_ = 0, c1_ = 0, cmu_ = 0, damps_ = 1, chiN_ = 1;
    // Scratch, kept to reuse the storage.
    std::vector<double> z_, yw_, tmp_, eigenValues_, axesScratch_;
    SymmetricEigen eigen_;
};

}  // namespace kestrin
