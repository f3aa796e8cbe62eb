// Exact lanes on an affine grid: the body of lane kind 4.
//
// Recordings are integer ADC samples scaled to physical units, so a lane's
// values are dtype(a + b * k) for integers k. The grid is found from the
// values alone: the common gap between neighbouring distinct values gives
// a first step, a weighted least-squares fit in float64 refines the offset
// a and step b, and a per-sample correction of the bits makes the decoded
// values exact for any input.
//
// Grid body::
//
//   0       8           a, float64
//   8       8           b, float64
//   16      1           order p, 1 to 3: the k are stored as their p-th
//                       differences, with k = 0 before the lane's start
//   17      1           width of a difference in bytes: 1, 2, 4 or 8
//   18      1           width of a correction in bytes: 0 (none), 1, 2, 4
//                       or 8 (at most the itemsize)
//   19      1           reserved, 0
//   20      4           byte length L of the difference stream, u32
//   24      L           the differences, zigzag-coded at their width,
//                       byte-shuffled, raw DEFLATE
//   24+L    4           number M of corrected samples, 1 to the lane length
//                       (only with a correction width)
//   28+L    ...         raw DEFLATE of the M indices as first differences
//                       (u32, byte-shuffled), then the M corrections,
//                       zigzag-coded at their width, byte-shuffled
//
// Sample i decodes to the bits of dtype(a + b * k[i]) (float64 arithmetic),
// plus its correction, modulo 2^(8 * itemsize).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

inline constexpr double kMaxGridSteps = 1099511627776.0;  // 2^40: beyond it a lane is no grid

struct Grid {
    double a = 0.0;
    double b = 1.0;
    // Share of the levels between the smallest and largest value that the
    // lane uses (1 for a lane that visits every level, 1/21 for one that
    // moves in steps of 21). Not stored.
    double density = 1.0;
};

// The grid the finite `values` lie on, or nothing.
template <class T>
std::optional<Grid> find_grid(std::span<const T> values);

// The lane on a grid: each value's level k and how many samples need a correction.
struct GridFit {
    Grid grid;
    std::vector<std::int64_t> k;
    std::size_t corrections = 0;
};
template <class T>
GridFit fit_grid(std::span<const T> values, Grid grid);

// Appends a kind 4 body for `values` fitted as `fit`.
template <class T>
Status grid_body(std::span<const T> values, const GridFit& fit, std::vector<std::uint8_t>& out);

// The corrections a fit needs, as one raw DEFLATE stream (index gaps, u32,
// then the corrections, zigzag at `width` bytes, both byte-shuffled);
// `width` 0 and nothing appended when there are none.
template <class T>
Status grid_corrections(std::span<const T> values, const GridFit& fit, unsigned& width,
                        std::vector<std::uint8_t>& stream);

// Adds `count` corrections from such a stream (which must end where
// `stream` ends) to the bits of `out`; `what` opens the error messages.
template <class T>
Status apply_corrections(std::span<const std::uint8_t> stream, unsigned width, std::uint64_t count, std::span<T> out,
                         const char* what);

// Whether a body can hold `length` samples at all (checked before sizing).
bool grid_plausible(std::span<const std::uint8_t> body, std::uint64_t length) noexcept;

template <class T>
Status decode_grid(std::span<const std::uint8_t> body, std::span<T> out);

// The neighbouring value of `x` towards +infinity (`up`) or -infinity, as
// std::nextafter gives it (worked out from the bits for finite values).
template <class T>
inline T float_neighbour(T x, bool up) noexcept {
    using U = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    if (!std::isfinite(x)) return std::nextafter(x, up ? std::numeric_limits<T>::infinity() : -std::numeric_limits<T>::infinity());
    const U b = std::bit_cast<U>(x);
    if (x == T(0)) return up ? std::bit_cast<T>(U{1}) : -std::bit_cast<T>(U{1});
    // Away from zero the magnitude grows with the bits, towards zero it shrinks.
    return std::bit_cast<T>(static_cast<U>(up == (x > T(0)) ? b + 1 : b - 1));
}

// The value of level k on a grid, as the decoder computes it.
template <class T>
inline T grid_value(const Grid& g, std::int64_t k) noexcept {
    return static_cast<T>(g.a + g.b * static_cast<double>(k));
}

}  // namespace vantoresk::lanes
