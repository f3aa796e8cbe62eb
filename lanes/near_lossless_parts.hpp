// Pieces every near-lossless body version shares (internal to the level
// coder): the bin lattice's limits, the check value, the block predictor's
// side information and its prediction.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "lanes/common.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes/near_lossless.hpp"

namespace vantoresk::lanes::near_lossless {

inline constexpr unsigned kMinBlockLog2 = 8;
inline constexpr unsigned kMaxBlockLog2 = 20;
inline constexpr std::int64_t kIndexSpan = std::int64_t{1} << 42;

// The largest bin index an encoder can write for bins of `width` levels:
// ceil(2^40 / width), so that every level in [-2^40, 2^40] has its bin and
// every decoded level, at most width * that, is accepted again.
inline std::int64_t top_index(std::int64_t width) noexcept { return (kMaxLevel + width - 1) / width; }

inline constexpr std::uint64_t kHashStart = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kHashStep = 0xFF51AFD7ED558CCDull;

inline support::Err<LaneError> damaged(const char* what) {
    return bad_frame(std::string("near-lossless body ") + what);
}

// The check value's start: the header's numbers go in first, so that a
// damaged bound, count or block size is caught as well as a damaged index.
inline std::uint64_t start_hash(std::uint64_t k, std::uint64_t count, unsigned block_log2) noexcept {
    std::uint64_t h = kHashStart;
    for (const std::uint64_t x : {k, count, std::uint64_t{block_log2}}) h = (h ^ x) * kHashStep;
    return h;
}

inline std::uint32_t finish_hash(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return static_cast<std::uint32_t>(h >> 32);
}

inline std::uint64_t zigzag64(std::int64_t v) noexcept {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
inline std::int64_t unzigzag64(std::uint64_t z) noexcept {
    return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1u);
}

// A block predictor's side information, through any bit sink with
// put(value, count) / source with get(count): order (6 bits, 0..32); for
// order > 0 the shift (5 bits) and each coefficient as a zigzag integer z,
// 6 bits with the bit length of z, then z's bits below its leading one.
template <class Sink>
void put_predictor(Sink& out, const Predictor& p) {
    out.put(p.order, 6);
    if (p.order == 0) return;
    out.put(p.shift, 5);
    for (const std::int64_t c : p.coefficients) {
        const std::uint64_t z = zigzag64(c);
        const auto len = static_cast<unsigned>(std::bit_width(z));
        out.put(len, 6);
        if (len > 1) {
            // at most 62 bits below the leading one: two pieces
            const unsigned rest = len - 1;
            out.put(z, std::min(rest, 32u));
            if (rest > 32) out.put(z >> 32, rest - 32);
        }
    }
}

// False on an order, shift or coefficient no encoder writes.
template <class Source>
bool get_predictor(Source& in, unsigned& order, unsigned& shift, std::int64_t* coef) {
    order = static_cast<unsigned>(in.get(6));
    shift = 0;
    if (order > kMaxPredictorOrder) return false;
    if (order == 0) return true;
    shift = static_cast<unsigned>(in.get(5));
    if (shift > kMaxCoefficientShift) return false;
    for (unsigned j = 0; j < order; ++j) {
        const auto len = static_cast<unsigned>(in.get(6));
        if (len > 63) return false;
        std::uint64_t z = 0;
        if (len > 0) {
            const unsigned rest = len - 1;
            std::uint64_t low = in.get(std::min(rest, 32u));
            if (rest > 32) low |= in.get(rest - 32) << 32;
            z = (std::uint64_t{1} << rest) | low;
        }
        coef[j] = unzigzag64(z);
    }
    return true;
}

// The prediction for index t from the decoded indices before it.
inline std::int64_t predict(const std::int64_t* y, std::size_t t, unsigned order, unsigned shift,
                            const std::int64_t* coef, std::int64_t ymax) noexcept {
    if (t < order || order == 0) return t == 0 || order == 0 ? 0 : y[t - 1];
    std::uint64_t acc = shift > 0 ? std::uint64_t{1} << (shift - 1) : 0;
    acc += history_dot(y + t - 1, coef, order);
    const std::int64_t p = static_cast<std::int64_t>(acc) >> shift;
    return std::clamp(p, -ymax, ymax);
}

// Body version 1 (range-coded residuals), decode only.
Status decode_levels_v1(std::span<const std::uint8_t> body, std::span<std::int64_t> out);

}  // namespace vantoresk::lanes::near_lossless
