// Shared vocabulary of the lane codec: its error value, element types and
// little-endian byte access.
//
// Errors are plain values (status + one-line message) that travel up by
// move and become a vnt_status at the C interface or a ValueError in the
// Python binding. Element types are the seven the frame can hold; every
// lane is worked on as native values of its type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "include/vantoresk.h"
#include "support/result.hpp"

namespace vantoresk::lanes {

struct LaneError {
    vnt_status status = VNT_INTERNAL;
    std::string message;
};

template <class T>
using LResult = support::Result<T, LaneError>;
using Status = support::Result<void, LaneError>;

inline support::Err<LaneError> lane_fail(vnt_status status, std::string message) {
    return {LaneError{status, std::move(message)}};
}
// Damaged or foreign bytes: every such message opens the same way.
inline support::Err<LaneError> bad_frame(const std::string& what) {
    return lane_fail(VNT_BAD_FRAME, "not a valid vantoresk frame: " + what);
}
inline support::Err<LaneError> bad_argument(std::string what) { return lane_fail(VNT_INVALID_ARGUMENT, std::move(what)); }
inline support::Err<LaneError> out_of_memory(const char* what) {
    return lane_fail(VNT_OUT_OF_MEMORY, std::string("out of memory for ") + what);
}

// Frames hold at most this many elements and lanes of at most this length;
// far beyond any chunk, and it keeps forged shapes from sizing anything.
inline constexpr std::uint64_t kMaxElements = std::uint64_t{1} << 48;
inline constexpr std::uint64_t kMaxLaneLength = (std::uint64_t{1} << 31) - 1;
inline constexpr int kMaxNdim = VNT_MAX_NDIM;

constexpr std::size_t itemsize(vnt_dtype dtype) noexcept {
    switch (dtype) {
        case VNT_FLOAT32: return 4;
        case VNT_FLOAT64: return 8;
        case VNT_INT8: case VNT_UINT8: return 1;
        case VNT_INT16: case VNT_UINT16: return 2;
        case VNT_INT32: return 4;
    }
    return 0;
}
constexpr bool is_float(vnt_dtype dtype) noexcept { return dtype == VNT_FLOAT32 || dtype == VNT_FLOAT64; }
constexpr bool dtype_known(int dtype) noexcept { return dtype >= VNT_FLOAT32 && dtype <= VNT_UINT16; }

// The smallest and largest value of an integer dtype.
constexpr std::int64_t int_min(vnt_dtype dtype) noexcept {
    switch (dtype) {
        case VNT_INT8: return -128;
        case VNT_INT16: return -32768;
        case VNT_INT32: return -2147483648LL;
        default: return 0;
    }
}
constexpr std::int64_t int_max(vnt_dtype dtype) noexcept {
    switch (dtype) {
        case VNT_INT8: return 127;
        case VNT_INT16: return 32767;
        case VNT_INT32: return 2147483647LL;
        case VNT_UINT8: return 255;
        case VNT_UINT16: return 65535;
        default: return 0;
    }
}

// Little-endian loads and stores (the frame's byte order).
inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline std::uint64_t load_u64(const std::uint8_t* p) noexcept {
    return std::uint64_t{load_u32(p)} | std::uint64_t{load_u32(p + 4)} << 32;
}
inline double load_f64(const std::uint8_t* p) noexcept {
    const std::uint64_t bits = load_u64(p);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}
inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_f64(std::vector<std::uint8_t>& out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    put_u64(out, bits);
}

// A lane's values in the working form: float32 and float64 lanes as such,
// integer lanes widened to int64 (exact for every integer dtype).
template <class T>
concept LaneValue = std::is_same_v<T, float> || std::is_same_v<T, double> || std::is_same_v<T, std::int64_t>;

}  // namespace vantoresk::lanes
