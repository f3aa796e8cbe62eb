// The quadrature-mirror rule, the one place it is written: the high-pass
// (detail) filter of an orthogonal bank from its low-pass filter,
//
//     g[j] = (-1)^j * h[L-1-j]      g = (h[L-1], -h[L-2], h[L-3], ..., -h[0])
//
// Trap: the negation is a sign-bit flip, not arithmetic. A zero tap at an odd
// index of the reversed filter becomes -0.0f, and every magnitude is
// bit-identical to h. Kernels that pad filters with zero lanes pad after the
// mirror, so padding is never flipped.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tremora {

constexpr float flip_sign(float v) noexcept {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) ^ 0x80000000u);
}

// Writes the mirror of `low_pass` into `high`, which has the same length.
constexpr void mirror_filter(std::span<const float> low_pass, std::span<float> high) noexcept {
    const std::size_t n = low_pass.size();
    for (std::size_t j = 0; j < n; ++j) {
        const float v = low_pass[n - 1 - j];
        high[j] = (j % 2 == 1) ? flip_sign(v) : v;
    }
}

// Any length; an empty filter gives an empty vector.
inline std::vector<float> low_pass_to_high(std::span<const float> low_pass) {
    std::vector<float> high(low_pass.size());
    mirror_filter(low_pass, high);
    return high;
}

}  // namespace tremora
