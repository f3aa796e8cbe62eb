// Exact division of a 32-bit rANS state by a model frequency, by multiplication.
//
// The encoder divides by a frequency f in [15, 4081] once per decision; a
// hardware divide is the slowest step of its loop and sits on the state's
// dependency chain. For every divisor 2 <= d <= 4096 we keep
//
//     M = ceil(2^64 / d)     (= floor((2^64 - 1) / d) + 1, fits 64 bits),
//
// and take floor(x / d) as the high 64 bits of the 96-bit product x * M.
// Why it is exact for every 32-bit x: M d = 2^64 + e with 0 <= e < d, so
// x M / 2^64 = x / d + x e / (d 2^64), and the extra term is below
// x / 2^64 < 2^-32, while the fractional part of x / d is at most
// (d - 1) / d, i.e. at least 1/d >= 2^-12 away from the next integer.
// One multiply and no shift or add: the shortest chain we found.
// A test checks every divisor with edge and random states.
#pragma once

#include <array>
#include <cstdint>

#include "core/arans/model.hpp"

namespace vantoresk::arans {

inline constexpr std::array<std::uint64_t, model::kProbScale + 1> kReciprocals = [] {
    std::array<std::uint64_t, model::kProbScale + 1> t{};
    for (std::uint32_t d = 2; d <= model::kProbScale; ++d) t[d] = UINT64_MAX / d + 1;
    return t;
}();

// High 64 bits of x * m.
inline std::uint64_t multiply_high(std::uint32_t x, std::uint64_t m) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<std::uint64_t>((static_cast<Wide>(x) * m) >> 64);
#else
    // (x m_hi 2^32 + x m_lo) >> 64; x m_hi + (x m_lo >> 32) < 2^64.
    const std::uint64_t lo = static_cast<std::uint64_t>(x) * static_cast<std::uint32_t>(m);
    const std::uint64_t hi = static_cast<std::uint64_t>(x) * (m >> 32);
    return (hi + (lo >> 32)) >> 32;
#endif
}

// floor(x / d) for 2 <= d <= 4096, given kReciprocals[d], for any 32-bit x.
inline std::uint32_t divide_by_reciprocal(std::uint32_t x, std::uint64_t reciprocal) noexcept {
    return static_cast<std::uint32_t>(multiply_high(x, reciprocal));
}

inline std::uint32_t divide(std::uint32_t x, std::uint32_t d) noexcept {
    return divide_by_reciprocal(x, kReciprocals[d]);
}

}  // namespace vantoresk::arans
