// Generic convolution kernel for an orthogonal filter of any even length L
// (the lengths without a fixed-tap kernel: 14, 18, 20, ...).
//
// Same window convention as the fixed-tap kernels (fixed_taps.hpp):
// output k reads positions 2k - (L - 2) .. 2k + 1. Instead of special border
// loops, the forward step first builds an arena in the caller's scratch,
//
//     arena = [ L-2 extended cells | x0 .. x(n-1) | L-2 or L-1 extended cells ]
//
// (g = L + 2a - 2 floats, a = floor((n + L - 1) / 2); the right pad is one
// longer for odd n), and then runs one uniform loop: output k is the dot
// product of the filter with arena[2k .. 2k + L - 1]. The arena is written by
// write_arena_1d (arena.hpp).
//
// Arithmetic: per output, four lane sums over whole groups of four taps (the
// first product rounded, the later ones fused), added as (t0 + t1) + (t2 + t3),
// then the leftover taps fused one by one. Synthesis: fused multiply-adds
// into the zero-filled output, approximation product first, increasing k.
//
// A filter of zero or odd length has no valid window convention: every
// operation then fails with ZeroOrOddWavelet.
#pragma once

#include <span>
#include <vector>

#include "wavelet/filter_bank/kernel_base.hpp"

namespace tremora {

class NeonWaveletNTapsF32 final : public ConvolutionKernel {
public:
    NeonWaveletNTapsF32(BorderMode mode, std::vector<float> low, std::vector<float> high)
        : ConvolutionKernel(mode, low.size()), low_(std::move(low)), high_(std::move(high)), taps_(low_.size()) {}

    Status execute_forward(std::span<const float> input, std::span<float> approximations,
                           std::span<float> details) const override;
    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximations,
                                        std::span<float> details, std::span<float> scratch) const override;
    std::size_t required_scratch_size(std::size_t input_length) const override;
    Status execute_inverse(std::span<const float> approximations, std::span<const float> details,
                           std::span<float> output) const override;

private:
    bool valid_filter() const noexcept { return taps_ >= 2 && taps_ % 2 == 0; }

    std::vector<float> low_;
    std::vector<float> high_;
    std::size_t taps_;
};

}  // namespace tremora
