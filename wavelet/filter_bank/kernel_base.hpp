// ConvolutionKernel: what the one-level convolution kernels (two_taps.hpp,
// fixed_taps.hpp, n_taps.hpp) have in common, written once.
//
// For an L-tap filter (L even) and n input samples:
//
//     band length      a = floor((n + L - 1) / 2)      both bands
//     reconstruction   N = 2a - L + 2                  (0 when a <= (L-2)/2)
//
// Both are computed without overflow for any n and a: a band length read
// from stored data may be absurd, and an absurd N saturates at SIZE_MAX so
// that the allocation, not the arithmetic, fails.
//
// A kernel derives from this class, supplies the two steps and, when it
// needs scratch, required_scratch_size and a scratch-allocating
// execute_forward of its own.
#pragma once

#include <cstddef>
#include <limits>
#include <span>

#include "wavelet/contract/factory.hpp"

namespace tremora {

// Band length a = floor((n + L - 1) / 2) without overflow for any n.
constexpr std::size_t conv_band_length(std::size_t n, std::size_t taps) noexcept {
    if (taps == 0) return n / 2;  // degenerate; callers reject it
    return n / 2 + (n % 2 + taps - 1) / 2;
}

// Reconstruction length 2a - L + 2 for an even L >= 2, saturating at 0
// below and at SIZE_MAX above.
constexpr std::size_t conv_output_length(std::size_t a, std::size_t taps) noexcept {
    const std::size_t half = taps >= 2 ? (taps - 2) / 2 : 0;
    if (a <= half) return 0;
    const std::size_t d = a - half;
    if (d > std::numeric_limits<std::size_t>::max() / 2) return std::numeric_limits<std::size_t>::max();
    return 2 * d;
}

class ConvolutionKernel : public IncompleteDwtExecutor {
public:
    ConvolutionKernel(BorderMode mode, std::size_t taps) noexcept : mode_(mode), taps_(taps) {}

    // Kernels without scratch: the plain entry is the scratch entry with none.
    Status execute_forward(std::span<const float> input, std::span<float> approximations,
                           std::span<float> details) const override {
        return execute_forward_with_scratch(input, approximations, details, {});
    }
    std::size_t required_scratch_size(std::size_t) const override { return 0; }

    DwtSize dwt_size(std::size_t input_length) const final {
        const std::size_t a = conv_band_length(input_length, taps_);
        return {a, a};
    }
    std::size_t idwt_size(DwtSize size) const final { return conv_output_length(size.approx_length, taps_); }
    std::size_t filter_length() const final { return taps_; }

protected:
    BorderMode mode() const noexcept { return mode_; }

private:
    BorderMode mode_;
    std::size_t taps_;
};

}  // namespace tremora
