// Helpers for the lane codec's tests: encode and decode plain vectors as
// 1-D or 2-D chunks, reseal damaged frames, measure errors.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lanes/bytes.hpp"
#include "lanes/codec.hpp"

namespace lanes_test {

using namespace vantoresk::lanes;

template <class S>
constexpr vnt_dtype dtype_of() {
    if constexpr (std::is_same_v<S, float>) return VNT_FLOAT32;
    else if constexpr (std::is_same_v<S, double>) return VNT_FLOAT64;
    else if constexpr (std::is_same_v<S, std::int8_t>) return VNT_INT8;
    else if constexpr (std::is_same_v<S, std::int16_t>) return VNT_INT16;
    else if constexpr (std::is_same_v<S, std::int32_t>) return VNT_INT32;
    else if constexpr (std::is_same_v<S, std::uint8_t>) return VNT_UINT8;
    else return VNT_UINT16;
}

// `rows` lanes of equal length, one C-ordered (rows, length) chunk, lanes along axis 1.
template <class S>
LResult<std::vector<std::uint8_t>> encode_rows(const std::vector<S>& data, std::uint64_t rows,
                                               vnt_target_kind kind = VNT_TARGET_NONE, double target = 0.0,
                                               int scale = 11) {
    vnt_layout layout{};
    layout.dtype = dtype_of<S>();
    layout.order = 'C';
    layout.ndim = 2;
    layout.shape[0] = rows;
    layout.shape[1] = rows ? data.size() / rows : 0;
    vnt_options o;
    vnt_options_init(&o);
    o.scale = scale;
    o.target_kind = kind;
    o.targets = &target;
    o.target_count = 1;
    return encode_frame(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()),
                                                      data.size() * sizeof(S)),
                        layout, o);
}

template <class S>
LResult<std::vector<S>> decode_as(const std::vector<std::uint8_t>& frame, std::size_t count) {
    std::vector<S> out(count);
    auto st = decode_frame(frame, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out.data()),
                                                          out.size() * sizeof(S)));
    if (!st) return vantoresk::support::Err<LaneError>{std::move(st).error()};
    return out;
}

// A frame with its body edited and a fresh checksum, so damage reaches the parser.
inline std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> frame) {
    if (frame.size() < 4) return frame;
    frame.erase(frame.end() - 4, frame.end());
    const std::uint32_t crc = crc32_of(frame);
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return frame;
}

template <class S>
bool same_bits(S a, S b) {
    return std::memcmp(&a, &b, sizeof(S)) == 0;
}

}  // namespace lanes_test
