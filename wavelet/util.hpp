// The quadrature-mirror rule: the high-pass (detail) filter of an orthogonal
// bank from its low-pass filter,
//
//     g[j] = (-1)^j * h[L-1-j]      g = (h[L-1], -h[L-2], h[L-3], ..., -h[0])
//
// Trap: the negation is a sign-bit flip, not arithmetic. A zero tap at an odd
// index of the reversed filter becomes -0.0f, and every magnitude is
// bit-identical to h. Kernels that pad filters with zero lanes pad after the
// mirror, so padding is never flipped.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tremora {

constexpr float flip_sign(float v) noexcept {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) ^ 0x80000000u);
}

// Any length; an empty filter gives an empty vector.
std::vector<float> low_pass_to_high(std::span<const float> low_pass);

// Fixed-size variant for the 12- and 16-tap kernels.
template <std::size_t N>
    requires(N == 12 || N == 16)
constexpr std::array<float, N> low_pass_to_high_from_arr(const std::array<float, N>& low_pass) noexcept {
    std::array<float, N> high{};
    for (std::size_t j = 0; j < N; ++j) {
        const float v = low_pass[N - 1 - j];
        high[j] = (j % 2 == 1) ? flip_sign(v) : v;
    }
    return high;
}

}  // namespace tremora
