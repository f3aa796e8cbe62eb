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

// Chooses a predictor for y[begin, end) given the levels before `begin`
// (the whole lane is `y`). `max_order` <= kMaxPredictorOrder. `max_abs` is
// the largest |y| in the lane, which bounds the decoder's sums.
Predictor fit_predictor(std::span<const std::int64_t> y, std::size_t begin, std::size_t end, unsigned max_order,
                        std::uint64_t max_abs);

}  // namespace vantoresk::lanes
