// Exact lane bodies without a model: kind 1 (the values, little-endian at
// the frame's itemsize), kind 2 (the same bytes shuffled, then raw DEFLATE)
// and kind 3 (the kind 1 bytes as raw DEFLATE).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

// Below this many bytes DEFLATE rarely beats the values themselves.
inline constexpr std::size_t kDeflateFrom = 64;

// The values' little-endian bytes at the dtype's itemsize (integer lanes
// hold int64 working values already inside the dtype's range).
template <LaneValue T>
void raw_bytes(std::span<const T> values, vnt_dtype dtype, std::vector<std::uint8_t>& out);

inline constexpr std::uint8_t kNoBody = 0xFF;

// Offers kinds 1, 2 and 3 for `values`: `kind` and `body` are replaced by
// any that is smaller than the body they hold (or by kind 1 when `kind` is
// kNoBody).
template <LaneValue T>
Status best_plain_body(std::span<const T> values, vnt_dtype dtype, std::uint8_t& kind,
                       std::vector<std::uint8_t>& body);

// Decodes a kind 1, 2 or 3 body into out.size() values.
template <LaneValue T>
Status decode_plain(std::uint8_t kind, std::span<const std::uint8_t> body, vnt_dtype dtype, std::span<T> out);

}  // namespace vantoresk::lanes
