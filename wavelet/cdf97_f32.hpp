// The CDF 9/7 lifting kernel in single precision: four lifting steps and a
// scaling, symmetric extension about the end samples.
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
#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "wavelet/lifting_kernels.hpp"

namespace tremora::lifting {

namespace cdf97 {
inline constexpr float alpha = std::bit_cast<float>(std::uint32_t{0xBFCB0673u});       // -1.5861343
inline constexpr float beta = std::bit_cast<float>(std::uint32_t{0xBD5901AEu});        // -0.052980117
inline constexpr float gamma = std::bit_cast<float>(std::uint32_t{0x3F620676u});       //  0.8829111
inline constexpr float delta = std::bit_cast<float>(std::uint32_t{0x3EE31355u});       //  0.44350687
inline constexpr float k = std::bit_cast<float>(std::uint32_t{0x3F93263Du});           //  1.1496044
inline constexpr float inv_k = std::bit_cast<float>(std::uint32_t{0x3F5EAF70u});       //  0.86986446
inline constexpr float neg_alpha = std::bit_cast<float>(std::uint32_t{0x3FCB0673u});   //  1.5861343
inline constexpr float neg_beta = std::bit_cast<float>(std::uint32_t{0x3D5901AEu});    //  0.052980117
inline constexpr float neg_gamma = std::bit_cast<float>(std::uint32_t{0xBF620676u});   // -0.8829111
inline constexpr float neg_delta = std::bit_cast<float>(std::uint32_t{0xBEE31355u});   // -0.44350687
}  // namespace cdf97

// Every CDF 9/7 kernel variant this CPU can run, portable first.
std::span<const LiftingKernels> cdf97_kernel_variants() noexcept;

}  // namespace tremora::lifting
