// CompressionOptions: the codec-level choice of wavelet, scale, dead zone
// and entropy coder. Four one-byte fields, copied by value.
#pragma once

#include <cstdint>

namespace vantoresk {

enum class CompressionMethod : std::uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };
enum class CutoffLevel : std::uint8_t { Low = 0, Medium = 1, High = 2 };
enum class EntropyCoder : std::uint8_t { Deflate = 0, Arans = 1, Auto = 2 };

// The quantisation scales the codec knows; a container holds one of them.
inline constexpr std::uint8_t kMinScale = 6;
inline constexpr std::uint8_t kMaxScale = 12;

constexpr bool scale_supported(unsigned scale) noexcept { return scale >= kMinScale && scale <= kMaxScale; }

struct CompressionOptions {
    CompressionMethod method = CompressionMethod::Cdf97;
    std::uint8_t scale = 11;  // kMinScale..kMaxScale; the compressor refuses any other
    CutoffLevel cutoff = CutoffLevel::Low;
    EntropyCoder coder = EntropyCoder::Auto;
};

}  // namespace vantoresk
