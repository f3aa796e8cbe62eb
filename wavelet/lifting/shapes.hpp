// The two lifting shapes shared by the CDF 5/3 and CDF 9/7 transforms, and
// the plumbing that builds a portable and an AVX2/FMA variant of a transform
// from one body and reaches them through one dispatched entry.
//
// Layout of one step: the even samples e (a of them) and the odd samples d
// (m of them), with a = m (even length) or a = m + 1 (odd length). At both
// ends the signal is extended symmetrically about its end sample, which in
// the split bands reads as "repeat the last (or first) neighbour":
//
//   predict   d[i] = fma(c, e[i] + e[i+1], d[i])          i = 0 .. m-1
//             a == m:  e[m] does not exist -> e[m-1] + e[m-1]
//
//   update    e[i] = fma(c, d[i-1] + d[i], e[i])          i = 0 .. a-1
//             i == 0:  d[-1] -> d[0]           (d[0] + d[0])
//             a == m+1, i == m:  d[m] -> d[m-1] (d[m-1] + d[m-1])
//
// Each update is v <- fma(c, p + q, v): the sum is rounded first, then the
// product with c and the addition to v are one fused operation. The result
// depends on that fusion in the last bit whenever c is not a power of two
// (and even for powers of two once p + q is subnormal), so the code spells
// std::fma out and the build forbids the compiler from contracting anything
// else. Vector variants compute exactly these lane operations in the same
// order; the plain loops below are what the auto-vectoriser turns into
// vfmadd on AVX2/FMA builds, with no reassociation (nothing here is a
// reduction).
//
// Preconditions (checked by the executors, not here): m >= 1 and
// a ∈ {m, m+1}.
#pragma once

#include <cmath>
#include <cstddef>

#include "support/cpu_dispatch.hpp"
#include "wavelet/lifting/steps.hpp"

#if defined(__GNUC__)
#define TREMORA_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define TREMORA_ALWAYS_INLINE inline
#endif

// Attributes of the AVX2/FMA instantiation of a lifting body. With GCC the
// optimize part makes the vectoriser run on these functions at -O2 as well.
#if VANTORESK_SIMD_X86 && !defined(__clang__)
#define TREMORA_TARGET_AVX2 __attribute__((target("avx2,fma"), optimize("tree-vectorize")))
#elif VANTORESK_SIMD_X86
#define TREMORA_TARGET_AVX2 __attribute__((target("avx2,fma")))
#endif

namespace tremora::lifting {

// predict: d[i] = fma(c, e[i] + e[i+1], d[i]), mirrored e[m] = e[m-1].
TREMORA_ALWAYS_INLINE void predict(float c, const float* e, std::size_t a, float* d, std::size_t m) {
    const std::size_t interior = a > m ? m : m - 1;
    for (std::size_t i = 0; i < interior; ++i) d[i] = std::fma(c, e[i] + e[i + 1], d[i]);
    if (a == m) d[m - 1] = std::fma(c, e[m - 1] + e[m - 1], d[m - 1]);
}

// update: e[i] = fma(c, d[i-1] + d[i], e[i]), mirrored d[-1] = d[0] and,
// for a == m + 1, d[m] = d[m-1].
TREMORA_ALWAYS_INLINE void update(float c, const float* d, std::size_t m, float* e, std::size_t a) {
    e[0] = std::fma(c, d[0] + d[0], e[0]);
    for (std::size_t i = 1; i < m; ++i) e[i] = std::fma(c, d[i - 1] + d[i], e[i]);
    if (a > m) e[m] = std::fma(c, d[m - 1] + d[m - 1], e[m]);
}

// v[i] = v[i] * k: a plain rounded multiply, never fused with anything.
TREMORA_ALWAYS_INLINE void scale(float k, float* v, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) v[i] = v[i] * k;
}

// e[i] = x[2i], d[i] = x[2i+1].
TREMORA_ALWAYS_INLINE void split(const float* x, std::size_t n, float* e, float* d) {
    const std::size_t m = n / 2;
    for (std::size_t i = 0; i < m; ++i) {
        e[i] = x[2 * i];
        d[i] = x[2 * i + 1];
    }
    if (n % 2 != 0) e[m] = x[n - 1];
}

// x[2i] = e[i], x[2i+1] = d[i]; for odd n the last x[n-1] = e[a-1].
// Runs from the end in blocks, so that x may be e itself (the multi-level
// inverse interleaves in place): a block's e values are copied out first,
// its writes x[2b .. 2c) lie at or after e[b], and every e[j] still to be
// read (j < b) lies before them. d must not overlap x.
TREMORA_ALWAYS_INLINE void interleave(const float* e, const float* d, std::size_t n, float* x) {
    constexpr std::size_t kBlock = 64;
    const std::size_t m = n / 2;
    if (n % 2 != 0) x[n - 1] = e[m];
    float even[kBlock];
    for (std::size_t c = m; c > 0;) {
        const std::size_t b = c > kBlock ? c - kBlock : 0;
        const std::size_t len = c - b;
        for (std::size_t j = 0; j < len; ++j) even[j] = e[b + j];
        for (std::size_t j = 0; j < len; ++j) {
            x[2 * (b + j)] = even[j];
            x[2 * (b + j) + 1] = d[b + j];
        }
        c = b;
    }
}

// The variants of one transform, built from its body. `Body` provides
// always-inline static forward(x, n, s, d) and inverse(s, a, d, m, e, o, x);
// the portable and the AVX2/FMA entry points are that same body compiled
// for two targets, so they cannot drift apart.
template <class Body>
struct KernelVariants {
    using Isa = vantoresk::simd::Isa;

    static void forward_portable(const float* x, std::size_t n, float* s, float* d) { Body::forward(x, n, s, d); }
    static void inverse_portable(const float* s, std::size_t a, const float* d, std::size_t m, float* e, float* o,
                                 float* x) {
        Body::inverse(s, a, d, m, e, o, x);
    }
#if VANTORESK_SIMD_X86
    TREMORA_TARGET_AVX2 static void forward_avx2(const float* x, std::size_t n, float* s, float* d) {
        Body::forward(x, n, s, d);
    }
    TREMORA_TARGET_AVX2 static void inverse_avx2(const float* s, std::size_t a, const float* d, std::size_t m,
                                                 float* e, float* o, float* x) {
        Body::inverse(s, a, d, m, e, o, x);
    }
#endif

    // The variant built for `isa`, or nullptr where this build has none.
    static const LiftingKernels* variant(Isa isa) noexcept {
        static constexpr LiftingKernels portable{"portable", forward_portable, inverse_portable};
#if VANTORESK_SIMD_X86
        static constexpr LiftingKernels avx2{"avx2_fma", forward_avx2, inverse_avx2};
        if (isa == Isa::Avx2Fma) return &avx2;
#endif
        return isa == Isa::Portable ? &portable : nullptr;
    }

    static const LiftingKernels& chosen() noexcept { return *variant(vantoresk::simd::best_of({Isa::Avx2Fma})); }
    static LiftingKernels::Forward choose_forward() noexcept { return chosen().forward; }
    static LiftingKernels::Inverse choose_inverse() noexcept { return chosen().inverse; }

    // What the executors call: each entry resolves to the chosen variant on
    // its first call.
    static constexpr LiftingKernels dispatched{
        "dispatched",
        &vantoresk::simd::Dispatched<LiftingKernels::Forward, &choose_forward>::call,
        &vantoresk::simd::Dispatched<LiftingKernels::Inverse, &choose_inverse>::call,
    };
};

}  // namespace tremora::lifting
