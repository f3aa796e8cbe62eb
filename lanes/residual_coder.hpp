// Lossless coder for a sequence of integer prediction residuals, in the
// order a decoder needs them. Reusable by any scheme that predicts integer
// samples and codes what the prediction missed.
//
// Each residual r (|r| < 2^46) becomes
//   A   its class: 0 for r = 0, else e = bit_width(|r|) capped at 15
//       (16 symbols; A = 15 adds e - 15 as 5 raw bits), modelled by the
//       activity of the residuals before it, c = class of
//       s = 2|r[t-1]| + |r[t-2]| + |r[t-3]| (s below 4, else bit_width(s) + 1,
//       at most 31; residuals before the first count as 0);
//   B   for r != 0: the sign (bit 0) and the up to two bits of |r| below its
//       leading one (bits 1-2), 8 symbols, modelled by min(e, 15) and the
//       sign of r[t-1] (zero, positive, negative);
//   raw the remaining e - 1 - min(e - 1, 2) low bits of |r|.
// A and B are coded with AdaptiveCdf models (every model starts uniform
// at the start of the sequence) by the interleaved rANS coder; raw bits go
// to their own bit stream (adaptive_rans.hpp).
//
// Unit format: varint L (bytes of the rANS stream, even, at least 8),
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
inline constexpr unsigned kResidualBits = 46;

// Appends the unit to `out`; a residual out of range is VNT_INVALID_ARGUMENT
// and appends nothing.
Status encode_residuals(std::span<const std::int64_t> residuals, std::vector<std::uint8_t>& out);

// Decodes out.size() residuals from the unit at `in[pos]` and moves `pos`
// past it. A unit that is truncated, damaged so that it cannot be a unit,
// or not used to its last bit is VNT_BAD_FRAME; nothing is read or written
// out of bounds on any input.
Status decode_residuals(std::span<const std::uint8_t> in, std::size_t& pos, std::span<std::int64_t> out);

}  // namespace vantoresk::lanes
