// The predictors' sums with AVX2 products, shared by the encoder's estimate,
// its residuals and the decoder's closed loop.
//
// A prediction sums coef[j] * y[t-1-j] modulo 2^64. Where every level and
// every coefficient fits in 32 bits, _mm256_mul_epi32 gives the exact 64-bit
// products, and wrapping sums do not depend on their order: the result is
// the plain loop's (history_dot) bit for bit. Callers check the 32-bit
// condition; nothing here does.
#pragma once

#include <array>
#include <cstdint>

#include "lanes/lpc_fit.hpp"
#include "support/cpu_dispatch.hpp"

#if VANTORESK_SIMD_X86
#include <immintrin.h>

namespace vantoresk::lanes {

// Coefficients coef[0..m) reversed and padded with zeros to whole vectors:
// taps[i] multiplies w[i], where w = y + t - span is the oldest sample in
// reach of a prediction at t (taps[span - 1] goes with y[t - 1]).
struct ReversedTaps {
    alignas(32) std::array<std::int64_t, kMaxPredictorOrder + 4> taps{};
    unsigned span = 0;
};

inline ReversedTaps reversed_taps(const std::int64_t* coef, unsigned m) noexcept {
    ReversedTaps r;
    r.span = (m + 3) & ~3u;
    for (unsigned i = 0; i < r.span; ++i) {
        const unsigned j = r.span - 1 - i;
        r.taps[i] = j < m ? coef[j] : 0;
    }
    return r;
}

// sum over i < span of taps[i] * w[i], modulo 2^64.
__attribute__((target("avx2"))) inline std::uint64_t dot_avx2(const std::int64_t* w, const ReversedTaps& r) noexcept {
    __m256i s = _mm256_setzero_si256();
    for (unsigned g = 0; g < r.span; g += 4) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + g));
        const __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(r.taps.data() + g));
        s = _mm256_add_epi64(s, _mm256_mul_epi32(v, c));
    }
    const __m128i q = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(q)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(q, q)));
}

// Four such sums at once, for the windows w, w + stride, w + 2 stride and
// w + 3 stride: the taps are loaded once for all four, and the four sums'
// lanes are added up together (out[i] for window i), one reduction for four.
__attribute__((target("avx2"))) inline void dot4_avx2(const std::int64_t* w, std::size_t stride, const ReversedTaps& r,
                                                      std::uint64_t out[4]) noexcept {
    __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0;
    const std::int64_t* w1 = w + stride;
    const std::int64_t* w2 = w1 + stride;
    const std::int64_t* w3 = w2 + stride;
    for (unsigned g = 0; g < r.span; g += 4) {
        const __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(r.taps.data() + g));
        s0 = _mm256_add_epi64(s0, _mm256_mul_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + g)), c));
        s1 = _mm256_add_epi64(s1, _mm256_mul_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w1 + g)), c));
        s2 = _mm256_add_epi64(s2, _mm256_mul_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w2 + g)), c));
        s3 = _mm256_add_epi64(s3, _mm256_mul_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w3 + g)), c));
    }
    // [s0 lanes 0+1, s1 lanes 0+1, s0 lanes 2+3, s1 lanes 2+3], the same for s2, s3
    const __m256i t01 = _mm256_add_epi64(_mm256_unpacklo_epi64(s0, s1), _mm256_unpackhi_epi64(s0, s1));
    const __m256i t23 = _mm256_add_epi64(_mm256_unpacklo_epi64(s2, s3), _mm256_unpackhi_epi64(s2, s3));
    const __m256i sum = _mm256_add_epi64(_mm256_permute2x128_si256(t01, t23, 0x20), _mm256_permute2x128_si256(t01, t23, 0x31));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), sum);
}

}  // namespace vantoresk::lanes

#endif
