// Choosing a lane's body: the smallest of the container, near-lossless and
// exact kinds that meets the lane's target.
//
// Bounds that hold by construction (exact kinds; near-lossless integer
// lanes) are not checked; everything else is decoded and measured in
// float64 against the values given, over the lane's finite samples only, so
// bridged non-finite samples never decide a choice. A near-lossless body
// that gives back its input exactly is taken at once: a lane decoded from
// such a frame re-encodes to itself, so repeated partial writes of a chunk
// do not drift.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/compression_options.hpp"
#include "lanes/common.hpp"
#include "lanes/lane_errors.hpp"  // the measures every body is held to

namespace vantoresk::lanes {

struct LaneSettings {
    CompressionOptions options;
    vnt_target_kind target = VNT_TARGET_NONE;
    double limit = 0.0;  // data units, PRDN percent or grid steps, by `target`
};

struct ChosenBody {
    std::uint8_t kind = 0xFF;
    std::vector<std::uint8_t> body;
};

// `values` are finite (non-finite samples bridged), `mask` marks the samples
// that count (empty: all).
template <LaneValue T>
Status choose_body(std::span<const T> values, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                   const LaneSettings& settings, ChosenBody& chosen);

}  // namespace vantoresk::lanes
