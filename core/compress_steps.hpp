// The compressor's individual steps, kept apart from the pipeline so that
// each can be checked on its own.
//
// Traps:
//  * minimum/maximum follow IEEE minimum/maximum with -0.0 < +0.0: when both
//    zeros occur the header holds -0.0 and +0.0 whatever the order of the
//    samples or the width of the loop.
//  * The mean is one float32 accumulator in index order. Splitting it into
//    partial sums (as a vectoriser would) changes the header.
//  * The level table looks at n, the input length, never at the padded T.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/compression_options.hpp"

namespace vantoresk {

// Range at or below this is a flat signal (9.99999975e-6, bits 0x3727C5AC).
float flat_threshold();

struct SampleRange {
    float minimum;
    float maximum;
};

// Copies `in` into `out` (same length) replacing NaN by 0, +inf by 1 and
// -inf by 0, and measures the copied values. `in` must not be empty.
SampleRange sanitise_and_measure(std::span<const float> in, std::span<float> out);

// Maps the sanitised samples to the unit range and removes their mean, in
// place; returns the mean (0 for a flat signal, whose samples become 0).
// `range` must be finite.
float normalise(std::span<float> x, SampleRange range);

// Level count for signals of 80 samples or more: log2 of n / filter_length
// (n and the length taken as 32-bit values), between 1 and 8.
std::size_t compute_max_levels(std::size_t n, std::size_t filter_length);

// Levels by input length: 1..19 -> 1, 20..39 -> 2, 40..59 -> 3, 60..79 -> 4,
// then compute_max_levels.
std::size_t level_count_for(std::size_t n, std::size_t filter_length);

// The coder byte for a coefficient stream of `code_count` codes. The arans
// reader refuses planes above 2^28 bytes, and a plane holds one byte per
// code, so such streams go to DEFLATE under Auto and are refused under an
// explicit Arans rather than written undecodable.
VResult<std::uint8_t> coder_byte_for(EntropyCoder coder, std::size_t code_count);

}  // namespace vantoresk
