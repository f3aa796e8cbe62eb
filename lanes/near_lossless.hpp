// Near-lossless coder for one lane of integer levels.
//
// Codes integer levels so that every decoded level is within k of its input
// (k = 0: exact). Each level v is first put in its bin of width 2k+1,
// y = floor((v + k) / (2k + 1)), and decodes to y * (2k + 1); the bin
// indices are then coded without loss by closed-loop prediction (the
// predictor sees only decoded indices, so errors never accumulate) and an
// adaptive binary range coder, in integer arithmetic only. Levels already
// on the bin lattice decode to themselves, so the coder is idempotent:
// encoding the decoded levels again with the same k gives the same decoded
// levels.
//
// Levels must lie in [-M, M], M = (2k+1) * ceil(2^40 / (2k+1)) >= 2^40:
// every level in [-2^40, 2^40], and every level a body decodes to (the
// decoder refuses bin indices beyond ceil(2^40 / (2k+1))). A k above 2^41
// is coded as 2^41.
//
// Body format, version 2 (written; all integers little-endian; varint =
// unsigned LEB128 of at most 10 bytes, minimal length):
//   u8      version = 2
//   u8      scheme       0: bin indices predicted per block as below; any
//                        other value is refused as unsupported (1 is
//                        reserved for a scheme that interpolates)
//   varint  k            bound in levels, at most 2^41
//   varint  count        levels in the lane; must equal the caller's length
//   u8      block_log2   levels per predictor block = 2^block_log2, 8..20
//   ...     residuals    r = y[t] - p(t) for every index in order, with p(t)
//                        as in version 1, coded by the residual coder
//                        (residual_coder.hpp), which ends where its stream
//                        ends
//   ...     predictors   one per block in order, as version 1 writes them
//                        (order, shift, coefficients; the same bit counts),
//                        in a bit stream, least significant bit first, the
//                        last byte padded with zero bits; it ends where the
//                        check value starts
//   u32     check        as in version 1
// The decoder takes the residuals first and adds the predictions block by
// block; the stream's parts must each end exactly where the next begins.
//
// Body format, version 1 (read only; stored bodies stay readable):
//   u8      version = 1
//   varint  k            bound in levels, at most 2^41
//   varint  count        levels in the lane; must equal the caller's length
//   u8      block_log2   levels per predictor block = 2^block_log2, 8..20
//   ...     coded        range-coded stream (range_coder.hpp), then
//   u32     check        the check value of the decoded bin indices
// The coded stream holds, for each block in order:
//   the predictor: order (6 bypass bits, 0..32); for order > 0 the shift (5
//   bypass bits) and each coefficient as a zigzag integer z: 6 bypass bits
//   with the bit length of z, then z's bits below its leading one, bypass;
//   then for each index y[t] of the block its residual r = y[t] - p(t):
//   p(t) = 0 for t = 0, y[t-1] for t < order, else
//   clamp((sum_j coef[j] * y[t-1-j] + (2^shift >> 1)) >> shift, -Y, Y)
//   with the sum taken modulo 2^64 as a signed 64-bit value, Y = floor(2^42
//   / (2k+1)) the largest index magnitude allowed; r is binarised as
//   zero? ; sign ; unary bit length class nb = floor(log2 |r|) ; the first
//   four bits of |r| below its leading one (those present) from a binary
//   tree of models per nb, the rest bypass. Zero and unary models are chosen by the activity
//   s = 2|r[t-1]| + |r[t-2]| + |r[t-3]| (s for s < 4, else bit_width(s) + 1,
//   at most 31), mantissa models by nb, the sign model by the signs of
//   r[t-1] and r[t-2] (9 classes). Every model starts at 1/2 at the start of
//   the lane and adapts as BitModel says.
// The check value is the top 32 bits of h after h = 0x9E3779B97F4A7C15,
// h = (h ^ x) * 0xFF51AFD7ED558CCD for x = k, count, block_log2 and then
// each bin index y in order (as 64-bit two's complement), h ^= h >> 33,
// h *= 0xC4CEB9FE1A85EC53, h ^= h >> 33.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

// The version the encoder writes; versions 1 and 2 are read.
inline constexpr std::uint8_t kNearLosslessVersion = 2;
inline constexpr std::int64_t kMaxLevel = std::int64_t{1} << 40;
inline constexpr std::uint64_t kNearLosslessMaxBound = std::uint64_t{1} << 41;

// Appends the body to `body` (which keeps what it held before).
Status encode_levels(std::span<const std::int64_t> levels, std::uint64_t k, std::vector<std::uint8_t>& body);

// `out.size()` is the lane's length; a body of another length is refused.
// Every damaged or truncated body that the check value can tell is refused
// (VNT_BAD_FRAME; a newer body version is VNT_UNSUPPORTED); nothing is read
// or written out of bounds on any input. Levels outside the range are
// VNT_INVALID_ARGUMENT for the encoder.
Status decode_levels(std::span<const std::uint8_t> body, std::span<std::int64_t> out);

// The k a body was coded with, from its first bytes.
LResult<std::uint64_t> near_lossless_bound(std::span<const std::uint8_t> body);

}  // namespace vantoresk::lanes
