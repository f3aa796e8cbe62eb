// The encoder's faster paths against the plain ones they stand for, and the
// bytes of frames written with targets, frozen: work on the encoder's speed
// must leave every byte it writes as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "lanes/common.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes_test_support.hpp"

using namespace lanes_test;

namespace {

std::uint64_t next_random(std::uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
}

// ADC codes of a slow walk with sharp spikes, as float32 values code * step.
std::vector<float> walk_lane(std::size_t n, std::uint64_t seed, int spread, double step = 1 / 200.0) {
    std::vector<float> x(n);
    std::int64_t code = 0;
    for (std::size_t i = 0; i < n; ++i) {
        code += static_cast<std::int64_t>(next_random(seed) % static_cast<std::uint64_t>(2 * spread + 1)) - spread;
        code -= code / 64;
        const std::int64_t spike = i % 360 < 4 ? 300 : 0;
        x[i] = static_cast<float>(static_cast<double>(code + spike) * step);
    }
    return x;
}

std::uint32_t frame_check(const std::vector<std::uint8_t>& frame) {
    std::uint32_t crc = 0;
    for (int i = 0; i < 4; ++i) crc |= static_cast<std::uint32_t>(frame[frame.size() - 4 + i]) << (8 * i);
    return crc;
}

}  // namespace

TEST(EncoderFastPaths, HistoryDotWrapsLikeTheSumInOrder) {
    std::uint64_t seed = 11;
    std::vector<std::int64_t> y(64), coef(vantoresk::lanes::kMaxPredictorOrder);
    for (int trial = 0; trial < 200; ++trial) {
        for (auto& v : y) v = static_cast<std::int64_t>(next_random(seed) << 33 ^ next_random(seed)) >> (trial % 40);
        for (auto& c : coef) c = static_cast<std::int64_t>(next_random(seed)) - (std::int64_t{1} << 30);
        for (unsigned order = 0; order <= vantoresk::lanes::kMaxPredictorOrder; ++order) {
            std::uint64_t want = 0;
            for (unsigned j = 0; j < order; ++j)
                want += static_cast<std::uint64_t>(coef[j]) * static_cast<std::uint64_t>(y[63 - j]);
            ASSERT_EQ(vantoresk::lanes::history_dot(&y[63], coef.data(), order), want) << order;
        }
    }
}

TEST(EncoderFastPaths, FramesWithTargetsKeepTheirBytes) {
    struct Case {
        const char* name;
        vnt_target_kind kind;
        double target;
        std::size_t size;
        std::uint32_t check;
    };
    // Both lanes are stored near-lossless (and in containers coded with our
    // own coder without a target): no byte here comes from zlib.
    const Case cases[] = {
        {"k0", VNT_TARGET_MAX_ABS_ERROR, 0.0, 14368, 0x04BD867Eu},
        {"k1", VNT_TARGET_MAX_ABS_ERROR, 1 / 200.0, 11718, 0x88BC23C9u},
        {"k2", VNT_TARGET_MAX_ABS_ERROR, 2 / 200.0, 10034, 0x400E0D81u},
        {"k4", VNT_TARGET_MAX_ABS_ERROR, 4 / 200.0, 7430, 0x340F424Bu},
        {"k8", VNT_TARGET_MAX_ABS_ERROR, 8 / 200.0, 5160, 0x8BFC0614u},
        {"3 steps", VNT_TARGET_GRID_STEPS, 3.0, 8541, 0x4BB81366u},
        {"prdn 0.5", VNT_TARGET_MAX_PRDN, 0.5, 12404, 0x8183441Fu},
        {"prdn 2", VNT_TARGET_MAX_PRDN, 2.0, 7453, 0x02D467E7u},
        {"prdn 5", VNT_TARGET_MAX_PRDN, 5.0, 4796, 0x74AF7C87u},
        {"none", VNT_TARGET_NONE, 0.0, 24080, 0x9B56CE88u},
    };
    std::vector<float> x = walk_lane(12000, 1, 3);
    const std::vector<float> noisy = walk_lane(12000, 2, 40);
    x.insert(x.end(), noisy.begin(), noisy.end());
    for (std::size_t i = 3000; i < 3100; ++i) x[i] = std::numeric_limits<float>::quiet_NaN();
    for (const Case& c : cases) {
        auto frame = encode_rows<float>(x, 2, c.kind, c.target);
        ASSERT_TRUE(frame) << c.name;
        EXPECT_EQ(frame->size(), c.size) << c.name;
        EXPECT_EQ(frame_check(*frame), c.check) << c.name;
    }
}

// Values from a 16-bit converter with a step no float holds (as EEG in EDF
// files comes), wide enough that most values are distinct: the grid's
// refinement weighs thousands of constraints.
TEST(EncoderFastPaths, FramesOfWideOffGridLanesKeepTheirBytes) {
    struct Case {
        double steps;
        std::size_t size;
        std::uint32_t check;
    };
    const Case cases[] = {{0, 36660, 0xE14D699Au}, {1, 32913, 0xD55A0704u}, {4, 26067, 0xBF0DC17Du}};
    const double step = 125.37997 / 65535.0;
    const std::vector<float> x = walk_lane(30000, 5, 400, step);
    for (const Case& c : cases) {
        auto frame = encode_rows<float>(x, 1, VNT_TARGET_MAX_ABS_ERROR, c.steps * step);
        ASSERT_TRUE(frame) << c.steps;
        struct vnt_lane_info info {};
        vnt_error err{};
        ASSERT_EQ(vnt_lane_info(frame->data(), frame->size(), 0, &info, &err), VNT_OK);
        ASSERT_EQ(info.kind, VNT_LANE_NEAR_LOSSLESS) << c.steps;  // no zlib bytes in it
        EXPECT_EQ(frame->size(), c.size) << c.steps;
        EXPECT_EQ(frame_check(*frame), c.check) << c.steps;
    }
}
