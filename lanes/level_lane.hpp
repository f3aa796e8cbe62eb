// The near-lossless lane body (kind 5): integer levels, each decoded within
// k of the level encoded, mapped to the lane's values.
//
//   0   1   mapping: 0 identity (value = level, clamped into an integer
//           dtype's range), 1 grid (value = dtype(a + b * level) in float64,
//           float lanes), 2 bins (value = dtype(level * step), float lanes),
//           3 grid with corrections (as 1, then some samples' bits corrected)
//   1   8   k, u64: the largest distance of a decoded level from its input
//   9   ... mapping 1: a, b (float64 each); mapping 2: step (float64);
//           mapping 3: a, b (float64 each), the corrections' width in bytes
//           (u8: 1, 2, 4 or 8, at most the itemsize), their number M (u32, 1
//           to the lane length), the byte length C of their stream (u32) and
//           the stream: raw DEFLATE of the M corrected samples' index gaps
//           (u32, the first from 0) and then the corrections (zigzag at their
//           width), both byte-shuffled; sample i then decodes to the bits of
//           dtype(a + b * level) plus its correction, modulo 2^(8 * itemsize)
//   ... ... the level stream
//
// Clamping keeps the bound: a decoded level within k of an in-range level
// is still within k after clamping. Float lanes meet their bound only up to
// the rounding to the dtype, so their encoder checks it by decoding.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

enum LevelMapping : std::uint8_t { kIdentity = 0, kOnGrid = 1, kBins = 2, kOnGridCorrected = 3 };

struct LevelMap {
    LevelMapping mapping = kIdentity;
    double a = 0.0;
    double b = 1.0;  // the grid's step, or the bins' step
};

struct LevelLaneInfo {
    LevelMap map;
    std::uint64_t k = 0;
    unsigned correction_width = 0;  // mapping 3
    std::uint64_t corrections = 0;
    std::span<const std::uint8_t> correction_stream;
    std::size_t head = 0;  // where the level stream starts
};

// Mapping 3 takes the corrections' width, count and stream (grid_corrections).
struct LevelCorrections {
    unsigned width = 0;
    std::uint64_t count = 0;
    std::span<const std::uint8_t> stream;
};

Status level_lane_body(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map,
                       std::vector<std::uint8_t>& out, const LevelCorrections& corrections = {});

// The body's fields before the level stream (what level_lane_body writes
// before calling the level coder), for callers that code the levels
// themselves (the interpolating scheme).
void level_lane_head(std::uint64_t k, const LevelMap& map, std::vector<std::uint8_t>& out,
                     const LevelCorrections& corrections = {});

LResult<LevelLaneInfo> read_level_lane(std::span<const std::uint8_t> body, vnt_dtype dtype);

// Decodes into out.size() values; `levels` is working memory of the same
// size (its contents on return are unspecified).
template <LaneValue T>
Status decode_level_lane(std::span<const std::uint8_t> body, vnt_dtype dtype, std::span<T> out,
                         std::span<std::int64_t> levels);

// The level the level coder gives back for `level` coded with bound k: the
// centre of its bin of 2k + 1 (the coder's prediction only decides how the
// bins are coded, never where a level lands). Lets the chooser check a bound
// before coding anything.
inline std::int64_t coded_level(std::int64_t level, std::uint64_t k) noexcept {
    const auto w = static_cast<std::int64_t>(2 * k + 1);
    const std::int64_t a = level + static_cast<std::int64_t>(k);
    std::int64_t q = a / w;
    if (a % w != 0 && a < 0) --q;
    return q * w;
}

// One level's value under a mapping (what the decoder writes).
template <LaneValue T>
inline T level_value(const LevelMap& m, std::int64_t level, std::int64_t lo, std::int64_t hi) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        if (m.mapping == kOnGrid || m.mapping == kOnGridCorrected)
            return static_cast<T>(m.a + m.b * static_cast<double>(level));
        if (m.mapping == kBins) return static_cast<T>(static_cast<double>(level) * m.b);
        return static_cast<T>(static_cast<double>(level));
    } else {
        return level < lo ? lo : (level > hi ? hi : level);
    }
}

}  // namespace vantoresk::lanes
