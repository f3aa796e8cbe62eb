// Convolution kernels: the 8-tap Wrap kernel against an independent scalar
// evaluation of its defining formulas (bit for bit, both instruction-set
// variants), the variants against each other for every fixed tap count and
// border mode, the fixed kernels against the generic one, perfect
// reconstruction for every family member and mode, and the error values.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "wavelet/filter_bank/filters.hpp"
#include "wavelet/filter_bank/two_taps.hpp"
#include "wavelet/filter_bank/n_taps.hpp"
#include "wavelet/filter_bank/fixed_taps.hpp"

#include "simd_test_support.hpp"
#include "wavelet_test_support.hpp"

namespace tremora {
namespace {

using vantoresk::simd::Isa;
using wavelet_test::all_members;
using wavelet_test::as_ref;
using wavelet_test::Member;
using wavelet_test::member_name;
using wavelet_test::expect_error;
using wavelet_test::kModes;
using wavelet_test::mode_name;
using wavelet_test::same_bits;
using wavelet_test::taps_of;
using wavelet_test::uniform_signal;
using K = TremoraError::Kind;

std::uint32_t seed(std::size_t v) { return static_cast<std::uint32_t>(v); }

// ------------------------------------------------------------------
// Independent evaluation of the 8-tap Wrap kernel, written from the
// definitions: x~ by Euclidean remainder, the four fused lane sums, the shape
// by output position, and the literal (k, i) synthesis loop.

struct Reference8 {
    std::array<float, 8> low{};
    std::array<float, 8> high{};

    explicit Reference8(const std::vector<float>& h) {
        for (int i = 0; i < 8; ++i) {
            low[i] = h[i];
            const float v = h[7 - i];
            high[i] = (i % 2 == 1) ? -v : v;  // no zero taps in these filters
        }
    }

    static float wrap(const std::vector<float>& x, long pos) {
        const long n = static_cast<long>(x.size());
        return x[static_cast<std::size_t>(((pos % n) + n) % n)];
    }

    static float output(const std::array<float, 8>& f, const std::vector<float>& x, long s, bool paired) {
        float t[4];
        for (int l = 0; l < 4; ++l) {
            const float first = f[l] * wrap(x, s + l);
            t[l] = std::fma(f[4 + l], wrap(x, s + 4 + l), first);
        }
        return paired ? (t[0] + t[1]) + (t[2] + t[3]) : (t[0] + t[2]) + (t[1] + t[3]);
    }

    void forward(const std::vector<float>& x, std::vector<float>& A, std::vector<float>& D) const {
        const long n = static_cast<long>(x.size());
        const long a = (n + 7) / 2;
        const long c = n - a;  // interior outputs 3 .. 2 + c
        A.assign(static_cast<std::size_t>(a), 0.0f);
        D.assign(static_cast<std::size_t>(a), 0.0f);
        for (long k = 0; k < a; ++k) {
            const bool interior = k >= 3 && k <= 2 + c;
            const bool lone = c % 2 == 1 && k == 2 + c;
            const bool paired = interior && !lone;
            A[static_cast<std::size_t>(k)] = output(low, x, 2 * k - 6, paired);
            D[static_cast<std::size_t>(k)] = output(high, x, 2 * k - 6, paired);
        }
    }

    std::vector<float> inverse(const std::vector<float>& A, const std::vector<float>& D) const {
        const long a = static_cast<long>(A.size());
        const long N = 2 * a - 6;
        std::vector<float> y(static_cast<std::size_t>(N), 0.0f);
        const long trailing = (N - 2) / 2;
        for (long k = 0; k < a; ++k) {
            const bool detail_first = k <= 5 || k >= trailing || N < 16;
            for (long i = 0; i < 8; ++i) {
                const long j = 2 * k + i - 6;
                if (j < 0 || j >= N) continue;
                float& yj = y[static_cast<std::size_t>(j)];
                const float ak = A[static_cast<std::size_t>(k)], dk = D[static_cast<std::size_t>(k)];
                if (detail_first) {
                    yj = std::fma(high[i], dk, yj);
                    yj = std::fma(low[i], ak, yj);
                } else {
                    yj = std::fma(low[i], ak, yj);
                    yj = std::fma(high[i], dk, yj);
                }
            }
        }
        return y;
    }
};

struct EightTapCase {
    const char* filter;
    Isa isa;
};

class EightTapWrap : public ::testing::TestWithParam<EightTapCase> {};

TEST_P(EightTapWrap, MatchesTheDefiningFormulasBitForBit) {
    const EightTapCase p = GetParam();
    VANTORESK_SKIP_UNLESS_ENABLED(p.isa);
    const std::vector<float> h = std::string(p.filter) == "db4" ? get_wavelet(DaubechiesFamily::Db4)
                                                                : get_wavelet(SymletFamily::Sym4);
    const Reference8 ref(h);
    const NeonWavelet8TapsF32 kernel(BorderMode::Wrap, taps_of<8>(h), p.isa);

    std::vector<std::size_t> lengths;
    for (std::size_t n = 8; n <= 64; ++n) lengths.push_back(n);
    for (std::size_t n : {1000, 2047, 2048, 3001, 4096}) lengths.push_back(n);
    for (std::size_t n : lengths) {
        SCOPED_TRACE("n = " + std::to_string(n));
        const std::vector<float> x = uniform_signal(n, seed(n), true);
        std::vector<float> A, D;
        ref.forward(x, A, D);
        const DwtSize size = kernel.dwt_size(n);
        ASSERT_EQ(size.approx_length, A.size());
        std::vector<float> gotA(size.approx_length), gotD(size.details_length);
        ASSERT_TRUE(kernel.execute_forward(x, gotA, gotD).ok());
        ASSERT_TRUE(same_bits(gotA, A)) << "approximations";
        ASSERT_TRUE(same_bits(gotD, D)) << "details";

        // Inverse of the forward bands and of unrelated bands (so that no
        // cancellation hides an ordering difference).
        for (int variant = 0; variant < 2; ++variant) {
            const std::vector<float> bandA = variant == 0 ? A : uniform_signal(A.size(), 77u + seed(n));
            const std::vector<float> bandD = variant == 0 ? D : uniform_signal(D.size(), 99u + seed(n));
            const std::vector<float> want = ref.inverse(bandA, bandD);
            ASSERT_EQ(kernel.idwt_size(size), want.size());
            std::vector<float> y(want.size(), 0.0f);
            ASSERT_TRUE(kernel.execute_inverse(bandA, bandD, y).ok());
            ASSERT_TRUE(same_bits(y, want)) << (variant == 0 ? "reconstruction" : "synthesis of random bands");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, EightTapWrap,
                         ::testing::Values(EightTapCase{"db4", Isa::Portable},
                                           EightTapCase{"db4", Isa::Avx2Fma},
                                           EightTapCase{"sym4", Isa::Portable},
                                           EightTapCase{"sym4", Isa::Avx2Fma}),
                         [](const auto& param_info) {
                             return std::string(param_info.param.filter) +
                                    (param_info.param.isa == Isa::Portable ? "_Portable" : "_Avx2");
                         });

// ------------------------------------------------------------------
// Every fixed tap count: the two instruction-set variants agree bit for bit,
// and the fixed kernel agrees with the generic kernel within rounding.

// with_variant: also hold the AVX2/FMA variant to the portable one, bit for bit.
template <std::size_t L>
void check_fixed_kernel(BorderMode mode, DaubechiesFamily member, bool with_variant) {
    const std::vector<float> h = get_wavelet(member);
    ASSERT_EQ(h.size(), L);
    const WaveletTapsKernel<L> portable(mode, taps_of<L>(h), Isa::Portable);
    const WaveletTapsKernel<L> fast(mode, taps_of<L>(h), Isa::Avx2Fma);
    const auto generic = DwtFactory::wavelet_n_taps(mode, h);
    for (std::size_t n = L; n < L + 40; n += (n < L + 20 ? 1 : 7)) {
        SCOPED_TRACE("L = " + std::to_string(L) + " n = " + std::to_string(n) + " " + mode_name(mode));
        const std::vector<float> x = uniform_signal(n, seed(n * 31 + L), true);
        const DwtSize size = portable.dwt_size(n);
        std::vector<float> a1(size.approx_length), d1(size.approx_length), a2(a1), d2(d1), a3(a1), d3(d1);
        ASSERT_TRUE(portable.execute_forward(x, a1, d1).ok());
        ASSERT_TRUE(fast.execute_forward(x, a2, d2).ok());
        ASSERT_TRUE(generic->execute_forward(x, a3, d3).ok());
        if (with_variant) {
            ASSERT_TRUE(same_bits(a2, a1)) << "approximations, variants";
            ASSERT_TRUE(same_bits(d2, d1)) << "details, variants";
        }
        for (std::size_t k = 0; k < a1.size(); ++k) {
            ASSERT_NEAR(a1[k], a3[k], 0.1f) << k;  // the spiced input has magnitude 3.4e5
            ASSERT_NEAR(d1[k], d3[k], 0.1f) << k;
        }
        const std::vector<float> ra = uniform_signal(a1.size(), 5u + seed(n));
        const std::vector<float> rd = uniform_signal(a1.size(), 6u + seed(n));
        std::vector<float> y1(portable.idwt_size(size), 0.0f), y2(y1), y3(y1);
        ASSERT_TRUE(portable.execute_inverse(ra, rd, y1).ok());
        ASSERT_TRUE(fast.execute_inverse(ra, rd, y2).ok());
        ASSERT_TRUE(generic->execute_inverse(ra, rd, y3).ok());
        if (with_variant) {
            ASSERT_TRUE(same_bits(y2, y1)) << "synthesis, variants";
        }
        for (std::size_t j = 0; j < y1.size(); ++j) ASSERT_NEAR(y1[j], y3[j], 2e-5f * (1 + std::fabs(y3[j]))) << j;
    }
}

class FixedKernels : public ::testing::TestWithParam<BorderMode> {};

void check_fixed_kernels(BorderMode mode, bool with_variant) {
    check_fixed_kernel<4>(mode, DaubechiesFamily::Db2, with_variant);
    check_fixed_kernel<6>(mode, DaubechiesFamily::Db3, with_variant);
    check_fixed_kernel<8>(mode, DaubechiesFamily::Db4, with_variant);
    check_fixed_kernel<10>(mode, DaubechiesFamily::Db5, with_variant);
    check_fixed_kernel<12>(mode, DaubechiesFamily::Db6, with_variant);
    check_fixed_kernel<16>(mode, DaubechiesFamily::Db8, with_variant);
}

TEST_P(FixedKernels, MatchTheGenericKernel) { check_fixed_kernels(GetParam(), false); }

TEST_P(FixedKernels, Avx2VariantAgreesWithPortable) {
    VANTORESK_SKIP_UNLESS_ENABLED(Isa::Avx2Fma);
    check_fixed_kernels(GetParam(), true);
}

TEST_P(FixedKernels, TwoTapKernelMatchesTheGenericKernel) {
    const std::vector<float> h = get_wavelet(DaubechiesFamily::Db1);
    const NeonWavelet2TapsF32 two(GetParam(), {h[0], h[1]});
    const auto generic = DwtFactory::wavelet_n_taps(GetParam(), h);
    for (std::size_t n = 2; n < 30; ++n) {
        const std::vector<float> x = uniform_signal(n, seed(n));
        const std::size_t a = two.dwt_size(n).approx_length;
        ASSERT_EQ(a, (n + 1) / 2);
        std::vector<float> a1(a), d1(a), a2(a), d2(a);
        ASSERT_TRUE(two.execute_forward(x, a1, d1).ok());
        ASSERT_TRUE(generic->execute_forward(x, a2, d2).ok());
        for (std::size_t k = 0; k < a; ++k) {
            ASSERT_NEAR(a1[k], a2[k], 1e-6f * (1 + std::fabs(a2[k]))) << n << " " << k;
            ASSERT_NEAR(d1[k], d2[k], 1e-6f * (1 + std::fabs(d2[k]))) << n << " " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FixedKernels, ::testing::ValuesIn(kModes),
                         [](const auto& param_info) { return mode_name(param_info.param); });

// ------------------------------------------------------------------
// Perfect reconstruction through the factories, every member and mode.

class PerfectReconstruction : public ::testing::TestWithParam<Member> {};

TEST_P(PerfectReconstruction, EveryModeOddAndEvenLengthsSeveralLevels) {
    const Member mem = GetParam();
    for (BorderMode mode : kModes) {
        const DwtExecutorHandle ex = mem.symlet ? Tremora::make_symlet_f32(static_cast<SymletFamily>(mem.value), mode)
                                                : Tremora::make_daubechies_f32(
                                                      static_cast<DaubechiesFamily>(mem.value), mode);
        const std::size_t L = ex->filter_length();
        ASSERT_EQ(L, mem.symlet ? 2u * (mem.value + 2) : 2u * (mem.value + 1));
        for (std::size_t n : {L, L + 1, L + 6, L + 17, 2 * L + 3, std::size_t{300}, std::size_t{301}}) {
            SCOPED_TRACE(mode_name(mode) + " L = " + std::to_string(L) + " n = " + std::to_string(n));
            const std::vector<float> x = uniform_signal(n, seed(n + 1000 * L));
            // As many levels (up to 3) as keep every pass's input >= L.
            std::size_t levels = 1;
            for (std::size_t len = ex->dwt_size(n).approx_length; levels < 3 && len >= L;
                 len = ex->dwt_size(len).approx_length)
                ++levels;
            auto bands = ex->multi_dwt(x, levels);
            ASSERT_TRUE(bands.ok()) << bands.error().display();
            auto y = ex->multi_idwt(as_ref(*bands));
            ASSERT_TRUE(y.ok()) << y.error().display();
            ASSERT_EQ(y->size(), n + n % 2);
            for (std::size_t i = 0; i < n; ++i) ASSERT_NEAR((*y)[i], x[i], 1e-4f * (1 + std::fabs(x[i]))) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllMembers, PerfectReconstruction, ::testing::ValuesIn(all_members()), member_name);

// ------------------------------------------------------------------
// Error values of every kernel.

TEST(KernelErrors, EightTapForwardAndInverseValidation) {
    const NeonWavelet8TapsF32 k8(BorderMode::Wrap, taps_of<8>(get_wavelet(SymletFamily::Sym4)));
    std::vector<float> x(7, 1.0f), A(7), D(7);
    Status st = k8.execute_forward(x, A, D);
    ASSERT_FALSE(st.ok());
    expect_error(st.error(), K::InputTooShort, "Input size 7 can't be less than 8");

    x.assign(9, 1.0f);  // a = 8
    std::vector<float> A8(8, -1.0f), D9(9, -1.0f), A7(7);
    st = k8.execute_forward(x, A8, D9);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error(), TremoraError::unexpected_band_length(9));
    for (float v : A8) EXPECT_EQ(v, -1.0f);  // nothing written before the check
    st = k8.execute_forward(x, A7, D9);
    EXPECT_EQ(st.error(), TremoraError::unexpected_band_length(7));

    // Inverse: N must be 2a - 6; the message names the required length first.
    std::vector<float> y(11);
    st = k8.execute_inverse(A8, A8, y);
    ASSERT_FALSE(st.ok());
    expect_error(st.error(), K::OutputSizeMismatch, "Output size should be 10, but it was 11");
    st = k8.execute_inverse(A7, A8, y);
    expect_error(st.error(), K::BandLengthMismatch, "Approx and details must match, but they don't 7x8");
    // Bands too short for any reconstruction give an empty one, not a wrapped size.
    EXPECT_EQ(k8.idwt_size({2, 2}), 0u);
    EXPECT_EQ(k8.idwt_size({SIZE_MAX / 2 + 4, 0}), SIZE_MAX);
    EXPECT_EQ(k8.dwt_size(SIZE_MAX).approx_length, SIZE_MAX / 2 + 4);

    // Two taps need two samples.
    const NeonWavelet2TapsF32 k2(BorderMode::Wrap, {0.5f, 0.5f});
    std::vector<float> one(1), a1(1), d1(1);
    expect_error(k2.execute_forward(one, a1, d1).error(), K::InputTooShort, "Input size 1 can't be less than 2");
}

// The generic kernel's scratch g = L + 2 floor((n + L - 1) / 2) - 2 is exact
// wherever it fits in size_t, up to SIZE_MAX - 1, and saturates at SIZE_MAX
// only where it does not: the request then fails to allocate instead of a
// wrapped, too small arena being accepted.
struct ScratchEdge {
    const char* name;
    std::vector<float> filter;
    std::size_t n;         // the largest n whose g is SIZE_MAX - 1
    std::size_t overflow;  // a larger n whose exact g is 2^64 or more
};

class GenericKernelScratch : public ::testing::TestWithParam<ScratchEdge> {};

TEST_P(GenericKernelScratch, ExactUntilItNoLongerFits) {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    const ScratchEdge& e = GetParam();
    const auto k = DwtFactory::wavelet_n_taps(BorderMode::Wrap, e.filter);
    EXPECT_EQ(k->required_scratch_size(e.n), max - 1);
    EXPECT_EQ(k->required_scratch_size(e.overflow), max);
    EXPECT_EQ(k->required_scratch_size(max), max);
    // Far from the edge nothing changes.
    const std::size_t L = e.filter.size();
    EXPECT_EQ(k->required_scratch_size(1000), L + 2 * ((1000 + L - 1) / 2) - 2);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, GenericKernelScratch,
    ::testing::Values(
        ScratchEdge{"two_taps", {0.5f, 0.5f}, std::numeric_limits<std::size_t>::max() - 1,
                    std::numeric_limits<std::size_t>::max()},
        ScratchEdge{"four_taps", get_wavelet(DaubechiesFamily::Db2), std::numeric_limits<std::size_t>::max() - 6,
                    std::numeric_limits<std::size_t>::max() - 4},
        ScratchEdge{"db13", get_wavelet(DaubechiesFamily::Db13), std::numeric_limits<std::size_t>::max() - 49,
                    std::numeric_limits<std::size_t>::max() - 47},
        ScratchEdge{"sym13", get_wavelet(SymletFamily::Sym13), std::numeric_limits<std::size_t>::max() - 49,
                    std::numeric_limits<std::size_t>::max() - 47}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(KernelErrors, GenericKernelScratchAndFilterLength) {
    const auto k = DwtFactory::wavelet_n_taps(BorderMode::Symmetric, get_wavelet(DaubechiesFamily::Db7));
    const std::size_t n = 31;
    const std::size_t a = k->dwt_size(n).approx_length;
    ASSERT_EQ(k->required_scratch_size(n), 56u);  // 14 taps + 2a - 2
    const std::vector<float> x = uniform_signal(n, 11);
    std::vector<float> A1(a), D1(a), A2(a), D2(a);
    ASSERT_TRUE(k->execute_forward(x, A1, D1).ok());
    std::vector<float> scratch(k->required_scratch_size(n) + 5, 123.0f);  // longer is fine
    ASSERT_TRUE(k->execute_forward_with_scratch(x, A2, D2, scratch).ok());
    EXPECT_TRUE(same_bits(A2, A1));
    EXPECT_TRUE(same_bits(D2, D1));
    std::vector<float> small(k->required_scratch_size(n) - 1);
    const Status st = k->execute_forward_with_scratch(x, A2, D2, small);
    ASSERT_FALSE(st.ok());
    expect_error(st.error(), K::ScratchSizeMismatch, "Scratch size expected to be 56 but it was 55");

    // Zero-length and odd-length filters are refused by every operation.
    for (std::vector<float> bad : {std::vector<float>{}, std::vector<float>{1.0f}, std::vector<float>{1, 2, 3}}) {
        const auto kb = DwtFactory::wavelet_n_taps(BorderMode::Wrap, bad);
        std::vector<float> in(8, 1.0f), out(8);
        expect_error(kb->execute_forward(in, out, out).error(), K::ZeroOrOddWavelet, "Zero or odd sized wavelet");
        expect_error(kb->execute_inverse(out, out, in).error(), K::ZeroOrOddWavelet, "Zero or odd sized wavelet");
    }
}

}  // namespace
}  // namespace tremora
