// Block predictor variants for the lattice candidates bench (bench only):
// the block predictors' residuals as the near-lossless body codes them
// today, and the variants measured against them (other block sizes, a
// least-absolute refit, least squares on part of a block, a switch to the
// previous index where the indices are flat, choice by coded size, and the
// residual's sign set by which way the prediction was rounded).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lanes/adaptive_rans.hpp"
#include "lanes/bytes.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/near_lossless_parts.hpp"
#include "lanes/residual_coder.hpp"

namespace lattice_bench {

using namespace vantoresk::lanes;
using I64 = std::int64_t;

inline int sgn(I64 v) { return (v > 0) - (v < 0); }

std::size_t unit_size(const std::vector<I64>& r) {
    std::vector<std::uint8_t> out;
    if (!encode_residuals(r, out)) {
        std::fprintf(stderr, "residual out of range\n");
        std::exit(1);
    }
    return out.size();
}

// The largest bin index the predictors may reach for bins of 2k + 1, and
// the largest index magnitude in the lane.
struct IndexLimits {
    I64 ymax;
    std::uint64_t max_abs;
};
inline IndexLimits index_limits(const std::vector<I64>& y, std::uint64_t k) {
    IndexLimits lim{near_lossless::kIndexSpan / static_cast<I64>(2 * k + 1), 0};
    for (I64 v : y) lim.max_abs = std::max<std::uint64_t>(lim.max_abs, static_cast<std::uint64_t>(v < 0 ? -v : v));
    return lim;
}

// Residuals and side bytes of the block predictors for one block size.
struct Blocked {
    std::vector<I64> r;
    std::size_t side = 0;
};
Blocked block_residuals(const std::vector<I64>& y, std::uint64_t k, unsigned block_log2) {
    const IndexLimits lim = index_limits(y, k);
    const I64 ymax = lim.ymax;
    const std::uint64_t max_abs = lim.max_abs;
    Blocked out;
    out.r.resize(y.size());
    BitWriter side;
    const std::size_t block = std::size_t{1} << block_log2;
    for (std::size_t b = 0; b < y.size(); b += block) {
        const std::size_t e = std::min(y.size(), b + block);
        const Predictor p = fit_predictor(y, b, e, kMaxPredictorOrder, max_abs);
        near_lossless::put_predictor(side, p);
        for (std::size_t t = b; t < e; ++t)
            out.r[t] = y[t] - near_lossless::predict(y.data(), t, p.order, p.shift, p.coefficients.data(), ymax);
    }
    out.side = side.finish().size();
    return out;
}

// The bit lengths of one predictor's zigzagged residuals over [b, e) plus
// 22 bits a coefficient (the fit's own size estimate); the residuals go to
// `r` when given.
I64 block_cost(const std::vector<I64>& y, std::size_t b, std::size_t e, const Predictor& p, I64 ymax,
               std::vector<I64>* r) {
    I64 bits = 0;
    for (std::size_t t = b; t < e; ++t) {
        const I64 v = y[t] - near_lossless::predict(y.data(), t, p.order, p.shift, p.coefficients.data(), ymax);
        if (r) (*r)[t] = v;
        bits += std::bit_width(static_cast<std::uint64_t>(zigzag(v)));
    }
    return bits + 22 * static_cast<I64>(p.order);
}

// The least-squares predictor's order refitted to least absolute residuals
// by reweighted least squares (weights 1 / max(|r|, 1)), kept per block when
// its residuals' bit lengths sum smaller.
Blocked irls_residuals(const std::vector<I64>& y, std::uint64_t k, unsigned block_log2, int iters) {
    const IndexLimits lim = index_limits(y, k);
    const I64 ymax = lim.ymax;
    const std::uint64_t max_abs = lim.max_abs;
    Blocked out;
    out.r.resize(y.size());
    BitWriter side;
    const std::size_t block = std::size_t{1} << block_log2;
    for (std::size_t b = 0; b < y.size(); b += block) {
        const std::size_t e = std::min(y.size(), b + block);
        Predictor best = fit_predictor(y, b, e, kMaxPredictorOrder, max_abs);
        I64 best_bits = block_cost(y, b, e, best, ymax, nullptr);
        const unsigned m = best.order;
        const std::size_t first = std::max<std::size_t>(b, m);
        if (m >= 1 && m <= 32 && best.shift > 0 && e > first + 4 * m) {
            std::vector<double> a(m);
            for (unsigned j = 0; j < m; ++j) a[j] = std::ldexp(static_cast<double>(best.coefficients[j]), -static_cast<int>(best.shift));
            for (int it = 0; it < iters; ++it) {
                std::vector<double> g(m * m, 0.0), h(m, 0.0);
                for (std::size_t t = first; t < e; ++t) {
                    double pr = 0;
                    for (unsigned j = 0; j < m; ++j) pr += a[j] * static_cast<double>(y[t - 1 - j]);
                    const double res = static_cast<double>(y[t]) - pr;
                    const double w = 1.0 / std::max(std::fabs(res), 0.7);
                    for (unsigned i = 0; i < m; ++i) {
                        const double xi = w * static_cast<double>(y[t - 1 - i]);
                        h[i] += xi * static_cast<double>(y[t]);
                        for (unsigned j = 0; j <= i; ++j) g[i * m + j] += xi * static_cast<double>(y[t - 1 - j]);
                    }
                }
                // Cholesky solve with a small ridge
                double ridge = 0;
                for (unsigned i = 0; i < m; ++i) ridge = std::max(ridge, g[i * m + i]);
                ridge = ridge * 1e-10 + 1e-9;
                std::vector<double> l(m * m, 0.0), z(m);
                bool ok = true;
                for (unsigned i = 0; i < m && ok; ++i) {
                    for (unsigned j = 0; j <= i; ++j) {
                        double s2 = g[i * m + j] + (i == j ? ridge : 0);
                        for (unsigned q = 0; q < j; ++q) s2 -= l[i * m + q] * l[j * m + q];
                        if (i == j) {
                            if (!(s2 > 0)) ok = false;
                            else l[i * m + i] = std::sqrt(s2);
                        } else {
                            l[i * m + j] = s2 / l[j * m + j];
                        }
                    }
                }
                if (!ok) break;
                for (unsigned i = 0; i < m; ++i) {
                    double s2 = h[i];
                    for (unsigned q = 0; q < i; ++q) s2 -= l[i * m + q] * z[q];
                    z[i] = s2 / l[i * m + i];
                }
                for (unsigned i = m; i-- > 0;) {
                    double s2 = z[i];
                    for (unsigned q = i + 1; q < m; ++q) s2 -= l[q * m + i] * a[q];
                    a[i] = s2 / l[i * m + i];
                }
                Predictor p = best;
                bool fine = true;
                for (unsigned j = 0; j < m; ++j) {
                    if (!std::isfinite(a[j])) fine = false;
                    else p.coefficients[j] = std::llround(std::ldexp(a[j], static_cast<int>(best.shift)));
                }
                if (!fine) break;
                const I64 bits = block_cost(y, b, e, p, ymax, nullptr);
                if (bits < best_bits) {
                    best_bits = bits;
                    best = p;
                }
            }
        }
        near_lossless::put_predictor(side, best);
        block_cost(y, b, e, best, ymax, &out.r);
    }
    out.side = side.finish().size();
    return out;
}

// As block_residuals, but each residual's sign is flipped when the
// prediction was rounded up (its fraction below one half), so that a
// residual towards the unrounded prediction is always positive. With
// `near`, each sample's context there: 0 without a fraction, else 1 +
// |fraction - 1/2| in `buckets` - 1 equal steps.
Blocked flipped_residuals(const std::vector<I64>& y, std::uint64_t k, unsigned block_log2, std::vector<int>* near,
                          unsigned buckets = 5) {
    const IndexLimits lim = index_limits(y, k);
    const I64 ymax = lim.ymax;
    const std::uint64_t max_abs = lim.max_abs;
    Blocked out;
    out.r.resize(y.size());
    if (near) near->assign(y.size(), 0);
    BitWriter side;
    const std::size_t block = std::size_t{1} << block_log2;
    for (std::size_t b = 0; b < y.size(); b += block) {
        const std::size_t e = std::min(y.size(), b + block);
        const Predictor p = fit_predictor(y, b, e, kMaxPredictorOrder, max_abs);
        near_lossless::put_predictor(side, p);
        for (std::size_t t = b; t < e; ++t) {
            const I64 pred = near_lossless::predict(y.data(), t, p.order, p.shift, p.coefficients.data(), ymax);
            I64 r = y[t] - pred;
            if (p.order > 0 && t >= p.order && t > 0 && p.shift > 0) {
                const std::uint64_t acc = (std::uint64_t{1} << (p.shift - 1)) + history_dot(&y[t - 1], p.coefficients.data(), p.order);
                // acc >> shift is the rounded prediction; its low bits say
                // where the unrounded one fell: below half: rounded up.
                const std::uint64_t frac = acc & ((std::uint64_t{1} << p.shift) - 1);
                const std::uint64_t half = std::uint64_t{1} << (p.shift - 1);
                if (frac < half) r = -r;
                if (near) {
                    const std::uint64_t dist = frac < half ? half - frac : frac - half;  // |d| 2^shift
                    (*near)[t] = 1 + static_cast<int>(std::min<std::uint64_t>(buckets - 2, (dist * 2 * (buckets - 1)) >> p.shift));
                }
            }
            out.r[t] = r;
        }
    }
    out.side = side.finish().size();
    return out;
}

// Least squares of order m over [b, e) (history before b included), on the
// samples `keep` marks (all when null), solved by Cholesky and quantised to
// 18 bits as the fit quantises; false when singular or short of samples.
bool least_squares(const std::vector<I64>& y, std::size_t b, std::size_t e, unsigned m, std::uint64_t max_abs,
                   const std::vector<char>* keep, Predictor& out) {
    const std::size_t first = std::max<std::size_t>(b, m);
    if (e <= first + 4 * m) return false;
    std::vector<double> g(m * m, 0.0), h(m, 0.0);
    std::size_t used = 0;
    for (std::size_t t = first; t < e; ++t) {
        if (keep && !(*keep)[t]) continue;
        ++used;
        for (unsigned i = 0; i < m; ++i) {
            const double xi = static_cast<double>(y[t - 1 - i]);
            h[i] += xi * static_cast<double>(y[t]);
            for (unsigned j = 0; j <= i; ++j) g[i * m + j] += xi * static_cast<double>(y[t - 1 - j]);
        }
    }
    if (used < 4 * m) return false;
    double ridge = 0;
    for (unsigned i = 0; i < m; ++i) ridge = std::max(ridge, g[i * m + i]);
    ridge = ridge * 1e-10 + 1e-9;
    std::vector<double> l(m * m, 0.0), z(m), a(m);
    for (unsigned i = 0; i < m; ++i) {
        for (unsigned j = 0; j <= i; ++j) {
            double s2 = g[i * m + j] + (i == j ? ridge : 0);
            for (unsigned q = 0; q < j; ++q) s2 -= l[i * m + q] * l[j * m + q];
            if (i == j) {
                if (!(s2 > 0)) return false;
                l[i * m + i] = std::sqrt(s2);
            } else {
                l[i * m + j] = s2 / l[j * m + j];
            }
        }
    }
    for (unsigned i = 0; i < m; ++i) {
        double s2 = h[i];
        for (unsigned q = 0; q < i; ++q) s2 -= l[i * m + q] * z[q];
        z[i] = s2 / l[i * m + i];
    }
    double largest = 0, total = 0;
    for (unsigned i = m; i-- > 0;) {
        double s2 = z[i];
        for (unsigned q = i + 1; q < m; ++q) s2 -= l[q * m + i] * a[q];
        a[i] = s2 / l[i * m + i];
        if (!std::isfinite(a[i])) return false;
        largest = std::max(largest, std::fabs(a[i]));
        total += std::fabs(a[i]);
    }
    int shift = std::clamp(18 - static_cast<int>(std::ceil(std::log2(largest + 1.0))), 0, 30);
    while (shift > 0 && (total * std::ldexp(1.0, shift) + m) * (static_cast<double>(max_abs) + 1) >= std::ldexp(1.0, 61)) --shift;
    out.order = m;
    out.shift = static_cast<unsigned>(shift);
    out.coefficients.resize(m);
    for (unsigned i = 0; i < m; ++i) out.coefficients[i] = std::llround(std::ldexp(a[i], shift));
    return true;
}

// Switched prediction: where the indices are locally flat (gradient
// |y[t-1] - y[t-2]| + |y[t-2] - y[t-3]| at most T) the previous index,
// elsewhere a least-squares predictor fitted on those samples only. Per
// block T and the order are chosen by the lane's coded size (greedy), the
// block's usual predictor kept when it codes smaller. Side: 4 bits of T.
std::size_t switched(const std::vector<I64>& y, std::uint64_t k, unsigned block_log2, bool flip = false,
                     bool cheap = false) {
    const IndexLimits lim = index_limits(y, k);
    const I64 ymax = lim.ymax;
    const std::uint64_t max_abs = lim.max_abs;
    const std::size_t block = std::size_t{1} << block_log2;
    std::vector<I64> grad(y.size(), 1 << 30);
    for (std::size_t t = 3; t < y.size(); ++t) grad[t] = std::llabs(y[t - 1] - y[t - 2]) + std::llabs(y[t - 2] - y[t - 3]);
    struct Choice {
        Predictor p;
        I64 T;  // -1: the plain predictor everywhere
    };
    std::vector<std::vector<Choice>> cands;
    for (std::size_t b = 0; b < y.size(); b += block) {
        const std::size_t e = std::min(y.size(), b + block);
        std::vector<Choice> c{{fit_predictor(y, b, e, kMaxPredictorOrder, max_abs), -1}};
        for (I64 T : {0, 1, 2, 4, 8, 16, 32}) {
            std::vector<char> keep(y.size(), 0);
            for (std::size_t t = b; t < e; ++t) keep[t] = grad[t] > T;
            for (unsigned m : {2u, 4u, 8u, 16u, 32u}) {
                Predictor p;
                if (least_squares(y, b, e, m, max_abs, &keep, p)) c.push_back({std::move(p), T});
            }
        }
        cands.push_back(std::move(c));
    }
    std::vector<std::size_t> choice(cands.size(), 0);
    auto size_of = [&]() {
        std::vector<I64> r(y.size());
        BitWriter side;
        for (std::size_t i = 0; i < cands.size(); ++i) {
            const Choice& c = cands[i][choice[i]];
            near_lossless::put_predictor(side, c.p);
            const std::size_t b = i * block, e = std::min(y.size(), b + block);
            for (std::size_t t = b; t < e; ++t) {
                const bool flat = c.T >= 0 && t >= 1 && grad[t] <= c.T;
                r[t] = y[t] - (flat ? y[t - 1] : near_lossless::predict(y.data(), t, c.p.order, c.p.shift, c.p.coefficients.data(), ymax));
                if (flip && !flat && c.p.order > 0 && t >= c.p.order && c.p.shift > 0) {
                    const std::uint64_t acc = (std::uint64_t{1} << (c.p.shift - 1)) +
                                              history_dot(&y[t - 1], c.p.coefficients.data(), c.p.order);
                    if ((acc & ((std::uint64_t{1} << c.p.shift) - 1)) < (std::uint64_t{1} << (c.p.shift - 1))) r[t] = -r[t];
                }
            }
        }
        if (cheap) {
            std::size_t bits = 0;
            for (const I64 v : r) bits += static_cast<std::size_t>(std::bit_width(zigzag(v)));
            return side.finish().size() + cands.size() / 2 + bits / 8;
        }
        return side.finish().size() + cands.size() / 2 + unit_size(r);
    };
    std::size_t best = size_of();
    for (std::size_t i = 0; i < cands.size(); ++i) {
        std::size_t keep = choice[i];
        for (std::size_t j = 1; j < cands[i].size(); ++j) {
            choice[i] = j;
            const std::size_t s2 = size_of();
            if (s2 < best) {
                best = s2;
                keep = j;
            }
        }
        choice[i] = keep;
    }
    if (cheap) {
        cheap = false;
        return size_of();
    }
    return best;
}

// Block predictors chosen by the coded size of the whole lane: each block
// tries the fit's own choice, the fixed first and second differences and
// least squares of several orders, greedily block by block.
Blocked exact_choice(const std::vector<I64>& y, std::uint64_t k, unsigned block_log2, std::vector<unsigned>* picked) {
    const IndexLimits lim = index_limits(y, k);
    const I64 ymax = lim.ymax;
    const std::uint64_t max_abs = lim.max_abs;
    const std::size_t block = std::size_t{1} << block_log2;
    std::vector<std::vector<Predictor>> cands;
    std::vector<std::size_t> choice;
    for (std::size_t b = 0; b < y.size(); b += block) {
        const std::size_t e = std::min(y.size(), b + block);
        std::vector<Predictor> c{fit_predictor(y, b, e, kMaxPredictorOrder, max_abs), Predictor{1, 0, {1}},
                                 Predictor{2, 0, {2, -1}}};
        for (unsigned m : {2u, 3u, 4u, 6u, 8u, 12u, 16u, 24u, 32u}) {
            Predictor p;
            if (least_squares(y, b, e, m, max_abs, nullptr, p)) c.push_back(std::move(p));
        }
        cands.push_back(std::move(c));
        choice.push_back(0);
    }
    auto build = [&](Blocked& out) {
        out.r.assign(y.size(), 0);
        BitWriter side;
        for (std::size_t i = 0; i < cands.size(); ++i) {
            const Predictor& p = cands[i][choice[i]];
            near_lossless::put_predictor(side, p);
            const std::size_t b = i * block, e = std::min(y.size(), b + block);
            for (std::size_t t = b; t < e; ++t)
                out.r[t] = y[t] - near_lossless::predict(y.data(), t, p.order, p.shift, p.coefficients.data(), ymax);
        }
        out.side = side.finish().size();
        return out.side + unit_size(out.r);
    };
    Blocked best;
    std::size_t best_size = build(best);
    for (std::size_t i = 0; i < cands.size(); ++i) {
        std::size_t keep = choice[i];
        for (std::size_t j = 1; j < cands[i].size(); ++j) {
            choice[i] = j;
            Blocked trial;
            const std::size_t size = build(trial);
            if (size < best_size) {
                best_size = size;
                best = std::move(trial);
                keep = j;
            }
        }
        choice[i] = keep;
    }
    if (picked)
        for (std::size_t i = 0; i < cands.size(); ++i) picked->push_back(cands[i][choice[i]].order * 100 + cands[i][choice[i]].shift);
    return best;
}

}  // namespace lattice_bench
