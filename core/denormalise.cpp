#include "core/denormalise.hpp"

#include <cmath>
#include <cstddef>

namespace vantoresk {
namespace {

using Kernel = void (*)(float*, std::size_t, float, float, float);

[[gnu::always_inline]] inline void denormalise_body(float* v, std::size_t n, float mean, float range,
                                                    float minimum) {
    for (std::size_t i = 0; i < n; ++i) v[i] = std::fma(mean + v[i], range, minimum);
}

void denormalise_portable(float* v, std::size_t n, float mean, float range, float minimum) {
    denormalise_body(v, n, mean, range, minimum);
}

#if VANTORESK_SIMD_X86
#if defined(__clang__)
__attribute__((target("avx2,fma")))
#else
__attribute__((target("avx2,fma"), optimize("tree-vectorize")))
#endif
void denormalise_avx2(float* v, std::size_t n, float mean, float range, float minimum) {
    denormalise_body(v, n, mean, range, minimum);
}
#endif

Kernel kernel_for(simd::Isa isa) noexcept {
#if VANTORESK_SIMD_X86
    if (isa == simd::Isa::Avx2Fma && simd::hardware_has(isa)) return &denormalise_avx2;
#endif
    (void)isa;
    return &denormalise_portable;
}

Kernel choose_kernel() noexcept { return kernel_for(simd::best_of({simd::Isa::Avx2Fma})); }

using Dispatched = simd::Dispatched<Kernel, &choose_kernel>;

}  // namespace

void denormalise(std::span<float> x, float mean, float range, float minimum) {
    Dispatched::call(x.data(), x.size(), mean, range, minimum);
}

void denormalise_pinned(simd::Isa isa, std::span<float> x, float mean, float range, float minimum) {
    kernel_for(isa)(x.data(), x.size(), mean, range, minimum);
}

}  // namespace vantoresk
