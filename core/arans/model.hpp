// Adaptive binary model and rANS constants shared by every arans coder.
//
// Traps of the contract:
//  * A byte is eight binary decisions, most significant bit first, walked
//    down a tree: node starts at 1 and becomes 2 * node + bit. The entry used
//    for a decision sits at context * 256 + node, so entry 0 of every row of
//    256 is never touched and the eighth decision uses nodes 128..255. Code
//    that loads a node's two children ahead of time must not do so on the
//    eighth decision: the "children" 256..511 belong to the next row.
//  * An entry is P(bit = 0) in 1/4096 units. Bit 0 owns slots [0, p), bit 1
//    owns [p, 4096). Starting from 2048 the shift-by-4 adaptation keeps every
//    entry within [15, 4081], so no frequency is ever below 15; the encoder's
//    division and the decoder's renormalisation bounds rely on that.
//  * The state lives in [2^16, 2^32). Renormalisation moves 16-bit words.
//    Because every frequency is at least 15, one decoded decision leaves a
//    normalised state at least 15 * 16 = 240, so a single word restores it;
//    the encoder likewise emits at most one word per decision. Hence a plane
//    of n bytes codes to at most 8n words. A damaged plane can hand the
//    decoder a start state below 2^16 (even 0); until the state is first
//    normalised a decision may need several words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vantoresk::arans::model {

inline constexpr unsigned kProbBits = 12;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;  // 4096
inline constexpr std::uint16_t kInitialProb = 2048;
inline constexpr unsigned kAdaptShift = 4;
inline constexpr std::uint32_t kMinFreq = 15;
inline constexpr std::uint32_t kMaxFreq = kProbScale - kMinFreq;  // 4081

inline constexpr unsigned kWordBits = 16;
inline constexpr std::uint32_t kStateLow = 1u << kWordBits;  // 65536, also the encoder's start state
// The encoder must shrink the state before coding a decision of frequency f
// whenever x >= f << kEncodeShift, so that the coded state stays below 2^32.
inline constexpr unsigned kEncodeShift = 32 - kProbBits;  // 20

inline constexpr unsigned kMaxContextBits = 8;
inline constexpr std::size_t kRowSize = 256;
inline constexpr unsigned kBitsPerByte = 8;

// Entries in the model table for `context_bits` (0..8).
constexpr std::size_t table_size(unsigned context_bits) noexcept { return kRowSize << context_bits; }

// Offset of the row used for the byte that follows `prev`.
constexpr std::size_t row_offset(unsigned prev, unsigned context_bits) noexcept {
    return static_cast<std::size_t>(prev >> (kBitsPerByte - context_bits)) * kRowSize;
}

// The entry's update after coding `bit` with it.
constexpr std::uint32_t adapt(std::uint32_t p, std::uint32_t bit) noexcept {
    return bit != 0 ? p - (p >> kAdaptShift) : p + ((kProbScale - p) >> kAdaptShift);
}

// The adapted entry for every (p, bit), at index 2p + bit: one address
// computation and one load instead of the arithmetic and a select. Each
// coder keeps its own copy with internal linkage (a table shared across
// translation units is reached through the GOT in position-independent code,
// one more load per decision).
using AdaptTable = std::array<std::uint16_t, 2 * kProbScale>;

constexpr AdaptTable make_adapt_table() noexcept {
    AdaptTable t{};
    for (std::uint32_t p = 0; p < kProbScale; ++p) {
        t[2 * p] = static_cast<std::uint16_t>(adapt(p, 0));
        t[2 * p + 1] = static_cast<std::uint16_t>(adapt(p, 1));
    }
    return t;
}

}  // namespace vantoresk::arans::model
