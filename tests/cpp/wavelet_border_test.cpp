// Reciprocal division, the extension record and the arena writer.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "wavelet/border_mode.hpp"
#include "wavelet/filter_padding.hpp"

namespace tremora {
namespace {

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

TEST(SignedDivider, RecordFields) {
    const SignedDivider p = SignedDivider::make(8);
    EXPECT_EQ(p.multiplier, 0);
    EXPECT_EQ(p.shift_and_flags, 3);
    EXPECT_EQ(p.divisor, 8);
    EXPECT_EQ(p.divisor_magnitude, 8u);
    // 3: s = 1; 2^64 mod 3 = 1 and 3 - 1 = 2 is not < 2: one more bit, add flag.
    EXPECT_EQ(SignedDivider::make(3).shift_and_flags, 1 | SignedDivider::kAddDividend);
    // 7: s = 2; 2^65 mod 7 = 4 and 7 - 4 = 3 < 4: shift 1, no flag.
    EXPECT_EQ(SignedDivider::make(7).shift_and_flags, 1);
    // 5: s = 2; 2^65 mod 5 = 2 and 5 - 2 = 3 < 4: shift 1, multiplier floor(2^65 / 5) + 1.
    EXPECT_EQ(SignedDivider::make(5).shift_and_flags, 1);
    EXPECT_EQ(SignedDivider::make(5).multiplier, static_cast<std::int64_t>(0x6666666666666667));
}

// ------------------------------------------------------- extension record

constexpr BorderMode kModes[] = {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Symmetric, BorderMode::Reflect,
                                 BorderMode::Zeros};

std::string mode_name(BorderMode m) {
    switch (m) {
        case BorderMode::Clamp: return "Clamp";
        case BorderMode::Wrap: return "Wrap";
        case BorderMode::Symmetric: return "Symmetric";
        case BorderMode::Reflect: return "Reflect";
        case BorderMode::Zeros: return "Zeros";
    }
    return "?";
}

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
    const std::vector<float> s{10, 11, 12, 13, 14};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(ext.source(-7 + i), c.left[i]) << "position " << -7 + i;
        EXPECT_EQ(ext.source(5 + i), c.right[i]) << "position " << 5 + i;
    }
    // The arena writer puts the same samples into its pads.
    std::vector<float> arena(19, -99.0f);
    ASSERT_TRUE(write_arena_1d_impl(s, arena, 7, 7, c.mode).ok());
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(arena[i], c.left[i] < 0 ? 0.0f : s[c.left[i]]) << i;
        EXPECT_EQ(arena[12 + i], c.right[i] < 0 ? 0.0f : s[c.right[i]]) << i;
    }
    for (int i = 0; i < 5; ++i) EXPECT_EQ(arena[7 + i], s[i]);
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

// Lengths 1, 2 and a few more, with pads far longer than the signal.
TEST_P(EveryMode, RecordAndArenaAgreeWithTheDefinitionAtAnyDistance) {
    const BorderMode mode = GetParam();
    for (std::int64_t n : {1, 2, 3, 4, 7, 16, 33}) {
        SCOPED_TRACE(n);
        const BorderInterpolation ext = BorderInterpolation::make(mode, 0, n);
        for (std::int64_t x = -5 * n - 9; x < 6 * n + 9; ++x) ASSERT_EQ(ext.source(x), reference_source(mode, x, n)) << x;
        for (std::int64_t x : {std::int64_t{-1} << 50, (std::int64_t{1} << 50) + 3})
            ASSERT_EQ(ext.source(x), reference_source(mode, x, n)) << x;

        std::vector<float> s(static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<float>(100 + i);
        for (std::size_t left : {std::size_t{0}, std::size_t{1}, std::size_t(3 * n + 2)}) {
            for (std::size_t right : {std::size_t{0}, std::size_t{2}, std::size_t(4 * n + 1)}) {
                std::vector<float> arena(left + s.size() + right, -1.0f);
                ASSERT_TRUE(write_arena_1d_impl(s, arena, left, right, mode).ok());
                for (std::size_t i = 0; i < arena.size(); ++i) {
                    const std::int64_t src =
                        reference_source(mode, static_cast<std::int64_t>(i) - static_cast<std::int64_t>(left), n);
                    const float want = src < 0 ? 0.0f : s[static_cast<std::size_t>(src)];
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(arena[i]), std::bit_cast<std::uint32_t>(want))
                        << "cell " << i << " left " << left << " right " << right;
                }
            }
        }
    }
}

TEST_P(EveryMode, ArenaMovesSamplesBitForBit) {
    const std::vector<float> s{-0.0f, std::numeric_limits<float>::quiet_NaN(), 1e-45f,
                               -std::numeric_limits<float>::infinity(), 3.0f, 0.0f};
    std::vector<float> arena(6 + 4 + 5);
    ASSERT_TRUE(write_arena_1d_impl(s, arena, 4, 5, GetParam()).ok());
    for (std::size_t i = 0; i < s.size(); ++i)
        EXPECT_EQ(std::bit_cast<std::uint32_t>(arena[4 + i]), std::bit_cast<std::uint32_t>(s[i]));
}

INSTANTIATE_TEST_SUITE_P(All, EveryMode, ::testing::ValuesIn(kModes),
                         [](const auto& param_info) { return mode_name(param_info.param); });

TEST(BorderInterpolation, SmallSignals) {
    // n = 1: every mirror position holds s0; n = 2 Reflect: every pad holds s1.
    for (BorderMode m : {BorderMode::Symmetric, BorderMode::Reflect, BorderMode::Wrap, BorderMode::Clamp}) {
        const BorderInterpolation one = BorderInterpolation::make(m, 0, 1);
        for (std::int64_t x : {-9, -1, 1, 2, 10}) EXPECT_EQ(one.source(x), 0) << mode_name(m) << " " << x;
    }
    const BorderInterpolation two = BorderInterpolation::make(BorderMode::Reflect, 0, 2);
    for (std::int64_t x : {-9, -2, -1, 2, 3, 10}) EXPECT_EQ(two.source(x), 1) << x;
    // Record fields: Clamp and Zeros carry no reciprocal.
    const BorderInterpolation clamp = BorderInterpolation::make(BorderMode::Clamp, 0, 37);
    EXPECT_EQ(clamp.length_divider.divisor, 1);
    EXPECT_EQ(clamp.length_divider.multiplier, 0);
    EXPECT_EQ(clamp.length_divider.shift_and_flags, 0);
    const BorderInterpolation wrap = BorderInterpolation::make(BorderMode::Wrap, 0, 37);
    EXPECT_EQ(wrap.length_divider.divisor, 37);
    EXPECT_NE(wrap.length_divider.multiplier, 0);
    EXPECT_EQ(wrap.length, 37);
}

// ------------------------------------------------------------ arena errors

TEST(Arena, LengthMismatchIsAnErrorAndWritesNothing) {
    const std::vector<float> s{1, 2, 3};
    std::vector<float> arena(9, 7.0f);
    const Status st = write_arena_1d_impl(s, arena, 3, 2, BorderMode::Wrap);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error(), TremoraError::scratch_size_mismatch(8, 9));
    EXPECT_EQ(st.error().display(), "Scratch size expected to be 8 but it was 9");
    for (float v : arena) EXPECT_EQ(v, 7.0f);
    // Pads larger than the arena itself must not wrap around in the check.
    const Status huge = write_arena_1d_impl(s, arena, std::numeric_limits<std::size_t>::max(), 8, BorderMode::Wrap);
    EXPECT_FALSE(huge.ok());
}

TEST(Arena, EmptySignal) {
    std::vector<float> arena(3, 7.0f);
    const Status wrap = write_arena_1d_impl({}, arena, 1, 2, BorderMode::Wrap);
    ASSERT_FALSE(wrap.ok());
    EXPECT_EQ(wrap.error().display(), "Zero sized input is not supported");
    ASSERT_TRUE(write_arena_1d_impl({}, arena, 1, 2, BorderMode::Zeros).ok());
    for (float v : arena) EXPECT_EQ(v, 0.0f);
    EXPECT_TRUE(write_arena_1d_impl({}, std::span<float>{}, 0, 0, BorderMode::Reflect).ok());
}

TEST(Arena, DispatchEntryIsTheWriter) {
    const ArenaWriter1d w = MakeArenaFactoryProvider::make_arena_writer_1d_executor();
    EXPECT_EQ(w, &write_arena_1d_impl);
    EXPECT_EQ(w, MakeArenaFactoryProvider::make_arena_writer_1d_executor());
}

}  // namespace
}  // namespace tremora
