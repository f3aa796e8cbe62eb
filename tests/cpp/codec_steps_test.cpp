// The compressor's steps on their own: measuring, normalising, level table,
// quantiser, dead zone and the coder decision.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "core/arans/arans.hpp"
#include "core/compress_steps.hpp"
#include "core/compressor.hpp"
#include "core/quantise.hpp"
#include "core/wavelet_choice.hpp"

namespace {

using namespace vantoresk;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(CodecMeasure, NonFiniteSamplesAreReplacedBeforeMeasuring) {
    const std::vector<float> in = {kNaN, kInf, -kInf, 0.5f, -kNaN};
    std::vector<float> out(in.size());
    const auto r = sanitise_and_measure(in, out);
    EXPECT_EQ(out, (std::vector<float>{0.0f, 1.0f, 0.0f, 0.5f, 0.0f}));
    EXPECT_EQ(bits(r.minimum), bits(0.0f));
    EXPECT_EQ(bits(r.maximum), bits(1.0f));
}

// -0.0 < +0.0 whatever the order and wherever the zeros fall relative to
// the blocks of eight.
class CodecSignedZeros : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(CodecSignedZeros, MinimumIsNegativeZeroMaximumPositive) {
    const auto& [n, neg_at, pos_at] = GetParam();
    std::vector<float> in(n, 0.0f);
    for (auto& v : in) v = -0.0f;
    in[pos_at] = 0.0f;
    in[neg_at] = -0.0f;
    std::vector<float> out(n);
    const auto r = sanitise_and_measure(in, out);
    EXPECT_EQ(bits(r.minimum), 0x80000000u);
    EXPECT_EQ(bits(r.maximum), 0x00000000u);
    EXPECT_EQ(bits(out[pos_at]), 0u);
}

INSTANTIATE_TEST_SUITE_P(Positions, CodecSignedZeros,
                         ::testing::Values(std::make_tuple(2, 0, 1), std::make_tuple(2, 1, 0), std::make_tuple(3, 2, 0),
                                           std::make_tuple(9, 8, 0), std::make_tuple(9, 0, 8),
                                           std::make_tuple(17, 3, 16), std::make_tuple(17, 16, 3)));

// Flat means only that 1 / range overflows: a zero range, or a subnormal
// range up to 2^-128 (bits 0x00200000). The next float up, and every range
// above it however small in its units, is normalised to the unit range.
class CodecFlatRange : public ::testing::TestWithParam<std::tuple<float, float, bool>> {};

TEST_P(CodecFlatRange, FlatOnlyWhereTheRangeCannotBeInverted) {
    const auto& [minimum, range_bits_as_float, flat] = GetParam();
    const float range = range_bits_as_float;
    const float maximum = minimum + range;
    ASSERT_EQ(maximum - minimum, range);
    std::vector<float> x = {minimum, maximum, minimum};
    const float mean = normalise(x, {minimum, maximum});
    if (flat) {
        EXPECT_EQ(bits(mean), 0u);
        EXPECT_EQ(x, (std::vector<float>{0.0f, 0.0f, 0.0f}));
    } else {
        EXPECT_NEAR(x[1] - x[0], 1.0f, 1e-6f);
        EXPECT_NEAR(mean, 1.0f / 3.0f, 1e-6f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, CodecFlatRange,
    ::testing::Values(std::make_tuple(0.0f, 0.0f, true), std::make_tuple(3.5f, 0.0f, true),
                      std::make_tuple(0.0f, std::bit_cast<float>(0x00000001u), true),
                      std::make_tuple(0.0f, std::bit_cast<float>(0x00200000u), true),
                      std::make_tuple(0.0f, std::bit_cast<float>(0x00200001u), false),
                      std::make_tuple(-0.0f, std::bit_cast<float>(0x00200001u), false),
                      std::make_tuple(0.0f, std::numeric_limits<float>::min(), false),
                      // Ranges of about 1e-5: tiny, but invertible, so kept.
                      std::make_tuple(0.0f, std::bit_cast<float>(0x3727C5ABu), false),
                      std::make_tuple(0.0f, std::bit_cast<float>(0x3727C5ACu), false),
                      std::make_tuple(-1e-6f, 1e-6f, false)));

TEST(CodecNormalise, MeanIsOneAccumulatorInIndexOrder) {
    // Values chosen so that pairwise or eight-lane sums round differently.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (std::size_t n : {3u, 8u, 9u, 100u, 1001u, 4099u}) {
        std::vector<float> raw(n);
        for (auto& v : raw) v = u(rng) * u(rng) * 1e3f;
        std::vector<float> x = raw;
        std::vector<float> tmp(n);
        const auto r = sanitise_and_measure(raw, tmp);
        const float mean = normalise(x, r);

        const float range = r.maximum - r.minimum;
        const float inv = 1.0f / range;
        float sum = 0.0f;
        std::vector<float> expect(n);
        for (std::size_t i = 0; i < n; ++i) {
            expect[i] = (raw[i] - r.minimum) * inv;
            sum += expect[i];
        }
        const float expect_mean = sum / static_cast<float>(n);
        EXPECT_EQ(bits(mean), bits(expect_mean)) << n;
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(x[i]), bits(expect[i] - expect_mean)) << n << " " << i;
    }
}

class CodecLevels : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(CodecLevels, TableThenMaxLevels) {
    const auto& [n, f, levels] = GetParam();
    EXPECT_EQ(level_count_for(n, f), levels);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, CodecLevels,
    ::testing::Values(std::make_tuple(1, 10, 1), std::make_tuple(19, 10, 1), std::make_tuple(20, 10, 2),
                      std::make_tuple(39, 8, 2), std::make_tuple(40, 8, 3), std::make_tuple(59, 6, 3),
                      std::make_tuple(60, 6, 4), std::make_tuple(79, 10, 4), std::make_tuple(80, 10, 3),
                      std::make_tuple(80, 8, 3), std::make_tuple(80, 6, 3), std::make_tuple(96, 6, 4),
                      std::make_tuple(159, 10, 3), std::make_tuple(160, 10, 4), std::make_tuple(2559, 10, 7),
                      std::make_tuple(2560, 10, 8), std::make_tuple(650000, 10, 8), std::make_tuple(2147483647, 8, 8)));

TEST(CodecLevels, ComputeMaxLevelsEdges) {
    EXPECT_EQ(compute_max_levels(5, 8), 1u);
    EXPECT_EQ(compute_max_levels(8, 8), 1u);   // q = 1
    EXPECT_EQ(compute_max_levels(15, 8), 1u);
    EXPECT_EQ(compute_max_levels(16, 8), 1u);  // q = 2 -> log2 1
    EXPECT_EQ(compute_max_levels(32, 8), 2u);
    // q is taken on the low 32 bits of n.
    EXPECT_EQ(compute_max_levels((std::size_t{1} << 32) + 100, 10), 3u);
}

TEST(CodecQuantise, ExamplesAndClamping) {
    EXPECT_EQ(quantise_one(0.01f, scale_factor(11)), 20);
    EXPECT_EQ(quantise_one(-0.01f, scale_factor(11)), -20);
    EXPECT_EQ(quantise_one(100.0f, scale_factor(12)), 32767);
    EXPECT_EQ(quantise_one(-100.0f, scale_factor(12)), -32768);
    EXPECT_EQ(quantise_one(kNaN, scale_factor(12)), 32767);
    EXPECT_EQ(quantise_one(2.9f / 64.0f, scale_factor(6)), 2);
    EXPECT_EQ(quantise_one(-2.9f / 64.0f, scale_factor(6)), -2);
}

TEST(CodecQuantise, ClampFlagMarksOnlyCodesOutsideTheRange) {
    const float m = scale_factor(12);
    const std::vector<std::tuple<float, bool>> cases = {
        {32767.0f / 4096.0f, false}, {-32768.0f / 4096.0f, false}, {std::nextafter(8.0f, 9.0f), true},
        {-32768.5f / 4096.0f, true}, {kNaN, true}, {kInf, true}, {-kInf, true}, {0.0f, false}};
    for (const auto& [w, clamped] : cases) {
        for (std::size_t n : {1u, 8u, 13u}) {
            // The interesting value sits at the end: inside a block or in the tail.
            std::vector<float> band(n, 0.001f);
            band.back() = w;
            std::vector<std::int16_t> codes(n);
            EXPECT_EQ(quantise_band(band, m, codes), clamped) << w << " n=" << n;
            EXPECT_EQ(codes.back(), quantise_one(w, m));
        }
    }
}

TEST(CodecQuantise, BlocksEqualScalarDefinition) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-20.0f, 20.0f);
    for (std::size_t n = 0; n < 40; ++n) {
        std::vector<float> band(n);
        for (auto& v : band) v = u(rng);
        if (n > 5) band[5] = kNaN;
        std::vector<std::int16_t> codes(n);
        (void)quantise_band(band, scale_factor(11), codes);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(codes[i], quantise_one(band[i], scale_factor(11)));
    }
}

class CodecDeadZone : public ::testing::TestWithParam<std::tuple<int, CutoffLevel, int>> {};

TEST_P(CodecDeadZone, ThresholdTable) {
    const auto& [scale, cutoff, threshold] = GetParam();
    EXPECT_EQ(dead_zone_threshold(static_cast<std::uint8_t>(scale), cutoff), threshold);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodecDeadZone,
    ::testing::Values(std::make_tuple(6, CutoffLevel::High, 0), std::make_tuple(7, CutoffLevel::Medium, 0),
                      std::make_tuple(8, CutoffLevel::Low, 1), std::make_tuple(9, CutoffLevel::High, 7),
                      std::make_tuple(10, CutoffLevel::Medium, 6), std::make_tuple(11, CutoffLevel::High, 14),
                      std::make_tuple(12, CutoffLevel::Low, 3), std::make_tuple(12, CutoffLevel::Medium, 9),
                      std::make_tuple(12, CutoffLevel::High, 21)));

TEST(CodecDeadZone, ZeroesBelowThresholdOnly) {
    std::vector<std::int16_t> codes;
    for (int c = -25; c <= 25; ++c) codes.push_back(static_cast<std::int16_t>(c));
    codes.push_back(-32768);
    codes.push_back(32767);
    apply_dead_zone(codes, 21);
    for (std::size_t i = 0; i + 2 < codes.size(); ++i) {
        const int c = static_cast<int>(i) - 25;
        EXPECT_EQ(codes[i], std::abs(c) < 21 ? 0 : c) << c;
    }
    EXPECT_EQ(codes[codes.size() - 2], -32768);
    EXPECT_EQ(codes.back(), 32767);
}

class CodecCoderChoice : public ::testing::TestWithParam<std::tuple<EntropyCoder, std::size_t, int>> {};

TEST_P(CodecCoderChoice, ByteOrRefusal) {
    const auto& [coder, codes, expected] = GetParam();
    const auto r = coder_byte_for(coder, codes);
    if (expected < 0) {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), VantoreskError::Kind::UnsupportedConfiguration);
        EXPECT_EQ(r.error().display(),
                  "Unsupported compression configuration 'Can't code more than 268435456 coefficients with "
                  "arans, but there were " + std::to_string(codes) + "'");
    } else {
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value(), expected);
    }
}

constexpr std::size_t kLimit = arans::kMaxPlaneLength;
INSTANTIATE_TEST_SUITE_P(
    AroundTheAransLimit, CodecCoderChoice,
    ::testing::Values(std::make_tuple(EntropyCoder::Auto, 10, 1), std::make_tuple(EntropyCoder::Auto, kLimit, 1),
                      std::make_tuple(EntropyCoder::Auto, kLimit + 1, 0), std::make_tuple(EntropyCoder::Arans, kLimit, 1),
                      std::make_tuple(EntropyCoder::Arans, kLimit + 1, -1),
                      std::make_tuple(EntropyCoder::Arans, std::size_t{1} << 31, -1),
                      std::make_tuple(EntropyCoder::Deflate, 10, 0), std::make_tuple(EntropyCoder::Deflate, kLimit + 1, 0)));

// Half a range of room beyond the larger magnitude, decided exactly.
TEST(CodecHeadroom, HalfARangeFromTheFloatLimit) {
    const float m = std::numeric_limits<float>::max();
    const float third = m / 3.0f;
    const std::vector<std::tuple<float, float, bool>> cases = {
        {0.0f, 1.0f, true},
        {-m / 2.0f, m / 2.0f, true},        // centred: room exactly when the range is finite
        {-m, m, false},                     // the range overflows
        {m, m, true}, {-m, -m, true},       // constants decode to the minimum exactly
        {0.0f, 2.0f * third, true},         // 2/3 + 1/3 of the limit
        {0.0f, std::nextafter(2.0f * third, m), false},
        {-2.0f * third, 0.0f, true},
        {std::nextafter(-2.0f * third, -m), 0.0f, false},
        {0.0f, 3.4e38f, false},             // zeros and 3.4e38: would decode to infinity
        {0.9f * m, std::nextafter(0.9f * m, m), true},
        {0.8f * m, m, false}};
    for (const auto& [lo, hi, room] : cases) EXPECT_EQ(leaves_decoding_headroom({lo, hi}), room) << lo << " " << hi;
}

TEST(CodecPayloadLength, ThirtyTwoBitsOrRefused) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{52}, std::size_t{0xFFFFFFFFu}}) {
        const auto r = payload_length_field(size);
        ASSERT_TRUE(r.ok()) << size;
        EXPECT_EQ(r.value(), size);
    }
    for (const std::size_t size : {std::size_t{1} << 32, (std::size_t{1} << 32) + 1, SIZE_MAX}) {
        const auto r = payload_length_field(size);
        ASSERT_FALSE(r.ok()) << size;
        EXPECT_EQ(r.error().kind(), VantoreskError::Kind::UnsupportedConfiguration);
        EXPECT_EQ(r.error().display(),
                  "Unsupported compression configuration 'Can't store a payload of more than 4294967295 bytes, "
                  "but it was " + std::to_string(size) + "'");
    }
}

constexpr CompressionMethod kMethods[] = {CompressionMethod::Cdf53, CompressionMethod::Cdf97, CompressionMethod::Db4,
                                          CompressionMethod::Sym4};

// The reader sizes its bands with the same dwt_size chain; the transform
// itself must agree with the count.
TEST(CodecCodeCount, MatchesTheTransformsBands) {
    for (const auto method : kMethods) {
        const auto executor = make_executor(method);
        for (std::size_t n : {1u, 5u, 9u, 10u, 33u, 80u, 257u, 1000u}) {
            const std::size_t levels = level_count_for(n, executor->filter_length());
            std::vector<float> x(std::max(n, executor->filter_length()), 0.25f);
            const auto dwt = executor->multi_dwt(x, levels);
            ASSERT_TRUE(dwt.ok());
            std::size_t codes = 0;
            for (std::size_t k = 0; k < levels; ++k) {
                codes += dwt->levels[k].details.size();
                EXPECT_EQ(code_count_for(*executor, n, k + 1), codes + dwt->levels[k].approximations.size())
                    << static_cast<int>(method) << " n " << n << " level " << k + 1;
            }
        }
    }
}

// Decided before the transform only when every depth the level fallback
// could write gets the same answer; then it is that answer exactly.
TEST(CodecCoderChoice, BeforeTransformAgreesWithEveryDepth) {
    const std::size_t near[] = {10u, kLimit - 64, kLimit - 9, kLimit - 1, kLimit,
                                kLimit + 1, kLimit + 7, kLimit + 64, std::size_t{1} << 30};
    std::size_t decided_early = 0;
    for (const auto method : kMethods) {
        const auto executor = make_executor(method);
        for (const std::size_t n : near) {
            const std::size_t levels = level_count_for(n, executor->filter_length());
            for (const auto coder : {EntropyCoder::Auto, EntropyCoder::Arans, EntropyCoder::Deflate}) {
                const auto early = coder_byte_before_transform(coder, *executor, n, levels);
                bool all_agree = true;
                const auto first = coder_byte_for(coder, code_count_for(*executor, n, 1));
                for (std::size_t depth = 1; depth <= levels; ++depth) {
                    const auto late = coder_byte_for(coder, code_count_for(*executor, n, depth));
                    const bool same = late.ok() == first.ok() && (!late.ok() || late.value() == first.value());
                    all_agree = all_agree && same;
                    if (early && early->ok()) {
                        ASSERT_TRUE(late.ok());
                        EXPECT_EQ(early->value(), late.value());
                    } else if (early) {
                        ASSERT_FALSE(late.ok()) << n << " depth " << depth;
                    }
                }
                EXPECT_EQ(early.has_value(), all_agree) << static_cast<int>(method) << " n " << n;
                if (early) ++decided_early;
                if (early && !early->ok()) {
                    // The message counts the codes of the planned depth.
                    EXPECT_EQ(early->error().display(),
                              coder_byte_for(coder, code_count_for(*executor, n, levels)).error().display());
                }
            }
        }
    }
    EXPECT_GT(decided_early, 0u);
}

// 2^28 + 64 samples: more codes than arans can frame at every depth, so the
// answer (DEFLATE for auto, a refusal for arans) comes before any transform.
TEST(CodecCoderChoice, LongSignalDecidedBeforeTransform) {
    const std::size_t n = (std::size_t{1} << 28) + 64;
    for (const auto method : kMethods) {
        const auto executor = make_executor(method);
        const std::size_t levels = level_count_for(n, executor->filter_length());
        const auto automatic = coder_byte_before_transform(EntropyCoder::Auto, *executor, n, levels);
        ASSERT_TRUE(automatic.has_value() && automatic->ok());
        EXPECT_EQ(automatic->value(), 0);
        const auto arans = coder_byte_before_transform(EntropyCoder::Arans, *executor, n, levels);
        ASSERT_TRUE(arans.has_value());
        EXPECT_FALSE(arans->ok());
    }
}

}  // namespace
