// Coefficient tables of the orthogonal families and the mirror rule.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "wavelet/daubechies.hpp"
#include "wavelet/util.hpp"

namespace tremora {
namespace {

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

struct Moments {
    double sum = 0, squares = 0, alternating = 0;
};

Moments moments(std::span<const double> h) {
    Moments m;
    for (std::size_t i = 0; i < h.size(); ++i) {
        m.sum += h[i];
        m.squares += h[i] * h[i];
        m.alternating += (i % 2 == 0 ? h[i] : -h[i]);
    }
    return m;
}

class DaubechiesMember : public ::testing::TestWithParam<int> {};

TEST_P(DaubechiesMember, TableIsAnOrthonormalScalingFilter) {
    const auto member = static_cast<DaubechiesFamily>(GetParam());
    const auto h = daubechies_coefficients(member);
    ASSERT_EQ(h.size(), 2u * static_cast<std::size_t>(GetParam() + 1));
    ASSERT_EQ(h.size(), filter_taps(member));
    const Moments m = moments(h);
    EXPECT_NEAR(m.sum, std::sqrt(2.0), 1e-12);
    EXPECT_NEAR(m.squares, 1.0, 1e-12);
    EXPECT_NEAR(m.alternating, 0.0, 1e-12);
    // Double shifts are orthogonal too: sum_i h[i] h[i + 2s] = 0.
    for (std::size_t s = 2; s < h.size(); s += 2) {
        double dot = 0;
        for (std::size_t i = 0; i + s < h.size(); ++i) dot += h[i] * h[i + s];
        EXPECT_NEAR(dot, 0.0, 1e-10) << "shift " << s;
    }
}

TEST_P(DaubechiesMember, FloatsAreRoundedTableValuesAndMirrorRoundTrips) {
    const auto member = static_cast<DaubechiesFamily>(GetParam());
    const auto table = daubechies_coefficients(member);
    const std::vector<float> h = get_wavelet(member);
    ASSERT_EQ(h.size(), table.size());
    for (std::size_t i = 0; i < h.size(); ++i) EXPECT_EQ(bits(h[i]), bits(static_cast<float>(table[i])));
    const std::vector<float> g = low_pass_to_high(h);
    double sh = 0, sg = 0;
    for (std::size_t i = 0; i < h.size(); ++i) {
        sh += h[i];
        sg += g[i];
    }
    EXPECT_NEAR(sh, std::sqrt(2.0), 1e-6);
    EXPECT_NEAR(sg, 0.0, 1e-6);
    // g reversed with alternating signs gives back h, bit for bit.
    const std::size_t n = g.size();
    for (std::size_t i = 0; i < n; ++i) {
        const float back = ((n - 1 - i) % 2 == 1) ? flip_sign(g[n - 1 - i]) : g[n - 1 - i];
        EXPECT_EQ(bits(back), bits(h[i])) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(All, DaubechiesMember, ::testing::Range(0, 24));

class SymletMember : public ::testing::TestWithParam<int> {};

TEST_P(SymletMember, TableIsAnOrthonormalScalingFilter) {
    const auto member = static_cast<SymletFamily>(GetParam());
    const auto h = symlet_coefficients(member);
    ASSERT_EQ(h.size(), 2u * static_cast<std::size_t>(GetParam() + 2));
    ASSERT_EQ(h.size(), filter_taps(member));
    const Moments m = moments(h);
    EXPECT_NEAR(m.sum, std::sqrt(2.0), 1e-12);
    EXPECT_NEAR(m.squares, 1.0, 1.5e-11);
    EXPECT_NEAR(m.alternating, 0.0, 1.5e-11);
    const std::vector<float> f = get_wavelet(member);
    ASSERT_EQ(f.size(), h.size());
    for (std::size_t i = 0; i < f.size(); ++i) EXPECT_EQ(bits(f[i]), bits(static_cast<float>(h[i])));
}

INSTANTIATE_TEST_SUITE_P(All, SymletMember, ::testing::Range(0, 19));

TEST(FilterTables, TotalsAndAnchors) {
    std::size_t db_values = 0, sym_values = 0;
    for (int k = 0; k < 24; ++k) db_values += daubechies_coefficients(static_cast<DaubechiesFamily>(k)).size();
    for (int k = 0; k < 19; ++k) sym_values += symlet_coefficients(static_cast<SymletFamily>(k)).size();
    EXPECT_EQ(db_values, 600u);
    EXPECT_EQ(sym_values, 418u);

    struct Anchor {
        std::span<const double> h;
        double h0, h1, h2, last;
    };
    const Anchor anchors[] = {
        {daubechies_coefficients(DaubechiesFamily::Db1), 0.7071067811865476, 0.7071067811865476, 0.0,
         0.7071067811865476},
        {daubechies_coefficients(DaubechiesFamily::Db2), 0.48296291314453416, 0.8365163037378079,
         0.2241438680420134, -0.12940952255126037},
        {symlet_coefficients(SymletFamily::Sym2), 0.48296291314469025, 0.836516303737469, 0.22414386804185735,
         -0.12940952255092145},
        {daubechies_coefficients(DaubechiesFamily::Db24), 0.00019143580094755136, 0.0030820817149054946,
         0.02248233994971641, -4.34278250380371e-12},
        {symlet_coefficients(SymletFamily::Sym20), -6.329129044776395e-07, -3.2567026420174407e-07,
         1.22872527779612e-05, 3.695537474835221e-07},
    };
    for (const Anchor& a : anchors) {
        EXPECT_EQ(a.h[0], a.h0);
        EXPECT_EQ(a.h[1], a.h1);
        if (a.h.size() > 2) {
            EXPECT_EQ(a.h[2], a.h2);
        }
        EXPECT_EQ(a.h.back(), a.last);
    }
    // Db2 and Sym2 are distinct tables.
    EXPECT_NE(daubechies_coefficients(DaubechiesFamily::Db2)[0], symlet_coefficients(SymletFamily::Sym2)[0]);
}

struct CodecFilter {
    const char* name;
    std::vector<float> h;
    double h_doubles[8];
    float low[8];
    float high[8];
};

TEST(FilterTables, CodecMembersInFull) {
    const CodecFilter cases[] = {
        {"db4",
         get_wavelet(DaubechiesFamily::Db4),
         {0.2303778133088965, 0.7148465705529157, 0.6308807679298589, -0.027983769416859854,
          -0.18703481171909309, 0.030841381835560764, 0.0328830116668852, -0.010597401785069032},
         {0.23037781f, 0.71484655f, 0.6308808f, -0.02798377f, -0.18703482f, 0.030841382f, 0.03288301f,
          -0.010597402f},
         {-0.010597402f, -0.03288301f, 0.030841382f, 0.18703482f, -0.02798377f, -0.6308808f, 0.71484655f,
          -0.23037781f}},
        {"sym4",
         get_wavelet(SymletFamily::Sym4),
         {0.0322231006040427, -0.012603967262037833, -0.09921954357684722, 0.29785779560527736,
          0.8037387518059161, 0.49761866763201545, -0.02963552764599851, -0.07576571478927333},
         {0.0322231f, -0.012603967f, -0.099219546f, 0.2978578f, 0.8037388f, 0.49761868f, -0.029635528f,
          -0.075765714f},
         {-0.075765714f, 0.029635528f, 0.49761868f, -0.8037388f, 0.2978578f, 0.099219546f, -0.012603967f,
          -0.0322231f}},
    };
    const auto db4 = daubechies_coefficients(DaubechiesFamily::Db4);
    const auto sym4 = symlet_coefficients(SymletFamily::Sym4);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(db4[i], cases[0].h_doubles[i]);
        EXPECT_EQ(sym4[i], cases[1].h_doubles[i]);
    }
    for (const CodecFilter& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.h.size(), 8u);
        const std::vector<float> g = low_pass_to_high(c.h);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(bits(c.h[i]), bits(c.low[i])) << i;
            EXPECT_EQ(bits(g[i]), bits(c.high[i])) << i;
        }
    }
}

TEST(MirrorRule, SmallFiltersAndSignedZeros) {
    const std::vector<float> db1 = get_wavelet(DaubechiesFamily::Db1);
    ASSERT_EQ(db1.size(), 2u);
    EXPECT_EQ(db1[0], 0.70710677f);
    EXPECT_EQ(low_pass_to_high(db1), (std::vector<float>{0.70710677f, -0.70710677f}));

    EXPECT_TRUE(low_pass_to_high(std::vector<float>{}).empty());
    EXPECT_EQ(bits(low_pass_to_high(std::vector<float>{3.5f})[0]), bits(3.5f));

    // Zeros at odd indices of the reversed filter become -0.0f; at even
    // indices they stay +0.0f; a -0.0f at an odd index becomes +0.0f.
    const std::vector<float> g = low_pass_to_high(std::vector<float>{1.0f, -0.0f, 0.0f, 0.0f});
    EXPECT_EQ(bits(g[0]), bits(0.0f));
    EXPECT_EQ(bits(g[1]), bits(-0.0f));
    EXPECT_EQ(bits(g[2]), bits(-0.0f));
    EXPECT_EQ(bits(g[3]), bits(-1.0f));
    const std::vector<float> nan_filter{std::nanf(""), 1.0f};
    EXPECT_EQ(bits(low_pass_to_high(nan_filter)[1]), bits(nan_filter[0]) ^ 0x80000000u);
}

template <std::size_t N>
void expect_array_matches_vector(DaubechiesFamily member) {
    const std::vector<float> h = get_wavelet(member);
    ASSERT_EQ(h.size(), N);
    std::array<float, N> arr{};
    std::copy(h.begin(), h.end(), arr.begin());
    const std::array<float, N> g = low_pass_to_high_from_arr(arr);
    const std::vector<float> gv = low_pass_to_high(h);
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(bits(g[i]), bits(gv[i])) << i;
}

TEST(MirrorRule, FixedArraysMatchTheVectorRule) {
    expect_array_matches_vector<12>(DaubechiesFamily::Db6);
    expect_array_matches_vector<16>(DaubechiesFamily::Db8);
}

}  // namespace
}  // namespace tremora
