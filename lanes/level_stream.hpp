// A simple level coder: integer levels within k of their input, as
// quantised bins of 2k + 1 and DEFLATE. It backs the near-lossless kind
// where no better coder is linked in.
//
// Stream::
//
//   0   8   k, u64 (at most 2^40)
//   8   1   difference order p, 1 to 3
//   9   1   width of a difference in bytes: 1, 2, 4 or 8
//   10  ... raw DEFLATE of the bin indices' p-th differences, zigzag-coded
//           at their width, byte-shuffled
//
// Level i decodes to q[i] * (2k + 1). Re-encoding decoded levels with the
// same k gives the same levels (each is the centre of its own bin).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

inline constexpr std::int64_t kMaxLevel = std::int64_t{1} << 40;

// Levels must lie in [-2^40, 2^40].
Status encode_levels(std::span<const std::int64_t> levels, std::uint64_t k, std::vector<std::uint8_t>& body);
// out.size() is the lane length.
Status decode_levels(std::span<const std::uint8_t> body, std::span<std::int64_t> out);

}  // namespace vantoresk::lanes
