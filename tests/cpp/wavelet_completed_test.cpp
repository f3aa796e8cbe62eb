// The multi-level adapter, driven by a stand-in kernel with the size rules of
// an L-tap convolution kernel: a = d = (n + L - 1)/2 per step, and the inverse
// gives 2a - L + 2 samples. The stand-in is Haar on the input zero-padded to
// 2a samples, so its reconstruction is exact for small integers and carries
// the same end surplus a real convolution kernel leaves for the adapter to
// trim. Its inverse accumulates into the output, as convolution kernels do.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "wavelet/contract/completed.hpp"

#include "wavelet_test_support.hpp"

namespace {

using wavelet_test::as_ref;
using wavelet_test::expect_error;
using wavelet_test::expect_missing_bands_refused;

using tremora::CompletedDwtExecutor;
using tremora::DwtRef;
using tremora::DwtSize;
using tremora::MultiDwtRef;
using tremora::Status;
using tremora::TremoraError;
using K = TremoraError::Kind;

class PaddedHaar final : public tremora::IncompleteDwtExecutor {
public:
    explicit PaddedHaar(std::size_t taps, std::size_t forced_idwt_size = 0)
        : taps_(taps), forced_idwt_size_(forced_idwt_size) {}

    Status execute_forward(std::span<const float> x, std::span<float> s, std::span<float> d) const override {
        const std::size_t n = x.size();
        if (n < taps_) return tremora::fail(TremoraError::input_too_short(n, taps_));
        const std::size_t a = dwt_size(n).approx_length;
        if (s.size() != a) return tremora::fail(TremoraError::approx_size_mismatch(s.size(), a));
        if (d.size() != a) return tremora::fail(TremoraError::details_size_mismatch(d.size(), a));
        auto at = [&](std::size_t k) { return k < n ? x[k] : 0.0f; };
        for (std::size_t i = 0; i < a; ++i) {
            s[i] = (at(2 * i) + at(2 * i + 1)) * 0.5f;
            d[i] = (at(2 * i) - at(2 * i + 1)) * 0.5f;
        }
        return {};
    }
    Status execute_forward_with_scratch(std::span<const float> x, std::span<float> s, std::span<float> d,
                                        std::span<float>) const override {
        return execute_forward(x, s, d);
    }
    std::size_t required_scratch_size(std::size_t) const override { return 0; }
    DwtSize dwt_size(std::size_t n) const override { return {(n + taps_ - 1) / 2, (n + taps_ - 1) / 2}; }
    Status execute_inverse(std::span<const float> s, std::span<const float> d, std::span<float> out) const override {
        if (out.size() != idwt_size({s.size(), d.size()})) {
            return tremora::fail(TremoraError::output_size_mismatch(out.size(), idwt_size({s.size(), d.size()})));
        }
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (2 * i < out.size()) out[2 * i] += s[i] + d[i];
            if (2 * i + 1 < out.size()) out[2 * i + 1] += s[i] - d[i];
        }
        return {};
    }
    std::size_t idwt_size(DwtSize size) const override {
        return forced_idwt_size_ != 0 ? forced_idwt_size_ : 2 * size.approx_length - taps_ + 2;
    }
    std::size_t filter_length() const override { return taps_; }

private:
    std::size_t taps_;
    std::size_t forced_idwt_size_;
};

CompletedDwtExecutor completed(std::size_t taps, std::size_t forced_idwt_size = 0) {
    return CompletedDwtExecutor(std::make_shared<const PaddedHaar>(taps, forced_idwt_size), taps);
}

std::vector<float> ramp(std::size_t n) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>((i * 7) % 23) - 11.0f;
    return v;
}

// --- forward: level counts and band lengths --------------------------------

struct LevelCase {
    std::size_t n;
    std::size_t levels;
    std::vector<std::size_t> band_lengths;  // one per level; empty: must fail
};

class AdapterMultiDwt : public ::testing::TestWithParam<LevelCase> {};

TEST_P(AdapterMultiDwt, BandLengthsOrLevelTooSmall) {
    const auto& c = GetParam();
    const auto exec = completed(8);
    const auto x = ramp(c.n);
    auto r = exec.multi_dwt(x, c.levels);
    if (c.band_lengths.empty()) {
        ASSERT_FALSE(r.ok());
        expect_error(r.error(), K::BufferTooSmallForLevel, "Buffer was too small for provided level");
        auto d = exec.dwt(x, c.levels);
        ASSERT_FALSE(d.ok());
        expect_error(d.error(), K::BufferTooSmallForLevel, "Buffer was too small for provided level");
        return;
    }
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->levels.size(), c.band_lengths.size());
    for (std::size_t k = 0; k < c.band_lengths.size(); ++k) {
        EXPECT_EQ(r->levels[k].approximations.size(), c.band_lengths[k]) << "level " << k;
        EXPECT_EQ(r->levels[k].details.size(), c.band_lengths[k]) << "level " << k;
    }
    // Each level's approximations are exactly what the next level analysed.
    for (std::size_t k = 0; k + 1 < r->levels.size(); ++k) {
        auto one = exec.dwt(r->levels[k].approximations, 1);
        ASSERT_TRUE(one.ok());
        EXPECT_EQ(one->approximations, r->levels[k + 1].approximations);
        EXPECT_EQ(one->details, r->levels[k + 1].details);
    }
    // dwt with the same level count returns the deepest level alone.
    auto deepest = exec.dwt(x, c.levels);
    ASSERT_TRUE(deepest.ok());
    EXPECT_EQ(deepest->approximations, r->levels.back().approximations);
    EXPECT_EQ(deepest->details, r->levels.back().details);
}

INSTANTIATE_TEST_SUITE_P(
    EightTaps, AdapterMultiDwt,
    ::testing::Values(LevelCase{20, 0, {13}}, LevelCase{20, 1, {13}}, LevelCase{20, 2, {13, 10}},
                      LevelCase{20, 3, {13, 10, 8}}, LevelCase{20, 4, {13, 10, 8, 7}},
                      // the fifth pass would read 7 < 8 samples
                      LevelCase{20, 5, {}}, LevelCase{8, 2, {}}, LevelCase{9, 2, {8, 7}},
                      // huge level counts fail on length, not on reserving the level list
                      LevelCase{20, std::numeric_limits<std::size_t>::max(), {}}));

class AdapterSingleLevel : public ::testing::TestWithParam<std::size_t> {};

TEST_P(AdapterSingleLevel, LeavesTheLengthTestToTheKernel) {
    const auto exec = completed(8);
    const auto x = ramp(5);
    auto m = exec.multi_dwt(x, GetParam());
    ASSERT_FALSE(m.ok());
    expect_error(m.error(), K::InputTooShort, "Input size 5 can't be less than 8");
    auto d = exec.dwt(x, GetParam());
    ASSERT_FALSE(d.ok());
    expect_error(d.error(), K::InputTooShort, "Input size 5 can't be less than 8");
}

INSTANTIATE_TEST_SUITE_P(ZeroAndOne, AdapterSingleLevel, ::testing::Values(0u, 1u));

// --- inverse ---------------------------------------------------------------

struct RoundTrip {
    std::size_t taps;
    std::size_t n;
    std::size_t levels;
    std::size_t out_length;
};

class AdapterRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(AdapterRoundTrip, ReconstructsWithTrimmedPadding) {
    const auto& c = GetParam();
    const auto exec = completed(c.taps);
    const auto x = ramp(c.n);
    auto fwd = exec.multi_dwt(x, c.levels);
    ASSERT_TRUE(fwd.ok()) << fwd.error().display();
    auto back = exec.multi_idwt(as_ref(*fwd));
    ASSERT_TRUE(back.ok()) << back.error().display();
    ASSERT_EQ(back->size(), c.out_length);
    for (std::size_t i = 0; i < c.n; ++i) EXPECT_EQ((*back)[i], x[i]) << "sample " << i;
    for (std::size_t i = c.n; i < back->size(); ++i) EXPECT_EQ((*back)[i], 0.0f) << "surplus " << i;
}

INSTANTIATE_TEST_SUITE_P(Lengths, AdapterRoundTrip,
                         ::testing::Values(RoundTrip{8, 20, 2, 20},  // 2·10 − 6 = 14 → 13, 2·13 − 6 = 20
                                           RoundTrip{8, 21, 2, 22}, RoundTrip{8, 20, 4, 20},
                                           RoundTrip{8, 100, 1, 100}, RoundTrip{8, 101, 5, 102},
                                           RoundTrip{2, 33, 5, 34}, RoundTrip{4, 64, 6, 64},
                                           RoundTrip{4, 63, 6, 64}));

TEST(AdapterIdwt, UnequalBandsAreRefusedWithBothLengths) {
    const auto exec = completed(8);
    const std::vector<float> s(5, 1.0f), d(6, 1.0f);
    auto r = exec.idwt(DwtRef{s, d});
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), K::BandLengthMismatch, "Approx and details must match, but they don't 5x6");
    EXPECT_EQ(r.error().first(), 5u);
    EXPECT_EQ(r.error().second(), 6u);
}

TEST(AdapterMultiIdwt, DetailBandLongerThanReconstructionFails) {
    const auto exec = completed(8);
    const std::vector<float> s(10, 1.0f), coarse(10, 0.0f), fine(15, 0.0f);
    MultiDwtRef ref;
    ref.details = {fine, coarse};  // the coarse step yields 14 < 15
    ref.approximation = s;
    auto r = exec.multi_idwt(ref);
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), K::BandLengthMismatch, "Approx and details must match, but they don't 14x15");
}

TEST(AdapterMultiIdwt, NothingToReconstructIsZeroSizedInput) { expect_missing_bands_refused(completed(8), 10); }

TEST(AdapterIdwt, UnallocatableOutputIsAllocationFailedWithByteCount) {
    // Beyond what a float vector can hold, so the failure is reported before
    // any allocator is asked (sanitizer allocators abort on a throwing new).
    const std::size_t huge = std::size_t{1} << 61;
    const auto exec = completed(8, huge);
    const std::vector<float> s(10, 1.0f), d(10, 1.0f);
    auto r = exec.idwt(DwtRef{s, d});
    ASSERT_FALSE(r.ok());
    expect_error(r.error(), K::AllocationFailed, "Cannot allocate " + std::to_string(huge * 4) + " bytes to vector");
    MultiDwtRef ref;
    ref.details = {d};
    ref.approximation = s;
    auto m = exec.multi_idwt(ref);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().kind(), K::AllocationFailed);
}

}  // namespace
