// Cdf53: the CDF 5/3 wavelet by lifting, unnormalised, with symmetric
// extension about the end samples. Method 'cdf53' of the codec.
//
// For n input samples the approximations s are the ceil(n/2) even-indexed
// samples after lifting, the details d the floor(n/2) odd-indexed ones:
//
//   predict   d[i] = fma(-1/2, x[2i] + x[2i+2], x[2i+1])      (x[n] -> x[n-2])
//   update    s[i] = fma( 1/4, d[i-1] + d[i],   x[2i])        (d[-1] -> d[0],
//                                                              d[m] -> d[m-1])
//
// i.e. per even/odd pair, with P and U the neighbour sums,
//
//   [s]   [1  1/4·U] [1       0] [x_even]
//   [d] = [0    1  ] [-1/2·P  1] [x_odd ]
//
// and the inverse runs the same two shapes backwards with negated
// constants. The fused multiply-add is not cosmetic: with c = ±1/2 the
// product c·(p + q) is inexact once p + q is subnormal, and then only the
// fused form matches the stored coefficients.
//
// Traps of the contract:
//  * The minimum length is 3 (a shorter input has no interior), but
//    dwt_size/idwt_size answer for any length, clamped to (2, 1) / 3.
//  * Inverse validation checks a + m against the output first, then each
//    band against the output length.
//  * execute_forward_with_scratch ignores its scratch.
#pragma once

#include <cstddef>
#include <span>

#include "support/cpu_dispatch.hpp"
#include "wavelet/lifting/executor.hpp"
#include "wavelet/lifting/steps.hpp"

namespace tremora {

class Cdf53 final : public LiftingDwtExecutor<3, 1, 6> {
private:
    const lifting::LiftingKernels& kernels() const noexcept override;
};

namespace lifting {
// The CDF 5/3 kernels built for `isa` (nullptr where this build has none).
// Only tests and benchmarks call it, to compare variants; the executor uses
// the dispatched ones.
const LiftingKernels* cdf53_kernels(vantoresk::simd::Isa isa) noexcept;
}  // namespace lifting

}  // namespace tremora
