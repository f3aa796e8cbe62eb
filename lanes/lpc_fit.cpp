// Covariance-method fit, order choice and coefficient quantisation for
// the near-lossless level coder's block predictors.
#include "lanes/lpc_fit.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>

#include "lanes/dot_avx2.hpp"
#include "support/cpu_dispatch.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

constexpr unsigned kCoefficientBits = 18;  // precision kept, sign excluded
constexpr double kBitsPerCoefficient = 22.0;

// Estimated bits of n residuals of total energy `energy` (Gaussian, with a
// floor for residuals that are mostly 0 in bin units).
double residual_bits(double energy, double n) {
    if (n <= 0) return 0.0;
    return 0.5 * n * std::log2(energy / n + 0.3);
}

using Factor = std::array<std::array<double, kMaxPredictorOrder>, kMaxPredictorOrder>;

// The order-m coefficients from the factorisation (L^T a = z), quantised.
std::optional<Predictor> quantised(const Factor& l, const std::array<double, kMaxPredictorOrder>& z, unsigned m,
                                   std::uint64_t max_abs) {
    std::array<double, kMaxPredictorOrder> a{};
    for (unsigned i = m; i-- > 0;) {
        double s = z[i];
        for (unsigned k = i + 1; k < m; ++k) s -= l[k][i] * a[k];
        a[i] = s / l[i][i];
    }
    double largest = 0, total = 0;
    for (unsigned i = 0; i < m; ++i) {
        if (!std::isfinite(a[i])) return std::nullopt;
        largest = std::max(largest, std::fabs(a[i]));
        total += std::fabs(a[i]);
    }
    int shift = static_cast<int>(kCoefficientBits) - static_cast<int>(std::ceil(std::log2(largest + 1.0)));
    shift = std::clamp(shift, 0, static_cast<int>(kMaxCoefficientShift));
    // The decoder's sum of |coef| * max_abs must stay well inside int64.
    const double limit = std::ldexp(1.0, 61);
    const double top = static_cast<double>(max_abs) + 1;
    while (shift > 0 && (total * std::ldexp(1.0, shift) + m) * top >= limit) --shift;
    if ((total + m) * top >= limit) return std::nullopt;
    Predictor p;
    p.order = m;
    p.shift = static_cast<unsigned>(shift);
    p.coefficients.resize(m);
    for (unsigned i = 0; i < m; ++i) p.coefficients[i] = static_cast<std::int64_t>(std::llround(std::ldexp(a[i], shift)));
    return p;
}

// The bit length of the zigzagged residual at t (t >= order).
inline unsigned residual_length(const std::int64_t* y, std::size_t t, const Predictor& p) noexcept {
    std::uint64_t acc = p.shift > 0 ? std::uint64_t{1} << (p.shift - 1) : 0;
    if (p.order > 0) acc += history_dot(y + t - 1, p.coefficients.data(), p.order);
    const std::int64_t r = y[t] - (static_cast<std::int64_t>(acc) >> p.shift);
    const std::uint64_t zz = (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
    return static_cast<unsigned>(std::bit_width(zz));
}

#if VANTORESK_SIMD_X86
// The same sum with AVX2 products, for levels and coefficients that all fit
// in 32 bits (where 32 x 32 -> 64-bit products are the exact ones, and
// wrapping sums do not depend on their order).
__attribute__((target("avx2"))) std::uint64_t residual_lengths_avx2(const std::int64_t* y, std::size_t from,
                                                                    std::size_t end, const Predictor& p,
                                                                    const ReversedTaps& taps) {
    const std::uint64_t round = p.shift > 0 ? std::uint64_t{1} << (p.shift - 1) : 0;
    std::uint64_t bits = 0;
    std::size_t t = from;
    for (; t < end && t < taps.span; t += 4) bits += residual_length(y, t, p);
    for (; t + 12 < end; t += 16) {
        std::uint64_t sums[4];
        dot4_avx2(y + t - taps.span, 4, taps, sums);
        for (unsigned i = 0; i < 4; ++i) {
            const std::int64_t r = y[t + 4 * i] - (static_cast<std::int64_t>(round + sums[i]) >> p.shift);
            const std::uint64_t zz = (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
            bits += static_cast<std::uint64_t>(std::bit_width(zz));
        }
    }
    for (; t < end; t += 4) {
        const std::uint64_t acc = round + dot_avx2(y + t - taps.span, taps);
        const std::int64_t r = y[t] - (static_cast<std::int64_t>(acc) >> p.shift);
        const std::uint64_t zz = (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
        bits += static_cast<std::uint64_t>(std::bit_width(zz));
    }
    return bits;
}
#endif

// A quick estimate of the coded size of a predictor's residuals over
// [begin, end): the bit length of each zigzagged residual, on every fourth
// sample, times 4, plus kBitsPerCoefficient per coefficient (an integer).
// Counting stops once the estimate exceeds `give_up_above`: the value
// returned is then above it, though not the whole estimate. `narrow`: every
// level fits in 32 bits and the AVX2 products may be used (the sums are the
// same either way).
constexpr std::uint64_t kCoefficientCost = static_cast<std::uint64_t>(kBitsPerCoefficient);

std::uint64_t estimated_cost(std::span<const std::int64_t> y, std::size_t begin, std::size_t end, const Predictor& p,
                             std::uint64_t give_up_above, bool narrow) {
    const std::uint64_t fixed = kCoefficientCost * p.order;
    if (fixed > give_up_above) return fixed;
#if VANTORESK_SIMD_X86
    bool fits = narrow && p.order >= 8;
    for (const std::int64_t c : p.coefficients) fits = fits && c >= INT32_MIN && c <= INT32_MAX;
    const ReversedTaps taps = fits ? reversed_taps(p.coefficients.data(), p.order) : ReversedTaps{};
#else
    (void)narrow;
    constexpr bool fits = false;
#endif
    // Bit lengths are at most 64: a stretch of 64 sampled residuals adds at
    // most 4 * 64 * 64, so the bound is looked at once per stretch.
    const std::uint64_t room = (give_up_above - fixed) / 4;
    std::uint64_t bits = 0;
    std::size_t t = std::max<std::size_t>(begin, p.order);
    while (t < end) {
        const std::size_t stop = end - t > 4 * 64 ? t + 4 * 64 : end;
#if VANTORESK_SIMD_X86
        if (fits) {
            bits += residual_lengths_avx2(y.data(), t, stop, p, taps);
            t += (stop - t + 3) / 4 * 4;
        } else
#endif
        {
            for (; t < stop; t += 4) bits += residual_length(y.data(), t, p);
        }
        if (bits > room) break;
    }
    return 4 * bits + fixed;
}

// row[j] += y[t] y[t-j] for t in [first, end), j in 0..p, summed over t in
// order for each j (the products' order decides the bits of the fit).
template <class Level>
void gram_row(std::array<double, kMaxPredictorOrder + 1>& row, unsigned p, std::size_t first, std::size_t end,
              Level level) {
    for (std::size_t t = first; t < end; ++t) {
        const double v = level(t);
        for (unsigned j = 0; j <= p; ++j) row[j] += v * level(t - j);
    }
}

// The same sums from levels in one array (d[i] is level(from + i)), for
// the lags from `j` on: eight lags at a time, their sums held in registers
// over the whole block rather than loaded and stored for every sample. Each
// sum still adds its products in the order of t, so the bits are those of
// gram_row.
void gram_row_flat(double* row, unsigned p, const double* d, std::size_t first, std::size_t end, unsigned j = 0) {
    for (; j + 8 <= p + 1; j += 8) {
        double s0 = row[j], s1 = row[j + 1], s2 = row[j + 2], s3 = row[j + 3];
        double s4 = row[j + 4], s5 = row[j + 5], s6 = row[j + 6], s7 = row[j + 7];
        for (std::size_t t = first; t < end; ++t) {
            const double v = d[t];
            const double* h = d + (t - j);
            s0 += v * h[0];
            s1 += v * h[-1];
            s2 += v * h[-2];
            s3 += v * h[-3];
            s4 += v * h[-4];
            s5 += v * h[-5];
            s6 += v * h[-6];
            s7 += v * h[-7];
        }
        row[j] = s0, row[j + 1] = s1, row[j + 2] = s2, row[j + 3] = s3;
        row[j + 4] = s4, row[j + 5] = s5, row[j + 6] = s6, row[j + 7] = s7;
    }
    for (; j <= p; ++j) {
        double s = row[j];
        for (std::size_t t = first; t < end; ++t) s += d[t] * d[t - j];
        row[j] = s;
    }
}

#if VANTORESK_SIMD_X86
// Sixteen lags at a time in four AVX2 registers. A register holds four
// neighbouring lags, loaded oldest sample first: lane m of the one for lags
// j..j+3 multiplies d[t - j - 3 + m], the lag j + 3 - m, so no shuffles are
// needed, only the sums' order reversed on the way in and out. Products and
// sums are separate roundings in the order of t (no fused multiply-add), as
// in gram_row_flat: the same bits. The lags left over go the plain way.
__attribute__((target("avx2"))) void gram_row_avx2(double* row, unsigned p, const double* d, std::size_t first,
                                                   std::size_t end) {
    unsigned j = 0;
    for (; j + 16 <= p + 1; j += 16) {
        __m256d a[4];
        for (unsigned g = 0; g < 4; ++g) {
            const double* r = row + j + 4 * g;
            a[g] = _mm256_setr_pd(r[3], r[2], r[1], r[0]);
        }
        for (std::size_t t = first; t < end; ++t) {
            const __m256d v = _mm256_set1_pd(d[t]);
            const double* h = d + (t - j);
            a[0] = _mm256_add_pd(a[0], _mm256_mul_pd(v, _mm256_loadu_pd(h - 3)));
            a[1] = _mm256_add_pd(a[1], _mm256_mul_pd(v, _mm256_loadu_pd(h - 7)));
            a[2] = _mm256_add_pd(a[2], _mm256_mul_pd(v, _mm256_loadu_pd(h - 11)));
            a[3] = _mm256_add_pd(a[3], _mm256_mul_pd(v, _mm256_loadu_pd(h - 15)));
        }
        for (unsigned g = 0; g < 4; ++g) {
            alignas(32) double out[4];
            _mm256_store_pd(out, a[g]);
            double* r = row + j + 4 * g;
            r[0] = out[3], r[1] = out[2], r[2] = out[1], r[3] = out[0];
        }
    }
    gram_row_flat(row, p, d, first, end, j);
}
#endif

}  // namespace

void lag_products(double* row, unsigned p, const double* d, std::size_t first, std::size_t end, bool vector) {
#if VANTORESK_SIMD_X86
    if (vector) return gram_row_avx2(row, p, d, first, end);
#else
    (void)vector;
#endif
    gram_row_flat(row, p, d, first, end);
}

Predictor fit_predictor(std::span<const std::int64_t> y, std::size_t begin, std::size_t end, unsigned max_order,
                        std::uint64_t max_abs) {
    Predictor best;
    max_order = std::min(max_order, kMaxPredictorOrder);
    // Samples with a full history of max_order levels; the first samples of
    // a lane are predicted from the previous level and not fitted.
    const std::size_t first = std::max<std::size_t>(begin, max_order);
    if (end <= first + 2 * static_cast<std::size_t>(max_order) || max_order == 0) {
        if (begin < end && end - begin >= 2) {
            best.order = 1;
            best.coefficients = {1};
        }
        return best;
    }
    const unsigned p = max_order;
    // g[i][j] = sum_t y[t-i] y[t-j] over t in [first, end), i, j in 0..p.
    std::array<std::array<double, kMaxPredictorOrder + 1>, kMaxPredictorOrder + 1> g{};
    {
        std::array<double, kMaxPredictorOrder + 1> row{};
        // The levels as doubles once (from the thread's pool), not once per
        // product; where no buffer is to be had, converted as they are used.
        const std::size_t from = first - p;
        const auto yd = support::Scratch<double>::take(end - from);
        if (yd) {
            double* const d = yd.get();
            for (std::size_t t = from; t < end; ++t) d[t - from] = static_cast<double>(y[t]);
            lag_products(row.data(), p, d, first - from, end - from, simd::enabled(simd::Isa::Avx2Fma));
        } else {
            gram_row(row, p, first, end, [y](std::size_t t) { return static_cast<double>(y[t]); });
        }
        for (unsigned j = 0; j <= p; ++j) g[0][j] = g[j][0] = row[j];
        // g[i+1][j+1] = g[i][j] + y[first-1-i] y[first-1-j] - y[end-1-i] y[end-1-j]
        for (unsigned i = 0; i < p; ++i) {
            for (unsigned j = i; j < p; ++j) {
                const double add = static_cast<double>(y[first - 1 - i]) * static_cast<double>(y[first - 1 - j]);
                const double sub = static_cast<double>(y[end - 1 - i]) * static_cast<double>(y[end - 1 - j]);
                g[i + 1][j + 1] = g[j + 1][i + 1] = g[i][j] + add - sub;
            }
        }
    }
    const double n = static_cast<double>(end - first);
    const double e0 = g[0][0];

    // Cholesky of the regressors' block (indices 1..p), stopping at the
    // first order that is not positive definite.
    Factor l{};
    std::array<double, kMaxPredictorOrder> z{};
    double ridge = 0;
    for (unsigned i = 1; i <= p; ++i) ridge = std::max(ridge, g[i][i]);
    ridge = ridge * 1e-10 + 1e-9;
    unsigned usable = 0;
    double energy = e0;
    double best_bits = residual_bits(e0, n);
    unsigned best_order = 0;
    for (unsigned i = 0; i < p; ++i) {
        double d = g[i + 1][i + 1] + ridge;
        for (unsigned k = 0; k < i; ++k) d -= l[i][k] * l[i][k];
        if (!(d > ridge * 0.5)) break;
        l[i][i] = std::sqrt(d);
        for (unsigned r = i + 1; r < p; ++r) {
            double s = g[r + 1][i + 1];
            for (unsigned k = 0; k < i; ++k) s -= l[r][k] * l[i][k];
            l[r][i] = s / l[i][i];
        }
        double s = g[i + 1][0];
        for (unsigned k = 0; k < i; ++k) s -= l[i][k] * z[k];
        z[i] = s / l[i][i];
        energy -= z[i] * z[i];
        usable = i + 1;
        const double bits = residual_bits(std::max(energy, 0.0), n) + kBitsPerCoefficient * usable;
        if (bits < best_bits) {
            best_bits = bits;
            best_order = usable;
        }
    }
    // Candidates: the order the energies favour and a few shorter ones from
    // the same factorisation, plus the fixed first and second differences.
    // Energy is a poor guide for peaky signals (a flat baseline between
    // beats codes to almost nothing after a plain difference), so the final
    // choice estimates the coded size of each candidate's residuals.
    std::vector<Predictor> candidates;
    candidates.push_back(Predictor{});
    candidates.push_back(Predictor{1, 0, {1}});
    candidates.push_back(Predictor{2, 0, {2, -1}});
    const unsigned orders[] = {best_order, 2, 4, 8, 16};
    for (const unsigned m : orders) {
        if (m == 0 || m > usable) continue;
        bool seen = false;
        for (const Predictor& c : candidates) seen = seen || (c.order == m && c.shift != 0);
        if (seen) continue;
        if (auto q = quantised(l, z, m, max_abs)) candidates.push_back(std::move(*q));
    }
    // The first of the cheapest estimates wins. The cheap candidates are
    // estimated first, the longest predictors last, each given up once it
    // cannot win any more (a later candidate must cost less than the best so
    // far, an earlier one no more), so most of a losing long predictor's
    // residuals are never worked out.
    const bool narrow = max_abs <= static_cast<std::uint64_t>(INT32_MAX) && simd::enabled(simd::Isa::Avx2Fma);
    std::array<std::size_t, 8> turn{};
    const std::size_t count = candidates.size();
    for (std::size_t i = 0; i < count; ++i) turn[i] = i;
    std::stable_sort(turn.begin(), turn.begin() + static_cast<std::ptrdiff_t>(count),
                     [&](std::size_t a, std::size_t b) { return candidates[a].order < candidates[b].order; });
    std::size_t chosen = turn[0];
    std::uint64_t best_cost = estimated_cost(y, begin, end, candidates[chosen], UINT64_MAX, narrow);
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t c = turn[i];
        const std::uint64_t give_up = c < chosen ? best_cost : best_cost - 1;
        if (c > chosen && best_cost == 0) continue;
        const std::uint64_t cost = estimated_cost(y, begin, end, candidates[c], give_up, narrow);
        if (cost < best_cost || (cost == best_cost && c < chosen)) {
            best_cost = cost;
            chosen = c;
        }
    }
    best = std::move(candidates[chosen]);
    return best;
}

}  // namespace vantoresk::lanes
