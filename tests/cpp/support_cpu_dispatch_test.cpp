// The CPU probe, the mask and the dispatch mechanism every vector path uses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/cpu_dispatch.hpp"

namespace {

using vantoresk::simd::Isa;
namespace simd = vantoresk::simd;

struct MaskValue {
    const char* value;
    bool masks;
};

class MaskVariable : public ::testing::TestWithParam<MaskValue> {};

TEST_P(MaskVariable, OnlyASetNonZeroValueMasks) {
    EXPECT_EQ(simd::mask_requested(GetParam().value), GetParam().masks);
}

INSTANTIATE_TEST_SUITE_P(Values, MaskVariable,
                         ::testing::Values(MaskValue{nullptr, false}, MaskValue{"", false}, MaskValue{"0", false},
                                           MaskValue{"1", true}, MaskValue{"yes", true}, MaskValue{"00", true}));

// Whatever this run's environment and CPU, the answers agree with each other.
TEST(CpuFeatures, AnswersAgreeWithTheEnvironmentOfThisRun) {
    const bool masked = simd::mask_requested(std::getenv(simd::kDisableVariable));
    EXPECT_EQ(simd::cpu_features().masked, masked);
    EXPECT_EQ(&simd::cpu_features(), &simd::cpu_features());  // probed once
    EXPECT_TRUE(simd::enabled(Isa::Portable));
    EXPECT_EQ(simd::unavailable_reason(Isa::Portable), "");
    for (const Isa isa : {Isa::X86Cmov, Isa::Avx2Fma}) {
        SCOPED_TRACE(simd::name(isa));
        EXPECT_EQ(simd::enabled(isa), simd::hardware_has(isa) && !masked);
        EXPECT_EQ(simd::unavailable_reason(isa).empty(), simd::enabled(isa));
    }
    if (masked) {
        EXPECT_EQ(simd::best_of({Isa::Avx2Fma, Isa::X86Cmov}), Isa::Portable);
        EXPECT_EQ(simd::unavailable_reason(Isa::Avx2Fma).find("VANTORESK_DISABLE_SIMD") == std::string::npos,
                  !simd::hardware_has(Isa::Avx2Fma));
    }
    // AVX2 implies an x86-64 build.
    if (simd::hardware_has(Isa::Avx2Fma)) {
        EXPECT_TRUE(simd::hardware_has(Isa::X86Cmov));
    }
}

TEST(CpuFeatures, BestOfTakesTheFirstEnabledAndFallsBackToPortable) {
    EXPECT_EQ(simd::best_of({}), Isa::Portable);
    const Isa best = simd::best_of({Isa::Avx2Fma, Isa::X86Cmov});
    if (simd::enabled(Isa::Avx2Fma)) {
        EXPECT_EQ(best, Isa::Avx2Fma);
    } else if (simd::enabled(Isa::X86Cmov)) {
        EXPECT_EQ(best, Isa::X86Cmov);
    } else {
        EXPECT_EQ(best, Isa::Portable);
    }
}

// A dispatched function asks its chooser once, on the first call, and every
// call (the first included) reaches the chosen variant with its arguments.
int g_choices = 0;
int twice(int v) { return 2 * v; }
using IntFn = int (*)(int);
IntFn choose_twice() noexcept {
    ++g_choices;
    return &twice;
}

TEST(Dispatched, ChoosesOnceOnTheFirstCallAndForwardsArguments) {
    using Twice = simd::Dispatched<IntFn, &choose_twice>;
    EXPECT_EQ(g_choices, 0);
    EXPECT_EQ(Twice::call(21), 42);
    EXPECT_EQ(g_choices, 1);
    for (int v = -3; v <= 3; ++v) EXPECT_EQ(Twice::call(v), 2 * v);
    EXPECT_EQ(g_choices, 1);
}

}  // namespace
