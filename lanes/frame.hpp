// The lane frame: header, lane table, lane records and checksum.
//
// Version 1 (float32/float64 chunks, lane kinds 0 to 4) is frozen; version
// 2 adds integer dtypes and lane kind 5 and is otherwise laid out the same.
// A frame uses version 2 only when it needs one of those, so frames of
// float lanes in the old kinds stay readable by version 1 readers.
//
// All integers are little-endian.
//
//   offset  size        field
//   0       4           magic "VNLF"
//   4       1           version, 1 or 2
//   5       3           dtype as NumPy spells it: "<f4", ">f4", "<f8", ">f8";
//                       version 2 also "|i1", "|u1", "<i2", ">i2", "<u2",
//                       ">u2", "<i4", ">i4"
//   8       1           memory order, 'C' or 'F'
//   9       1           ndim, 1 to 32
//   10      1           axis, 0 to ndim - 1 (the lane axis)
//   11      1           reserved, 0
//   12      8 * ndim    shape, u64 each
//   ...     4 * lanes   byte length of each lane record, u32 each
//   ...                 the lane records, one after the other
//   end-4   4           CRC-32 (zlib's) of every byte before it
//
// Lane record: kind (u8), 3 reserved zero bytes, the number R of
// non-finite runs (u32), R runs (start u32, length u32, the value's bits at
// the itemsize), then the body. Integer lanes have no runs.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

inline constexpr std::uint8_t kMagic[4] = {'V', 'N', 'L', 'F'};
inline constexpr int kNewestVersion = 2;

enum LaneKind : std::uint8_t {
    kContainer = 0,
    kRaw = 1,
    kShuffled = 2,
    kDeflate = 3,
    kGrid = 4,
    kNearLossless = 5,
};

struct FrameHeader {
    int version = 1;
    vnt_dtype dtype = VNT_FLOAT32;
    bool big_endian = false;
    char order = 'C';
    int ndim = 1;
    int axis = 0;
    std::array<std::uint64_t, VNT_MAX_NDIM> shape{};

    std::uint64_t lane_length() const noexcept { return shape[axis]; }
    std::uint64_t lane_count() const noexcept;
    std::uint64_t element_count() const noexcept;
};

struct Run {
    std::uint32_t start;
    std::uint32_t length;
    std::uint64_t bits;  // the value's bits, native
};

struct LaneRecord {
    std::uint8_t kind = kRaw;
    std::vector<Run> runs;
    std::span<const std::uint8_t> body;
};

// The 3-byte dtype field; false for a dtype/order the version cannot hold.
bool dtype_code(vnt_dtype dtype, bool big_endian, std::array<char, 3>& code);

// Checks magic, version, checksum and layout; `table` receives the offset
// of the lane table.
LResult<FrameHeader> read_header(std::span<const std::uint8_t> frame, std::size_t& table);

// The lane records, checked against the lane table and the frame's size.
LResult<std::vector<std::span<const std::uint8_t>>> split_lanes(std::span<const std::uint8_t> frame,
                                                                const FrameHeader& head, std::size_t table);

// One lane record's kind and runs (checked against the lane) and its body.
LResult<LaneRecord> read_lane(std::span<const std::uint8_t> record, const FrameHeader& head);

// A whole frame from its header and the packed lane records (kind, runs, body).
LResult<std::vector<std::uint8_t>> pack_frame(const FrameHeader& head,
                                              std::span<const std::vector<std::uint8_t>> records);
void append_lane_head(std::uint8_t kind, std::span<const Run> runs, std::size_t itemsize,
                      std::vector<std::uint8_t>& out);

}  // namespace vantoresk::lanes
