// Least-squares linear prediction for one block of integer levels, as the
// near-lossless level coder chooses it (encoder side only).
//
// The fit is the covariance method: the normal equations of
// y[t] ~ sum_j a[j] * y[t-1-j] over the block's samples (history before the
// block included), solved by a Cholesky factorisation. The forward
// substitution gives the residual energy of every order at once, so the
// order is chosen from one factorisation: the order that minimises the
// estimated bits of the residuals plus the coefficients. The coefficients
// are then quantised to integers with a right shift, small enough that the
// decoder's sums cannot overflow on the block's own levels.
//
// Floating point here affects only which predictor is chosen, never what a
// decoder computes: the chosen integers are stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantoresk::lanes {

inline constexpr unsigned kMaxPredictorOrder = 32;
inline constexpr unsigned kMaxCoefficientShift = 30;

struct Predictor {
    unsigned order = 0;  // 0: predict 0
    unsigned shift = 0;  // prediction = (sum coef[j] * y[t-1-j] + round) >> shift
    std::vector<std::int64_t> coefficients;  // order entries
};

// sum_j coef[j] * last[-j] for j < order, modulo 2^64 (as the coder sums it;
// wrapping sums do not depend on their order, so four run side by side).
inline std::uint64_t history_dot(const std::int64_t* last, const std::int64_t* coef, unsigned order) noexcept {
    std::uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    unsigned j = 0;
    for (; j + 4 <= order; j += 4) {
        s0 += static_cast<std::uint64_t>(coef[j]) * static_cast<std::uint64_t>(last[-static_cast<std::ptrdiff_t>(j)]);
        s1 += static_cast<std::uint64_t>(coef[j + 1]) * static_cast<std::uint64_t>(last[-static_cast<std::ptrdiff_t>(j + 1)]);
        s2 += static_cast<std::uint64_t>(coef[j + 2]) * static_cast<std::uint64_t>(last[-static_cast<std::ptrdiff_t>(j + 2)]);
        s3 += static_cast<std::uint64_t>(coef[j + 3]) * static_cast<std::uint64_t>(last[-static_cast<std::ptrdiff_t>(j + 3)]);
    }
    for (; j < order; ++j)
        s0 += static_cast<std::uint64_t>(coef[j]) * static_cast<std::uint64_t>(last[-static_cast<std::ptrdiff_t>(j)]);
    return (s0 + s1) + (s2 + s3);
}

// row[j] += sum of d[t] * d[t - j] over t in [first, end) for each lag j in
// 0..p (first >= p), the products added in the order of t, as the fit
// needs them. `vector` lets an AVX2 path do it where the machine has one
// (simd::enabled(Avx2Fma)); the bits are the same either way.
void lag_products(double* row, unsigned p, const double* d, std::size_t first, std::size_t end, bool vector);

// Chooses a predictor for y[begin, end) given the levels before `begin`
// (the whole lane is `y`). `max_order` <= kMaxPredictorOrder. `max_abs` is
// the largest |y| in the lane, which bounds the decoder's sums.
Predictor fit_predictor(std::span<const std::int64_t> y, std::size_t begin, std::size_t end, unsigned max_order,
                        std::uint64_t max_abs);

}  // namespace vantoresk::lanes
