#include "evolution/cma_distribution.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "network/random.h"

namespace kestrin {
namespace {

// Eigenvalues below this (relative to the largest) are lifted, so D never
// holds a zero that the step-size path would divide by.
constexpr double kSmallestEigenRatio = 1e-20;

size_t cells(int dim, bool separable) {
    const auto d = static_cast<size_t>(dim);
    return separable ? d : d * d;
}

}  // namespace

void CmaDistribution::reset(const std::vector<double>& mean, double sigma, int lambda, bool separable,
                            const std::vector<double>& scales) {
    dim_ = static_cast<int>(mean.size());
    lambda_ = lambda;
    separable_ = separable;
    sigma_ = sigma;
    mean_ = mean;
    const auto d = static_cast<size_t>(dim_);
    pc_.assign(d, 0.0);
    ps_.assign(d, 0.0);
    scales_.assign(d, 1.0);
    if (scales.size() == d) scales_ = scales;
    cov_.assign(cells(dim_, separable), 0.0);
    if (separable) {
        for (size_t i = 0; i < d; ++i) cov_[i] = scales_[i] * scales_[i];
        axes_.clear();
    } else {
        axes_.assign(d * d, 0.0);
        for (size_t i = 0; i < d; ++i) {
            cov_[i * d + i] = scales_[i] * scales_[i];
            axes_[i * d + i] = 1.0;
        }
    }
    generations_ = 0;
    sinceDecomposition_ = 0;
    setRates();
}

void CmaDistribution::setRates() {
    mu_ = std::max(1, lambda_ / 2);
    weights_.resize(static_cast<size_t>(mu_));
    double sum = 0.0;
    for (int i = 0; i < mu_; ++i) {
        weights_[static_cast<size_t>(i)] = std::log((lambda_ + 1) / 2.0) - std::log(i + 1.0);
        sum += weights_[static_cast<size_t>(i)];
    }
    double squares = 0.0;
    for (double& w : weights_) {
        w /= sum;
        squares += w * w;
    }
    mueff_ = 1.0 / squares;
    const double n = std::max(dim_, 1);
    cc_ = (4.0 + mueff_ / n) / (n + 4.0 + 2.0 * mueff_ / n);
    cs_ = (mueff_ + 2.0) / (n + mueff_ + 5.0);
    c1_ = 2.0 / ((n + 1.3) * (n + 1.3) + mueff_);
    cmu_ = std::min(1.0 - c1_, 2.0 * (mueff_ - 2.0 + 1.0 / mueff_) / ((n + 2.0) * (n + 2.0) + mueff_));
    if (separable_) {
        // A diagonal has n degrees of freedom instead of n^2/2: it can learn faster.
        const double gain = (n + 1.5) / 3.0;
        c1_ = std::min(1.0, c1_ * gain);
        cmu_ = std::min(1.0 - c1_, cmu_ * gain);
    }
    damps_ = 1.0 + 2.0 * std::max(0.0, std::sqrt((mueff_ - 1.0) / (n + 1.0)) - 1.0) + cs_;
    chiN_ = std::sqrt(n) * (1.0 - 1.0 / (4.0 * n) + 1.0 / (21.0 * n * n));
    z_.resize(static_cast<size_t>(dim_));
    yw_.resize(static_cast<size_t>(dim_));
    tmp_.resize(static_cast<size_t>(dim_));
}

int CmaDistribution::eigenGap() const {
    if (separable_ || dim_ == 0) return 1;
    // Hansen's rule keeps C's factors within a few percent of C; the second
    // bound keeps the O(dim^3) decomposition, spread over its generations, at
    // about the cost of sampling (O(lambda dim^2) per generation).
    const int hansen = static_cast<int>(1.0 / ((c1_ + cmu_) * dim_ * 10.0));
    const int amortised = (3 * dim_ + lambda_ - 1) / lambda_;
    return std::max({1, hansen, amortised});
}

void CmaDistribution::sample(double* x, double* y) {
    const auto d = static_cast<size_t>(dim_);
    randomNormals(z_.data(), d);
    for (size_t i = 0; i < d; ++i) z_[i] *= scales_[i];
    if (separable_) {
        for (size_t i = 0; i < d; ++i) y[i] = z_[i];
    } else {
        for (size_t i = 0; i < d; ++i) {
            const double* row = axes_.data() + i * d;
            double sum = 0.0;
            for (size_t k = 0; k < d; ++k) sum += row[k] * z_[k];
            y[i] = sum;
        }
    }
    for (size_t i = 0; i < d; ++i) x[i] = mean_[i] + sigma_ * y[i];
}

void CmaDistribution::moveMean(const double* x) { std::copy(x, x + dim_, mean_.begin()); }

void CmaDistribution::update(const double* const* rankedY) {
    const auto d = static_cast<size_t>(dim_);
    std::fill(yw_.begin(), yw_.end(), 0.0);
    for (int r = 0; r < mu_; ++r) {
        const double w = weights_[static_cast<size_t>(r)];
        const double* y = rankedY[r];
        for (size_t i = 0; i < d; ++i) yw_[i] += w * y[i];
    }
    for (size_t i = 0; i < d; ++i) mean_[i] += sigma_ * yw_[i];

    // ps follows C^(-1/2) y_w = B D^-1 B^T y_w.
    const double psGain = std::sqrt(cs_ * (2.0 - cs_) * mueff_);
    if (separable_) {
        for (size_t i = 0; i < d; ++i) ps_[i] = (1.0 - cs_) * ps_[i] + psGain * yw_[i] / scales_[i];
    } else {
        for (size_t k = 0; k < d; ++k) {
            double sum = 0.0;
            for (size_t i = 0; i < d; ++i) sum += axes_[i * d + k] * yw_[i];
            tmp_[k] = sum / scales_[k];
        }
        for (size_t i = 0; i < d; ++i) {
            const double* row = axes_.data() + i * d;
            double sum = 0.0;
            for (size_t k = 0; k < d; ++k) sum += row[k] * tmp_[k];
            ps_[i] = (1.0 - cs_) * ps_[i] + psGain * sum;
        }
    }
    generations_ += 1;
    double psNorm = 0.0;
    for (double v : ps_) psNorm += v * v;
    psNorm = std::sqrt(psNorm);
    // The rank-one path stalls while the step size is still growing fast (Hansen's hsig).
    const double correction = std::sqrt(1.0 - std::pow(1.0 - cs_, 2.0 * generations_));
    const bool steady = psNorm / correction / chiN_ < 1.4 + 2.0 / (dim_ + 1.0);
    const double pcGain = steady ? std::sqrt(cc_ * (2.0 - cc_) * mueff_) : 0.0;
    for (size_t i = 0; i < d; ++i) pc_[i] = (1.0 - cc_) * pc_[i] + pcGain * yw_[i];

    const double keep = 1.0 - c1_ - cmu_ + (steady ? 0.0 : c1_ * cc_ * (2.0 - cc_));
    if (separable_) {
        for (size_t i = 0; i < d; ++i) {
            double rankMu = 0.0;
            for (int r = 0; r < mu_; ++r) rankMu += weights_[static_cast<size_t>(r)] * rankedY[r][i] * rankedY[r][i];
            cov_[i] = keep * cov_[i] + c1_ * pc_[i] * pc_[i] + cmu_ * rankMu;
        }
    } else {
        for (size_t i = 0; i < d; ++i) {
            double* row = cov_.data() + i * d;
            for (size_t j = 0; j <= i; ++j) row[j] = keep * row[j] + c1_ * pc_[i] * pc_[j];
        }
        for (int r = 0; r < mu_; ++r) {
            const double w = cmu_ * weights_[static_cast<size_t>(r)];
            const double* y = rankedY[r];
            for (size_t i = 0; i < d; ++i) {
                double* row = cov_.data() + i * d;
                const double wy = w * y[i];
                for (size_t j = 0; j <= i; ++j) row[j] += wy * y[j];
            }
        }
    }
    sigma_ *= std::exp(std::min(1.0, (cs_ / damps_) * (psNorm / chiN_ - 1.0)));

    sinceDecomposition_ += 1;
    if (separable_) {
        for (size_t i = 0; i < d; ++i) scales_[i] = std::sqrt(std::max(cov_[i], 1e-300));
    } else if (sinceDecomposition_ >= eigenGap()) {
        refreshFactors();
    }
}

void CmaDistribution::refreshFactors() {
    sinceDecomposition_ = 0;
    if (separable_ || dim_ == 0) return;
    const auto d = static_cast<size_t>(dim_);
    if (!eigen_.decompose(cov_, dim_, axesScratch_, eigenValues_)) return;  // keep the old factors
    double largest = 0.0;
    for (double v : eigenValues_) largest = std::max(largest, v);
    for (size_t i = 0; i < d; ++i) scales_[i] = std::sqrt(std::max(eigenValues_[i], largest * kSmallestEigenRatio));
    axes_.swap(axesScratch_);
}

void CmaDistribution::extend(const std::vector<double>& newMeans, const std::vector<double>& spreads,
                             bool separable) {
    const auto d = static_cast<size_t>(dim_);
    const size_t added = newMeans.size();
    const size_t e = d + added;
    // C is in units of sigma.
    const auto variance = [&](size_t i) { return (spreads[i - d] / sigma_) * (spreads[i - d] / sigma_); };
    std::vector<double> cov(cells(static_cast<int>(e), separable), 0.0);
    if (separable) {
        for (size_t i = 0; i < d; ++i) cov[i] = separable_ ? cov_[i] : cov_[i * d + i];
        for (size_t i = d; i < e; ++i) cov[i] = variance(i);
        axes_.clear();
    } else {
        // Only a full form grows into a full form.
        for (size_t i = 0; i < d; ++i) {
            for (size_t j = 0; j <= i; ++j) cov[i * e + j] = cov_[i * d + j];
        }
        for (size_t i = d; i < e; ++i) cov[i * e + i] = variance(i);
        std::vector<double> axes(e * e, 0.0);
        for (size_t i = 0; i < d; ++i) {
            for (size_t j = 0; j < d; ++j) axes[i * e + j] = axes_[i * d + j];
        }
        for (size_t i = d; i < e; ++i) axes[i * e + i] = 1.0;
        axes_.swap(axes);
    }
    cov_.swap(cov);
    mean_.insert(mean_.end(), newMeans.begin(), newMeans.end());
    pc_.resize(e, 0.0);
    ps_.resize(e, 0.0);
    if (separable) {
        std::vector<double> scales(e);
        for (size_t i = 0; i < e; ++i) scales[i] = std::sqrt(cov_[i]);
        scales_.swap(scales);
    } else {
        scales_.resize(e);
        for (size_t i = d; i < e; ++i) scales_[i] = std::sqrt(variance(i));
    }
    dim_ = static_cast<int>(e);
    separable_ = separable;
    setRates();
}

double CmaDistribution::largestSpread() const {
    double largest = 0.0;
    for (double s : scales_) largest = std::max(largest, s);
    return sigma_ * largest;
}

double CmaDistribution::condition() const {
    if (scales_.empty()) return 1.0;
    const auto [low, high] = std::minmax_element(scales_.begin(), scales_.end());
    return (*high / *low) * (*high / *low);
}

void CmaDistribution::save(std::vector<double>& out) const {
    out.push_back(dim_);
    out.push_back(lambda_);
    out.push_back(separable_ ? 1.0 : 0.0);
    out.push_back(sigma_);
    out.push_back(generations_);
    out.push_back(sinceDecomposition_);
    for (const std::vector<double>* part : {&mean_, &pc_, &ps_, &cov_, &axes_, &scales_}) {
        out.insert(out.end(), part->begin(), part->end());
    }
}

void CmaDistribution::restore(const std::vector<double>& in, size_t& at) {
    const auto fail = [](const std::string& why) { throw std::invalid_argument("The CMA state is damaged: " + why + "."); };
    if (in.size() < at + 6) fail("it is too short");
    const double dim = in[at], lambda = in[at + 1], separable = in[at + 2];
    if (!(dim >= 0 && dim <= 1e6 && dim == std::floor(dim))) fail("bad dimension");
    if (!(lambda >= 2 && lambda <= 1e9 && lambda == std::floor(lambda))) fail("bad sample count");
    if (separable != 0.0 && separable != 1.0) fail("bad form flag");
    const double sigma = in[at + 3];
    if (!(sigma > 0.0) || !std::isfinite(sigma)) fail("bad step size");
    const auto d = static_cast<size_t>(dim);
    const bool sep = separable == 1.0;
    const size_t need = 3 * d + cells(static_cast<int>(d), sep) + (sep ? 0 : d * d) + d;
    if (in.size() < at + 6 + need) fail("it is too short");
    for (size_t i = at; i < at + 6 + need; ++i) {
        if (!std::isfinite(in[i])) fail("it holds a non-finite number");
    }
    dim_ = static_cast<int>(d);
    lambda_ = static_cast<int>(lambda);
    separable_ = sep;
    sigma_ = sigma;
    generations_ = in[at + 4];
    sinceDecomposition_ = in[at + 5];
    at += 6;
    const auto take = [&](std::vector<double>& part, size_t count) {
        part.assign(in.begin() + static_cast<std::ptrdiff_t>(at), in.begin() + static_cast<std::ptrdiff_t>(at + count));
        at += count;
    };
    take(mean_, d);
    take(pc_, d);
    take(ps_, d);
    take(cov_, cells(dim_, sep));
    take(axes_, sep ? 0 : d * d);
    take(scales_, d);
    for (double s : scales_) {
        if (!(s > 0.0)) fail("a principal spread is not positive");
    }
    setRates();
}

}  // namespace kestrin
