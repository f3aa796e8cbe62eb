// CDF 5/3 and CDF 9/7 lifting executors: values bit for bit, perfect
// reconstruction, size rules, and validation order and texts.
//
// The bit-exactness tests compare against a reference written here in the
// textbook in-place form: the lifting steps run on the interleaved signal,
// and a neighbour beyond either end is found by whole-sample mirroring
// (index -k -> k, n-1+k -> n-1-k). The executors work on split bands with
// per-end special cases instead, so the two only agree if both read the
// extension rule the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "wavelet/lifting/cdf53.hpp"
#include "wavelet/lifting/cdf97.hpp"

#include "simd_test_support.hpp"
#include "wavelet_test_support.hpp"

namespace {

using wavelet_test::as_ref;
using wavelet_test::expect_error;
using wavelet_test::expect_missing_bands_refused;
using wavelet_test::same_bits;

using tremora::DwtExecutorHandle;
using tremora::DwtRef;
using tremora::DwtSize;
using tremora::MultiDwtRef;
using tremora::TremoraError;
using tremora::lifting::LiftingKernels;
using vantoresk::simd::Isa;
using K = TremoraError::Kind;

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

// --- reference -------------------------------------------------------------

struct Step {
    float c;
    int parity;  // 1: predict (odd samples change), 0: update (even samples change)
};

std::size_t mirror(std::ptrdiff_t k, std::size_t n) {
    const auto last = static_cast<std::ptrdiff_t>(n) - 1;
    if (k < 0) k = -k;
    if (k > last) k = 2 * last - k;
    return static_cast<std::size_t>(k);
}

void lift(std::vector<float>& y, const std::vector<Step>& steps) {
    const std::size_t n = y.size();
    for (const Step& st : steps) {
        for (std::size_t k = static_cast<std::size_t>(st.parity); k < n; k += 2) {
            const auto ik = static_cast<std::ptrdiff_t>(k);
            y[k] = std::fma(st.c, y[mirror(ik - 1, n)] + y[mirror(ik + 1, n)], y[k]);
        }
    }
}

struct Bands {
    std::vector<float> s, d;
};

// The inverse runs the negated steps in reverse order; scaling (CDF 9/7 only)
// multiplies s by k and d by 1/k going forward, the other way round going back.
struct Reference {
    std::vector<Step> steps;
    float k, inv_k;  // 0: no scaling
};

const Reference& ref53() {
    static const Reference r{{{-0.5f, 1}, {0.25f, 0}}, 0, 0};
    return r;
}

const Reference& ref97() {
    static const Reference r{{{from_bits(0xBFCB0673u), 1},   // alpha
                              {from_bits(0xBD5901AEu), 0},   // beta
                              {from_bits(0x3F620676u), 1},   // gamma
                              {from_bits(0x3EE31355u), 0}},  // delta
                             from_bits(0x3F93263Du),
                             from_bits(0x3F5EAF70u)};
    return r;
}

Bands ref_forward(const Reference& r, std::span<const float> x) {
    std::vector<float> y(x.begin(), x.end());
    lift(y, r.steps);
    Bands b;
    for (std::size_t k = 0; k < y.size(); ++k) {
        float v = y[k];
        if (r.k != 0) v = k % 2 == 0 ? v * r.k : v * r.inv_k;
        (k % 2 == 0 ? b.s : b.d).push_back(v);
    }
    return b;
}

std::vector<float> ref_inverse(const Reference& r, std::span<const float> s, std::span<const float> d) {
    std::vector<float> y(s.size() + d.size());
    for (std::size_t k = 0; k < y.size(); ++k) {
        float v = k % 2 == 0 ? s[k / 2] : d[k / 2];
        if (r.k != 0) v = k % 2 == 0 ? v * r.inv_k : v * r.k;
        y[k] = v;
    }
    std::vector<Step> undo(r.steps.rbegin(), r.steps.rend());
    for (Step& st : undo) st.c = -st.c;
    lift(y, undo);
    return y;
}

// --- helpers ---------------------------------------------------------------

// Finite values across many binades, with signed zeros and subnormals mixed in.
std::vector<float> random_signal(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> kind(0, 15), expo(-30, 30);
    std::vector<float> x(n);
    for (auto& v : x) {
        switch (kind(rng)) {
            case 0: v = from_bits(rng() & 0x807FFFFFu); break;  // subnormal or zero
            case 1: v = -0.0f; break;
            case 2: v = std::ldexp(unit(rng), expo(rng)); break;
            default: v = unit(rng); break;
        }
    }
    return x;
}

struct Transform {
    const char* name;
    DwtExecutorHandle (*make)();
    std::size_t min_length;
    std::size_t filter_length;
    const Reference& (*reference)();
    const LiftingKernels* (*kernels)(Isa);
};

const Transform kCdf53{"cdf53", tremora::Tremora::make_cdf53_f32, 3, 6, ref53,
                       tremora::lifting::cdf53_kernels};
const Transform kCdf97{"cdf97", tremora::Tremora::make_cdf97_f32, 4, 10, ref97,
                       tremora::lifting::cdf97_kernels};

std::string transform_name(const ::testing::TestParamInfo<Transform>& info) { return info.param.name; }

// --- bit-exactness ---------------------------------------------------------

class LiftingVariant : public ::testing::TestWithParam<std::tuple<Transform, Isa>> {};

TEST_P(LiftingVariant, MatchesTheReferenceForwardAndInverse) {
    const auto& [t, isa] = GetParam();
    VANTORESK_SKIP_UNLESS_ENABLED(isa);
    const LiftingKernels* variant = t.kernels(isa);
    ASSERT_NE(variant, nullptr);
    const LiftingKernels& kernels = *variant;
    const Reference& r = t.reference();
    std::vector<std::size_t> lengths;
    for (std::size_t n = t.min_length; n <= 80; ++n) lengths.push_back(n);
    for (std::size_t n : {127u, 128u, 1000u, 1001u, 4099u}) lengths.push_back(n);
    for (std::size_t n : lengths) {
        SCOPED_TRACE("n = " + std::to_string(n));
        const auto x = random_signal(n, static_cast<std::uint32_t>(n));
        const Bands want = ref_forward(r, x);
        std::vector<float> s(want.s.size()), d(want.d.size());
        kernels.forward(x.data(), n, s.data(), d.data());
        ASSERT_TRUE(same_bits(s, want.s));
        ASSERT_TRUE(same_bits(d, want.d));

        // The inverse on unrelated bands, so it is checked on its own.
        const auto s2 = random_signal(s.size(), static_cast<std::uint32_t>(n + 7777));
        const auto d2 = random_signal(d.size(), static_cast<std::uint32_t>(n + 9999));
        // Garbage in the output and scratch: every element must be written.
        std::vector<float> e(s.size(), NAN), o(d.size(), NAN), y(n, NAN);
        kernels.inverse(s2.data(), s2.size(), d2.data(), d2.size(), e.data(), o.data(), y.data());
        ASSERT_TRUE(same_bits(y, ref_inverse(r, s2, d2)));

        // In place, as the multi-level inverse runs it: s, e and x are one
        // buffer holding the approximations in front, o the only scratch.
        std::vector<float> in_place(n, NAN), o2(d.size(), NAN);
        std::copy(s2.begin(), s2.end(), in_place.begin());
        kernels.inverse(in_place.data(), s2.size(), d2.data(), d2.size(), in_place.data(), o2.data(),
                        in_place.data());
        ASSERT_TRUE(same_bits(in_place, y));
    }
}

INSTANTIATE_TEST_SUITE_P(Both, LiftingVariant,
                         ::testing::Combine(::testing::Values(kCdf53, kCdf97),
                                            ::testing::Values(Isa::Portable, Isa::Avx2Fma)),
                         [](const auto& param_info) {
                             return std::string(std::get<0>(param_info.param).name) + "_" +
                                    vantoresk::simd::name(std::get<1>(param_info.param));
                         });

class Lifting : public ::testing::TestWithParam<Transform> {};

// The executor's one-level entry points and the multi-level drivers chain the
// same kernels: every level of multi_dwt is the reference of the previous
// level's approximations, and multi_idwt undoes them in reverse.
TEST_P(Lifting, ExecutorAndDriversMatchTheReference) {
    const Transform& t = GetParam();
    const Reference& r = t.reference();
    const auto exec = t.make();
    for (std::size_t n : {t.min_length, t.min_length + 1, std::size_t{37}, std::size_t{300}}) {
        SCOPED_TRACE("n = " + std::to_string(n));
        const auto x = random_signal(n, 42u + static_cast<std::uint32_t>(n));
        const Bands first = ref_forward(r, x);
        std::vector<float> scratch(3, 5.0f);  // needs none; any length is accepted
        for (std::span<float> sc : {std::span<float>(scratch), std::span<float>()}) {
            std::vector<float> s(first.s.size()), d(first.d.size());
            ASSERT_TRUE(exec->execute_forward_with_scratch(x, s, d, sc).ok());
            EXPECT_TRUE(same_bits(s, first.s));
            EXPECT_TRUE(same_bits(d, first.d));
        }
        auto back = exec->idwt(DwtRef{first.s, first.d});
        ASSERT_TRUE(back.ok()) << back.error().display();
        EXPECT_TRUE(same_bits(*back, ref_inverse(r, first.s, first.d)));

        std::size_t levels = 0;
        for (std::size_t len = n; len >= t.min_length && levels < 5; len -= len / 2) ++levels;
        auto m = exec->multi_dwt(x, levels);
        ASSERT_TRUE(m.ok()) << m.error().display();
        ASSERT_EQ(m->levels.size(), levels);
        std::vector<float> current = x;
        for (const auto& level : m->levels) {
            const Bands want = ref_forward(r, current);
            EXPECT_TRUE(same_bits(level.approximations, want.s));
            EXPECT_TRUE(same_bits(level.details, want.d));
            current = want.s;
        }
        auto deepest = exec->dwt(x, levels);
        ASSERT_TRUE(deepest.ok());
        EXPECT_TRUE(same_bits(deepest->approximations, m->levels.back().approximations));
        EXPECT_TRUE(same_bits(deepest->details, m->levels.back().details));

        std::vector<float> want = m->levels.back().approximations;
        for (std::size_t k = m->levels.size(); k-- > 0;) want = ref_inverse(r, want, m->levels[k].details);
        auto rebuilt = exec->multi_idwt(as_ref(*m));
        ASSERT_TRUE(rebuilt.ok());
        EXPECT_TRUE(same_bits(*rebuilt, want));
    }
}

// --- perfect reconstruction ------------------------------------------------

TEST_P(Lifting, RoundTripsEveryLengthAndLevelCount) {
    const Transform& t = GetParam();
    const bool exact = t.min_length == 3;
    const auto exec = t.make();
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> ints(-100, 100);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (std::size_t n = t.min_length; n <= 300; ++n) {
        std::vector<float> x(n);
        for (auto& v : x) v = exact ? static_cast<float>(ints(rng)) : unit(rng);
        float scale = 0;
        for (float v : x) scale = std::max(scale, std::fabs(v));
        std::size_t max_levels = 0;
        for (std::size_t len = n; len >= t.min_length; len -= len / 2) ++max_levels;
        for (std::size_t levels = 1; levels <= max_levels; ++levels) {
            SCOPED_TRACE("n = " + std::to_string(n) + ", levels = " + std::to_string(levels));
            auto m = exec->multi_dwt(x, levels);
            ASSERT_TRUE(m.ok()) << m.error().display();
            auto back = exec->multi_idwt(as_ref(*m));
            ASSERT_TRUE(back.ok()) << back.error().display();
            ASSERT_EQ(back->size(), n);
            if (exact) {
                ASSERT_TRUE(same_bits(*back, x));
            } else {
                for (std::size_t i = 0; i < n; ++i) ASSERT_NEAR((*back)[i], x[i], 8 * scale * 0x1p-23f) << i;
            }
        }
        auto too_deep = exec->multi_dwt(x, max_levels + 1);
        ASSERT_FALSE(too_deep.ok());
        expect_error(too_deep.error(), K::BufferTooSmallForLevel, "Buffer was too small for provided level");
    }
}

// --- drivers ---------------------------------------------------------------

TEST_P(Lifting, SingleLevelRequestsReturnOneLevel) {
    const auto exec = GetParam().make();
    const std::vector<float> x(GetParam().min_length, 3.0f);
    for (std::size_t levels : {0u, 1u}) {
        auto m = exec->multi_dwt(x, levels);
        ASSERT_TRUE(m.ok()) << m.error().display();
        ASSERT_EQ(m->levels.size(), 1u);
        EXPECT_EQ(m->levels[0].approximations.size(), x.size() - x.size() / 2);
        EXPECT_EQ(m->levels[0].details.size(), x.size() / 2);
    }
}

TEST_P(Lifting, MultiIdwtWithoutBandsIsZeroSizedInput) { expect_missing_bands_refused(*GetParam().make(), 4); }

TEST_P(Lifting, MultiIdwtPassesTheStepErrorThrough) {
    // The coarse step rebuilds 3 + 2 = 5 samples; a finer detail band of 2
    // would need approximations of 2, not 5.
    const std::vector<float> s(3, 1.0f), coarse(2, 0.0f), fine(2, 0.0f);
    MultiDwtRef ref;
    ref.details = {fine, coarse};
    ref.approximation = s;
    auto r = GetParam().make()->multi_idwt(ref);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), K::ApproxSizeMismatch, "Approximate size 5 does not match required size 4");
}

INSTANTIATE_TEST_SUITE_P(Both, Lifting, ::testing::Values(kCdf53, kCdf97), transform_name);

struct TooShort {
    const Transform* t;
    std::size_t n, levels;
};

class LiftingDriverTooShort : public ::testing::TestWithParam<TooShort> {};

TEST_P(LiftingDriverTooShort, AnyPassBelowTheMinimumIsBufferTooSmall) {
    const auto& c = GetParam();
    const auto exec = c.t->make();
    const std::vector<float> x(c.n, 2.0f);
    auto m = exec->multi_dwt(x, c.levels);
    ASSERT_FALSE(m.ok());
    expect_error(m.error(), K::BufferTooSmallForLevel, "Buffer was too small for provided level");
    auto d = exec->dwt(x, c.levels);
    ASSERT_FALSE(d.ok());
    expect_error(d.error(), K::BufferTooSmallForLevel, "Buffer was too small for provided level");
}

INSTANTIATE_TEST_SUITE_P(Both, LiftingDriverTooShort,
                         ::testing::Values(TooShort{&kCdf53, 2, 0}, TooShort{&kCdf53, 2, 1}, TooShort{&kCdf53, 2, 2},
                                           TooShort{&kCdf53, 0, 1}, TooShort{&kCdf53, 5, 3},  // 5 -> 3 -> 2
                                           TooShort{&kCdf97, 3, 1}, TooShort{&kCdf97, 8, 3},  // 8 -> 4 -> 2
                                           TooShort{&kCdf97, 100, std::numeric_limits<std::size_t>::max()}));

// --- one step: sizes and validation ----------------------------------------

struct SizeCase {
    const Transform* t;
    std::size_t n;
    DwtSize bands;
    std::size_t reconstruction;  // idwt_size(bands of length n/2 rounded up, n/2)
};

class LiftingSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(LiftingSizes, ClampedBandAndOutputLengths) {
    const auto& c = GetParam();
    const auto exec = c.t->make();
    EXPECT_EQ(exec->dwt_size(c.n), c.bands);
    EXPECT_EQ(exec->idwt_size(DwtSize{c.n - c.n / 2, c.n / 2}), c.reconstruction);
    EXPECT_EQ(exec->required_scratch_size(c.n), 0u);
    EXPECT_EQ(exec->filter_length(), c.t->filter_length);
}

INSTANTIATE_TEST_SUITE_P(Both, LiftingSizes,
                         ::testing::Values(SizeCase{&kCdf53, 0, {2, 1}, 3}, SizeCase{&kCdf53, 1, {2, 1}, 3},
                                           SizeCase{&kCdf53, 2, {2, 1}, 3}, SizeCase{&kCdf53, 3, {2, 1}, 3},
                                           SizeCase{&kCdf53, 4, {2, 2}, 4}, SizeCase{&kCdf53, 7, {4, 3}, 7},
                                           SizeCase{&kCdf97, 0, {2, 2}, 4}, SizeCase{&kCdf97, 3, {2, 2}, 4},
                                           SizeCase{&kCdf97, 4, {2, 2}, 4}, SizeCase{&kCdf97, 5, {3, 2}, 5},
                                           SizeCase{&kCdf97, 1000, {500, 500}, 1000}));

// Forward: input of n samples into bands of a and m. Inverse: bands of a and
// m into an output of n. The first failing check wins and nothing is written.
struct StepError {
    const Transform* t;
    bool inverse;
    std::size_t n, a, m;
    K kind;
    std::string text;
};

class LiftingStepErrors : public ::testing::TestWithParam<StepError> {};

TEST_P(LiftingStepErrors, FirstFailingCheckWinsAndNothingIsWritten) {
    constexpr float kSentinel = 12345.0f;
    const auto& c = GetParam();
    const auto exec = c.t->make();
    std::vector<float> x(c.n, kSentinel), s(c.a, kSentinel), d(c.m, kSentinel);
    auto st = c.inverse ? exec->execute_inverse(s, d, x) : exec->execute_forward(x, s, d);
    ASSERT_FALSE(st.ok());
    expect_error(st.error(), c.kind, c.text);
    for (const auto* buffer : {&x, &s, &d})
        for (float v : *buffer) ASSERT_EQ(v, kSentinel);
}

constexpr bool kFwd = false, kInv = true;

INSTANTIATE_TEST_SUITE_P(
    Both, LiftingStepErrors,
    ::testing::Values(
        StepError{&kCdf53, kFwd, 2, 1, 1, K::InputTooShort, "Input size 2 can't be less than 3"},
        StepError{&kCdf53, kFwd, 2, 9, 9, K::InputTooShort, "Input size 2 can't be less than 3"},
        StepError{&kCdf53, kFwd, 0, 0, 0, K::InputTooShort, "Input size 0 can't be less than 3"},
        // odd n: an approximation buffer of floor(n/2) is one short
        StepError{&kCdf53, kFwd, 5, 2, 2, K::ApproxSizeMismatch, "Approximate size 2 does not match required size 3"},
        StepError{&kCdf53, kFwd, 5, 2, 1, K::ApproxSizeMismatch, "Approximate size 2 does not match required size 3"},
        StepError{&kCdf53, kFwd, 5, 3, 3, K::DetailsSizeMismatch, "Details size 3 does not match required size 2"},
        StepError{&kCdf97, kFwd, 3, 2, 1, K::InputTooShort, "Input size 3 can't be less than 4"},
        StepError{&kCdf97, kFwd, 6, 4, 3, K::ApproxSizeMismatch, "Approximate size 4 does not match required size 3"},
        StepError{&kCdf97, kFwd, 6, 3, 2, K::DetailsSizeMismatch, "Details size 2 does not match required size 3"},
        // the required length a + m is printed first, the given one second
        StepError{&kCdf53, kInv, 6, 3, 2, K::OutputSizeMismatch, "Output size should be 5, but it was 6"},
        StepError{&kCdf53, kInv, 7, 5, 2, K::ApproxSizeMismatch, "Approximate size 5 does not match required size 4"},
        StepError{&kCdf53, kInv, 2, 1, 1, K::ApproxSizeMismatch, "Approximate size 1 does not match required size 2"},
        StepError{&kCdf53, kInv, 2, 2, 0, K::DetailsSizeMismatch, "Details size 0 does not match required size 1"},
        // a = ceil(N/2) + 1 with m = floor(N/2): the sum test comes first
        StepError{&kCdf97, kInv, 8, 5, 4, K::OutputSizeMismatch, "Output size should be 9, but it was 8"},
        StepError{&kCdf97, kInv, 8, 5, 3, K::ApproxSizeMismatch, "Approximate size 5 does not match required size 4"},
        StepError{&kCdf97, kInv, 3, 2, 1, K::DetailsSizeMismatch, "Details size 1 does not match required size 2"},
        StepError{&kCdf97, kInv, 0, 0, 0, K::ApproxSizeMismatch, "Approximate size 0 does not match required size 2"}));

}  // namespace
