// The decoder's arithmetic steps on their own: dequantising in place and
// denormalising, each against its plain definition.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/denormalise.hpp"
#include "core/quantise.hpp"
#include "support/cpu_dispatch.hpp"

namespace {

using namespace vantoresk;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// In place (codes in the upper half of the float buffer, as the decoder
// lays them out) and into a separate buffer give the same floats, which
// are the plain definition, for every length around the block width.
TEST(CodecDequantise, InPlaceEqualsSeparateAndDefinition) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> code(-32768, 32767);
    const float inv = inverse_scale_factor(11);
    for (std::size_t n = 0; n < 70; ++n) {
        std::vector<std::int16_t> codes(n);
        for (auto& c : codes) c = static_cast<std::int16_t>(code(rng));
        if (n > 2) codes[0] = -32768, codes[1] = 32767, codes[2] = 0;
        std::vector<std::uint8_t> le(2 * n);
        store_codes_le(codes, le.data());

        std::vector<float> separate(n);
        dequantise_le(le.data(), inv, separate);
        std::vector<float> shared(n);
        auto* upper = reinterpret_cast<std::uint8_t*>(shared.data()) + 2 * n;
        if (n != 0) std::memcpy(upper, le.data(), 2 * n);
        dequantise_le(upper, inv, shared);
        for (std::size_t i = 0; i < n; ++i) {
            const float expected = static_cast<float>(codes[i]) * inv;
            ASSERT_EQ(bits(separate[i]), bits(expected)) << "n=" << n << " i=" << i;
            ASSERT_EQ(bits(shared[i]), bits(expected)) << "n=" << n << " i=" << i;
        }
    }
}

class CodecDenormalise : public ::testing::TestWithParam<simd::Isa> {};

// Every variant gives the bits of fma(mean + x, range, minimum) evaluated
// one sample at a time, including cases where a separate multiply and add
// would round differently, signed zeros, subnormals and overflow to inf.
TEST_P(CodecDenormalise, VariantEqualsScalarFusedDefinition) {
    const simd::Isa isa = GetParam();
    if (!simd::enabled(isa)) GTEST_SKIP() << simd::unavailable_reason(isa);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-0.6f, 0.6f);
    const float kMax = std::numeric_limits<float>::max();
    const float kSub = std::numeric_limits<float>::denorm_min();
    struct Params {
        float mean, range, minimum;
    };
    const Params params[] = {{0.4873f, 2.731f, -1.125f},
                             {0.5f, 1.0f / 3.0f, 0.1f},
                             {0.25f, kMax, -kMax},
                             {0.0f, 1e-30f, kSub},
                             {0.0f, 0.0f, -0.0f}};
    for (const Params& p : params) {
        for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 31u, 64u, 1000u}) {
            std::vector<float> x(n);
            for (auto& v : x) v = u(rng);
            if (n > 3) x[0] = -0.0f, x[1] = kSub, x[2] = -p.mean, x[3] = 1.5f;
            std::vector<float> got = x;
            denormalise_pinned(isa, got, p.mean, p.range, p.minimum);
            for (std::size_t i = 0; i < n; ++i) {
                const float expected = std::fma(p.mean + x[i], p.range, p.minimum);
                ASSERT_EQ(bits(got[i]), bits(expected)) << simd::name(isa) << " n=" << n << " i=" << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, CodecDenormalise, ::testing::Values(simd::Isa::Portable, simd::Isa::Avx2Fma),
                         [](const auto& param_info) { return std::string(simd::name(param_info.param)); });

}  // namespace
