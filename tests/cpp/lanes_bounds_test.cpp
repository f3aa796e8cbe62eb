// The lane codec keeps every promise on hostile lanes: targets hold sample
// by sample (PRDN lane by lane), non-finite samples come back bit for bit,
// integer lanes stay in their dtype, exact means exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "lanes/level_lane.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes_test_support.hpp"

using namespace lanes_test;

namespace {

// Lanes that have broken codecs before, in double; the float tests cast them.
std::vector<std::pair<std::string, std::vector<double>>> hostile_lanes(std::size_t n) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    std::vector<std::pair<std::string, std::vector<double>>> out;
    auto make = [&](const char* name, auto f) {
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = f(i);
        out.emplace_back(name, std::move(v));
    };
    make("noise", [&](std::size_t) { return normal(rng); });
    make("spikes", [&](std::size_t i) { return i % 97 == 0 ? 1e4 : 0.01 * normal(rng); });
    make("steps", [&](std::size_t i) { return static_cast<double>((i / 50) % 7) * 3.0; });
    make("saw", [&](std::size_t i) { return static_cast<double>(i % 31) * 0.25 - 4.0; });
    make("constant", [&](std::size_t) { return 2.5; });
    make("adc", [&](std::size_t i) { return std::round(200 * std::sin(0.05 * static_cast<double>(i))) / 200.0 + 0.3; });
    make("huge", [&](std::size_t) { return normal(rng) * 1e18; });
    make("nan-start", [&](std::size_t i) { return i < 40 ? std::nan("") : normal(rng); });
    make("inf-end", [&](std::size_t i) { return i + 3 >= n ? -std::numeric_limits<double>::infinity() : normal(rng); });
    make("nan-throughout", [&](std::size_t i) { return i % 5 == 0 ? std::nan("") : std::sin(0.1 * static_cast<double>(i)); });
    make("all-nan", [&](std::size_t) { return std::nan(""); });
    return out;
}

template <class S>
void check_lane(const std::vector<S>& x, vnt_target_kind kind, double target, const std::string& what) {
    auto frame = encode_rows(x, 1, kind, target);
    ASSERT_TRUE(frame.ok()) << what << ": " << frame.error().message;
    auto y = decode_as<S>(*frame, x.size());
    ASSERT_TRUE(y.ok()) << what << ": " << y.error().message;
    double max_err = 0, num = 0, den = 0, sum = 0;
    std::size_t finite = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!std::isfinite(static_cast<double>(x[i]))) {
            ASSERT_TRUE(same_bits(x[i], (*y)[i])) << what << " sample " << i;
            continue;
        }
        ++finite;
        sum += static_cast<double>(x[i]);
    }
    const double mean = finite ? sum / static_cast<double>(finite) : 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!std::isfinite(static_cast<double>(x[i]))) continue;
        const double d = static_cast<double>(x[i]) - static_cast<double>((*y)[i]);
        max_err = std::max(max_err, std::fabs(d));
        num += d * d;
        den += (static_cast<double>(x[i]) - mean) * (static_cast<double>(x[i]) - mean);
    }
    if (kind == VNT_TARGET_MAX_ABS_ERROR) {
        EXPECT_LE(max_err, target) << what;
    } else if (kind == VNT_TARGET_MAX_PRDN && std::isfinite(den) && den > 0) {
        EXPECT_LE(100.0 * std::sqrt(num / den), target) << what;
    } else if (kind == VNT_TARGET_MAX_PRDN) {
        EXPECT_EQ(num, 0.0) << what << ": a constant lane under a PRDN target is stored exactly";
    }
}

template <class S>
void hostile_float_lanes() {
    for (std::size_t n : {1u, 2u, 3u, 5u, 8u, 300u, 5000u}) {
        for (const auto& [name, values] : hostile_lanes(n)) {
            std::vector<S> x(values.begin(), values.end());
            const std::string what = name + " n=" + std::to_string(n);
            check_lane(x, VNT_TARGET_MAX_ABS_ERROR, 0.0, what + " exact");
            check_lane(x, VNT_TARGET_MAX_ABS_ERROR, 1e-3, what + " abs 1e-3");
            check_lane(x, VNT_TARGET_MAX_ABS_ERROR, 0.3, what + " abs 0.3");
            check_lane(x, VNT_TARGET_MAX_PRDN, 0.5, what + " prdn 0.5");
            check_lane(x, VNT_TARGET_MAX_PRDN, 5.0, what + " prdn 5");
            check_lane(x, VNT_TARGET_NONE, 0.0, what + " fixed");
        }
    }
}

}  // namespace

TEST(LaneBounds, HostileFloat32LanesMeetEveryTarget) { hostile_float_lanes<float>(); }
TEST(LaneBounds, HostileFloat64LanesMeetEveryTarget) { hostile_float_lanes<double>(); }

TEST(LaneBounds, Float64BeyondFloat32AndNearItsLimitsStayExactOrWithinTarget) {
    const double big = std::numeric_limits<double>::max();
    std::vector<double> x = {1e300, -1e300, big, -big, 1e-300, 0.0, -0.0, 3e38 * 1e10, 1.0, 2.0};
    for (int r = 0; r < 40; ++r) x.push_back(x[static_cast<std::size_t>(r % 10)] * 0.5);
    check_lane(x, VNT_TARGET_MAX_ABS_ERROR, 1e-3, "f64 extremes abs");
    check_lane(x, VNT_TARGET_MAX_PRDN, 1.0, "f64 extremes prdn");
    check_lane(x, VNT_TARGET_NONE, 0.0, "f64 extremes fixed");
    std::vector<float> f = {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(), 1e38f, -1e38f, 0.5f};
    for (int r = 0; r < 60; ++r) f.push_back(f[static_cast<std::size_t>(r % 6)]);
    check_lane(f, VNT_TARGET_MAX_ABS_ERROR, 1e30, "f32 extremes abs");
    check_lane(f, VNT_TARGET_MAX_PRDN, 2.0, "f32 extremes prdn");
}

template <class S>
void integer_lanes() {
    using L = std::numeric_limits<S>;
    std::mt19937_64 rng(11);
    for (std::size_t n : {1u, 2u, 7u, 8u, 1000u}) {
        std::vector<std::vector<S>> lanes;
        std::vector<S> noise(n), extremes(n), constant(n, L::max()), walk(n);
        std::int64_t w = 0;
        for (std::size_t i = 0; i < n; ++i) {
            noise[i] = static_cast<S>(std::uniform_int_distribution<std::int64_t>(L::min(), L::max())(rng));
            extremes[i] = i % 3 == 0 ? L::min() : (i % 3 == 1 ? L::max() : S(0));
            w = std::clamp<std::int64_t>(w + std::uniform_int_distribution<int>(-5, 5)(rng), L::min(), L::max());
            walk[i] = static_cast<S>(w);
        }
        for (const auto* lane : {&noise, &extremes, &constant, &walk}) {
            for (double k : {0.0, 1.0, 3.0, 100.0, 1e12}) {
                const std::string what = "n=" + std::to_string(n) + " k=" + std::to_string(k);
                check_lane(*lane, VNT_TARGET_MAX_ABS_ERROR, k, what);
                if (k == 0.0) {
                    auto frame = encode_rows(*lane, 1, VNT_TARGET_MAX_ABS_ERROR, 0.0);
                    ASSERT_TRUE(frame.ok());
                    EXPECT_EQ(*decode_as<S>(*frame, n), *lane) << what;
                }
            }
            check_lane(*lane, VNT_TARGET_MAX_PRDN, 1.0, "prdn");
            check_lane(*lane, VNT_TARGET_NONE, 0.0, "fixed");
        }
    }
}

TEST(LaneBounds, Int8LanesStayWithinTheirCounts) { integer_lanes<std::int8_t>(); }
TEST(LaneBounds, Int16LanesStayWithinTheirCounts) { integer_lanes<std::int16_t>(); }
TEST(LaneBounds, Int32LanesStayWithinTheirCountsAtTheExtremes) { integer_lanes<std::int32_t>(); }
TEST(LaneBounds, Uint8LanesStayWithinTheirCounts) { integer_lanes<std::uint8_t>(); }
TEST(LaneBounds, Uint16LanesStayWithinTheirCounts) { integer_lanes<std::uint16_t>(); }

TEST(LaneBounds, TheChoosersBinsAreWhereTheCoderPutsLevels) {
    // The chooser checks bounds from coded_level without decoding: hold it to the coder.
    std::mt19937_64 rng(3);
    std::vector<std::int64_t> levels(3000);
    for (auto& v : levels) v = std::uniform_int_distribution<std::int64_t>(-5000, 5000)(rng);
    levels[0] = kMaxLevel;
    levels[1] = -kMaxLevel;
    for (std::uint64_t k : {0u, 1u, 2u, 7u, 1000u}) {
        std::vector<std::uint8_t> body;
        ASSERT_TRUE(encode_levels(levels, k, body).ok());
        std::vector<std::int64_t> out(levels.size());
        ASSERT_TRUE(decode_levels(body, out).ok());
        for (std::size_t i = 0; i < levels.size(); ++i) ASSERT_EQ(out[i], coded_level(levels[i], k)) << k << " " << i;
    }
}

TEST(LaneBounds, ReencodingADecodedLaneWithTheSameTargetDoesNotMoveIt) {
    std::mt19937_64 rng(8);
    std::normal_distribution<double> normal;
    std::vector<float> x(6000);
    double acc = 0;
    for (auto& v : x) v = static_cast<float>(acc += 0.01 * normal(rng));
    for (double target : {0.02, 0.3}) {
        auto first = decode_as<float>(*encode_rows(x, 1, VNT_TARGET_MAX_ABS_ERROR, target), x.size()).value();
        std::vector<float> again = first;
        for (int round = 0; round < 5; ++round)
            again = decode_as<float>(*encode_rows(again, 1, VNT_TARGET_MAX_ABS_ERROR, target), x.size()).value();
        EXPECT_EQ(again, first) << target;
    }
}

TEST(LaneBounds, NonFiniteRunsDoNotPushALaneToABiggerKind) {
    // An ADC lane with a long NaN gap: the exact grid lane stays the choice over a lossy container.
    std::vector<float> x(4000);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(std::round(300 * std::sin(0.01 * static_cast<double>(i))) / 200.0);
    std::vector<float> gappy = x;
    for (std::size_t i = 500; i < 3500; ++i) gappy[i] = std::nanf("");
    auto clean = encode_rows(x, 1, VNT_TARGET_MAX_ABS_ERROR, 1e-4).value();
    auto holed = encode_rows(gappy, 1, VNT_TARGET_MAX_ABS_ERROR, 1e-4).value();
    auto info = lane_info(holed, 0).value();
    EXPECT_NE(info.kind, VNT_LANE_CONTAINER);
    EXPECT_LE(holed.size(), clean.size());
}

TEST(LaneBounds, ALongConstantLaneDecodes) {
    // The coder spends a sliver of a bit on each repeated level: the frame's
    // size checks must still let it through.
    std::vector<std::int16_t> x(1 << 20, 7);
    auto frame = encode_rows(x, 1, VNT_TARGET_MAX_ABS_ERROR, 0.0).value();
    EXPECT_LT(frame.size(), 4096u);
    EXPECT_EQ(decode_as<std::int16_t>(frame, x.size()).value(), x);
}
