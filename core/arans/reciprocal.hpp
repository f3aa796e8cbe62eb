// Exact division of a 32-bit rANS state by a model frequency, by multiplication.
//
// The encoder divides by a frequency f in [15, 4081] once per decision; a
// hardware divide is the slowest thing in its loop. For every divisor
// 1 <= d <= 4096 we precompute, with l = ceil(log2 d),
//
//     m = ceil(2^(32 + l) / d),        2^32 <= m < 2^33,
//
// and then floor(x / d) = floor(x * m / 2^(32 + l)) for every 0 <= x < 2^32
// (m * d - 2^(32+l) < d <= 2^l, which is the classic exactness condition for
// a 32-bit numerator). The 33-bit m does not fit a 32-bit multiplier, so we
// store only mul = m - 2^32 and use
//
//     x * m / 2^32 = x * mul / 2^32 + x        (x * 2^32 has no low bits)
//     q = ((x * mul >> 32) + x) >> l,
//
// all in 64-bit arithmetic: x * mul < 2^64 and the sum < 2^33.
// Exactness is checked by a test over every divisor with edge and random states.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "core/arans/model.hpp"

namespace vantoresk::arans {

struct Reciprocal {
    std::uint32_t mul;    // m - 2^32
    std::uint32_t shift;  // ceil(log2 d)
};

inline constexpr std::array<Reciprocal, model::kProbScale + 1> kReciprocals = [] {
    std::array<Reciprocal, model::kProbScale + 1> t{};
    for (std::uint32_t d = 1; d <= model::kProbScale; ++d) {
        const auto l = static_cast<std::uint32_t>(std::bit_width(d - 1));
        const std::uint64_t two_pow = std::uint64_t{1} << (32 + l);
        const std::uint64_t m = (two_pow + d - 1) / d;
        t[d] = Reciprocal{static_cast<std::uint32_t>(m - (std::uint64_t{1} << 32)), l};
    }
    return t;
}();

// floor(x / d) for 1 <= d <= 4096 and any 32-bit x.
inline std::uint32_t divide(std::uint32_t x, const Reciprocal& r) noexcept {
    const std::uint64_t hi = (static_cast<std::uint64_t>(x) * r.mul) >> 32;
    return static_cast<std::uint32_t>((hi + x) >> r.shift);
}

inline std::uint32_t divide(std::uint32_t x, std::uint32_t d) noexcept { return divide(x, kReciprocals[d]); }

}  // namespace vantoresk::arans
