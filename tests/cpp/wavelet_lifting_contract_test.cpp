// Contract of the lifting executors: size rules, validation order and texts,
// and the drivers' length tests. (Values are pinned by the bit-exact
// comparisons in wavelet_lifting_test.cpp and the reference fixtures.)
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "wavelet/cdf53f.hpp"
#include "wavelet/cdf97f.hpp"

#include "wavelet_test_support.hpp"

namespace {

using wavelet_test::expect_error;
using wavelet_test::expect_missing_bands_refused;

using tremora::DwtExecutorHandle;
using tremora::DwtSize;
using tremora::MultiDwtRef;
using tremora::TremoraError;
using K = TremoraError::Kind;

enum class Which { Cdf53, Cdf97 };

DwtExecutorHandle make(Which w) {
    return w == Which::Cdf53 ? tremora::Tremora::make_cdf53_f32() : tremora::Tremora::make_cdf97_f32();
}

std::size_t min_length(Which w) { return w == Which::Cdf53 ? 3 : 4; }

std::string which_name(Which w) { return w == Which::Cdf53 ? "cdf53" : "cdf97"; }

constexpr float kSentinel = 12345.0f;

// --- sizes -----------------------------------------------------------------

struct SizeCase {
    Which which;
    std::size_t n;
    DwtSize bands;
    std::size_t reconstruction;  // idwt_size(bands of length n/2 rounded up, n/2)
};

class LiftingSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(LiftingSizes, ClampedBandAndOutputLengths) {
    const auto& c = GetParam();
    const auto exec = make(c.which);
    EXPECT_EQ(exec->dwt_size(c.n), c.bands);
    EXPECT_EQ(exec->idwt_size(DwtSize{c.n - c.n / 2, c.n / 2}), c.reconstruction);
    EXPECT_EQ(exec->required_scratch_size(c.n), 0u);
    EXPECT_EQ(exec->filter_length(), c.which == Which::Cdf53 ? 6u : 10u);
}

INSTANTIATE_TEST_SUITE_P(
    Both, LiftingSizes,
    ::testing::Values(SizeCase{Which::Cdf53, 0, {2, 1}, 3}, SizeCase{Which::Cdf53, 1, {2, 1}, 3},
                      SizeCase{Which::Cdf53, 2, {2, 1}, 3}, SizeCase{Which::Cdf53, 3, {2, 1}, 3},
                      SizeCase{Which::Cdf53, 4, {2, 2}, 4}, SizeCase{Which::Cdf53, 7, {4, 3}, 7},
                      SizeCase{Which::Cdf97, 0, {2, 2}, 4}, SizeCase{Which::Cdf97, 3, {2, 2}, 4},
                      SizeCase{Which::Cdf97, 4, {2, 2}, 4}, SizeCase{Which::Cdf97, 5, {3, 2}, 5},
                      SizeCase{Which::Cdf97, 1000, {500, 500}, 1000}));

// --- one-level validation --------------------------------------------------

struct ForwardError {
    Which which;
    std::size_t n, s_len, d_len;
    K kind;
    std::string text;
};

class LiftingForwardErrors : public ::testing::TestWithParam<ForwardError> {};

TEST_P(LiftingForwardErrors, FirstFailingCheckWinsAndNothingIsWritten) {
    const auto& c = GetParam();
    const std::vector<float> x(c.n, 1.0f);
    std::vector<float> s(c.s_len, kSentinel), d(c.d_len, kSentinel);
    auto st = make(c.which)->execute_forward(x, s, d);
    ASSERT_FALSE(st.ok());
    expect_error(st.error(), c.kind, c.text);
    for (float v : s) EXPECT_EQ(v, kSentinel);
    for (float v : d) EXPECT_EQ(v, kSentinel);
}

INSTANTIATE_TEST_SUITE_P(
    Both, LiftingForwardErrors,
    ::testing::Values(
        ForwardError{Which::Cdf53, 2, 1, 1, K::InputTooShort, "Input size 2 can't be less than 3"},
        ForwardError{Which::Cdf53, 2, 9, 9, K::InputTooShort, "Input size 2 can't be less than 3"},
        ForwardError{Which::Cdf53, 0, 0, 0, K::InputTooShort, "Input size 0 can't be less than 3"},
        // odd n: an approximation buffer of floor(n/2) is one short
        ForwardError{Which::Cdf53, 5, 2, 2, K::ApproxSizeMismatch, "Approximate size 2 does not match required size 3"},
        ForwardError{Which::Cdf53, 5, 2, 1, K::ApproxSizeMismatch, "Approximate size 2 does not match required size 3"},
        ForwardError{Which::Cdf53, 5, 3, 3, K::DetailsSizeMismatch, "Details size 3 does not match required size 2"},
        ForwardError{Which::Cdf97, 3, 2, 1, K::InputTooShort, "Input size 3 can't be less than 4"},
        ForwardError{Which::Cdf97, 6, 4, 3, K::ApproxSizeMismatch, "Approximate size 4 does not match required size 3"},
        ForwardError{Which::Cdf97, 6, 3, 2, K::DetailsSizeMismatch, "Details size 2 does not match required size 3"}));

struct InverseError {
    Which which;
    std::size_t a, m, n;
    K kind;
    std::string text;
};

class LiftingInverseErrors : public ::testing::TestWithParam<InverseError> {};

TEST_P(LiftingInverseErrors, FirstFailingCheckWinsAndNothingIsWritten) {
    const auto& c = GetParam();
    const std::vector<float> s(c.a, 1.0f), d(c.m, 1.0f);
    std::vector<float> out(c.n, kSentinel);
    auto st = make(c.which)->execute_inverse(s, d, out);
    ASSERT_FALSE(st.ok());
    expect_error(st.error(), c.kind, c.text);
    for (float v : out) EXPECT_EQ(v, kSentinel);
}

INSTANTIATE_TEST_SUITE_P(
    Both, LiftingInverseErrors,
    ::testing::Values(
        // the required length a + m is printed first, the given one second
        InverseError{Which::Cdf53, 3, 2, 6, K::OutputSizeMismatch, "Output size should be 5, but it was 6"},
        InverseError{Which::Cdf53, 5, 2, 7, K::ApproxSizeMismatch, "Approximate size 5 does not match required size 4"},
        InverseError{Which::Cdf53, 1, 1, 2, K::ApproxSizeMismatch, "Approximate size 1 does not match required size 2"},
        InverseError{Which::Cdf53, 2, 0, 2, K::DetailsSizeMismatch, "Details size 0 does not match required size 1"},
        // a = ceil(N/2) + 1 with m = floor(N/2): the sum test comes first
        InverseError{Which::Cdf97, 5, 4, 8, K::OutputSizeMismatch, "Output size should be 9, but it was 8"},
        InverseError{Which::Cdf97, 5, 3, 8, K::ApproxSizeMismatch, "Approximate size 5 does not match required size 4"},
        InverseError{Which::Cdf97, 2, 1, 3, K::DetailsSizeMismatch, "Details size 1 does not match required size 2"},
        InverseError{Which::Cdf97, 0, 0, 0, K::ApproxSizeMismatch, "Approximate size 0 does not match required size 2"}));

// --- drivers ---------------------------------------------------------------

struct TooShort {
    Which which;
    std::size_t n, levels;
};

class LiftingDriverTooShort : public ::testing::TestWithParam<TooShort> {};

TEST_P(LiftingDriverTooShort, AnyPassBelowTheMinimumIsBufferTooSmall) {
    const auto& c = GetParam();
    const auto exec = make(c.which);
    const std::vector<float> x(c.n, 2.0f);
    auto m = exec->multi_dwt(x, c.levels);
    ASSERT_FALSE(m.ok());
    expect_error(m.error(), K::BufferTooSmallForLevel, "Buffer was too small for provided level");
    auto d = exec->dwt(x, c.levels);
    ASSERT_FALSE(d.ok());
    expect_error(d.error(), K::BufferTooSmallForLevel, "Buffer was too small for provided level");
}

INSTANTIATE_TEST_SUITE_P(Both, LiftingDriverTooShort,
                         ::testing::Values(TooShort{Which::Cdf53, 2, 0}, TooShort{Which::Cdf53, 2, 1},
                                           TooShort{Which::Cdf53, 2, 2}, TooShort{Which::Cdf53, 0, 1},
                                           TooShort{Which::Cdf53, 5, 3},  // 5 -> 3 -> 2
                                           TooShort{Which::Cdf97, 3, 1}, TooShort{Which::Cdf97, 8, 3},  // 8 -> 4 -> 2
                                           TooShort{Which::Cdf97, 100, std::numeric_limits<std::size_t>::max()}));

class LiftingDrivers : public ::testing::TestWithParam<Which> {};

TEST_P(LiftingDrivers, MultiIdwtWithoutBandsIsZeroSizedInput) { expect_missing_bands_refused(*make(GetParam()), 4); }

TEST_P(LiftingDrivers, MultiIdwtPassesTheStepErrorThrough) {
    const auto exec = make(GetParam());
    // The coarse step rebuilds 3 + 2 = 5 samples; a finer detail band of 2
    // would need approximations of 2, not 5.
    const std::vector<float> s(3, 1.0f), coarse(2, 0.0f), fine(2, 0.0f);
    MultiDwtRef ref;
    ref.details = {fine, coarse};
    ref.approximation = s;
    auto r = exec->multi_idwt(ref);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), K::ApproxSizeMismatch, "Approximate size 5 does not match required size 4");
}

TEST_P(LiftingDrivers, SingleLevelRequestsReturnOneLevel) {
    const auto exec = make(GetParam());
    const std::vector<float> x(min_length(GetParam()), 3.0f);
    for (std::size_t levels : {0u, 1u}) {
        auto m = exec->multi_dwt(x, levels);
        ASSERT_TRUE(m.ok()) << m.error().display();
        ASSERT_EQ(m->levels.size(), 1u);
        EXPECT_EQ(m->levels[0].approximations.size(), x.size() - x.size() / 2);
        EXPECT_EQ(m->levels[0].details.size(), x.size() / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Both, LiftingDrivers, ::testing::Values(Which::Cdf53, Which::Cdf97),
                         [](const ::testing::TestParamInfo<Which>& p) { return which_name(p.param); });

}  // namespace
