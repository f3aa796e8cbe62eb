#include "wavelet/lifting/cdf53.hpp"

#include <algorithm>
#include <memory>

#include "wavelet/lifting/shapes.hpp"

namespace tremora {

namespace {

using lifting::LiftingKernels;

// The CDF 5/3 steps, without scaling:
//   forward  d[i] += -1/2 (x[2i] + x[2i+2])      inverse  e[i] += -1/4 (d[i-1] + d[i])
//            s[i] += 1/4 (d[i-1] + d[i])                  o[i] += 1/2 (e[i] + e[i+1])
struct Body {
    // x -> (s, d).
    TREMORA_ALWAYS_INLINE static void forward(const float* x, std::size_t n, float* s, float* d) {
        const std::size_t a = n - n / 2;
        const std::size_t m = n / 2;
        lifting::split(x, n, s, d);
        // d[i] <- fma(-1/2, s[i] + s[i+1], d[i])
        lifting::predict(-0.5f, s, a, d, m);
        // s[i] <- fma(1/4, d[i-1] + d[i], s[i])
        lifting::update(0.25f, d, m, s, a);
    }

    // (s, d) -> x, through e (copy of s, or s itself) and o (copy of d).
    TREMORA_ALWAYS_INLINE static void inverse(const float* s, std::size_t a, const float* d, std::size_t m, float* e,
                                            float* o, float* x) {
        if (e != s) std::copy(s, s + a, e);
        std::copy(d, d + m, o);
        // e[i] <- fma(-1/4, d[i-1] + d[i], e[i])   (undoes the update)
        lifting::update(-0.25f, o, m, e, a);
        // o[i] <- fma(1/2, e[i] + e[i+1], o[i])    (undoes the predict)
        lifting::predict(0.5f, e, a, o, m);
        lifting::interleave(e, o, a + m, x);
    }
};

}  // namespace

const LiftingKernels* lifting::cdf53_kernels(vantoresk::simd::Isa isa) noexcept {
    return lifting::KernelVariants<Body>::variant(isa);
}

const LiftingKernels& Cdf53::kernels() const noexcept { return lifting::KernelVariants<Body>::dispatched; }

DwtExecutorHandle Tremora::make_cdf53_f32() { return std::make_shared<const Cdf53>(); }

}  // namespace tremora
