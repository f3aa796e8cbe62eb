// NeonCdf97F32: the CDF 9/7 wavelet by lifting in single precision, the
// codec's default method 'cdf97'. Same band layout, drivers and validation
// order as Cdf53 (cdf53.hpp); four lifting steps and a scaling, symmetric
// extension about the end samples:
//
//   forward                                  inverse
//   d[i] = fma(α, s[i] + s[i+1], d[i])       e = s·(1/K),  o = d·K
//   s[i] = fma(β, d[i-1] + d[i], s[i])       e[i] = fma(-δ, o[i-1] + o[i], e[i])
//   d[i] = fma(γ, s[i] + s[i+1], d[i])       o[i] = fma(-γ, e[i] + e[i+1], o[i])
//   s[i] = fma(δ, d[i-1] + d[i], s[i])       e[i] = fma(-β, o[i-1] + o[i], e[i])
//   s = s·K,  d = d·(1/K)                    o[i] = fma(-α, e[i] + e[i+1], o[i])
//
// (s, d start as the even and odd input samples; missing neighbours at the
// ends mirror: s[m] -> s[m-1], d[-1] -> d[0], d[m] -> d[m-1].)
//
// The constants are fixed by their bit patterns. The inverse carries the
// negated constants as bit patterns of their own and adds fma(-c, p + q, v);
// it never subtracts, so no edit can slip a differently rounded "v - c·(p + q)"
// in. The scalings are plain multiplies; only the lifting steps fuse.
//
// Traps of the contract:
//  * The minimum length is 4 (two predicts need two even and two odd
//    samples), and dwt_size/idwt_size clamp to (2, 2) / 4 for shorter ones.
//  * filter_length reports 10, the length the codec plans its levels with,
//    not anything the lifting itself uses.
//  * A forward then inverse step reproduces its input only to within a few
//    ulps: the scalings by K and 1/K round.
#pragma once

#include <cstddef>
#include <span>

#include "support/cpu_dispatch.hpp"
#include "wavelet/lifting/executor.hpp"
#include "wavelet/lifting/steps.hpp"

namespace tremora {

class NeonCdf97F32 final : public LiftingDwtExecutor<4, 2, 10> {
private:
    const lifting::LiftingKernels& kernels() const noexcept override;
};

namespace lifting {
// The CDF 9/7 kernels built for `isa` (nullptr where this build has none).
// Only tests and benchmarks call it, to compare variants; the executor uses
// the dispatched ones.
const LiftingKernels* cdf97_kernels(vantoresk::simd::Isa isa) noexcept;
}  // namespace lifting

}  // namespace tremora
