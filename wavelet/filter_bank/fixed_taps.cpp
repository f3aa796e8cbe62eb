// Fixed-tap convolution kernels; the contract and the arithmetic are
// described in fixed_taps.hpp. This file holds the portable loops (which
// define every result bit), the AVX2/FMA interior loops (each lane runs
// exactly the portable chain, so results are bit-identical) and their
// dispatched entries.
#include "wavelet/filter_bank/fixed_taps.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "wavelet/filter_bank/border_mode.hpp"
#include "wavelet/filter_bank/mirror.hpp"

#if VANTORESK_SIMD_X86
#include <immintrin.h>
#endif

namespace tremora {

namespace {

// ------------------------------------------------------------ one output

template <std::size_t L>
struct Window {
    static constexpr std::size_t kGroups = (L + 3) / 4;

    // t_l = f[l] w[l], then fma(f[4g+l], w[4g+l], t_l) for the later groups.
    static void lane_sums(const float* f, const float* w, float t[4]) noexcept {
        for (std::size_t l = 0; l < 4; ++l) t[l] = f[l] * w[l];
        for (std::size_t g = 1; g < kGroups; ++g) {
            for (std::size_t l = 0; l < 4; ++l) {
                if (4 * g + l < L) t[l] = std::fma(f[4 * g + l], w[4 * g + l], t[l]);
            }
        }
    }
    // Shape of the paired interior outputs.
    static float paired(const float* f, const float* w) noexcept {
        float t[4];
        lane_sums(f, w, t);
        return (t[0] + t[1]) + (t[2] + t[3]);
    }
    // Shape of the border outputs and of a lone last interior output.
    static float single(const float* f, const float* w) noexcept {
        float t[4];
        lane_sums(f, w, t);
        return (t[0] + t[2]) + (t[1] + t[3]);
    }
};

// ------------------------------------------------------- portable loops

template <std::size_t L>
void forward_pairs_portable(const float* x, const float* low, const float* high, float* approx, float* details,
                            std::size_t k_begin, std::size_t count) {
    for (std::size_t k = k_begin; k < k_begin + count; ++k) {
        const float* w = x + 2 * k - (L - 2);
        approx[k] = Window<L>::paired(low, w);
        details[k] = Window<L>::paired(high, w);
    }
}

// y[j] = y[j] + contributions of k = m .. m + L/2 - 1 (j = 2m + r), tap
// i = L - 2 + r - 2p for the p-th of them; `detail_first(k)` picks the order
// inside each pair.
template <std::size_t L, class Order>
inline float synthesize(const float* approx, const float* details, const float* low, const float* high, float acc,
                        std::size_t j, Order detail_first) noexcept {
    const std::size_t m = j / 2;
    const std::size_t r = j % 2;
    for (std::size_t p = 0; p < L / 2; ++p) {
        const std::size_t k = m + p;
        const std::size_t i = L - 2 + r - 2 * p;
        if (detail_first(k)) {
            acc = std::fma(high[i], details[k], acc);
            acc = std::fma(low[i], approx[k], acc);
        } else {
            acc = std::fma(low[i], approx[k], acc);
            acc = std::fma(high[i], details[k], acc);
        }
    }
    return acc;
}

template <std::size_t L>
void inverse_interior_portable(const float* approx, const float* details, const float* low, const float* high,
                               float* y, std::size_t j_begin, std::size_t j_end) {
    for (std::size_t j = j_begin; j < j_end; ++j) {
        y[j] = synthesize<L>(approx, details, low, high, y[j], j, [](std::size_t) { return false; });
    }
}

// ------------------------------------------------------------ AVX2 + FMA

#if VANTORESK_SIMD_X86

// p[0..15] -> evens (p0 p2 .. p14) and odds (p1 p3 .. p15).
__attribute__((target("avx2,fma"))) inline void deinterleave(const float* p, __m256& evens, __m256& odds) {
    const __m256 v0 = _mm256_loadu_ps(p);
    const __m256 v1 = _mm256_loadu_ps(p + 8);
    const __m256 e = _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0));  // p0 p2 p8 p10 | p4 p6 p12 p14
    const __m256 o = _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1));
    evens = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), _MM_SHUFFLE(3, 1, 2, 0)));
    odds = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), _MM_SHUFFLE(3, 1, 2, 0)));
}

template <std::size_t L>
__attribute__((target("avx2,fma"))) inline __m256 paired_avx2(const __m256* f, const __m256* xs) {
    constexpr std::size_t groups = (L + 3) / 4;
    __m256 t[4];
    for (std::size_t l = 0; l < 4; ++l) t[l] = _mm256_mul_ps(f[l], xs[l]);
    for (std::size_t g = 1; g < groups; ++g) {
        for (std::size_t l = 0; l < 4; ++l) {
            if (4 * g + l < L) t[l] = _mm256_fmadd_ps(f[4 * g + l], xs[4 * g + l], t[l]);
        }
    }
    return _mm256_add_ps(_mm256_add_ps(t[0], t[1]), _mm256_add_ps(t[2], t[3]));
}

// Eight outputs per step: lane q is output k + q, whose tap-i sample is
// x[2(k + q) - (L - 2) + i], a stride-2 walk; taps 2s and 2s + 1 come from
// one deinterleaved pair of loads. The last loaded float is the last sample
// of output k + 7's window, so nothing past the interior is read.
template <std::size_t L>
__attribute__((target("avx2,fma"))) void forward_pairs_avx2(const float* x, const float* low, const float* high,
                                                             float* approx, float* details, std::size_t k_begin,
                                                             std::size_t count) {
    __m256 lo[L];
    __m256 hi[L];
    for (std::size_t i = 0; i < L; ++i) {
        lo[i] = _mm256_set1_ps(low[i]);
        hi[i] = _mm256_set1_ps(high[i]);
    }
    const std::size_t end = k_begin + count;
    std::size_t k = k_begin;
    for (; k + 8 <= end; k += 8) {
        const float* base = x + 2 * k - (L - 2);
        __m256 xs[L];
        for (std::size_t s = 0; s < L / 2; ++s) deinterleave(base + 2 * s, xs[2 * s], xs[2 * s + 1]);
        _mm256_storeu_ps(approx + k, paired_avx2<L>(lo, xs));
        _mm256_storeu_ps(details + k, paired_avx2<L>(hi, xs));
    }
    forward_pairs_portable<L>(x, low, high, approx, details, k, end - k);
}

// Eight outputs y[j .. j+7] per step (j even, m0 = j/2): for the p-th
// contributing coefficient, lanes 2q and 2q+1 both take A[m0 + q + p] and
// D[m0 + q + p], with taps L-2-2p (even lane) and L-1-2p (odd lane).
template <std::size_t L>
__attribute__((target("avx2,fma"))) void inverse_interior_avx2(const float* approx, const float* details,
                                                                const float* low, const float* high, float* y,
                                                                std::size_t j_begin, std::size_t j_end) {
    constexpr std::size_t pairs = L / 2;
    __m256 cl[pairs];
    __m256 ch[pairs];
    for (std::size_t p = 0; p < pairs; ++p) {
        const float le = low[L - 2 - 2 * p], lodd = low[L - 1 - 2 * p];
        const float he = high[L - 2 - 2 * p], hodd = high[L - 1 - 2 * p];
        cl[p] = _mm256_setr_ps(le, lodd, le, lodd, le, lodd, le, lodd);
        ch[p] = _mm256_setr_ps(he, hodd, he, hodd, he, hodd, he, hodd);
    }
    const __m256i dup = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    std::size_t j = j_begin;  // even (see TapsRoutines)
    for (; j + 8 <= j_end; j += 8) {
        const std::size_t m0 = j / 2;
        __m256 acc = _mm256_loadu_ps(y + j);
        for (std::size_t p = 0; p < pairs; ++p) {
            const __m256 av = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(approx + m0 + p)), dup);
            const __m256 dv = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(details + m0 + p)), dup);
            acc = _mm256_fmadd_ps(cl[p], av, acc);
            acc = _mm256_fmadd_ps(ch[p], dv, acc);
        }
        _mm256_storeu_ps(y + j, acc);
    }
    inverse_interior_portable<L>(approx, details, low, high, y, j, j_end);
}

#endif  // VANTORESK_SIMD_X86

template <std::size_t L>
TapsRoutines::ForwardPairs choose_forward_pairs() noexcept {
    return taps_routines<L>(vantoresk::simd::best_of({vantoresk::simd::Isa::Avx2Fma}))->forward_pairs;
}

template <std::size_t L>
TapsRoutines::InverseInterior choose_inverse_interior() noexcept {
    return taps_routines<L>(vantoresk::simd::best_of({vantoresk::simd::Isa::Avx2Fma}))->inverse_interior;
}

// What a kernel calls unless pinned: each entry resolves on its first call.
template <std::size_t L>
constexpr TapsRoutines kDispatched{
    &vantoresk::simd::Dispatched<TapsRoutines::ForwardPairs, &choose_forward_pairs<L>>::call,
    &vantoresk::simd::Dispatched<TapsRoutines::InverseInterior, &choose_inverse_interior<L>>::call,
};

}  // namespace

template <std::size_t L>
const TapsRoutines* taps_routines(vantoresk::simd::Isa isa) noexcept {
    static constexpr TapsRoutines portable{&forward_pairs_portable<L>, &inverse_interior_portable<L>};
#if VANTORESK_SIMD_X86
    static constexpr TapsRoutines avx2{&forward_pairs_avx2<L>, &inverse_interior_avx2<L>};
    if (isa == vantoresk::simd::Isa::Avx2Fma) return &avx2;
#endif
    return isa == vantoresk::simd::Isa::Portable ? &portable : nullptr;
}

// ----------------------------------------------------------------- kernel

template <std::size_t L>
WaveletTapsKernel<L>::WaveletTapsKernel(BorderMode mode, const std::array<float, L>& low_pass)
    : ConvolutionKernel(mode, L), routines_(&kDispatched<L>) {
    std::copy(low_pass.begin(), low_pass.end(), low_.begin());
    mirror_filter(low_pass, std::span<float>(high_).first(L));
}

template <std::size_t L>
WaveletTapsKernel<L>::WaveletTapsKernel(BorderMode mode, const std::array<float, L>& low_pass,
                                        vantoresk::simd::Isa isa)
    : WaveletTapsKernel(mode, low_pass) {
    const bool runs = vantoresk::simd::hardware_has(isa) && taps_routines<L>(isa) != nullptr;
    routines_ = taps_routines<L>(runs ? isa : vantoresk::simd::Isa::Portable);
}

template <std::size_t L>
Status WaveletTapsKernel<L>::execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximations,
                                                          std::span<float> details, std::span<float>) const {
    const std::size_t n = input.size();
    if (n < L) return fail(TremoraError::input_too_short(n, L));
    const std::size_t a = conv_band_length(n, L);
    if (approximations.size() != a) return fail(TremoraError::unexpected_band_length(approximations.size()));
    if (details.size() != a) return fail(TremoraError::unexpected_band_length(details.size()));

    const float* x = input.data();
    float* approx = approximations.data();
    float* det = details.data();
    const float* low = low_.data();
    const float* high = high_.data();
    const BorderInterpolation ext = BorderInterpolation::make(mode(), 0, static_cast<std::int64_t>(n));
    const auto sn = static_cast<std::int64_t>(n);

    // A border window: positions outside 0..n-1 through the extension.
    auto border_output = [&](std::size_t k) {
        float w[L];
        const std::int64_t s = 2 * static_cast<std::int64_t>(k) - static_cast<std::int64_t>(L - 2);
        for (std::size_t i = 0; i < L; ++i) {
            const std::int64_t pos = s + static_cast<std::int64_t>(i);
            w[i] = (pos >= 0 && pos < sn) ? x[pos] : ext.sample(x, pos);
        }
        approx[k] = Window<L>::single(low, w);
        det[k] = Window<L>::single(high, w);
    };

    constexpr std::size_t left = (L - 2) / 2;  // outputs whose window starts before 0
    const std::size_t interior = n - a;        // >= 1 because n >= L
    for (std::size_t k = 0; k < left; ++k) border_output(k);
    const std::size_t paired = interior - interior % 2;
    routines_->forward_pairs(x, low, high, approx, det, left, paired);
    if (interior % 2 == 1) {
        const std::size_t k = left + interior - 1;
        const float* w = x + 2 * k - (L - 2);
        approx[k] = Window<L>::single(low, w);
        det[k] = Window<L>::single(high, w);
    }
    for (std::size_t k = left + interior; k < a; ++k) border_output(k);
    return {};
}

template <std::size_t L>
Status WaveletTapsKernel<L>::execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                             std::span<float> output) const {
    if (approximations.size() != details.size()) {
        return fail(TremoraError::band_length_mismatch(approximations.size(), details.size()));
    }
    const std::size_t a = approximations.size();
    const std::size_t required = conv_output_length(a, L);
    if (output.size() != required) return fail(TremoraError::output_size_mismatch(output.size(), required));
    const std::size_t N = required;
    if (N == 0) return {};

    const float* A = approximations.data();
    const float* D = details.data();
    float* y = output.data();
    const float* low = low_.data();
    const float* high = high_.data();
    // Every y[j] receives exactly L/2 coefficient pairs, k = j/2 .. j/2 + L/2 - 1,
    // all inside 0..a-1 because j <= N - 1 = 2a - L + 1.
    const bool short_output = N < 2 * L;
    auto detail_first = [&](std::size_t k) { return short_output || k < L - 2 || k + L / 2 >= a; };

    // Interior: every contributing k in [L - 2, a - L/2 - 1], i.e. j/2 in [L - 2, a - L].
    std::size_t j_begin = N, j_end = N;
    // Not short means N = 2a - L + 2 >= 2L, so a >= L and a - L cannot wrap.
    if (!short_output && a - L >= L - 2) {
        j_begin = 2 * (L - 2);
        j_end = 2 * (a - L) + 2;
    }
    for (std::size_t j = 0; j < j_begin; ++j) y[j] = synthesize<L>(A, D, low, high, y[j], j, detail_first);
    if (j_begin < j_end) routines_->inverse_interior(A, D, low, high, y, j_begin, j_end);
    for (std::size_t j = j_end; j < N; ++j) y[j] = synthesize<L>(A, D, low, high, y[j], j, detail_first);
    return {};
}

#define TREMORA_FIXED_TAPS(L)                                                            \
    template const TapsRoutines* taps_routines<L>(vantoresk::simd::Isa isa) noexcept; \
    template class WaveletTapsKernel<L>;
TREMORA_FIXED_TAPS(4)
TREMORA_FIXED_TAPS(6)
TREMORA_FIXED_TAPS(8)
TREMORA_FIXED_TAPS(10)
TREMORA_FIXED_TAPS(12)
TREMORA_FIXED_TAPS(16)
#undef TREMORA_FIXED_TAPS

}  // namespace tremora
