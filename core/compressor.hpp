#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/compression_options.hpp"

namespace vantoresk {

// Samples + options -> one self-contained container (52-byte header + payload).
VResult<std::vector<std::uint8_t>> compress(std::span<const float> samples, CompressionOptions options);

}  // namespace vantoresk
