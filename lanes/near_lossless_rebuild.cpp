// The near-lossless decoder's closed loop, plain and with AVX2 products
// (both give the same bits; see the header).
#include "lanes/near_lossless_rebuild.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "lanes/dot_avx2.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes/near_lossless_parts.hpp"
#include "support/cpu_dispatch.hpp"

namespace vantoresk::lanes::near_lossless {
namespace {

constexpr unsigned kVectorFrom = 8;  // shorter predictors gain nothing from vectors

inline bool fits32(std::int64_t v) noexcept { return v >= INT32_MIN && v <= INT32_MAX; }

inline bool accept(std::int64_t* y, std::size_t t, std::int64_t v, std::int64_t ytop, std::uint64_t& h) noexcept {
    if (v < -ytop || v > ytop) return false;
    y[t] = v;
    h = (h ^ static_cast<std::uint64_t>(v)) * kHashStep;
    return true;
}

inline std::int64_t finish(std::uint64_t acc, unsigned shift, std::int64_t ymax) noexcept {
    return std::clamp(static_cast<std::int64_t>(acc) >> shift, -ymax, ymax);
}

bool rebuild_plain(std::int64_t* y, std::size_t t, std::size_t e, const BlockPredictor& p, std::int64_t ymax,
                   std::int64_t ytop, std::uint64_t& h) {
    if (p.order == 0) {
        for (; t < e; ++t) {
            if (!accept(y, t, y[t], ytop, h)) return false;
        }
        return true;
    }
    const std::uint64_t round = p.shift > 0 ? std::uint64_t{1} << (p.shift - 1) : 0;
    for (; t < e; ++t) {
        const std::uint64_t acc = round + history_dot(y + t - 1, p.coef, p.order);
        if (!accept(y, t, y[t] + finish(acc, p.shift, ymax), ytop, h)) return false;
    }
    return true;
}

#if VANTORESK_SIMD_X86
// From t on (t >= order >= kVectorFrom, every coefficient from the third on
// within 32 bits).
__attribute__((target("avx2"))) bool rebuild_avx2(std::int64_t* y, std::size_t t, std::size_t e,
                                                  const BlockPredictor& p, std::int64_t ymax, std::int64_t ytop,
                                                  std::uint64_t& h) {
    const unsigned m = p.order;
    // The terms j = 2..m-1 in whole vectors: taps.taps[i] multiplies
    // y[t - 2 - span + i].
    const ReversedTaps taps = reversed_taps(p.coef + 2, m - 2);
    const unsigned span = taps.span;
    const auto c0 = static_cast<std::uint64_t>(p.coef[0]), c1 = static_cast<std::uint64_t>(p.coef[1]);
    const std::uint64_t round = p.shift > 0 ? std::uint64_t{1} << (p.shift - 1) : 0;
    // The newest index before t whose level is beyond 32 bits (-1: none in
    // reach): the vectors may read only younger ones.
    std::ptrdiff_t big = -1;
    const std::size_t look = t > span + 2 ? t - span - 2 : 0;
    for (std::size_t s = look; s < t; ++s) {
        if (!fits32(y[s])) big = static_cast<std::ptrdiff_t>(s);
    }
    // The two newest levels stay in registers: reading them back from y
    // would put a store-to-load round trip on the loop's critical path.
    auto y1 = static_cast<std::uint64_t>(y[t - 1]), y2 = static_cast<std::uint64_t>(y[t - 2]);
    for (; t < e; ++t) {
        std::uint64_t acc = round + c0 * y1 + c1 * y2;
        const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(t) - 2 - static_cast<std::ptrdiff_t>(span);
        if (from > big) {
            acc += dot_avx2(y + from, taps);
        } else {
            acc += history_dot(y + t - 3, p.coef + 2, m - 2);
        }
        const std::int64_t v = y[t] + finish(acc, p.shift, ymax);
        if (!accept(y, t, v, ytop, h)) return false;
        if (!fits32(v)) big = static_cast<std::ptrdiff_t>(t);
        y2 = y1;
        y1 = static_cast<std::uint64_t>(v);
    }
    return true;
}

// All of y known: every term in vectors, t >= span.
__attribute__((target("avx2"))) void residuals_avx2(const std::int64_t* y, std::size_t t, std::size_t e,
                                                    const BlockPredictor& p, std::int64_t ymax, std::int64_t* residual) {
    const ReversedTaps taps = reversed_taps(p.coef, p.order);
    const std::uint64_t round = p.shift > 0 ? std::uint64_t{1} << (p.shift - 1) : 0;
    for (; t + 4 <= e; t += 4) {
        std::uint64_t sums[4];
        dot4_avx2(y + t - taps.span, 1, taps, sums);
        for (unsigned i = 0; i < 4; ++i) residual[t + i] = y[t + i] - finish(round + sums[i], p.shift, ymax);
    }
    for (; t < e; ++t) {
        const std::uint64_t acc = round + dot_avx2(y + t - taps.span, taps);
        residual[t] = y[t] - finish(acc, p.shift, ymax);
    }
}
#endif

}  // namespace

void block_residuals(const std::int64_t* y, std::size_t b, std::size_t e, const BlockPredictor& p, std::int64_t ymax,
                     std::int64_t* residual, bool narrow) {
    std::size_t t = b;
#if VANTORESK_SIMD_X86
    if (narrow && p.order >= kVectorFrom && rebuild_vector_available()) {
        bool fits = true;
        for (unsigned j = 0; j < p.order; ++j) fits = fits && fits32(p.coef[j]);
        if (fits) {
            const std::size_t span = (p.order + 3) & ~3u;
            for (; t < e && t < span; ++t) residual[t] = y[t] - predict(y, t, p.order, p.shift, p.coef, ymax);
            residuals_avx2(y, t, e, p, ymax, residual);
            return;
        }
    }
#else
    (void)narrow;
#endif
    for (; t < e; ++t) residual[t] = y[t] - predict(y, t, p.order, p.shift, p.coef, ymax);
}

bool rebuild_vector_available() noexcept {
#if VANTORESK_SIMD_X86
    return simd::enabled(simd::Isa::Avx2Fma);
#else
    return false;
#endif
}

bool rebuild_block(std::int64_t* y, std::size_t b, std::size_t e, const BlockPredictor& p, std::int64_t ymax,
                   std::int64_t ytop, std::uint64_t& hash, bool vector) {
    // The first indices of a lane: 0 for the first, then the previous index.
    std::size_t t = b;
    for (; t < e && (t < p.order || t == 0); ++t) {
        if (!accept(y, t, y[t] + predict(y, t, p.order, p.shift, p.coef, ymax), ytop, hash)) return false;
    }
#if VANTORESK_SIMD_X86
    if (vector && p.order >= kVectorFrom && t < e) {
        bool narrow = true;
        for (unsigned j = 2; j < p.order; ++j) narrow = narrow && fits32(p.coef[j]);
        if (narrow) return rebuild_avx2(y, t, e, p, ymax, ytop, hash);
    }
#else
    (void)vector;
#endif
    return rebuild_plain(y, t, e, p, ymax, ytop, hash);
}

}  // namespace vantoresk::lanes::near_lossless
