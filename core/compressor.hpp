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

// The same in two steps, for callers that must stop the samples from
// changing under the compressor only for as long as it takes to copy them:
// take_samples checks the request and copies the samples into the
// compressor's own working buffer (the copy compress makes anyway; float64
// values are rounded to float32 on the way, to nearest even as NumPy's cast
// does); compress_taken does the rest without looking at them again.
// Every check that needs nothing but the sample count and the options comes
// before anything is allocated.
struct TakenSamples {
    std::vector<float> signal;  // n samples, capacity for the padding
    CompressionOptions options;
};
VResult<TakenSamples> take_samples(std::span<const float> samples, CompressionOptions options);
VResult<TakenSamples> take_samples(std::span<const double> samples, CompressionOptions options);
VResult<std::vector<std::uint8_t>> compress_taken(TakenSamples&& taken);

// Level count for signals of 80 samples or more.
std::size_t compute_max_levels(std::size_t n, std::size_t filter_length);

}  // namespace vantoresk
