// Frames as stored: layouts and byte orders come back, versions are written
// only as new as needed and refused when newer than known, and damaged or
// forged frames of every lane kind end in an error, never out of bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "lanes/container_lane.hpp"
#include "lanes/frame.hpp"
#include "lanes_test_support.hpp"

using namespace lanes_test;

namespace {

std::vector<float> ecg_like(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise;
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(std::round(200 * (std::sin(0.03 * static_cast<double>(i)) + 0.05 * noise(rng))) / 200.0);
    return x;
}

// One frame per lane kind, 0 to 5, and kind 5 on integers and with corrections.
std::vector<std::vector<std::uint8_t>> frames_of_every_kind() {
    const auto x = ecg_like(1500, 1);
    std::vector<std::vector<std::uint8_t>> out;
    out.push_back(encode_rows(x, 1, VNT_TARGET_NONE, 0.0, 9).value());                  // container
    out.push_back(encode_rows(std::vector<float>{1.f, 2.f, 3.f}, 1).value());          // raw
    std::vector<float> repeats(2000);
    for (std::size_t i = 0; i < repeats.size(); ++i) repeats[i] = static_cast<float>(i % 4) * 1.37e-7f + 1e5f;
    out.push_back(encode_rows(repeats, 1, VNT_TARGET_MAX_ABS_ERROR, 0.0).value());     // shuffled or deflate
    // On the grid but for every twelfth sample: the grid kind with corrections
    // (too many of them for the level coder's corrected mapping).
    auto strays = x;
    for (std::size_t i = 7; i < strays.size(); i += 12) strays[i] += 0.37e-4f * static_cast<float>(i % 5 + 1);
    out.push_back(encode_rows(strays, 1, VNT_TARGET_MAX_ABS_ERROR, 0.0).value());      // grid
    out.push_back(encode_rows(x, 1, VNT_TARGET_MAX_ABS_ERROR, 0.02).value());          // near-lossless
    std::vector<std::int16_t> ints(1200);
    for (std::size_t i = 0; i < ints.size(); ++i) ints[i] = static_cast<std::int16_t>(x[i] * 200);
    out.push_back(encode_rows(ints, 1, VNT_TARGET_MAX_ABS_ERROR, 2.0).value());        // integer near-lossless
    // Scaled ECG levels with two samples off the grid, frozen with the fixtures.
    std::ifstream in(std::string(VANTORESK_FIXTURES_DIR) + "/frames/v2_f32_exact_levels_with_corrections.vnlf",
                     std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return out;
}

vnt_status decode_status(const std::vector<std::uint8_t>& frame) {
    auto v = open_frame(frame);
    if (!v) return v.error().status;
    std::vector<std::uint8_t> out(decoded_bytes(v->head));
    auto st = decode_frame(frame, out);
    return st ? VNT_OK : st.error().status;
}

}  // namespace

TEST(LaneFrame, EveryKindIsWrittenAndVersionTwoOnlyWhenNeeded) {
    const auto frames = frames_of_every_kind();
    std::vector<int> kinds;
    for (const auto& f : frames) kinds.push_back(lane_info(f, 0).value().kind);
    EXPECT_EQ(kinds[0], VNT_LANE_CONTAINER);
    EXPECT_EQ(kinds[1], VNT_LANE_RAW);
    EXPECT_TRUE(kinds[2] == VNT_LANE_SHUFFLED || kinds[2] == VNT_LANE_DEFLATE);
    EXPECT_EQ(kinds[3], VNT_LANE_GRID);
    EXPECT_EQ(kinds[4], VNT_LANE_NEAR_LOSSLESS);
    EXPECT_EQ(kinds[5], VNT_LANE_NEAR_LOSSLESS);
    EXPECT_EQ(kinds[6], VNT_LANE_NEAR_LOSSLESS);
    EXPECT_EQ(frames[6][12 + 16 + 4 + 8], 3) << "the grid's levels with corrections";
    EXPECT_TRUE(lane_info(frames[6], 0).value().exact);
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i][4], i < 4 ? 1 : 2) << i;
}

TEST(LaneFrame, OrdersAxesAndByteOrdersComeBack) {
    // A (3, 4, 50) chunk with distinct lanes, coded along each axis, in C and F order, both byte orders.
    std::vector<double> values(600);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = std::sin(0.37 * static_cast<double>(i)) * 100;
    for (char order : {'C', 'F'}) {
        for (int big = 0; big < 2; ++big) {
            for (int axis = -3; axis < 3; ++axis) {
                std::vector<std::uint64_t> stored(values.size());
                for (std::size_t i = 0; i < values.size(); ++i) {
                    std::memcpy(&stored[i], &values[i], 8);
                    if (big) stored[i] = __builtin_bswap64(stored[i]);
                }
                vnt_layout layout{};
                layout.dtype = VNT_FLOAT64;
                layout.big_endian = big;
                layout.order = order;
                layout.ndim = 3;
                layout.shape[0] = 3;
                layout.shape[1] = 4;
                layout.shape[2] = 50;
                vnt_options o;
                vnt_options_init(&o);
                o.axis = axis;
                const double exact = 0.0;
                o.target_kind = VNT_TARGET_MAX_ABS_ERROR;
                o.targets = &exact;
                o.target_count = 1;
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(stored.data());
                auto frame = encode_frame(std::span<const std::uint8_t>(bytes, 4800), layout, o).value();
                auto head = open_frame(frame).value().head;
                EXPECT_EQ(head.order, order);
                EXPECT_EQ(head.big_endian, big == 1);
                EXPECT_EQ(head.axis, (axis + 3) % 3);
                std::vector<std::uint64_t> back(values.size());
                ASSERT_TRUE(decode_frame(frame, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(back.data()), 4800)).ok());
                EXPECT_EQ(back, stored) << order << big << axis;
            }
        }
    }
}

TEST(LaneFrame, EveryTruncationOfEveryKindIsRefused) {
    for (const auto& frame : frames_of_every_kind()) {
        for (std::size_t cut = 0; cut < frame.size(); ++cut) {
            std::vector<std::uint8_t> part(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_NE(decode_status(part), VNT_OK) << cut;
        }
    }
}

TEST(LaneFrame, ResealedDamageOfEveryKindEndsInAnErrorOrAFullDecode) {
    // Behind a fresh checksum the parsers see the damage itself; the
    // sanitizer builds run this too.
    std::mt19937_64 rng(2);
    for (const auto& frame : frames_of_every_kind()) {
        const std::size_t body = frame.size() - 4;
        for (int trial = 0; trial < 300; ++trial) {
            auto damaged = frame;
            const int edits = 1 + trial % 3;
            for (int e = 0; e < edits; ++e)
                damaged[std::uniform_int_distribution<std::size_t>(0, body - 1)(rng)] =
                    static_cast<std::uint8_t>(rng());
            const vnt_status s = decode_status(resealed(damaged));
            EXPECT_TRUE(s == VNT_OK || s == VNT_BAD_FRAME || s == VNT_UNSUPPORTED) << s;
        }
    }
}

TEST(LaneFrame, SizesClaimedByAFrameAreCheckedBeforeAnythingIsSized) {
    // Forge a lane of 2^31 - 1 samples behind each small body: refused by
    // the checks on the frame alone.
    for (const auto& frame : frames_of_every_kind()) {
        auto forged = frame;
        const std::uint64_t huge = (std::uint64_t{1} << 31) - 1;
        for (int b = 0; b < 8; ++b) forged[12 + 8 + b] = static_cast<std::uint8_t>(huge >> (8 * b));  // shape[1]
        auto v = open_frame(resealed(forged));
        ASSERT_FALSE(v.ok());
        EXPECT_EQ(v.error().status, VNT_BAD_FRAME);
    }
    // A lane table claiming more lanes than the frame has bytes for.
    auto forged = frames_of_every_kind()[1];
    forged[12] = 0xFF;
    forged[13] = 0xFF;
    forged[14] = 0xFF;
    EXPECT_NE(open_frame(resealed(forged)).error().message.find("more than the frame can hold"), std::string::npos);
}

// A container lane whose frame and container headers both claim a length
// far beyond what its payload can hold is refused before its decoded size
// is reported (a caller sizes its buffer from that); constant lanes, which
// inflate the most, still decode with either of the container's coders.
TEST(LaneFrame, ContainerLanesHoldNoMoreSamplesThanTheirPayloadAllows) {
    const auto frame = frames_of_every_kind()[0];
    ASSERT_EQ(frame[32], kContainer);
    const std::size_t body = 40;  // 12 + 16 (shape) + 4 (lane table) + 8 (record head)
    const std::uint64_t payload = frame.size() - 4 - body - kContainerHeader;
    auto forge = [&](std::uint64_t n) {
        auto forged = frame;
        for (int b = 0; b < 8; ++b) forged[12 + 8 + b] = static_cast<std::uint8_t>(n >> (8 * b));  // shape[1]
        for (int b = 0; b < 4; ++b) forged[body + 16 + b] = static_cast<std::uint8_t>(n >> (8 * b));
        return resealed(forged);
    };
    for (const std::uint64_t n : {(std::uint64_t{1} << 31) - 1, payload * kMaxInflation + 1}) {
        const auto forged = forge(n);
        auto v = open_frame(forged);
        ASSERT_FALSE(v.ok()) << n;
        EXPECT_EQ(v.error().status, VNT_BAD_FRAME);
        struct vnt_frame_info info {};
        vnt_error err{};
        EXPECT_EQ(vnt_frame_info(forged.data(), forged.size(), &info, &err), VNT_BAD_FRAME);
        EXPECT_EQ(info.decoded_bytes, 0u);
    }
    // A claim the payload could hold: sized, then refused by the container.
    EXPECT_EQ(decode_status(forge(payload * kMaxInflation)), VNT_BAD_FRAME);
    EXPECT_EQ(decode_status(forge(3 * 1500)), VNT_BAD_FRAME);

    const std::vector<float> flat(std::size_t{1} << 21, 0.25f);
    for (const vnt_coder coder : {VNT_CODER_DEFLATE, VNT_CODER_ARANS}) {
        vnt_layout layout{};
        layout.dtype = VNT_FLOAT32;
        layout.order = 'C';
        layout.ndim = 1;
        layout.shape[0] = flat.size();
        vnt_options o;
        vnt_options_init(&o);
        o.coder = coder;
        auto made = encode_frame(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(flat.data()),
                                                               flat.size() * sizeof(float)),
                                 layout, o);
        ASSERT_TRUE(made) << coder;
        auto info = lane_info(*made, 0);
        ASSERT_TRUE(info) << coder;
        EXPECT_EQ(info->kind, VNT_LANE_CONTAINER) << coder;
        auto back = decode_as<float>(*made, flat.size());
        ASSERT_TRUE(back) << coder;
        EXPECT_EQ(*back, flat) << coder;
    }
}

TEST(LaneFrame, VersionOneReadersRulesHold) {
    auto frames = frames_of_every_kind();
    // A version 1 frame cannot hold kind 5 or an integer dtype.
    auto nl = frames[4];
    nl[4] = 1;
    EXPECT_NE(open_frame(resealed(nl)).error().message.find("unknown lane kind 5"), std::string::npos);
    auto ints = frames[5];
    ints[4] = 1;
    EXPECT_NE(open_frame(resealed(ints)).error().message.find("unknown dtype"), std::string::npos);
    auto newer = frames[0];
    newer[4] = 3;
    auto v = open_frame(resealed(newer));
    EXPECT_EQ(v.error().status, VNT_UNSUPPORTED);
    EXPECT_NE(v.error().message.find("version 3 is not supported"), std::string::npos);
}

TEST(LaneFrame, AnOutputBufferTooSmallIsRefused) {
    const auto frame = frames_of_every_kind()[0];
    std::vector<std::uint8_t> out(1500 * 4 - 1);
    auto st = decode_frame(frame, out);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().status, VNT_BUFFER_TOO_SMALL);
}

TEST(LaneFrame, BadRequestsAreRefusedBeforeCoding) {
    std::vector<float> x(10, 1.f);
    EXPECT_EQ(encode_rows(x, 1, VNT_TARGET_MAX_ABS_ERROR, -1.0).error().status, VNT_INVALID_ARGUMENT);
    EXPECT_EQ(encode_rows(x, 1, VNT_TARGET_MAX_PRDN, std::nan("")).error().status, VNT_INVALID_ARGUMENT);
    EXPECT_EQ(encode_rows(x, 1, VNT_TARGET_NONE, 0.0, 13).error().status, VNT_INVALID_ARGUMENT);
    vnt_layout layout{};
    layout.dtype = VNT_FLOAT32;
    layout.order = 'C';
    layout.ndim = 1;
    layout.shape[0] = 11;  // one more than the buffer holds
    vnt_options o;
    vnt_options_init(&o);
    EXPECT_EQ(encode_frame(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(x.data()), 40), layout, o)
                  .error().status,
              VNT_INVALID_ARGUMENT);
}
