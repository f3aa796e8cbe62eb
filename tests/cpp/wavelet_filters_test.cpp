// Coefficient tables of the orthogonal families and the mirror rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "wavelet/filter_bank/filters.hpp"
#include "wavelet/filter_bank/mirror.hpp"

#include "wavelet_test_support.hpp"

namespace tremora {
namespace {

using wavelet_test::all_members;
using wavelet_test::bits;
using wavelet_test::Member;
using wavelet_test::member_name;

class FamilyMember : public ::testing::TestWithParam<Member> {};

// A mistyped or truncated coefficient breaks the sum, the energy or the
// double-shift orthogonality; a member wired to the wrong table breaks the
// length or the float conversion.
TEST_P(FamilyMember, TableIsAnOrthonormalScalingFilter) {
    const Member mem = GetParam();
    const auto h = mem.symlet ? symlet_coefficients(static_cast<SymletFamily>(mem.value))
                              : daubechies_coefficients(static_cast<DaubechiesFamily>(mem.value));
    ASSERT_EQ(h.size(), 2u * static_cast<std::size_t>(mem.value + (mem.symlet ? 2 : 1)));
    double sum = 0, squares = 0, alternating = 0;
    for (std::size_t i = 0; i < h.size(); ++i) {
        sum += h[i];
        squares += h[i] * h[i];
        alternating += (i % 2 == 0 ? h[i] : -h[i]);
    }
    EXPECT_NEAR(sum, std::sqrt(2.0), 1e-12);
    EXPECT_NEAR(squares, 1.0, 1.5e-11);
    EXPECT_NEAR(alternating, 0.0, 1.5e-11);
    for (std::size_t s = 2; s < h.size(); s += 2) {
        double dot = 0;
        for (std::size_t i = 0; i + s < h.size(); ++i) dot += h[i] * h[i + s];
        EXPECT_NEAR(dot, 0.0, 1e-10) << "shift " << s;
    }
    const std::vector<float> f = mem.symlet ? get_wavelet(static_cast<SymletFamily>(mem.value))
                                            : get_wavelet(static_cast<DaubechiesFamily>(mem.value));
    ASSERT_EQ(f.size(), h.size());
    for (std::size_t i = 0; i < f.size(); ++i) EXPECT_EQ(bits(f[i]), bits(static_cast<float>(h[i]))) << i;
}

INSTANTIATE_TEST_SUITE_P(All, FamilyMember, ::testing::ValuesIn(all_members()), member_name);

TEST(FilterTables, Anchors) {
    struct Anchor {
        std::span<const double> h;
        double h0, h1, last;
    };
    const Anchor anchors[] = {
        {daubechies_coefficients(DaubechiesFamily::Db1), 0.7071067811865476, 0.7071067811865476, 0.7071067811865476},
        {daubechies_coefficients(DaubechiesFamily::Db2), 0.48296291314453416, 0.8365163037378079,
         -0.12940952255126037},
        // Same filter as Db2 but a distinct table: the two must never be aliased.
        {symlet_coefficients(SymletFamily::Sym2), 0.48296291314469025, 0.836516303737469, -0.12940952255092145},
        {daubechies_coefficients(DaubechiesFamily::Db4), 0.2303778133088965, 0.7148465705529157,
         -0.010597401785069032},
        {symlet_coefficients(SymletFamily::Sym4), 0.0322231006040427, -0.012603967262037833, -0.07576571478927333},
        {daubechies_coefficients(DaubechiesFamily::Db24), 0.00019143580094755136, 0.0030820817149054946,
         -4.34278250380371e-12},
        {symlet_coefficients(SymletFamily::Sym20), -6.329129044776395e-07, -3.2567026420174407e-07,
         3.695537474835221e-07},
    };
    for (const Anchor& a : anchors) {
        EXPECT_EQ(a.h[0], a.h0);
        EXPECT_EQ(a.h[1], a.h1);
        EXPECT_EQ(a.h.back(), a.last);
    }
}

// g[j] = h[L-1-j] with the sign bit flipped at odd j: a sign flip, not a
// negation by arithmetic, so zeros change sign too and NaNs keep their payload.
TEST(MirrorRule, SignFlipOfTheReversedFilter) {
    EXPECT_TRUE(low_pass_to_high(std::vector<float>{}).empty());
    EXPECT_EQ(bits(low_pass_to_high(std::vector<float>{3.5f})[0]), bits(3.5f));
    const std::vector<float> g = low_pass_to_high(std::vector<float>{1.0f, -0.0f, 0.0f, 0.0f});
    EXPECT_EQ(bits(g[0]), bits(0.0f));
    EXPECT_EQ(bits(g[1]), bits(-0.0f));
    EXPECT_EQ(bits(g[2]), bits(-0.0f));
    EXPECT_EQ(bits(g[3]), bits(-1.0f));
    const std::vector<float> nan_filter{std::nanf(""), 1.0f};
    EXPECT_EQ(bits(low_pass_to_high(nan_filter)[1]), bits(nan_filter[0]) ^ 0x80000000u);
}

}  // namespace
}  // namespace tremora
