#include "wavelet/cdf97_f32.hpp"

#include <cstddef>
#include <iterator>

#include "wavelet/lifting_steps.hpp"

namespace tremora::lifting {

namespace {

struct Body {
    TREMORA_ALWAYS_INLINE static void forward(const float* x, std::size_t n, float* s, float* d) {
        const std::size_t a = n - n / 2;
        const std::size_t m = n / 2;
        split(x, n, s, d);
        predict(cdf97::alpha, s, a, d, m);  // d[i] <- fma(α, s[i] + s[i+1], d[i])
        update(cdf97::beta, d, m, s, a);    // s[i] <- fma(β, d[i-1] + d[i], s[i])
        predict(cdf97::gamma, s, a, d, m);  // d[i] <- fma(γ, s[i] + s[i+1], d[i])
        update(cdf97::delta, d, m, s, a);   // s[i] <- fma(δ, d[i-1] + d[i], s[i])
        scale(cdf97::k, s, a);              // s[i] <- s[i]·K
        scale(cdf97::inv_k, d, m);          // d[i] <- d[i]·(1/K)
    }

    TREMORA_ALWAYS_INLINE static void inverse(const float* s, std::size_t a, const float* d, std::size_t m, float* e,
                                            float* o, float* x) {
        for (std::size_t i = 0; i < a; ++i) e[i] = s[i] * cdf97::inv_k;  // e[i] <- s[i]·(1/K)
        for (std::size_t i = 0; i < m; ++i) o[i] = d[i] * cdf97::k;      // o[i] <- d[i]·K
        update(cdf97::neg_delta, o, m, e, a);   // e[i] <- fma(-δ, o[i-1] + o[i], e[i])
        predict(cdf97::neg_gamma, e, a, o, m);  // o[i] <- fma(-γ, e[i] + e[i+1], o[i])
        update(cdf97::neg_beta, o, m, e, a);    // e[i] <- fma(-β, o[i-1] + o[i], e[i])
        predict(cdf97::neg_alpha, e, a, o, m);  // o[i] <- fma(-α, e[i] + e[i+1], o[i])
        interleave(e, o, a + m, x);
    }
};

}  // namespace

std::span<const LiftingKernels> cdf97_kernel_variants() noexcept { return KernelVariants<Body>::runnable(); }

}  // namespace tremora::lifting
