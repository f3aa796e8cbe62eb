// VantoreskHeader: the fixed 52-byte front of every container.
//
//   off size field           written            checked by from_bytes
//    0   4   magic           "VNTR"             must be "VNTR"
//    4   2   version         1                  must be 1
//    6   2   sample_format   "f3"               must be "f3"
//    8   4   wavelet_tag     cf53/cf97/db04/sym4 one of the four
//   12   1   level_count     1..8               (decoder: 1..10)
//   13   1   scale           6..12              (decoder, after the payload)
//   14   1   coder           0 deflate, 1 arans must be 0 or 1
//   15   1   reserved        0                  ignored
//   16   4   sample_count    n                  (decoder: n < 2^31)
//   20   4   minimum  f32                       finite
//   24   4   maximum  f32                       finite
//   28   4   mean     f32                       finite
//   32   4   payload_length                     (decoder, against the data)
//   36  16   reserved_tail   zeros              ignored
//
// Everything little-endian; no padding, no checksum. The payload follows at
// offset 52. from_bytes reads bytes 0..51 only and allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/compression_options.hpp"

namespace vantoresk {

inline constexpr std::size_t kHeaderSize = 52;

// The coder byte (offset 14): how the payload is coded.
inline constexpr std::uint8_t kCoderDeflate = 0;
inline constexpr std::uint8_t kCoderArans = 1;

// The largest sample count a container holds (2^31 - 1): the count is
// stored in 32 bits, and readers index samples with signed 32-bit values.
inline constexpr std::uint32_t kMaxSampleCount = 0x7FFFFFFFu;

struct VantoreskHeader {
    std::array<std::uint8_t, 4> magic{};
    std::uint16_t version = 0;
    std::array<std::uint8_t, 2> sample_format{};
    std::array<std::uint8_t, 4> wavelet_tag{};
    std::uint8_t level_count = 0;
    std::uint8_t scale = 0;
    std::uint8_t coder = 0;
    std::uint8_t reserved = 0;
    std::uint32_t sample_count = 0;
    float minimum = 0.0f;
    float maximum = 0.0f;
    float mean = 0.0f;
    std::uint32_t payload_length = 0;
    std::array<std::uint8_t, 16> reserved_tail{};

    // Parses and checks the first 52 bytes, in the fixed order: length,
    // magic, version, sample format, wavelet tag, coder, then finiteness of
    // minimum, maximum and mean. The first failing check decides the error.
    static VResult<VantoreskHeader> from_bytes(std::span<const std::uint8_t> bytes);

    // The 52 bytes of this record, every field as held (no validation).
    std::array<std::uint8_t, kHeaderSize> to_bytes() const;
};

// The record the compressor writes: fixed magic, version and sample format,
// the method's tag, zero reserved fields.
VantoreskHeader make_header(CompressionMethod method, std::uint8_t level_count, std::uint8_t scale,
                            std::uint8_t coder, std::uint32_t sample_count, float minimum, float maximum,
                            float mean, std::uint32_t payload_length);

// Method <-> wavelet tag ("cf53cf97db04sym4", four bytes per method).
std::array<std::uint8_t, 4> wavelet_tag_of(CompressionMethod method);
std::optional<CompressionMethod> method_of_tag(std::array<std::uint8_t, 4> tag);

}  // namespace vantoresk
