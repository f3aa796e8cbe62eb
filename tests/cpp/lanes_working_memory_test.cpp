// The lane codec on the thread's working memory: whatever earlier calls left
// in the pool never reaches a frame's bytes or the decoded values, the pool
// stays within its budget after long lanes, and a decoder handed memory of
// the wrong size refuses instead of writing past it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "lanes/interp_coder.hpp"
#include "lanes/interp_scheme.hpp"
#include "lanes/level_lane.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes_test_support.hpp"
#include "support/scratch.hpp"

using namespace lanes_test;
namespace support = vantoresk::support;

namespace {

std::vector<float> wave(std::size_t n, std::uint64_t seed, double noise_level) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise;
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        x[i] = static_cast<float>(std::round(400 * (std::sin(0.02 * t) + 0.3 * std::sin(0.21 * t) +
                                                    noise_level * noise(rng))) / 400.0);
    }
    return x;
}

// Fills the pool with blocks of junk of assorted sizes around `bytes`.
void soil_pool(std::size_t bytes) {
    std::vector<support::Scratch<std::uint8_t>> held;
    for (const std::size_t size : {bytes / 3, bytes / 2 + 8, bytes + 24, 2 * bytes + 40}) {
        auto s = support::Scratch<std::uint8_t>::take(size);
        ASSERT_TRUE(s);
        std::memset(s.get(), 0xA5, s.size());
        held.push_back(std::move(s));
    }
}

// Frames whose lanes take every decode path that works in the pool: levels
// (both schemes), grid, shuffled or deflated bytes, integers.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> frames() {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
    const auto ecg = wave(9000, 3, 0.05);
    out.emplace_back("levels k=4", encode_rows(ecg, 3, VNT_TARGET_MAX_ABS_ERROR, 4.0 / 400).value());
    out.emplace_back("levels prdn", encode_rows(wave(9000, 4, 0.0), 2, VNT_TARGET_MAX_PRDN, 1.0).value());
    out.emplace_back("grid exact", encode_rows(ecg, 2, VNT_TARGET_MAX_ABS_ERROR, 0.0).value());
    auto strays = ecg;
    for (std::size_t i = 5; i < strays.size(); i += 9) strays[i] += 0.31e-4f * static_cast<float>(i % 7 + 1);
    out.emplace_back("grid corrected", encode_rows(strays, 1, VNT_TARGET_MAX_ABS_ERROR, 0.0).value());
    std::vector<float> repeats(6000);
    for (std::size_t i = 0; i < repeats.size(); ++i) repeats[i] = static_cast<float>(i % 4) * 1.37e-7f + 1e5f;
    out.emplace_back("plain bytes", encode_rows(repeats, 2, VNT_TARGET_MAX_ABS_ERROR, 0.0).value());
    std::vector<std::int16_t> ints(8000);
    for (std::size_t i = 0; i < ints.size(); ++i) ints[i] = static_cast<std::int16_t>(ecg[i] * 400);
    out.emplace_back("int16 k=2", encode_rows(ints, 4, VNT_TARGET_MAX_ABS_ERROR, 2.0).value());
    return out;
}

std::vector<std::uint8_t> decoded(const std::vector<std::uint8_t>& frame) {
    auto v = open_frame(frame);
    EXPECT_TRUE(v.ok());
    if (!v) return {};
    std::vector<std::uint8_t> out(decoded_bytes(v->head), 0x5A);
    auto st = decode_frame(frame, out);
    EXPECT_TRUE(st.ok()) << st.error().message;
    return out;
}

}  // namespace

TEST(WorkingMemory, SoiledPoolEncodesTheSameFramesAsAFreshThread) {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> fresh, soiled;
    std::thread([&] { fresh = frames(); }).join();
    for (const std::size_t bytes : {std::size_t{1} << 12, std::size_t{50000}, std::size_t{300000}}) {
        std::thread([&] {
            soil_pool(bytes);
            soiled = frames();
        }).join();
        ASSERT_EQ(soiled.size(), fresh.size());
        for (std::size_t i = 0; i < fresh.size(); ++i) EXPECT_EQ(soiled[i].second, fresh[i].second) << fresh[i].first;
    }
}

TEST(WorkingMemory, SoiledPoolGivesTheSameBytesAsAFreshThread) {
    for (const auto& [name, frame] : frames()) {
        SCOPED_TRACE(name);
        std::vector<std::uint8_t> fresh;
        std::thread([&] { fresh = decoded(frame); }).join();
        ASSERT_FALSE(fresh.empty());
        // The same thread again and again, with the pool soiled in between
        // and after decoding every other frame.
        std::thread([&] {
            for (const std::size_t bytes : {std::size_t{1} << 12, std::size_t{80000}, std::size_t{1} << 20}) {
                soil_pool(bytes);
                EXPECT_EQ(decoded(frame), fresh);
                for (const auto& [other, f] : frames()) (void)decoded(f);
                EXPECT_EQ(decoded(frame), fresh);
            }
        }).join();
    }
}

TEST(WorkingMemory, InterpolatedBodiesDecodeAlikeOverJunk) {
    // The scheme's context planes are not cleared between calls: only
    // samples already decoded may be read.
    std::mt19937_64 rng(9);
    std::vector<std::int64_t> levels(20000);
    double y = 0.0;
    for (auto& v : levels) v = static_cast<std::int64_t>(y += std::normal_distribution<double>(0.0, 6.0)(rng));
    for (const std::uint64_t k : {0u, 2u, 7u}) {
        const std::vector<std::uint64_t> bounds = interp_bounds(k, InterpTaper::Flat);
        std::vector<std::uint8_t> body;
        std::vector<std::int64_t> recon(levels.size());
        ASSERT_TRUE(encode_interp(levels, bounds, body, recon).ok());
        for (const std::size_t bytes : {levels.size(), 8 * levels.size(), 20 * levels.size()}) {
            soil_pool(bytes);
            std::vector<std::int64_t> out(levels.size(), -1);
            ASSERT_TRUE(decode_levels(body, out).ok());
            ASSERT_EQ(out, recon) << "k " << k << ", junk blocks near " << bytes << " bytes";
        }
    }
}

TEST(WorkingMemory, PoolStaysWithinItsBudgetAfterLongLanes) {
    std::thread([] {
        // 2.5 million samples: the levels alone are beyond the pool's budget
        // and must be given back, not kept.
        const auto x = wave(2'500'000, 5, 0.05);
        const auto frame = encode_rows(x, 1, VNT_TARGET_MAX_ABS_ERROR, 2.0 / 400).value();
        const auto back = decode_as<float>(frame, x.size()).value();
        for (std::size_t i = 0; i < x.size(); i += 997) ASSERT_LE(std::fabs(back[i] - x[i]), 2.0 / 400 + 1e-6);
        EXPECT_LE(support::thread_scratch().held_bytes(), support::kScratchKeepBytes);
        for (const auto& [name, f] : frames()) (void)decoded(f);
        EXPECT_LE(support::thread_scratch().held_bytes(), support::kScratchKeepBytes);
    }).join();
}

TEST(WorkingMemory, LevelLaneRefusesWorkingMemoryOfAnotherLength) {
    std::vector<std::int64_t> levels(500);
    for (std::size_t i = 0; i < levels.size(); ++i) levels[i] = static_cast<std::int64_t>(i % 37);
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(level_lane_body(levels, 1, LevelMap{}, body).ok());
    std::vector<std::int64_t> out(levels.size());
    std::vector<std::int64_t> short_memory(levels.size() - 1), right(levels.size());
    EXPECT_FALSE(decode_level_lane<std::int64_t>(body, VNT_INT32, out, short_memory).ok());
    ASSERT_TRUE(decode_level_lane<std::int64_t>(body, VNT_INT32, out, right).ok());
    for (std::size_t i = 0; i < levels.size(); ++i) ASSERT_LE(std::llabs(out[i] - levels[i]), 1);
}
