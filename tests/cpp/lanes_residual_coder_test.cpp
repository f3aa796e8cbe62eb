// Residual coder: exact round trips on adversarial residual sequences,
// refusal of out-of-range residuals and of damaged units, and the models'
// SSE2 variant against the plain one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lanes/adaptive_rans.hpp"
#include "lanes/residual_coder.hpp"
#include "simd_test_support.hpp"
#include "support/splitmix64.hpp"

namespace {

using vantoresk::lanes::decode_residuals;
using vantoresk::lanes::encode_residuals;
using Values = std::vector<std::int64_t>;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kTop = (std::int64_t{1} << vantoresk::lanes::kResidualBits) - 1;

std::vector<std::pair<std::string, Values>> sequences() {
    vantoresk::support::SplitMix64 rng(46);
    std::vector<std::pair<std::string, Values>> out;
    for (std::size_t n = 0; n <= 5; ++n) out.emplace_back("zeros " + std::to_string(n), Values(n, 0));
    out.emplace_back("one extreme", Values{-kTop});
    out.emplace_back("extremes", Values{kTop, -kTop, kTop, 0, 1, -1, kTop - 1, -(kTop >> 1)});
    Values scales(30000);
    for (std::size_t i = 0; i < scales.size(); ++i) {
        // bursts of every bit length, so every class and escape is used
        const unsigned bits = static_cast<unsigned>((i / 500) % (vantoresk::lanes::kResidualBits + 1));
        const std::int64_t v = bits == 0 ? 0 : static_cast<std::int64_t>(rng.next() >> (64 - bits));
        scales[i] = (rng.next() & 1) ? -v : v;
    }
    out.emplace_back("every scale", scales);
    Values small(20000);
    for (auto& x : small) x = static_cast<std::int64_t>(rng.below(5)) - 2;
    out.emplace_back("small", small);
    Values sparse(50000, 0);
    for (std::size_t i = 0; i < sparse.size(); i += 777) sparse[i] = (i % 2) ? kTop : -3;
    out.emplace_back("sparse spikes", sparse);
    return out;
}

Bytes coded(const Values& v) {
    Bytes out;
    const auto r = encode_residuals(v, out);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return out;
}

TEST(ResidualCoder, RoundTripsExactlyAndEndsWhereTheUnitEnds) {
    for (const auto& [name, v] : sequences()) {
        SCOPED_TRACE(name);
        Bytes unit = {7, 7};  // the unit is appended, and read from any offset
        ASSERT_TRUE(encode_residuals(v, unit).ok());
        const std::size_t end = unit.size();
        unit.push_back(9);  // whatever follows the unit is not read
        Values back(v.size(), 12345);
        std::size_t pos = 2;
        const auto r = decode_residuals(unit, pos, back);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(back, v);
        EXPECT_EQ(pos, end);
    }
}

TEST(ResidualCoder, RefusesResidualsOutOfRange) {
    for (const std::int64_t bad : {kTop + 1, -kTop - 1, INT64_MIN, INT64_MAX}) {
        Bytes out = {1};
        const auto r = encode_residuals(Values{0, bad, 0}, out);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().status, VNT_INVALID_ARGUMENT);
        EXPECT_EQ(out, Bytes{1});
    }
}

// Truncations, extensions inside the unit's own lengths, bit flips and
// another count are all errors, never reads out of bounds.
TEST(ResidualCoder, DamagedUnitsAreErrors) {
    vantoresk::support::SplitMix64 rng(5);
    Values v(2000);
    for (auto& x : v) x = static_cast<std::int64_t>(rng.below(301)) - 150;
    const Bytes unit = coded(v);
    Values out(v.size());
    for (std::size_t len = 0; len < unit.size(); ++len) {
        std::size_t pos = 0;
        ASSERT_FALSE(decode_residuals({unit.data(), len}, pos, out).ok()) << "truncated to " << len;
        EXPECT_EQ(pos, 0u);
    }
    int caught = 0, flips = 0;
    for (std::size_t i = 0; i < unit.size(); ++i) {
        Bytes bad = unit;
        bad[i] ^= static_cast<std::uint8_t>(1u << rng.below(8));
        std::size_t pos = 0;
        Values got(v.size());
        const auto r = decode_residuals(bad, pos, got);
        ++flips;
        if (!r.ok() || got != v) ++caught;  // a flip may decode, but never to the same residuals
    }
    EXPECT_EQ(caught, flips);
    for (const std::size_t n : {v.size() - 1, v.size() + 1}) {
        Values other(n);
        std::size_t pos = 0;
        EXPECT_FALSE(decode_residuals(unit, pos, other).ok()) << n;
    }
    for (int trial = 0; trial < 500; ++trial) {
        Bytes junk(rng.below(120));
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng.next());
        if (junk.size() > 2 && trial % 2) {
            junk[0] = static_cast<std::uint8_t>(8 + 2 * rng.below(20));  // plausible lengths
            junk[1] = static_cast<std::uint8_t>(rng.below(40));
        }
        Values any(rng.below(500));
        std::size_t pos = 0;
        (void)decode_residuals(junk, pos, any);
    }
}

// The SSE2 find and update give the plain versions' results on long random
// symbol sequences, for both model sizes.
template <unsigned N>
void same_models() {
    vantoresk::support::SplitMix64 rng(N);
    vantoresk::lanes::AdaptiveCdf<N> plain, vec;
    for (int i = 0; i < 20000; ++i) {
        // skewed symbols, so the distribution goes to its extremes
        const unsigned s = (i / 3000) % 2 ? static_cast<unsigned>(rng.below(N)) : (rng.below(10) ? 0u : N - 1);
        const auto slot = static_cast<std::uint32_t>(rng.below(vantoresk::lanes::kCdfTotal));
        ASSERT_EQ(plain.find(slot), vec.find_sse2(slot)) << i;
        plain.update(s);
        vec.update_sse2(s);
        ASSERT_EQ(plain.cdf, vec.cdf) << i;
        for (unsigned j = 0; j < N; ++j) ASSERT_GE(plain.end(j), plain.start(j) + 1) << "symbol " << j;
    }
}

TEST(ResidualCoder, VectorModelsMatchThePlainOnes) {
#if VANTORESK_CDF_SSE2
    VANTORESK_SKIP_UNLESS_ENABLED(vantoresk::simd::Isa::X86Cmov);
    same_models<8>();
    same_models<16>();
#else
    GTEST_SKIP() << "no SSE2 in this build";
#endif
}

}  // namespace

// The rANS encoder's quotient through a reciprocal against the division,
// for every frequency a model can give and the states where a floor could
// slip: at and beside multiples of f, at both ends of 32 bits, and random.
TEST(ResidualCoder, RansQuotientIsTheDivisionForEveryFrequency) {
    using vantoresk::lanes::rans_quotient;
    vantoresk::support::SplitMix64 rng(91);
    for (std::uint32_t f = 1; f <= (1u << 15); ++f) {
        const std::uint32_t last = 0xFFFFFFFFu / f * f;  // the largest multiple of f in 32 bits
        const std::uint32_t xs[] = {0u, 1u, f - 1, f, f + 1, last - 1, last, last + (f > 1 ? f - 1 : 0), 0xFFFFFFFFu,
                                    static_cast<std::uint32_t>(rng.next()), (static_cast<std::uint32_t>(rng.next()) / f) * f,
                                    (static_cast<std::uint32_t>(rng.next()) / f) * f - 1};
        for (const std::uint32_t x : xs) ASSERT_EQ(x / f, rans_quotient(x, f)) << "x " << x << " f " << f;
    }
}
