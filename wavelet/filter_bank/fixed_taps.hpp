// Fixed-tap convolution kernels of the orthogonal filter banks: one level of
// analysis and synthesis with an L-tap low-pass filter h and its mirror g,
// L in {4, 6, 8, 10, 12, 16} (the 2-tap kernel lives in two_taps.hpp, any
// other length in n_taps.hpp).
//
// Window convention. Output k of a forward step reads the extended signal at
// positions 2k - (L - 2) .. 2k + 1:
//
//     A[k] = sum_i low[i] * x~[2k - (L-2) + i],   D[k] likewise with high,
//     k = 0 .. a-1,  a = floor((n + L - 1) / 2).
//
// For L = 8 and n = 12 (a = 9), the windows against the input:
//
//     position   -6 -5 -4 -3 -2 -1 | 0 1 2 3 4 5 6 7 8 9 10 11 | 12 13 14 15 16 17
//     k = 0      [-----------------|---]                      |                    left border
//     k = 1            [-----------|---------]                |
//     k = 2                  [-----|---------------]          |
//     k = 3                        [-----------------]        |                    interior
//     k = 4                        |    [-----------------]   |                    (reads only
//     k = 5                        |        [-----------------]                     real samples)
//     k = 6                        |            [-----------|-----]                right border
//     k = 7                        |                [-------|-----------]
//     k = 8                        |                    [---|-----------------]
//
// Only the border windows consult the border mode (drawn in border_mode.hpp;
// BorderInterpolation, built once per step); the interior loop reads the
// input directly.
//
// Arithmetic (every byte of the codec depends on it). For one output with
// window w[0..L-1], four lane sums:
//     t_l = low[l] * w[l]                         (rounded product)
//     t_l = fma(low[4g + l], w[4g + l], t_l)      g = 1, 2, ... while 4g + l < L
// then one of two shapes:
//     paired interior outputs     (t0 + t1) + (t2 + t3)
//     every other output          (t0 + t2) + (t1 + t3)
// The interior (c = n - a outputs, starting at k = (L-2)/2) is computed two
// outputs at a time in the paired shape; when c is odd its last output is
// computed alone in the other shape, like the border outputs.
//
// Synthesis adds low[i]*A[k] and high[i]*D[k] to y[2k + i - (L-2)] with one
// fused multiply-add each, contributions to one y[j] in increasing k, and
// drops contributions outside 0..N-1 (N = 2a - L + 2). Trap: within one
// coefficient's pair the DETAIL product goes first for k < L - 2, for the
// trailing coefficients k >= a - L/2 (= floor((N - 2) / 2) for L = 8) and for
// every k when N < 2L; for the coefficients in between the approximation
// product goes first.
//
// The inverse output must be zero-filled by the caller: the kernel adds into
// it.
//
// Speed: an AVX2/FMA variant of the two interior loops (eight outputs per
// step, each lane the exact scalar chain above) is reached through the
// library's one dispatch (support/cpu_dispatch.hpp) where the CPU has it;
// the portable loops are always compiled and define the result. Tests and
// benchmarks may pin a kernel to one variant.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "support/cpu_dispatch.hpp"
#include "wavelet/filter_bank/kernel_base.hpp"

namespace tremora {

// Interior loops of one variant. forward_pairs computes `count` (even)
// consecutive interior outputs from k_begin in the paired shape;
// inverse_interior computes y[j] for j in [j_begin, j_end), j_begin even,
// where every contributing coefficient takes the approximation-first order.
struct TapsRoutines {
    using ForwardPairs = void (*)(const float* x, const float* low, const float* high, float* approx,
                                  float* details, std::size_t k_begin, std::size_t count);
    using InverseInterior = void (*)(const float* approx, const float* details, const float* low, const float* high,
                                     float* y, std::size_t j_begin, std::size_t j_end);
    ForwardPairs forward_pairs;
    InverseInterior inverse_interior;
};

// The L-tap loops built for `isa`, or nullptr where this build has none.
template <std::size_t L>
const TapsRoutines* taps_routines(vantoresk::simd::Isa isa) noexcept;

template <std::size_t L>
class WaveletTapsKernel final : public ConvolutionKernel {
    static_assert(L >= 4 && L % 2 == 0 && L <= 16);

public:
    static constexpr std::size_t kTaps = L;
    static constexpr std::size_t kLanes = (L + 3) / 4 * 4;

    // Interior loops through the library's dispatch.
    WaveletTapsKernel(BorderMode mode, const std::array<float, L>& low_pass);
    // Interior loops pinned to one variant (the portable loops where this
    // CPU lacks `isa`). Only tests and benchmarks build kernels this way;
    // the factories use the constructor above.
    WaveletTapsKernel(BorderMode mode, const std::array<float, L>& low_pass, vantoresk::simd::Isa isa);

    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximations,
                                        std::span<float> details, std::span<float> scratch) const override;
    Status execute_inverse(std::span<const float> approximations, std::span<const float> details,
                           std::span<float> output) const override;

private:
    std::array<float, kLanes> low_{};   // h, zero lanes after L
    std::array<float, kLanes> high_{};  // g = mirror of h, zero lanes after L
    const TapsRoutines* routines_;
};

using NeonWavelet4TapsF32 = WaveletTapsKernel<4>;
using NeonWavelet6TapsF32 = WaveletTapsKernel<6>;
using NeonWavelet8TapsF32 = WaveletTapsKernel<8>;
using NeonWavelet10TapsF32 = WaveletTapsKernel<10>;
using NeonWavelet12TapsF32 = WaveletTapsKernel<12>;
using NeonWavelet16TapsF32 = WaveletTapsKernel<16>;

extern template class WaveletTapsKernel<4>;
extern template class WaveletTapsKernel<6>;
extern template class WaveletTapsKernel<8>;
extern template class WaveletTapsKernel<10>;
extern template class WaveletTapsKernel<12>;
extern template class WaveletTapsKernel<16>;

}  // namespace tremora
