#include "wavelet/lifting/cdf97.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>

#include "wavelet/lifting/shapes.hpp"

namespace tremora {

namespace {

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

struct Body {
    TREMORA_ALWAYS_INLINE static void forward(const float* x, std::size_t n, float* s, float* d) {
        const std::size_t a = n - n / 2;
        const std::size_t m = n / 2;
        lifting::split(x, n, s, d);
        lifting::predict(cdf97::alpha, s, a, d, m);  // d[i] <- fma(α, s[i] + s[i+1], d[i])
        lifting::update(cdf97::beta, d, m, s, a);    // s[i] <- fma(β, d[i-1] + d[i], s[i])
        lifting::predict(cdf97::gamma, s, a, d, m);  // d[i] <- fma(γ, s[i] + s[i+1], d[i])
        lifting::update(cdf97::delta, d, m, s, a);   // s[i] <- fma(δ, d[i-1] + d[i], s[i])
        lifting::scale(cdf97::k, s, a);              // s[i] <- s[i]·K
        lifting::scale(cdf97::inv_k, d, m);          // d[i] <- d[i]·(1/K)
    }

    TREMORA_ALWAYS_INLINE static void inverse(const float* s, std::size_t a, const float* d, std::size_t m, float* e,
                                            float* o, float* x) {
        for (std::size_t i = 0; i < a; ++i) e[i] = s[i] * cdf97::inv_k;  // e[i] <- s[i]·(1/K)
        for (std::size_t i = 0; i < m; ++i) o[i] = d[i] * cdf97::k;      // o[i] <- d[i]·K
        lifting::update(cdf97::neg_delta, o, m, e, a);   // e[i] <- fma(-δ, o[i-1] + o[i], e[i])
        lifting::predict(cdf97::neg_gamma, e, a, o, m);  // o[i] <- fma(-γ, e[i] + e[i+1], o[i])
        lifting::update(cdf97::neg_beta, o, m, e, a);    // e[i] <- fma(-β, o[i-1] + o[i], e[i])
        lifting::predict(cdf97::neg_alpha, e, a, o, m);  // o[i] <- fma(-α, e[i] + e[i+1], o[i])
        lifting::interleave(e, o, a + m, x);
    }
};

}  // namespace

const lifting::LiftingKernels* lifting::cdf97_kernels(vantoresk::simd::Isa isa) noexcept {
    return lifting::KernelVariants<Body>::variant(isa);
}

const lifting::LiftingKernels& NeonCdf97F32::kernels() const noexcept {
    return lifting::KernelVariants<Body>::dispatched;
}

DwtExecutorHandle Tremora::make_cdf97_f32() { return std::make_shared<const NeonCdf97F32>(); }

}  // namespace tremora
