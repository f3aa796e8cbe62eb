// Signals at the ends of float32: ranges far below 1 in their units, which
// must be kept rather than flattened, and magnitudes near the float32 limit,
// which must either come back finite within the error bound or be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "codec_support.hpp"
#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "core/header.hpp"

namespace {

using namespace vantoresk;
using codec_test::error_bound;
using codec_test::max_abs_error;
using codec_test::range_of;

constexpr CompressionMethod kMethods[] = {CompressionMethod::Cdf53, CompressionMethod::Cdf97, CompressionMethod::Db4,
                                          CompressionMethod::Sym4};
constexpr CutoffLevel kCutoffs[] = {CutoffLevel::Low, CutoffLevel::Medium, CutoffLevel::High};
const float kMax = std::numeric_limits<float>::max();

std::vector<float> sine(std::size_t n, float amplitude, float offset = 0.0f) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(offset + amplitude * std::sin(static_cast<double>(i) / 20.0));
    }
    return x;
}

// Round trip that must succeed, stay finite and keep the usual bound.
void expect_faithful(const std::vector<float>& x, const CompressionOptions& o, const std::string& what) {
    const auto c = compress(x, o);
    ASSERT_TRUE(c.ok()) << what << ": " << c.error().display();
    const auto d = decompress(c.value());
    ASSERT_TRUE(d.ok()) << what << ": " << d.error().display();
    ASSERT_EQ(d->size(), x.size());
    for (float v : d.value()) ASSERT_TRUE(std::isfinite(v)) << what;
    const float range = range_of(x);
    EXPECT_LE(max_abs_error(x, d.value()), range * error_bound(o.scale, o.cutoff)) << what;
    // Not flattened: the decoded signal spans most of the input's range.
    EXPECT_GT(range_of(d.value()), 0.5f * range) << what;
}

// ---- Small ranges ----------------------------------------------------------

// A quiet channel in large units: 1e-5 V is 10 uV. The same sine in volts,
// millivolts and microvolts, on either side of 1e-5, and down to ranges just
// above the smallest whose reciprocal is finite (about 2.9e-39).
class CodecSmallRange : public ::testing::TestWithParam<std::tuple<CompressionMethod, float>> {};

TEST_P(CodecSmallRange, IsKeptAtEveryScale) {
    const auto& [method, amplitude] = GetParam();
    const auto x = sine(4000, amplitude);
    for (std::uint8_t scale : {std::uint8_t{6}, std::uint8_t{11}, std::uint8_t{12}}) {
        expect_faithful(x, {method, scale, CutoffLevel::Low, EntropyCoder::Auto},
                        "amplitude " + std::to_string(amplitude) + " scale " + std::to_string(scale));
    }
}

INSTANTIATE_TEST_SUITE_P(Units, CodecSmallRange,
                         ::testing::Combine(::testing::ValuesIn(kMethods),
                                            ::testing::Values(1e-6f,    // the 2e-6 V example
                                                              4.9e-6f,  // range just below 1e-5 V
                                                              5.1e-6f,  // and just above
                                                              4.9e-3f, 5.1e-3f, 4.9f, 1e-30f, 2e-39f)));

TEST(CodecSmallRange, OffsetSignalKeepsItsShape) {
    // 2 uV of signal riding on a 1 V offset: a range of a few dozen ulps of
    // the offset, still more than a constant.
    for (const auto method : kMethods) expect_faithful(sine(1000, 1e-6f, 1.0f), {method, 11}, "offset");
}

// Real recordings converted to volts. Those whose range is above 1e-5 give
// the containers they always gave (hashes recorded before ranges below 1e-5
// were kept); the 64-sample quiet windows, below 1e-5, keep their shape.
struct VoltsHash {
    std::string file, method, cutoff, coder, sha;
    int scale = 0;
};

std::vector<VoltsHash> volts_hashes() {
    std::vector<VoltsHash> out;
    std::ifstream in(codec_test::fixtures_dir() + "volts/containers.txt");
    for (std::string line; std::getline(in, line);) {
        std::istringstream s(line);
        VoltsHash h;
        s >> h.file >> h.method >> h.scale >> h.cutoff >> h.coder >> h.sha;
        if (s) out.push_back(h);
    }
    return out;
}

TEST(CodecVolts, RangesAboveTheOldThresholdGiveTheSameContainers) {
    const auto hashes = volts_hashes();
    ASSERT_EQ(hashes.size(), 48u);
    for (const auto& h : hashes) {
        const auto x = codec_test::read_npy(codec_test::fixtures_dir() + "volts/" + h.file);
        ASSERT_TRUE(x.has_value()) << h.file;
        const auto method = h.method == "cdf53"   ? CompressionMethod::Cdf53
                            : h.method == "cdf97" ? CompressionMethod::Cdf97
                            : h.method == "db4"   ? CompressionMethod::Db4
                                                  : CompressionMethod::Sym4;
        const auto cutoff = h.cutoff == "low" ? CutoffLevel::Low : h.cutoff == "medium" ? CutoffLevel::Medium
                                                                                          : CutoffLevel::High;
        const auto coder = h.coder == "auto" ? EntropyCoder::Auto : EntropyCoder::Arans;
        const auto c = compress(*x, {method, static_cast<std::uint8_t>(h.scale), cutoff, coder});
        ASSERT_TRUE(c.ok()) << h.file;
        EXPECT_EQ(codec_test::sha256_hex(c->data(), c->size()), h.sha)
            << h.file << " " << h.method << " " << h.scale << " " << h.cutoff << " " << h.coder;
    }
}

TEST(CodecVolts, QuietWindowsBelowTheOldThresholdKeepTheirShape) {
    for (const char* name : {"eeg_fz_v_64_quiet_a.npy", "eeg_fz_v_64_quiet_b.npy"}) {
        const auto x = codec_test::read_npy(codec_test::fixtures_dir() + "volts/" + name);
        ASSERT_TRUE(x.has_value()) << name;
        ASSERT_LT(range_of(*x), 1e-5f);
        for (const auto method : kMethods) {
            for (std::uint8_t scale = 6; scale <= 12; ++scale) {
                expect_faithful(*x, {method, scale, CutoffLevel::Low, EntropyCoder::Auto},
                                std::string(name) + " scale " + std::to_string(scale));
            }
        }
    }
}

// ---- Near the float32 limit --------------------------------------------------

// Three shapes that stress the coding error: a step (the worst overshoot of
// the smoother wavelets), alternating full-range noise and lone spikes.
std::vector<float> shape(int kind, std::size_t n, float lo, float hi) {
    std::vector<float> x(n, lo);
    std::mt19937 rng(static_cast<std::uint32_t>(kind * 7 + 1));
    for (std::size_t i = 0; i < n; ++i) {
        if (kind == 0) x[i] = i >= n / 2 ? hi : lo;
        if (kind == 1) x[i] = (rng() & 1u) != 0 ? hi : lo;
        if (kind == 2 && i % 37 == 5) x[i] = hi;
    }
    return x;
}

class CodecNearFloatLimit : public ::testing::TestWithParam<std::tuple<CompressionMethod, int>> {};

TEST_P(CodecNearFloatLimit, FiniteWithinTheBoundOrRefused) {
    const auto& [method, scale] = GetParam();
    float worst_overshoot = 0.0f;  // beyond the input's extremes, in ranges
    // Ranges from a sizeable fraction of float32 to a tiny one, each placed
    // as close to +limit (and, mirrored, to -limit) as is accepted.
    for (const float fraction : {2.0f / 3.0f, 0.25f, 1e-3f}) {
        const float range = fraction * kMax;
        const float hi = kMax - 0.5f * range * 1.01f;
        const float lo = hi - range;
        for (const float sign : {1.0f, -1.0f}) {
            for (int kind = 0; kind < 3; ++kind) {
                auto x = shape(kind, 300, sign * lo, sign * hi);
                for (const auto cutoff : kCutoffs) {
                    const CompressionOptions o{method, static_cast<std::uint8_t>(scale), cutoff, EntropyCoder::Auto};
                    const auto c = compress(x, o);
                    ASSERT_TRUE(c.ok()) << c.error().display();
                    const auto d = decompress(c.value());
                    ASSERT_TRUE(d.ok());
                    const float xr = range_of(x);
                    const auto [xlo, xhi] = std::minmax_element(x.begin(), x.end());
                    for (std::size_t i = 0; i < x.size(); ++i) {
                        const float v = d.value()[i];
                        ASSERT_TRUE(std::isfinite(v)) << "fraction " << fraction << " kind " << kind << " at " << i;
                        ASSERT_LE(std::fabs(v - x[i]), xr * error_bound(o.scale, cutoff));
                        worst_overshoot = std::max(worst_overshoot, std::max(v - *xhi, *xlo - v) / xr);
                    }
                }

                // The same shape pushed a little closer to the limit is refused.
                x = shape(kind, 300, sign * (kMax - range), sign * kMax);
                const auto refused = compress(x, {method, static_cast<std::uint8_t>(scale), CutoffLevel::Low,
                                                  EntropyCoder::Auto});
                ASSERT_FALSE(refused.ok());
                EXPECT_EQ(refused.error().kind(), VantoreskError::Kind::UnsupportedConfiguration);
            }
        }
    }
    // The refusal keeps half a range of room; the coding error uses a small
    // part of it.
    EXPECT_LT(worst_overshoot, 0.125f);
}

INSTANTIATE_TEST_SUITE_P(AllScales, CodecNearFloatLimit,
                         ::testing::Combine(::testing::ValuesIn(kMethods), ::testing::Range(6, 13)));

TEST(CodecNearFloatLimit, ConstantAtTheLimitIsKeptExactly) {
    for (const float v : {kMax, -kMax}) {
        const std::vector<float> x(100, v);
        const auto c = compress(x, {CompressionMethod::Cdf97, 6, CutoffLevel::Low, EntropyCoder::Auto});
        ASSERT_TRUE(c.ok());
        const auto d = decompress(c.value());
        ASSERT_TRUE(d.ok());
        for (float y : d.value()) ASSERT_EQ(y, v);
    }
}

}  // namespace
