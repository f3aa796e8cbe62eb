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
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/compression_options.hpp"
#include "wavelet/contract/factory.hpp"

namespace vantoresk {

struct SampleRange {
    float minimum;
    float maximum;
};

// Copies `in` into `out` (same length) replacing NaN by 0, +inf by 1 and
// -inf by 0, and measures the copied values. `in` must not be empty.
SampleRange sanitise_and_measure(std::span<const float> in, std::span<float> out);

// Maps the sanitised samples to the unit range and removes their mean, in
// place; returns the mean (0 for a flat signal, whose samples become 0).
// A signal is flat when its range cannot be inverted in float32, that is
// when 1.0f / range is not finite: a zero range, or one below about 2.9e-39.
// Any larger range, however small in its units, is kept.
// `range` must be finite.
float normalise(std::span<float> x, SampleRange range);

// Level count for signals of 80 samples or more: log2 of n / filter_length
// (n and the length taken as 32-bit values), between 1 and 8.
std::size_t compute_max_levels(std::size_t n, std::size_t filter_length);

// Decoded samples stray past the measured extremes by the coding error, a
// small fraction of the range (well under an eighth even for steps and
// full-range noise at scale 6). True when half a range of room is
// left between the larger magnitude and the float32 limit, so that decoding
// never overflows to infinity; false also when the range itself overflows.
// A signal centred on zero has that room exactly when its range is finite.
bool leaves_decoding_headroom(SampleRange range);

// Levels by input length: 1..19 -> 1, 20..39 -> 2, 40..59 -> 3, 60..79 -> 4,
// then compute_max_levels.
std::size_t level_count_for(std::size_t n, std::size_t filter_length);

// The coder byte for a coefficient stream of `code_count` codes. The arans
// reader refuses planes above 2^28 bytes, and a plane holds one byte per
// code, so such streams go to DEFLATE under Auto and are refused under an
// explicit Arans rather than written undecodable.
VResult<std::uint8_t> coder_byte_for(EntropyCoder coder, std::size_t code_count);

// Codes in the stream of `n` samples decomposed to `levels` levels: the
// deepest approximation band and every detail band (band_layout's count, the
// one the reader expects).
std::size_t code_count_for(const tremora::DwtExecutor& executor, std::size_t n, std::size_t levels);

// The coder decision taken from the sample count before anything is
// transformed: coder_byte_for's answer when it is the same for every depth
// from 1 to `levels` (the level fallback may write any of them), with the
// message counting the codes of the planned depth; nothing when the depths
// disagree, and only the stream actually quantised can decide.
std::optional<VResult<std::uint8_t>> coder_byte_before_transform(EntropyCoder coder,
                                                                 const tremora::DwtExecutor& executor,
                                                                 std::size_t n, std::size_t levels);

// The header's 32-bit payload_length for a payload of `size` bytes; a longer
// payload would be cut off in the header and could not be read back.
VResult<std::uint32_t> payload_length_field(std::size_t size);

}  // namespace vantoresk
