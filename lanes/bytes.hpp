// Byte streams of the lane bodies: raw DEFLATE in and out (strict: a
// stream must hold exactly what its lane needs and end where its bytes
// end), byte shuffling, zigzag coding and LEB128 varints of integers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

// DEFLATE expands at most 1032-fold: a stream shorter than need / 1032 is
// refused before anything is sized from `need`.
inline constexpr std::uint64_t kMaxInflation = 1032;

// Appends one raw DEFLATE stream of `input` to `out`.
Status deflate_append(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out, int level = 6);

// Inflates `stream` into exactly out.size() bytes; the stream must end
// exactly at its last byte. `what` names the stream in the error.
Status inflate_exact(std::span<const std::uint8_t> stream, std::span<std::uint8_t> out, const char* what);

// Unsigned values at `width` bytes, little-endian, all first bytes first.
void shuffle_append(std::span<const std::uint64_t> values, unsigned width, std::vector<std::uint8_t>& out);
void unshuffle(std::span<const std::uint8_t> planes, unsigned width, std::span<std::uint64_t> out);

// 0, -1, 1, -2, ... -> 0, 1, 2, 3, ...
constexpr std::uint64_t zigzag(std::int64_t v) noexcept {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
constexpr std::int64_t unzigzag(std::uint64_t z) noexcept {
    return static_cast<std::int64_t>((z >> 1) ^ (std::uint64_t{0} - (z & 1)));
}
// The narrowest of 1, 2, 4, 8 bytes that holds `top`.
constexpr unsigned narrowest(std::uint64_t top) noexcept {
    if (top < 0x100) return 1;
    if (top < 0x10000) return 2;
    if (top < 0x100000000ULL) return 4;
    return 8;
}
constexpr bool width_known(unsigned w) noexcept { return w == 1 || w == 2 || w == 4 || w == 8; }

// Unsigned LEB128, minimal length, at most 10 bytes.
inline void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}
// Reads one at `pos` and moves past it; false on a truncated, overlong or
// non-minimal varint.
inline bool get_varint(std::span<const std::uint8_t> in, std::size_t& pos, std::uint64_t& v) noexcept {
    v = 0;
    for (unsigned i = 0; i < 10; ++i) {
        if (pos >= in.size()) return false;
        const std::uint8_t b = in[pos++];
        if (i == 9 && b > 1) return false;
        v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) return !(b == 0 && i > 0);
    }
    return false;
}

std::uint32_t crc32_of(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace vantoresk::lanes
