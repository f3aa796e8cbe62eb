#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/options.hpp"

namespace vantoresk {

// Samples + options -> one self-contained container (52-byte header + payload).
VResult<std::vector<std::uint8_t>> compress(std::span<const float> samples, CompressionOptions options);

// Level count for signals of 80 samples or more.
std::size_t compute_max_levels(std::size_t n, std::size_t filter_length);

}  // namespace vantoresk
