// Near-lossless body version 2, scheme 1: the prediction-centred scheme
// (interp_scheme.hpp) with its bins coded by an adaptive binary range coder
// whose contexts follow the hierarchy. (The residual coder of scheme 0 sees
// no strides; these contexts code the mostly-zero bins of fine strides 5 to
// 20 % smaller, where this scheme pays.)
//
// Body (integers little-endian; varint = minimal unsigned LEB128 of at most
// 10 bytes):
//   u8      version  2
//   u8      scheme   1
//   varint  k        the lane's bound: the largest of the bounds below
//   varint  count    levels in the lane; must equal the caller's length
//   u8      m        number of bounds, 1..32
//   varint  bound    m times: the bounds per stride (interp_scheme.hpp), each
//                    at most 2^41
//   ...     coded    range-coded stream (range_coder.hpp)
//   u32     check    top 32 bits of the mix of the bounds, count and every
//                    decoded level in sample order (as near_lossless.hpp
//                    mixes)
// Each bin q (coding order) is binarised as zero? ; sign ; unary class
// nb = floor(log2 |q|) ; the first four bits of |q| below its leading one
// from a tree of models per nb, the rest bypass (as the lattice coder
// does). Contexts for a sample i at half-stride h:
//   stride class  0, 1, 2 for h = 1, 2, 4; 3 for coarser strides and anchors
//   activity      s = 2|q(i-2h)| + |q(i-4h)| + |q(i-h)| + |q(i+h)| over the
//                 bins already coded (absent ones count 0, each capped at
//                 2^20): s itself below 4, then bit_width(s) + 1, at most 31
//   sign          the signs of q(i-2h) and q(i-h) (9 classes)
// The zero and unary models are chosen by stride class and activity, the
// mantissa models by nb. Every model starts at 1/2.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

// Appends the body for `levels` with `bounds` to `body`; `recon`, when not
// empty (the lane's length), receives the levels the body decodes to.
Status encode_interp(std::span<const std::int64_t> levels, std::span<const std::uint64_t> bounds,
                     std::vector<std::uint8_t>& body, std::span<std::int64_t> recon = {});

// The same from the bins `q` (coding order) and reconstructed levels
// `recon` that interp_encode gave for the lane with `bounds`, when the caller
// has them already (they are not worked out again, nor checked against the
// levels).
Status encode_interp_bins(std::span<const std::int64_t> q, std::span<const std::int64_t> recon,
                          std::span<const std::uint64_t> bounds, std::vector<std::uint8_t>& body);

inline constexpr std::uint8_t kSchemeInterp = 1;

// About what the bins `q` (coding order) of an n-sample lane code to, in
// bytes, without coding them: their empirical entropy per stride class (as
// the coder's zero, sign and class decisions see them) plus the raw bits
// below the leading ones. For deciding whether coding is worth a try.
std::size_t interp_estimate_bytes(std::span<const std::int64_t> q);

// Decodes a body into `out` (the lane's length). Damaged bodies are
// VNT_BAD_FRAME; nothing is read or written out of bounds on any input.
// (decode_levels dispatches here on the scheme byte.)
Status decode_interp(std::span<const std::uint8_t> body, std::span<std::int64_t> out);

}  // namespace vantoresk::lanes
