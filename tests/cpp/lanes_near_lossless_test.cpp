// Near-lossless level coder: the bound on adversarial lanes, idempotency,
// refusal of bad input and of damaged bodies, the frozen bodies of every
// version in tests/fixtures/lanes (VANTORESK_WRITE_FIXTURES=1 adds missing
// ones), the decoder's vector loop against its plain one, and the fit's
// vector lag products and four-at-once prediction sums against plain ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lanes/dot_avx2.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/near_lossless_rebuild.hpp"
#include "support/cpu_dispatch.hpp"
#include "support/splitmix64.hpp"

namespace {

using vantoresk::lanes::decode_levels;
using vantoresk::lanes::encode_levels;
using Levels = std::vector<std::int64_t>;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kTop = std::int64_t{1} << 40;

Bytes encoded(const Levels& v, std::uint64_t k) {
    Bytes body;
    auto r = encode_levels(v, k, body);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return body;
}

Levels decoded(const Bytes& body, std::size_t n) {
    Levels out(n, 0x5A5A);
    auto r = decode_levels(body, out);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return out;
}

// The adversarial lanes, by name.
std::vector<std::pair<std::string, Levels>> lanes() {
    vantoresk::support::SplitMix64 rng(17);
    std::vector<std::pair<std::string, Levels>> out;
    for (std::size_t n = 0; n <= 8; ++n) {
        Levels v(n);
        for (auto& x : v) x = static_cast<std::int64_t>(rng.below(2001)) - 1000;
        out.emplace_back("short " + std::to_string(n), v);
    }
    Levels spikes(3000, 5);
    for (std::size_t i = 0; i < spikes.size(); i += 97) spikes[i] = (i % 2 ? kTop : -kTop);
    out.emplace_back("spikes to the extremes", spikes);
    Levels steps(5000);
    for (std::size_t i = 0; i < steps.size(); ++i) steps[i] = (i / 300 % 2) ? 30000 : -30000;
    out.emplace_back("steps", steps);
    Levels saw(40000);
    for (std::size_t i = 0; i < saw.size(); ++i) saw[i] = static_cast<std::int64_t>(i % 50) * 1000 - 25000;
    out.emplace_back("saw teeth across blocks", saw);
    Levels noise(20000);
    for (auto& x : noise) x = static_cast<std::int64_t>(rng.next() >> 24) - (std::int64_t{1} << 39);
    out.emplace_back("white noise, 40 bits", noise);
    Levels small_noise(20000);
    for (auto& x : small_noise) x = static_cast<std::int64_t>(rng.below(7)) - 3;
    out.emplace_back("white noise, 3 bits", small_noise);
    out.emplace_back("constant", Levels(10000, -123456));
    out.emplace_back("constant at the top", Levels(700, kTop));
    Levels extremes(1000);
    for (std::size_t i = 0; i < extremes.size(); ++i) extremes[i] = (i % 3 == 0) ? kTop : (i % 3 == 1 ? -kTop : 0);
    out.emplace_back("alternating extremes", extremes);
    Levels int32s(4000);
    for (std::size_t i = 0; i < int32s.size(); ++i) {
        int32s[i] = (i % 2) ? INT32_MAX : INT32_MIN;
        if (i % 7 == 0) {
            int32s[i] = static_cast<std::int32_t>(rng.next());
        }
    }
    out.emplace_back("int32 range", int32s);
    Levels sine(30000);
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] = static_cast<std::int64_t>(20000.0 * std::sin(static_cast<double>(i) * 0.01)) + rng.below(5);
    }
    out.emplace_back("smooth with noise", sine);
    return out;
}

TEST(NearLossless, EveryLevelWithinTheBoundAndReencodingChangesNothing) {
    const std::uint64_t ks[] = {0, 1, 2, 3, 8, 1000, std::uint64_t{1} << 39, std::uint64_t{1} << 41,
                                std::uint64_t{1} << 50, UINT64_MAX};
    for (const auto& [name, v] : lanes()) {
        for (const std::uint64_t k : ks) {
            SCOPED_TRACE(name + ", k = " + std::to_string(k));
            const Levels d = decoded(encoded(v, k), v.size());
            for (std::size_t i = 0; i < v.size(); ++i) {
                const std::int64_t diff = d[i] - v[i];
                const std::uint64_t err = diff < 0 ? 0 - static_cast<std::uint64_t>(diff) : static_cast<std::uint64_t>(diff);
                ASSERT_LE(err, k) << "at " << i;
            }
            if (k == 0) {
                EXPECT_EQ(d, v);
            }
            // The decoded levels are on the bin lattice: coding them again
            // with the same k gives them back, however often it is done.
            const Levels again = decoded(encoded(d, k), d.size());
            EXPECT_EQ(again, d);
        }
    }
}

TEST(NearLossless, RefusesLevelsOutsideTheRangeAndLengthMismatches) {
    Bytes body;
    EXPECT_FALSE(encode_levels(Levels{0, kTop + 1}, 0, body).ok());
    EXPECT_FALSE(encode_levels(Levels{INT64_MIN}, 5, body).ok());
    EXPECT_FALSE(encode_levels(Levels{INT64_MAX}, UINT64_MAX, body).ok());
    EXPECT_TRUE(body.empty());  // a refusal writes nothing
    // The range reaches the next bin centre beyond 2^40, where decoding
    // 2^40 may land, and no further: 2^40 + 2 for bins of 9.
    EXPECT_TRUE(encode_levels(Levels{kTop + 2, -kTop - 2}, 4, body).ok());
    EXPECT_FALSE(encode_levels(Levels{kTop + 3}, 4, body).ok());
    const Levels top = decoded(encoded(Levels{kTop, -kTop, kTop - 3}, 4), 3);
    EXPECT_EQ(top, (Levels{kTop + 2, -kTop - 2, kTop - 7}));
    EXPECT_EQ(decoded(encoded(top, 4), 3), top);
    body.clear();

    const Bytes ok = encoded(Levels(100, 7), 1);
    Levels shorter(99), longer(101);
    EXPECT_FALSE(decode_levels(ok, shorter).ok());
    EXPECT_FALSE(decode_levels(ok, longer).ok());
}

TEST(NearLossless, AppendsToTheBodyItIsGiven) {
    Bytes body = {1, 2, 3};
    const Levels v(50, 9);
    ASSERT_TRUE(encode_levels(v, 2, body).ok());
    EXPECT_EQ((Bytes{body.begin(), body.begin() + 3}), (Bytes{1, 2, 3}));
    EXPECT_EQ(decoded(Bytes(body.begin() + 3, body.end()), v.size())[0], 10);
}

// Every truncation and every single-byte change of a body is an error, and
// garbage of any length never reads or writes out of bounds (the sanitizer
// build checks the latter).
TEST(NearLossless, DamagedBodiesAreErrors) {
    vantoresk::support::SplitMix64 rng(99);
    Levels v(3000);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int64_t>(i % 40) * 13 + rng.below(9);
    for (const std::uint64_t k : {0u, 2u}) {
        const Bytes body = encoded(v, k);
        Levels out(v.size());
        for (std::size_t len = 0; len < body.size(); ++len) {
            ASSERT_FALSE(decode_levels({body.data(), len}, out).ok()) << "truncated to " << len;
        }
        Bytes longer = body;
        longer.push_back(0);
        EXPECT_FALSE(decode_levels(longer, out).ok());
        for (std::size_t i = 0; i < body.size(); ++i) {
            Bytes bad = body;
            bad[i] ^= static_cast<std::uint8_t>(1u << (rng.below(8)));
            ASSERT_FALSE(decode_levels(bad, out).ok()) << "byte " << i << " changed";
        }
    }
    for (int trial = 0; trial < 300; ++trial) {
        Bytes junk(rng.below(200));
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng.next());
        if (!junk.empty() && trial % 2) junk[0] = 1;  // the version, so the rest is looked at
        Levels out(rng.below(3000));
        (void)decode_levels(junk, out);
    }
    // A body announcing a version this reader does not know says so.
    Bytes newer = encoded(Levels(10, 1), 0);
    newer[0] = 3;
    Levels out(10);
    auto r = decode_levels(newer, out);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().status, VNT_UNSUPPORTED);
    EXPECT_NE(r.error().message.find("version 3"), std::string::npos);
}

// Frozen bodies: what was written once decodes to the same levels forever.
std::string fixture_path(const std::string& name) {
    return std::string(VANTORESK_FIXTURES_DIR) + "/lanes/near_lossless/" + name;
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Levels fixture_lane(int which) {
    vantoresk::support::SplitMix64 rng(2024 + static_cast<std::uint64_t>(which));
    Levels v(which == 0 ? 20000 : 5000);
    double phase = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        phase += 0.013;
        const double beat = (i % 300 < 12) ? 900.0 : 0.0;
        v[i] = static_cast<std::int64_t>(400.0 * std::sin(phase) + beat) + rng.below(11) - 5;
        if (which == 1 && i % 1000 == 500) v[i] = -kTop;
    }
    return v;
}

// Bodies of every version ever written decode to the same levels forever.
// VANTORESK_WRITE_FIXTURES=1 writes the current version's bodies that are
// missing and never touches one that exists.
TEST(NearLossless, FrozenBodiesDecodeToTheirLevels) {
    const bool write = std::getenv("VANTORESK_WRITE_FIXTURES") != nullptr;
    const struct {
        const char* prefix;
        int version;
        int lane;
        std::uint64_t k;
    } cases[] = {{"", 1, 0, 0},   {"", 1, 0, 1},   {"", 1, 0, 4},   {"", 1, 1, 0},   {"", 1, 1, 8},
                 {"v2_", 2, 0, 0}, {"v2_", 2, 0, 1}, {"v2_", 2, 0, 4}, {"v2_", 2, 1, 0}, {"v2_", 2, 1, 8}};
    for (const auto& c : cases) {
        const Levels v = fixture_lane(c.lane);
        const std::string name = std::string(c.prefix) + "lane" + std::to_string(c.lane) + "_k" + std::to_string(c.k);
        SCOPED_TRACE(name);
        const std::string path = fixture_path(name + ".body");
        if (write && c.version == vantoresk::lanes::kNearLosslessVersion && read_file(path).empty()) {
            write_file(path, encoded(v, c.k));
        }
        const Bytes body = read_file(path);
        ASSERT_FALSE(body.empty()) << "missing fixture " << path;
        EXPECT_EQ(body[0], c.version);
        const Levels d = decoded(body, v.size());
        Levels expect = v;
        if (c.k > 0) {
            const auto w = static_cast<std::int64_t>(2 * c.k + 1);
            for (auto& x : expect) {
                const std::int64_t num = x + static_cast<std::int64_t>(c.k);
                x = (num / w - (num % w < 0 ? 1 : 0)) * w;
            }
        }
        EXPECT_EQ(d, expect);
        // The current version's bodies are what the encoder writes today.
        if (c.version == vantoresk::lanes::kNearLosslessVersion) {
            EXPECT_EQ(encoded(v, c.k), body);
        }
    }
}

// Version 2 names its scheme; a scheme this reader does not know is refused
// as unsupported, not taken for damage.
TEST(NearLossless, UnknownSchemesAreUnsupported) {
    Bytes body = encoded(Levels(300, 4), 1);
    ASSERT_EQ(body[0], 2);
    ASSERT_EQ(body[1], 0);
    for (const unsigned scheme : {2u, 255u}) {
        SCOPED_TRACE(scheme);
        body[1] = static_cast<std::uint8_t>(scheme);
        Levels out(300);
        const auto r = decode_levels(body, out);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().status, VNT_UNSUPPORTED);
        EXPECT_NE(r.error().message.find("scheme " + std::to_string(scheme)), std::string::npos);
        EXPECT_FALSE(vantoresk::lanes::near_lossless_bound(body).ok());
    }
    // Scheme 1 is known: a scheme 0 body relabelled as one is damage.
    body[1] = 1;
    Levels relabelled(300);
    EXPECT_EQ(decode_levels(body, relabelled).error().status, VNT_BAD_FRAME);
    body[0] = 0;
    Levels out(300);
    const auto r = decode_levels(body, out);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().status, VNT_BAD_FRAME);
}

}  // namespace

// The decoder's closed loop with AVX2 products against the plain one, on
// histories and coefficients on both sides of 32 bits: the same indices,
// the same check value, the same refusals; and the encoder's residuals of
// what it rebuilt give back what it started from, either way.
TEST(NearLosslessRebuild, VectorLoopMatchesThePlainOne) {
    namespace nl = vantoresk::lanes::near_lossless;
    if (!nl::rebuild_vector_available()) GTEST_SKIP() << "the AVX2 loop is not available here";
    vantoresk::support::SplitMix64 rng(31);
    const std::int64_t ytop = std::int64_t{1} << 40, ymax = std::int64_t{1} << 42;
    int decoded_trials = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const unsigned order = 8 + static_cast<unsigned>(rng.below(25));
        const unsigned shift = 18 + static_cast<unsigned>(rng.below(4));
        // a stable predictor: the previous index plus small corrections
        std::vector<std::int64_t> coef(order);
        for (auto& c : coef) c = static_cast<std::int64_t>(rng.below(1u << (shift - 7))) - (std::int64_t{1} << (shift - 8));
        coef[0] += std::int64_t{1} << shift;
        if (trial % 5 == 1) coef[2 + rng.below(order - 2)] = std::int64_t{1} << 33;  // too wide for the vectors
        const std::size_t n = 3000;
        Levels r(n);
        for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::int64_t>(rng.below(41)) - 20;
        if (trial % 3 == 0) {
            // now and then an index beyond 32 bits, and back
            for (std::size_t i = rng.below(100); i + 1 < n; i += 150 + rng.below(300)) {
                r[i] = (std::int64_t{1} << 35);
                r[i + 1] = -(std::int64_t{1} << 35);
            }
        }
        const nl::BlockPredictor p{order, shift, coef.data()};
        Levels plain = r, vec = r;
        std::uint64_t h_plain = 7, h_vec = 7;
        const std::size_t split = 1 + rng.below(n - 1);  // two blocks, the second with history
        const bool ok_plain = nl::rebuild_block(plain.data(), 0, split, p, ymax, ytop, h_plain, false) &&
                              nl::rebuild_block(plain.data(), split, n, p, ymax, ytop, h_plain, false);
        const bool ok_vec = nl::rebuild_block(vec.data(), 0, split, p, ymax, ytop, h_vec, true) &&
                            nl::rebuild_block(vec.data(), split, n, p, ymax, ytop, h_vec, true);
        ASSERT_EQ(ok_plain, ok_vec) << trial;
        ASSERT_EQ(h_plain, h_vec) << trial;
        if (ok_plain) {
            ASSERT_EQ(plain, vec) << trial;
            ++decoded_trials;
            // The encoder's residuals of the rebuilt levels, with and without
            // vectors, are the residuals the loop started from.
            Levels res_plain(n), res_vec(n);
            const bool narrow = std::all_of(plain.begin(), plain.end(),
                                            [](std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; });
            nl::block_residuals(plain.data(), 0, n, p, ymax, res_plain.data(), false);
            nl::block_residuals(plain.data(), 0, n, p, ymax, res_vec.data(), narrow);
            ASSERT_EQ(res_plain, r) << trial;
            ASSERT_EQ(res_vec, r) << trial;
        }
    }
    EXPECT_GT(decoded_trials, 200);  // most lanes stay in range, so the loops ran to the end
}

// The predictor fit's lag products: the plain sums against a lag-by-lag
// reference in the order of t, and the AVX2 sums against the plain ones bit
// for bit, over every order, blocks of any length and values whose products
// round (levels near 2^40, fractions, both signs).
TEST(LagProducts, PlainAndVectorSumsMatchTheReferenceBitForBit) {
    vantoresk::support::SplitMix64 rng(57);
    const bool vector = vantoresk::simd::enabled(vantoresk::simd::Isa::Avx2Fma);
    for (int trial = 0; trial < 200; ++trial) {
        const auto p = static_cast<unsigned>(rng.below(vantoresk::lanes::kMaxPredictorOrder + 1));
        const std::size_t length = rng.below(300);
        std::vector<double> d(p + length);
        for (double& v : d) {
            const double big = static_cast<double>(static_cast<std::int64_t>(rng.next() >> 23) -
                                                   (std::int64_t{1} << 40));
            v = trial % 3 == 0 ? big : big / 7.0 + static_cast<double>(rng.below(1000)) * 1e-3;
        }
        std::vector<double> seed(p + 1);
        for (double& s : seed) s = static_cast<double>(rng.below(1u << 20)) * 0.37;
        std::vector<double> reference = seed, plain = seed, vec = seed;
        for (unsigned j = 0; j <= p; ++j) {
            for (std::size_t t = p; t < p + length; ++t) reference[j] += d[t] * d[t - j];
        }
        vantoresk::lanes::lag_products(plain.data(), p, d.data(), p, p + length, false);
        ASSERT_EQ(0, std::memcmp(reference.data(), plain.data(), plain.size() * sizeof(double))) << "order " << p;
        if (!vector) continue;
        vantoresk::lanes::lag_products(vec.data(), p, d.data(), p, p + length, true);
        ASSERT_EQ(0, std::memcmp(plain.data(), vec.data(), vec.size() * sizeof(double))) << "order " << p;
    }
}

// Four predictions' sums at once against the plain sum of each, at the
// strides the encoder uses (every sample, every fourth), with levels and
// coefficients over the whole 32-bit range the vector products allow.
TEST(LagProducts, FourSumsAtOnceMatchThePlainSums) {
#if VANTORESK_SIMD_X86
    if (!vantoresk::simd::enabled(vantoresk::simd::Isa::Avx2Fma)) GTEST_SKIP() << "no AVX2 here";
    namespace nl = vantoresk::lanes;
    vantoresk::support::SplitMix64 rng(73);
    std::vector<std::int64_t> y(200);
    for (int trial = 0; trial < 300; ++trial) {
        const auto order = 1 + static_cast<unsigned>(rng.below(nl::kMaxPredictorOrder));
        std::vector<std::int64_t> coef(order);
        for (auto& c : coef) c = static_cast<std::int32_t>(static_cast<std::uint32_t>(rng.next()));
        for (auto& v : y) v = trial % 2 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(rng.next()))
                                        : static_cast<std::int64_t>(rng.below(2001)) - 1000;
        const nl::ReversedTaps taps = nl::reversed_taps(coef.data(), order);
        for (const std::size_t stride : {std::size_t{1}, std::size_t{4}}) {
            const std::size_t t = taps.span + rng.below(40);  // the first of four predictions
            std::uint64_t sums[4];
            nl::dot4_avx2(y.data() + t - taps.span, stride, taps, sums);
            for (std::size_t i = 0; i < 4; ++i)
                ASSERT_EQ(nl::history_dot(y.data() + t + i * stride - 1, coef.data(), order), sums[i])
                    << "order " << order << " stride " << stride << " sum " << i;
        }
    }
#else
    GTEST_SKIP() << "no x86 vectors in this build";
#endif
}
