#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace vantoresk {

// Container -> exactly `sample_count` float32 samples.
VResult<std::vector<float>> decompress(std::span<const std::uint8_t> container);

}  // namespace vantoresk
