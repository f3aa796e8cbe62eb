// Lane kind 0: one wavelet container of the lane (decoded to float32, then
// to the frame's dtype; integer lanes round to nearest and clamp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/compression_options.hpp"
#include "lanes/common.hpp"

namespace vantoresk::lanes {

inline constexpr std::size_t kContainerHeader = 52;
// Values the container carries and gives back finite: it works in float32
// and rebuilds samples as minimum + range * (mean + x), which must not overflow.
inline constexpr double kContainerLargest = 0x1p124;

template <LaneValue T>
bool container_can_hold(std::span<const T> values) noexcept;

template <LaneValue T>
Status container_body(std::span<const T> values, CompressionOptions options, std::vector<std::uint8_t>& out);

// Whether a body can be a container of `length` samples (checked before decoding).
bool container_plausible(std::span<const std::uint8_t> body, std::uint64_t length) noexcept;

template <LaneValue T>
Status decode_container(std::span<const std::uint8_t> body, vnt_dtype dtype, std::span<T> out);

}  // namespace vantoresk::lanes
