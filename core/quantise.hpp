// Coefficients <-> 16-bit codes, and the dead zone on detail codes.
//
// Quantising w at scale s:   p = w * 2^s  (one float32 product)
//                            p = min(p, 32767), then max(p, -32768),
//                                where a NaN operand loses, so NaN -> 32767
//                            code = p truncated toward zero
// Dequantising c:            (float)c * 2^-s, exact for every code.
//
// Every loop here runs in blocks of eight with a scalar tail; each lane does
// exactly the scalar operation, so the block width never shows in a result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/compression_options.hpp"

namespace vantoresk {

// 2^scale as float32 (exact for 0..30).
inline float scale_factor(std::uint8_t scale) { return static_cast<float>(1u << scale); }

// 2^-scale as float32, built on the bit pattern of 1.0 (exact for 0..126).
float inverse_scale_factor(std::uint8_t scale);

// The one-sample definition; the block loops below agree with it exactly.
std::int16_t quantise_one(float w, float m);

// Quantises `band` into `codes` (same length). Returns true when at least one
// product lay outside [-32768, 32767] or was NaN, that is when a code had to
// be clamped and the stored value misrepresents its coefficient.
bool quantise_band(std::span<const float> band, float m, std::span<std::int16_t> codes);

// Dead-zone threshold: base by scale (0 0 1 1 2 2 3 for 6..12) times the
// cutoff multiplier (1, 3, 7).
int dead_zone_threshold(std::uint8_t scale, CutoffLevel cutoff);

// Zeroes every code with |c| < threshold (|-32768| counts as 32768).
void apply_dead_zone(std::span<std::int16_t> codes, int threshold);

// Serialises codes as little-endian pairs into `bytes` (2 * codes.size()).
void store_codes_le(std::span<const std::int16_t> codes, std::uint8_t* bytes);

// Reads out.size() little-endian pairs from `bytes` and multiplies each by
// `inv` into `out`. May run in place: `bytes` at or past the end of the
// first half of `out`'s bytes (bytes >= out + 2 * out.size() as byte
// addresses) in the same buffer.
void dequantise_le(const std::uint8_t* bytes, float inv, std::span<float> out);

}  // namespace vantoresk
