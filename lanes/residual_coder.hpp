// Lossless coder for a sequence of integer prediction residuals, in the
// order a decoder needs them. Reusable by any scheme that predicts integer
// samples and codes what the prediction missed.
//
// Each residual r (|r| < 2^45), of bit length e = bit_width(|r|), becomes
//   A   16 symbols: 0 for r = 0, 1 for r = 1, 2 for r = -1, e + 1 for e in
//       2..13, and 15 for e >= 14 with e - 14 following as 5 raw bits;
//       modelled by the activity of the residuals before it, c = class of
//       s = 2|r[t-1]| + |r[t-2]| + |r[t-3]| (s below 4, else two classes an
//       octave, 2 bit_width(s) - 2 + the bit of s below its leading one, at
//       most 47; residuals before the first count as 0);
//   B   for e >= 2: the sign (bit 0) and the up to two bits of |r| below its
//       leading one (bits 1-2), 8 symbols, modelled by min(e, 15) and the
//       sign of r[t-1] (zero, positive, negative);
//   C   for e >= 4: the next min(n, 3) bits of |r| below B's (8 symbols),
//       n = e - 3, modelled by min(e, 15) and B's bits of |r|;
//   raw the remaining low bits of |r|.
// A, B and C are coded with AdaptiveCdf models by the rANS coder;
// raw bits go to their own bit stream (adaptive_rans.hpp). At the start of
// the sequence every model counts as having seen two symbols; B models
// start from frequencies 5461, 5461, 4369, 4369, 3641, 3641, 2913, 2913
// (symbols 0-7), C models from 5120, 4800, 4400, 4100, 3900, 3700, 3500,
// 3248, and the A model of activity c from 1 + floor(w(s) * (2^15 - 16) /
// sum w): w(s) = (4096 >> min(12, 2|e(s) - m|)) >> (1 for s = 1, 2), e(s)
// the bit length symbol s stands for (14 for s = 15), m = floor(c / 2) for
// c < 4, else floor((c - 2) / 2) - 1; the rest of 2^15 goes to the symbol
// of a positive residual of bit length min(max(m, 0), 14).
//
// Unit format: varint L (bytes of the rANS stream, even, at least 4),
// varint R (bytes of raw bits), the rANS stream, the raw bits. The unit
// holds no count: the caller knows how many residuals it wants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

// Residuals must satisfy |r| < 2^kResidualBits.
inline constexpr unsigned kResidualBits = 45;

// Appends the unit to `out`; a residual out of range is VNT_INVALID_ARGUMENT
// and appends nothing.
Status encode_residuals(std::span<const std::int64_t> residuals, std::vector<std::uint8_t>& out);

// Decodes out.size() residuals from the unit at `in[pos]` and moves `pos`
// past it. A unit that is truncated, damaged so that it cannot be a unit,
// or not used to its last bit is VNT_BAD_FRAME; nothing is read or written
// out of bounds on any input.
Status decode_residuals(std::span<const std::uint8_t> in, std::size_t& pos, std::span<std::int64_t> out);

}  // namespace vantoresk::lanes
