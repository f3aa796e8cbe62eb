// Covariance-method fit, order choice and coefficient quantisation for
// the near-lossless level coder's block predictors.
#include "lanes/lpc_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vantoresk::lanes {
namespace {

constexpr unsigned kCoefficientBits = 18;  // precision kept, sign excluded
constexpr double kBitsPerCoefficient = 22.0;

// Estimated bits of n residuals of total energy `energy` (Gaussian, with a
// floor for residuals that are mostly 0 in bin units).
double residual_bits(double energy, double n) {
    if (n <= 0) return 0.0;
    return 0.5 * n * std::log2(energy / n + 0.3);
}

}  // namespace

Predictor fit_predictor(std::span<const std::int64_t> y, std::size_t begin, std::size_t end, unsigned max_order,
                        std::uint64_t max_abs) {
    Predictor best;
    max_order = std::min(max_order, kMaxPredictorOrder);
    // Samples with a full history of max_order levels; the first samples of
    // a lane are predicted from the previous level and not fitted.
    const std::size_t first = std::max<std::size_t>(begin, max_order);
    if (end <= first + 2 * static_cast<std::size_t>(max_order) || max_order == 0) {
        if (begin < end && end - begin >= 2) {
            best.order = 1;
            best.coefficients = {1};
        }
        return best;
    }
    const unsigned p = max_order;
    // g[i][j] = sum_t y[t-i] y[t-j] over t in [first, end), i, j in 0..p.
    std::array<std::array<double, kMaxPredictorOrder + 1>, kMaxPredictorOrder + 1> g{};
    {
        std::array<double, kMaxPredictorOrder + 1> row{};
        for (std::size_t t = first; t < end; ++t) {
            const double v = static_cast<double>(y[t]);
            for (unsigned j = 0; j <= p; ++j) row[j] += v * static_cast<double>(y[t - j]);
        }
        for (unsigned j = 0; j <= p; ++j) g[0][j] = g[j][0] = row[j];
        // g[i+1][j+1] = g[i][j] + y[first-1-i] y[first-1-j] - y[end-1-i] y[end-1-j]
        for (unsigned i = 0; i < p; ++i) {
            for (unsigned j = i; j < p; ++j) {
                const double add = static_cast<double>(y[first - 1 - i]) * static_cast<double>(y[first - 1 - j]);
                const double sub = static_cast<double>(y[end - 1 - i]) * static_cast<double>(y[end - 1 - j]);
                g[i + 1][j + 1] = g[j + 1][i + 1] = g[i][j] + add - sub;
            }
        }
    }
    const double n = static_cast<double>(end - first);
    const double e0 = g[0][0];

    // Cholesky of the regressors' block (indices 1..p), stopping at the
    // first order that is not positive definite.
    std::array<std::array<double, kMaxPredictorOrder>, kMaxPredictorOrder> l{};
    std::array<double, kMaxPredictorOrder> z{};
    double ridge = 0;
    for (unsigned i = 1; i <= p; ++i) ridge = std::max(ridge, g[i][i]);
    ridge = ridge * 1e-10 + 1e-9;
    unsigned usable = 0;
    double energy = e0;
    double best_bits = residual_bits(e0, n);
    unsigned best_order = 0;
    for (unsigned i = 0; i < p; ++i) {
        double d = g[i + 1][i + 1] + ridge;
        for (unsigned k = 0; k < i; ++k) d -= l[i][k] * l[i][k];
        if (!(d > ridge * 0.5)) break;
        l[i][i] = std::sqrt(d);
        for (unsigned r = i + 1; r < p; ++r) {
            double s = g[r + 1][i + 1];
            for (unsigned k = 0; k < i; ++k) s -= l[r][k] * l[i][k];
            l[r][i] = s / l[i][i];
        }
        double s = g[i + 1][0];
        for (unsigned k = 0; k < i; ++k) s -= l[i][k] * z[k];
        z[i] = s / l[i][i];
        energy -= z[i] * z[i];
        usable = i + 1;
        const double bits = residual_bits(std::max(energy, 0.0), n) + kBitsPerCoefficient * usable;
        if (bits < best_bits) {
            best_bits = bits;
            best_order = usable;
        }
    }
    (void)usable;
    if (best_order == 0) return best;

    // Back substitution for the chosen order: L^T a = z.
    std::array<double, kMaxPredictorOrder> a{};
    for (unsigned i = best_order; i-- > 0;) {
        double s = z[i];
        for (unsigned k = i + 1; k < best_order; ++k) s -= l[k][i] * a[k];
        a[i] = s / l[i][i];
    }
    double largest = 0, total = 0;
    for (unsigned i = 0; i < best_order; ++i) {
        if (!std::isfinite(a[i])) return best;
        largest = std::max(largest, std::fabs(a[i]));
        total += std::fabs(a[i]);
    }
    int shift = static_cast<int>(kCoefficientBits) - static_cast<int>(std::ceil(std::log2(largest + 1.0)));
    shift = std::clamp(shift, 0, static_cast<int>(kMaxCoefficientShift));
    // The decoder's sum of |coef| * max_abs must stay well inside int64.
    const double limit = std::ldexp(1.0, 61);
    while (shift > 0 && (total * std::ldexp(1.0, shift) + best_order) * (static_cast<double>(max_abs) + 1) >= limit) {
        --shift;
    }
    if ((total + best_order) * (static_cast<double>(max_abs) + 1) >= limit) {
        best.order = 1;
        best.coefficients = {1};
        return best;
    }
    best.order = best_order;
    best.shift = static_cast<unsigned>(shift);
    best.coefficients.resize(best_order);
    for (unsigned i = 0; i < best_order; ++i) {
        best.coefficients[i] = static_cast<std::int64_t>(std::llround(std::ldexp(a[i], shift)));
    }
    return best;
}

}  // namespace vantoresk::lanes
