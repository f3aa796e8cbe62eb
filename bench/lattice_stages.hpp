// Second stages and coding estimates for the lattice candidates bench
// (bench only): causal, invertible maps of the residual sequence (bias
// cancellation, sign LMS filters, a long-term predictor) and estimates of
// what the residual coder spends under other contexts.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <vector>

#include "bench/lattice_fits.hpp"

namespace lattice_bench {

// Bias cancellation: a running correction per context of the residuals
// before (signs of the last two, magnitude class of the last three), kept
// without division as an integer mean tracker.
std::vector<I64> bias_cancel(const std::vector<I64>& r, unsigned reset, unsigned mags) {
    struct Ctx {
        I64 b = 0, n = 1, c = 0;
    };
    std::vector<Ctx> ctx(9 * mags);
    std::vector<I64> e(r.size());
    I64 r1 = 0, r2 = 0, r3 = 0;
    for (std::size_t t = 0; t < r.size(); ++t) {
        const std::uint64_t s = 2 * static_cast<std::uint64_t>(std::llabs(r1)) + std::llabs(r2) + std::llabs(r3);
        const unsigned m = std::min<unsigned>(static_cast<unsigned>(std::bit_width(s)), mags - 1);
        Ctx& c = ctx[((sgn(r1) + 1) * 3 + sgn(r2) + 1) * mags + m];
        const I64 err = r[t] - c.c;
        e[t] = err;
        c.b += err;
        if (++c.n >= static_cast<I64>(reset)) {
            c.n >>= 1;
            c.b >>= 1;
        }
        if (c.b <= -c.n) {
            --c.c;
            c.b += c.n;
            if (c.b <= -c.n) c.b = -c.n + 1;
        } else if (c.b > 0) {
            ++c.c;
            c.b -= c.n;
            if (c.b > 0) c.b = 0;
        }
        r3 = r2;
        r2 = r1;
        r1 = r[t];
    }
    return e;
}

// Bias cancellation by a per-context exponential mean in 1/256 units
// (rate 2^-rate), applied rounded: contexts as above.
std::vector<I64> bias_mean(const std::vector<I64>& r, unsigned rate, unsigned mags) {
    std::vector<I64> mean(9 * mags, 0), e(r.size());
    I64 r1 = 0, r2 = 0, r3 = 0;
    for (std::size_t t = 0; t < r.size(); ++t) {
        const std::uint64_t s = 2 * static_cast<std::uint64_t>(std::llabs(r1)) + std::llabs(r2) + std::llabs(r3);
        const unsigned m = std::min<unsigned>(static_cast<unsigned>(std::bit_width(s)), mags - 1);
        I64& c = mean[((sgn(r1) + 1) * 3 + sgn(r2) + 1) * mags + m];
        e[t] = r[t] - ((c + 128) >> 8);
        c += ((r[t] << 8) - c) >> rate;
        r3 = r2;
        r2 = r1;
        r1 = r[t];
    }
    return e;
}

// Sign-sign LMS on a history `x` (the residuals, or the index differences):
// prediction (sum w[j] x[t-1-j] + half) >> shift, w[j] += mu sgn(e) sgn(x).
std::vector<I64> sign_lms(const std::vector<I64>& r, const std::vector<I64>& x, unsigned order, unsigned shift,
                          int mu) {
    std::vector<I64> w(order, 0), e(r.size());
    for (std::size_t t = 0; t < r.size(); ++t) {
        I64 acc = I64{1} << (shift - 1);
        for (unsigned j = 0; j < order && j < t; ++j) acc += w[j] * x[t - 1 - j];
        const I64 p = acc >> shift;
        const I64 err = r[t] - p;
        e[t] = err;
        const int se = sgn(err);
        if (se != 0)
            for (unsigned j = 0; j < order && j < t; ++j) w[j] += mu * se * sgn(x[t - 1 - j]);
    }
    return e;
}

// Sign-error NLMS-like stage with a power-of-two normalisation: w += mu
// sgn(e) x / 2^bit_width(energy), energy the running sum of |x| over the taps.
std::vector<I64> sign_error_lms(const std::vector<I64>& r, unsigned order, unsigned shift, unsigned mu_log2) {
    std::vector<I64> w(order, 0), e(r.size());
    for (std::size_t t = 0; t < r.size(); ++t) {
        I64 acc = I64{1} << (shift - 1);
        std::uint64_t energy = 1;
        for (unsigned j = 0; j < order && j < t; ++j) {
            acc += w[j] * r[t - 1 - j];
            energy += static_cast<std::uint64_t>(std::llabs(r[t - 1 - j]));
        }
        const I64 err = r[t] - (acc >> shift);
        e[t] = err;
        const int se = sgn(err);
        if (se == 0) continue;
        const unsigned norm = static_cast<unsigned>(std::bit_width(energy));
        for (unsigned j = 0; j < order && j < t; ++j) {
            const I64 step = (r[t - 1 - j] << mu_log2) >> norm;
            w[j] += se * step;
        }
    }
    return e;
}

// Adaptive estimate of the bits of the residual coder's first two symbols
// (bit-length class A and sign-and-top-bits B) under a context choice:
// counts start at 1, grow by 24 and halve past 2^13.
template <unsigned N>
struct Counts {
    std::array<std::uint32_t, N> f;
    std::uint32_t total = N;
    Counts() { f.fill(1); }
    double cost(unsigned s) {
        const double c = -std::log2(static_cast<double>(f[s]) / total);
        f[s] += 24;
        total += 24;
        if (total > (1u << 13)) {
            total = 0;
            for (auto& x : f) total += (x = (x + 1) / 2);
        }
        return c;
    }
};
unsigned class_of(I64 r) {
    const std::uint64_t a = static_cast<std::uint64_t>(std::llabs(r));
    const auto e = static_cast<unsigned>(std::bit_width(a));
    return e <= 1 ? e + unsigned{e == 1 && r < 0} : std::min(e + 1, 15u);
}
// variant 0: as coded today; 1: A also by the slope class of the indices;
// 2: B's sign also by the slope's sign; 3: both.
double ab_bits(const std::vector<I64>& r, const std::vector<I64>& y, int variant) {
    std::vector<Counts<16>> a(32 * 8);
    std::vector<Counts<8>> b(16 * 9);
    std::uint64_t a1 = 0, a2 = 0, a3 = 0;
    unsigned sign = 0;
    double bits = 0;
    for (std::size_t t = 0; t < r.size(); ++t) {
        const std::uint64_t s = 2 * a1 + a2 + a3;
        const unsigned act = s < 4 ? static_cast<unsigned>(s) : std::min(static_cast<unsigned>(std::bit_width(s)) + 1, 31u);
        const I64 d = t >= 2 ? y[t - 1] - y[t - 2] : 0;
        const unsigned slope = std::min<unsigned>(static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(std::llabs(d)))), 7u);
        const unsigned dsign = d == 0 ? 0 : (d > 0 ? 1 : 2);
        const unsigned c = class_of(r[t]);
        bits += a[act * 8 + ((variant & 1) ? slope : 0)].cost(c);
        const std::uint64_t m = static_cast<std::uint64_t>(std::llabs(r[t]));
        const auto e = static_cast<unsigned>(std::bit_width(m));
        if (e > 1) {
            const unsigned mb = std::min(e - 1, 2u);
            const unsigned top = static_cast<unsigned>((m >> (e - 1 - mb)) & ((1u << mb) - 1));
            bits += b[std::min(e, 15u) * 9 + sign * 3 + ((variant & 2) ? dsign : 0)].cost((top << 1) | unsigned{r[t] < 0});
        }
        a3 = a2;
        a2 = a1;
        a1 = m;
        sign = r[t] == 0 ? 0 : (r[t] > 0 ? 1 : 2);
    }
    return bits;
}

// The residual coder's own symbols (A by an activity class, B, C, raw bits)
// with its adaptive models, costed at -log2 of each model's probability
// (what rANS spends, within a fraction of a per cent), every model starting
// uniform. `variant` picks the activity class from the magnitudes before t:
// 0 the residual coder's own (half octaves of 2|r1| + |r2| + |r3|, at most
// 47), 1 a seven-residual window, 2 whole octaves, 3 up to 63 classes, 4
// with a running mean of |r|; `warm` is coded first to
// train the models; `extra` splits A's (and with `extra_b` B's) models
// `extra_n` ways by a context of each residual.
double coder_bits(const std::vector<I64>& r, int variant, const std::vector<I64>* warm = nullptr,
                  const std::vector<int>* extra = nullptr, unsigned extra_n = 1, bool extra_b = false) {
    std::vector<AdaptiveCdf<16>> cls(64 * extra_n);
    std::vector<std::array<AdaptiveCdf<8>, 3>> lowx(16 * extra_n);
    std::array<std::array<AdaptiveCdf<8>, 3>, 16> low{};
    std::array<std::array<AdaptiveCdf<8>, 4>, 16> next{};
    auto cost = [](auto& m, unsigned s) {
        const double c = -std::log2(static_cast<double>(m.end(s) - m.start(s)) / kCdfTotal);
        m.update(s);
        return c;
    };
    std::array<std::uint64_t, 8> a{};
    std::uint64_t ema = 0;  // 1/16 units
    unsigned sign = 0;
    double bits = 0;
    const std::vector<I64>* pass[2] = {warm, &r};
    auto octave = [](std::uint64_t s, unsigned top) {
        return s < 4 ? static_cast<unsigned>(s) : std::min(static_cast<unsigned>(std::bit_width(s)) + 1, top);
    };
    auto half_octave = [](std::uint64_t s, unsigned top) {
        if (s < 4) return static_cast<unsigned>(s);
        const auto b = static_cast<unsigned>(std::bit_width(s));
        return std::min(2 * b - 2 + static_cast<unsigned>((s >> (b - 2)) & 1u), top);
    };
    for (const std::vector<I64>* seq : pass) {
    if (!seq) continue;
    if (seq == &r) bits = 0;
    std::size_t t = 0;
    for (const I64 v : *seq) {
        const unsigned x = extra && seq == &r ? static_cast<unsigned>((*extra)[t]) : 0;
        ++t;
        unsigned c = 0;
        const std::uint64_t s3 = 2 * a[0] + a[1] + a[2];
        const std::uint64_t s7 = 4 * a[0] + 2 * a[1] + 2 * a[2] + a[3] + a[4] + a[5] + a[6];
        switch (variant) {
            case 0: c = half_octave(s3, 47); break;
            case 1: c = half_octave(s7 / 2, 47); break;
            case 2: c = octave(s3, 31); break;
            case 3: c = half_octave(s3, 63); break;
            case 4: c = half_octave((16 * s3 + 2 * ema) / 32, 47); break;
            default: break;
        }
        const bool negative = v < 0;
        const std::uint64_t m = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        const auto e = static_cast<unsigned>(std::bit_width(m));
        bits += cost(cls[c * extra_n + x], e <= 1 ? e + unsigned{e == 1 && negative} : std::min(e + 1, 15u));
        if (e >= 14) bits += 5;
        if (e > 1) {
            const unsigned mb = std::min(e - 1, 2u);
            const unsigned n = e - 1 - mb;
            const auto top = static_cast<unsigned>((m >> n) & ((1u << mb) - 1));
            bits += extra_b ? cost(lowx[std::min(e, 15u) * extra_n + x][sign], (top << 1) | unsigned{negative})
                            : cost(low[std::min(e, 15u)][sign], (top << 1) | unsigned{negative});
            if (n > 0) {
                const unsigned cb = std::min(n, 3u);
                bits += cost(next[std::min(e, 15u)][top], static_cast<unsigned>((m >> (n - cb)) & ((1u << cb) - 1)));
                bits += n - cb;
            }
        }
        for (unsigned i = 7; i > 0; --i) a[i] = a[i - 1];
        a[0] = std::min<std::uint64_t>(m, std::uint64_t{1} << 40);
        ema = static_cast<std::uint64_t>(static_cast<I64>(ema) + ((static_cast<I64>(a[0] << 4) - static_cast<I64>(ema)) >> 3));
        sign = v == 0 ? 0 : (negative ? 2 : 1);
    }
    }
    return bits;
}

// Long-term (beat-to-beat) prediction of the residuals: each segment of
// `seg` residuals takes e = r - (g r[t-L] + 2) >> 2 with the lag L in
// [lo, hi) and gain g in 0..4 that minimise the bit lengths of e; side
// information: one bit for g = 0, else 1 + 2 + bit length of the lag range.
// Returns e and adds the side bits to `side_bits`.
std::vector<I64> long_term(const std::vector<I64>& r, std::size_t seg, std::size_t lo, std::size_t hi,
                           double& side_bits) {
    std::vector<I64> e(r);
    const double lag_bits = std::ceil(std::log2(static_cast<double>(hi - lo)));
    for (std::size_t s = 0; s < r.size(); s += seg) {
        const std::size_t end = std::min(r.size(), s + seg);
        I64 best = 0;
        for (std::size_t t = s; t < end; ++t) best += std::bit_width(zigzag(r[t]));
        std::size_t best_lag = 0;
        I64 best_g = 0;
        if (s >= hi) {
            for (std::size_t L = lo; L < hi; ++L) {
                for (I64 g = 2; g <= 4; g += 2) {
                    I64 bits = 0;
                    for (std::size_t t = s; t < end && bits < best; ++t)
                        bits += std::bit_width(zigzag(r[t] - ((g * r[t - L] + 2) >> 2)));
                    bits += static_cast<I64>(lag_bits) + 2;
                    if (bits < best) {
                        best = bits;
                        best_lag = L;
                        best_g = g;
                    }
                }
            }
        }
        side_bits += best_g == 0 ? 1 : 3 + lag_bits;
        if (best_g != 0)
            for (std::size_t t = s; t < end; ++t) e[t] = r[t] - ((best_g * r[t - best_lag] + 2) >> 2);
    }
    return e;
}

}  // namespace lattice_bench
