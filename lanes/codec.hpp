// The lane codec over whole N-D chunks: lanes cut out along one axis, each
// chosen and coded on its own, packed into one frame; and back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"
#include "lanes/frame.hpp"

namespace vantoresk::lanes {

// `data` holds the elements of `layout` (contiguous, C or F order).
LResult<std::vector<std::uint8_t>> encode_frame(std::span<const std::uint8_t> data, const vnt_layout& layout,
                                                const vnt_options& options);

struct FrameView {
    FrameHeader head;
    std::vector<std::span<const std::uint8_t>> records;
};

// Header, lane table and every lane record's head and body size checked;
// nothing sized from the frame beyond the lane table.
LResult<FrameView> open_frame(std::span<const std::uint8_t> frame);

std::uint64_t decoded_bytes(const FrameHeader& head) noexcept;

// Decodes into `out` (decoded_bytes of the frame at least).
Status decode_frame(std::span<const std::uint8_t> frame, std::span<std::uint8_t> out);

// Every lane's info, the frame opened once.
LResult<std::vector<struct vnt_lane_info>> lane_infos(std::span<const std::uint8_t> frame);

LResult<struct vnt_lane_info> lane_info(std::span<const std::uint8_t> frame, std::uint64_t lane);

}  // namespace vantoresk::lanes
