// The 2-tap kernel (Db1, the Haar filter) of the orthogonal filter banks.
//
// Output k reads x[2k] and x[2k + 1]: there is no left extension, and only
// for odd n does the last output read one extended sample, x~[n]:
//
//     s0 s1 | s2 s3 | ... | s(n-1) x~[n]        Clamp, Symmetric: s(n-1)
//     k=0     k=1           k=(n-1)/2           Wrap: s0   Reflect: s(n-2)   Zeros: 0
//
// Arithmetic: A[k] = low0*x[2k] + low1*x[2k+1] with two rounded products and
// one rounded sum; the odd-length last output is
// fma(low1, x~[n], fma(low0, x[n-1], 0)) (the inner fma turns -0 into +0).
// Filters are stored twice in a row: low = (h0, h1, h0, h1), high =
// (h1, -h0, h1, -h0). Synthesis: y[2k] and y[2k+1] each receive one pair,
// approximation product first, each a fused multiply-add into the
// zero-filled output.
#pragma once

#include <array>
#include <span>

#include "wavelet/filter_bank/kernel_base.hpp"

namespace tremora {

class NeonWavelet2TapsF32 final : public ConvolutionKernel {
public:
    NeonWavelet2TapsF32(BorderMode mode, const std::array<float, 2>& low_pass);

    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximations,
                                        std::span<float> details, std::span<float> scratch) const override;
    Status execute_inverse(std::span<const float> approximations, std::span<const float> details,
                           std::span<float> output) const override;

private:
    std::array<float, 4> low_{};
    std::array<float, 4> high_{};
};

}  // namespace tremora
