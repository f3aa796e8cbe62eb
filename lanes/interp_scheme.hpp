// Prediction-centred near-lossless scheme for integer levels: hierarchical
// interpolation with bins centred on each prediction.
//
// For a lane of n levels v[0..n) every sample is predicted from samples
// already reconstructed and only the bin of its prediction residual is
// kept; with the bound b of the sample's stride (bins of w = 2b + 1 levels):
//   q = floor((v - p + b) / w),  r = clamp(p + q * w, -M, M),
// so |v - r| <= b (the clamp only moves r towards v, as |v| <= M). Integer
// arithmetic only. The bounds come per stride: bounds[l] for half-stride
// h = 2^l, the last one also for every coarser stride and the anchors; the
// lane's bound k is the largest of them, and M = W * ceil(2^40 / W) with
// W = 2k + 1, the level range of the lattice coder (near_lossless.hpp), so
// both accept the same lanes. Coarse samples predict many fine ones: bounds
// tighter there than at the finest stride buy a smaller error overall (for
// a PRDN) at little cost; for a largest-error target one bound for all is
// best.
//
// Visiting order (the order q is coded in). With S the largest power of two
// not above n - 1 (n >= 2):
//   anchors   i = 0 with p = 0, then i = S with p = r[0];
//   levels    for s = S, S/2, ..., 2 and h = s/2: every i = h, h + s, ... < n,
//             in increasing order, predicted from the samples h and 3h away
//             (all reconstructed at coarser strides):
//             cubic  p = (-r[i-3h] + 9 r[i-h] + 9 r[i+h] - r[i+3h] + 8) >> 4
//                    when i >= 3h and i + 3h < n,
//             linear p = (r[i-h] + r[i+h] + 1) >> 1 when i + h < n,
//             else   p = r[i-h];
//             p is then clamped to [-M, M] (>> is the floor shift).
// Every sample is visited once. Levels at fine strides of a smooth lane are
// predicted to well within a bin and cost next to nothing to code.
//
// Idempotent: the predictions only see reconstructed samples, so coding the
// reconstruction again meets the same predictions, and each r lies in its
// own bin (with the clamp: r = M stays M), giving the same q and r.
// Magnitudes: |p| <= M <= 2^42 + 1, |v - p| <= 2M, and the decoder refuses
// |q| > 2M / w + 1, so no intermediate comes near 2^63.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

// Bounds per stride: 1 to kInterpMaxBounds of them, each at most 2^41.
inline constexpr std::size_t kInterpMaxBounds = 32;

// The largest level magnitude for bound k (k above 2^41 counts as 2^41).
std::int64_t interp_level_limit(std::uint64_t k);

// Bounds for a lane bound k: `Flat` k at every stride; `Tapered` k at the
// finest stride, then k * 2/3, 4/9, 8/27 and k/4 from the fifth stride up
// (rounded down), for PRDN targets.
enum class InterpTaper : std::uint8_t { Flat = 0, Tapered = 1 };
std::vector<std::uint64_t> interp_bounds(std::uint64_t k, InterpTaper taper);

// Are these bounds ones the scheme takes?
bool interp_bounds_valid(std::span<const std::uint64_t> bounds);

// Visit position `j` (0-based, in coding order) of a lane of `n` levels: the
// sample index and its half-stride h (0 for the anchors).
struct InterpPoint {
    std::size_t index;
    std::size_t half;
};

// Calls f(InterpPoint) for every sample of an n-sample lane in coding order.
template <class F>
void interp_visit(std::size_t n, F&& f) {
    if (n == 0) return;
    f(InterpPoint{0, 0});
    if (n == 1) return;
    std::size_t top = 1;
    while (top <= (n - 1) / 2) top *= 2;
    f(InterpPoint{top, 0});
    for (std::size_t s = top; s >= 2; s /= 2) {
        const std::size_t h = s / 2;
        for (std::size_t i = h; i < n; i += s) f(InterpPoint{i, h});
    }
}

// Bounds (flat or tapered, a lane bound of at least 1) under which
// `levels` are their own reconstruction, the one with the widest bins at
// the finest stride; empty when there are none. A lane decoded from this
// scheme finds the bounds it was coded with (or wider ones that also give
// it back), so coding it again need not move it.
std::vector<std::uint64_t> interp_own_bounds(std::span<const std::int64_t> levels);

// Bins for `levels` with `bounds`: `q` (coding order) and `recon` (sample
// order), both of the lane's length. A level beyond the limit, or invalid
// bounds, are VNT_INVALID_ARGUMENT.
Status interp_encode(std::span<const std::int64_t> levels, std::span<const std::uint64_t> bounds,
                     std::span<std::int64_t> q, std::span<std::int64_t> recon);

// The levels from `q` (coding order) and `bounds`; `out` has the lane's
// length. A q that no encoder writes for these bounds, or invalid bounds,
// are VNT_BAD_FRAME.
Status interp_decode(std::span<const std::int64_t> q, std::span<const std::uint64_t> bounds,
                     std::span<std::int64_t> out);

}  // namespace vantoresk::lanes
