// Reciprocal division, the extension record and the arena writer.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "wavelet/filter_bank/border_mode.hpp"
#include "wavelet/filter_bank/arena.hpp"

#include "wavelet_test_support.hpp"

namespace tremora {
namespace {

using wavelet_test::bits;
using wavelet_test::kModes;
using wavelet_test::mode_name;

// ---------------------------------------------------------------- division

std::vector<std::int64_t> divisors() {
    std::vector<std::int64_t> d;
    for (std::int64_t i = 1; i <= 3000; ++i) d.push_back(i);
    for (int s = 0; s < 63; ++s) {
        const std::int64_t p = std::int64_t{1} << s;
        d.push_back(p);
        if (p > 1) d.push_back(p - 1);
        d.push_back(p + 1);
    }
    d.push_back(std::numeric_limits<std::int64_t>::max());
    d.push_back(1000000007);
    d.push_back(6700417);
    d.push_back(std::int64_t{3} << 40);
    return d;
}

std::vector<std::int64_t> dividends() {
    std::vector<std::int64_t> x;
    for (std::int64_t i = -300; i <= 300; ++i) x.push_back(i);
    const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    const std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    for (std::int64_t v : {lo, lo + 1, hi, hi - 1, std::int64_t{1} << 40, -(std::int64_t{1} << 40)}) x.push_back(v);
    std::mt19937_64 rng(7);
    for (int i = 0; i < 60; ++i) {
        const auto v = static_cast<std::int64_t>(rng());
        x.push_back(v);
        x.push_back(v >> (i % 60));
    }
    return x;
}

TEST(SignedDivider, MatchesTruncatingDivision) {
    const auto xs = dividends();
    for (std::int64_t d : divisors()) {
        for (std::int64_t sign : {1, -1}) {
            const std::int64_t dd = d * sign;
            const SignedDivider div = SignedDivider::make(dd);
            for (std::int64_t x : xs) {
                if (x == std::numeric_limits<std::int64_t>::min() && dd == -1) continue;  // overflows in C++ too
                ASSERT_EQ(div.divide(x), x / dd) << x << " / " << dd;
            }
        }
    }
}

// ------------------------------------------------------- extension record

// Straight from the definitions (Euclidean mod with hardware division).
std::int64_t emod(std::int64_t a, std::int64_t m) {
    const std::int64_t r = a % m;
    return r < 0 ? r + m : r;
}
std::int64_t reference_source(BorderMode mode, std::int64_t x, std::int64_t n) {
    if (x >= 0 && x < n) return x;
    switch (mode) {
        case BorderMode::Clamp: return x < 0 ? 0 : n - 1;
        case BorderMode::Wrap: return emod(x, n);
        case BorderMode::Symmetric: return emod(-x - 1, n);
        case BorderMode::Reflect:
            if (n == 1) return 0;
            return x < 0 ? 1 + emod(-x - 1, n - 1) : (n - 1) - emod(x, n - 1);
        case BorderMode::Zeros: return -1;
    }
    return -1;
}

struct FiveCase {
    BorderMode mode;
    std::vector<int> left;   // sources of positions -7 .. -1 (-1 = zero)
    std::vector<int> right;  // sources of positions 5 .. 11
};

class FiveSamples : public ::testing::TestWithParam<FiveCase> {};

TEST_P(FiveSamples, SourcesOfOutsidePositions) {
    const FiveCase& c = GetParam();
    const BorderInterpolation ext = BorderInterpolation::make(c.mode, 0, 5);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(ext.source(-7 + i), c.left[i]) << "position " << -7 + i;
        EXPECT_EQ(ext.source(5 + i), c.right[i]) << "position " << 5 + i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FiveSamples,
    ::testing::Values(FiveCase{BorderMode::Clamp, {0, 0, 0, 0, 0, 0, 0}, {4, 4, 4, 4, 4, 4, 4}},
                      FiveCase{BorderMode::Wrap, {3, 4, 0, 1, 2, 3, 4}, {0, 1, 2, 3, 4, 0, 1}},
                      FiveCase{BorderMode::Symmetric, {1, 0, 4, 3, 2, 1, 0}, {4, 3, 2, 1, 0, 4, 3}},
                      FiveCase{BorderMode::Reflect, {3, 2, 1, 4, 3, 2, 1}, {3, 2, 1, 4, 3, 2, 1}},
                      FiveCase{BorderMode::Zeros, {-1, -1, -1, -1, -1, -1, -1}, {-1, -1, -1, -1, -1, -1, -1}}),
    [](const auto& param_info) { return mode_name(param_info.param.mode); });

class EveryMode : public ::testing::TestWithParam<BorderMode> {};

// Lengths 1, 2 and a few more, with pads far longer than the signal. With the
// table above this pins the arena writer's pads for n = 5 too.
TEST_P(EveryMode, RecordAndArenaAgreeWithTheDefinitionAtAnyDistance) {
    const BorderMode mode = GetParam();
    for (std::int64_t n : {1, 2, 3, 4, 5, 7, 16, 33}) {
        SCOPED_TRACE(n);
        const BorderInterpolation ext = BorderInterpolation::make(mode, 0, n);
        for (std::int64_t x = -5 * n - 9; x < 6 * n + 9; ++x) ASSERT_EQ(ext.source(x), reference_source(mode, x, n)) << x;
        for (std::int64_t x : {std::int64_t{-1} << 50, (std::int64_t{1} << 50) + 3})
            ASSERT_EQ(ext.source(x), reference_source(mode, x, n)) << x;

        std::vector<float> s(static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<float>(100 + i);
        // Samples are moved, not recomputed: signed zeros and NaN payloads survive.
        s[0] = -0.0f;
        if (n > 2) s[2] = std::bit_cast<float>(0x7fc01234u);
        for (std::size_t left : {std::size_t{0}, std::size_t{1}, std::size_t(3 * n + 2)}) {
            for (std::size_t right : {std::size_t{0}, std::size_t{2}, std::size_t(4 * n + 1)}) {
                std::vector<float> arena(left + s.size() + right, -1.0f);
                ASSERT_TRUE(write_arena_1d(s, arena, left, right, mode).ok());
                for (std::size_t i = 0; i < arena.size(); ++i) {
                    const std::int64_t src =
                        reference_source(mode, static_cast<std::int64_t>(i) - static_cast<std::int64_t>(left), n);
                    const float want = src < 0 ? 0.0f : s[static_cast<std::size_t>(src)];
                    ASSERT_EQ(bits(arena[i]), bits(want))
                        << "cell " << i << " left " << left << " right " << right;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, EveryMode, ::testing::ValuesIn(kModes),
                         [](const auto& param_info) { return mode_name(param_info.param); });

// ------------------------------------------------------------ arena errors

TEST(Arena, LengthMismatchIsAnErrorAndWritesNothing) {
    const std::vector<float> s{1, 2, 3};
    std::vector<float> arena(9, 7.0f);
    const Status st = write_arena_1d(s, arena, 3, 2, BorderMode::Wrap);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error(), TremoraError::scratch_size_mismatch(8, 9));
    EXPECT_EQ(st.error().display(), "Scratch size expected to be 8 but it was 9");
    for (float v : arena) EXPECT_EQ(v, 7.0f);
    // Pads larger than the arena itself must not wrap around in the check.
    const Status huge = write_arena_1d(s, arena, std::numeric_limits<std::size_t>::max(), 8, BorderMode::Wrap);
    EXPECT_FALSE(huge.ok());
}

TEST(Arena, EmptySignal) {
    std::vector<float> arena(3, 7.0f);
    const Status wrap = write_arena_1d({}, arena, 1, 2, BorderMode::Wrap);
    ASSERT_FALSE(wrap.ok());
    EXPECT_EQ(wrap.error().display(), "Zero sized input is not supported");
    ASSERT_TRUE(write_arena_1d({}, arena, 1, 2, BorderMode::Zeros).ok());
    for (float v : arena) EXPECT_EQ(v, 0.0f);
    EXPECT_TRUE(write_arena_1d({}, std::span<float>{}, 0, 0, BorderMode::Reflect).ok());
}

}  // namespace
}  // namespace tremora
