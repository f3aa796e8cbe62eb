// The decoder's last arithmetic step: x <- fma(mean + x, range, minimum).
//
// One float32 addition, then one fused multiply-add, per sample. On a
// baseline x86-64 build std::fma is a call into the maths library for every
// sample, which cost more than the whole inverse transform; the AVX2/FMA
// variant runs the same two operations eight lanes at a time. A fused
// multiply-add rounds once whatever unit computes it, so every variant gives
// the portable one's bits. The variant is chosen once, through
// support/cpu_dispatch.hpp.
#pragma once

#include <span>

#include "support/cpu_dispatch.hpp"

namespace vantoresk {

void denormalise(std::span<float> x, float mean, float range, float minimum);

// denormalise in the variant built for `isa` (Portable where this build or
// CPU lacks it). Only tests call it, to compare the variants; the decoder
// uses denormalise.
void denormalise_pinned(simd::Isa isa, std::span<float> x, float mean, float range, float minimum);

}  // namespace vantoresk
