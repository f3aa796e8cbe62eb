// Non-finite samples of a float lane: found as runs, bridged for coding,
// put back bit for bit after decoding.
//
// The compressor would turn NaN into 0 and infinities into 0 or 1, making
// missing data look like plausible values and stretching the lane's range.
// Before coding each non-finite sample is replaced by its nearest finite
// neighbour to the left (to the right at the start of a lane; 0 when the
// lane holds no finite sample). Positions and exact bits go into the lane
// record as runs of equal bits, usually none or a few.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "lanes/frame.hpp"

namespace vantoresk::lanes {

template <class T>
using BitsOf = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

// Runs of non-finite samples with identical bits, in order.
template <class T>
std::vector<Run> find_runs(std::span<const T> lane) {
    std::vector<Run> runs;
    if constexpr (std::is_floating_point_v<T>) {
        const std::size_t n = lane.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(lane[i])) continue;
            const auto bits = std::bit_cast<BitsOf<T>>(lane[i]);
            if (!runs.empty() && std::uint64_t{runs.back().start} + runs.back().length == i && runs.back().bits == bits) {
                ++runs.back().length;
            } else {
                runs.push_back(Run{static_cast<std::uint32_t>(i), 1, bits});
            }
        }
    }
    return runs;
}

// Every non-finite sample replaced by a finite neighbour, in place.
template <class T>
void bridge(std::span<T> lane) {
    if constexpr (std::is_floating_point_v<T>) {
        const std::size_t n = lane.size();
        std::size_t first = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(lane[i])) {
                first = i;
                break;
            }
        }
        const T fill = first < n ? lane[first] : T(0);
        T last = fill;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(lane[i])) last = lane[i];
            else lane[i] = last;
        }
    }
}

// The runs' exact bits written back (runs are checked against the lane).
template <class T>
void restore(std::span<T> lane, std::span<const Run> runs) {
    if constexpr (std::is_floating_point_v<T>) {
        for (const Run& r : runs) {
            const T v = std::bit_cast<T>(static_cast<BitsOf<T>>(r.bits));
            for (std::uint32_t i = 0; i < r.length; ++i) lane[r.start + i] = v;
        }
    }
}

// True where a sample is finite (not covered by a run).
inline std::vector<std::uint8_t> finite_mask(std::span<const Run> runs, std::size_t length) {
    std::vector<std::uint8_t> mask(length, 1);
    for (const Run& r : runs)
        for (std::uint32_t i = 0; i < r.length; ++i) mask[r.start + i] = 0;
    return mask;
}

}  // namespace vantoresk::lanes
