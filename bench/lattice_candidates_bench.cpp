// Candidate refinements of the near-lossless lattice scheme, measured on the
// shared recordings before any of them is built into the coder: for each
// recording's first five one-minute lanes at k = 0, 1, 2, 4, 8 it takes the
// bin indices, the block predictors' residuals as the current body codes
// them, and reports the coded size of each candidate relative to today's
// body (the real residual coder codes every candidate's residuals, so the
// figures are sizes, not estimates). A candidate here is a causal,
// invertible map of the residual sequence (a second prediction stage) or
// another block size.
//
// Usage: lattice_candidates_bench [recording-substring]
// Run: nice -n 10 build/lattice_candidates_bench (about a minute on one core).
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "lanes/adaptive_rans.hpp"
#include "lanes/bytes.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/near_lossless_parts.hpp"
#include "lanes/residual_coder.hpp"

namespace {

using namespace vantoresk::lanes;
using I64 = std::int64_t;

struct Recording {
    const char* file;
    double fs, gain, baseline;
};
Recording edf(const char* file, double fs, double pmin, double pmax) {
    const double g = (32767.0 + 32768.0) / (pmax - pmin);
    return {file, fs, g, -32768.0 - pmin * g};
}
const std::vector<Recording> kRecordings = {
    {"mitdb100_mlii.npy", 360, 200, 1024},
    {"mitdb100_v5.npy", 360, 200, 1024},
    {"ptbdb_s0010re_ii.npy", 1000, 2000, 0},
    {"ptbdb_s0010re_v2.npy", 1000, 2000, 0},
    {"ptbdb_s0010re_vx.npy", 1000, 2000, 0},
    {"mimicdb03700181_mcl1.npy", 500, 2963.77, 0},
    {"mimicdb03700181_abp.npy", 125, 12.84, -1605},
    {"mimicdb03700181_resp.npy", 125, 2000, 0},
    {"cinc2015_a103l_ii.npy", 250, 7247, 0},
    {"cinc2015_a103l_pleth.npy", 250, 12530, 0},
    edf("eegmat_s00r1_fz.npy", 500, -47.3684, 78.01157),
    edf("eegmat_s00r1_cz.npy", 500, -55.444, 50.49181),
    edf("eegmat_s00r1_o1.npy", 500, -63.3151, 79.9504),
};

inline int sgn(I64 v) { return (v > 0) - (v < 0); }

std::size_t unit_size(const std::vector<I64>& r) {
    std::vector<std::uint8_t> out;
    if (!encode_residuals(r, out)) {
        std::fprintf(stderr, "residual out of range\n");
        std::exit(1);
    }
    return out.size();
}

// Residuals and side bytes of the block predictors for one block size.
struct Blocked {
    std::vector<I64> r;
    std::size_t side = 0;
};
Blocked block_residuals(const std::vector<I64>& y, std::uint64_t k, unsigned block_log2) {
    const auto width = static_cast<I64>(2 * k + 1);
    const I64 ymax = near_lossless::kIndexSpan / width;
    std::uint64_t max_abs = 0;
    for (I64 v : y) max_abs = std::max<std::uint64_t>(max_abs, static_cast<std::uint64_t>(v < 0 ? -v : v));
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
    const auto width = static_cast<I64>(2 * k + 1);
    const I64 ymax = near_lossless::kIndexSpan / width;
    std::uint64_t max_abs = 0;
    for (I64 v : y) max_abs = std::max<std::uint64_t>(max_abs, static_cast<std::uint64_t>(v < 0 ? -v : v));
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

struct Candidate {
    std::string name;
    std::function<std::size_t(const std::vector<I64>& y, std::uint64_t k, const Blocked& base)> size;
};

}  // namespace

int main(int argc, char** argv) {
    const char* only = argc > 1 ? argv[1] : nullptr;
    const unsigned ks[] = {0, 1, 2, 4, 8};
    std::vector<Candidate> cands;
    auto stage = [](std::function<std::vector<I64>(const std::vector<I64>&, const std::vector<I64>&)> f) {
        return [f](const std::vector<I64>& y, std::uint64_t, const Blocked& base) {
            return base.side + unit_size(f(base.r, y));
        };
    };
    for (unsigned bl : {12u, 13u, 15u, 16u}) {
        cands.push_back({"block 2^" + std::to_string(bl), [bl](const std::vector<I64>& y, std::uint64_t k, const Blocked&) {
                             const Blocked b = block_residuals(y, k, bl);
                             return b.side + unit_size(b.r);
                         }});
    }
    cands.push_back({"best block 12..16", [](const std::vector<I64>& y, std::uint64_t k, const Blocked& base) {
                         std::size_t best = base.side + unit_size(base.r);
                         for (unsigned bl : {12u, 13u, 15u, 16u}) {
                             const Blocked b = block_residuals(y, k, bl);
                             best = std::min(best, b.side + unit_size(b.r));
                         }
                         return best;
                     }});
    for (int iters : {1, 3})
        cands.push_back({"least-absolute refit x" + std::to_string(iters),
                         [iters](const std::vector<I64>& y, std::uint64_t k, const Blocked&) {
                             const Blocked b = irls_residuals(y, k, 14, iters);
                             return b.side + unit_size(b.r);
                         }});
    for (int variant : {1, 2, 3})
        cands.push_back({"context variant " + std::to_string(variant),
                         [variant](const std::vector<I64>& y, std::uint64_t, const Blocked& base) {
                             const double now = ab_bits(base.r, y, 0), then = ab_bits(base.r, y, variant);
                             const double total = static_cast<double>(base.side + unit_size(base.r));
                             return static_cast<std::size_t>(total - (now - then) / 8);
                         }});
    for (unsigned reset : {64u})
        for (unsigned mags : {4u, 8u})
            cands.push_back({"bias reset " + std::to_string(reset) + " mags " + std::to_string(mags),
                             stage([reset, mags](const std::vector<I64>& r, const std::vector<I64>&) {
                                 return bias_cancel(r, reset, mags);
                             })});
    for (unsigned rate : {4u, 6u})
        for (unsigned mags : {4u, 12u})
            cands.push_back({"bias mean 2^-" + std::to_string(rate) + " mags " + std::to_string(mags),
                             stage([rate, mags](const std::vector<I64>& r, const std::vector<I64>&) {
                                 return bias_mean(r, rate, mags);
                             })});
    for (unsigned order : {2u, 8u, 16u, 32u})
        for (int mu : {1, 4, 16})
            cands.push_back({"sslms r o" + std::to_string(order) + " mu" + std::to_string(mu) + "/4096",
                             stage([order, mu](const std::vector<I64>& r, const std::vector<I64>&) {
                                 return sign_lms(r, r, order, 12, mu);
                             })});
    for (unsigned order : {2u, 8u, 16u})
        for (int mu : {1, 8})
            cands.push_back({"sslms dy o" + std::to_string(order) + " mu" + std::to_string(mu) + "/4096",
                             stage([order, mu](const std::vector<I64>& r, const std::vector<I64>& y) {
                                 std::vector<I64> d(y.size());
                                 for (std::size_t t = 0; t < y.size(); ++t) d[t] = y[t] - (t ? y[t - 1] : 0);
                                 return sign_lms(r, d, order, 12, mu);
                             })});
    for (unsigned order : {4u, 16u})
        for (unsigned mu : {4u, 7u})
            cands.push_back({"selms o" + std::to_string(order) + " mu2^" + std::to_string(mu),
                             stage([order, mu](const std::vector<I64>& r, const std::vector<I64>&) {
                                 return sign_error_lms(r, order, 14, mu);
                             })});
    for (unsigned order : {16u, 32u})
        for (int mu : {1, 4, 16})
            cands.push_back({"sslms r o" + std::to_string(order) + " mu" + std::to_string(mu) + "/65536",
                             stage([order, mu](const std::vector<I64>& r, const std::vector<I64>&) {
                                 return sign_lms(r, r, order, 16, mu);
                             })});
    cands.push_back({"cascade 32/16/2 mu 2,4,8 /65536", stage([](const std::vector<I64>& r, const std::vector<I64>&) {
                         return sign_lms(sign_lms(sign_lms(r, r, 32, 16, 2), r, 16, 16, 4), r, 2, 16, 8);
                     })});
    {
        const std::size_t n = cands.size();
        for (std::size_t c = 0; c < n; ++c) {
            if (cands[c].name.rfind("sslms", 0) != 0 && cands[c].name.rfind("cascade", 0) != 0) continue;
            auto f = cands[c].size;
            cands.push_back({"min(today, " + cands[c].name + ")",
                             [f](const std::vector<I64>& y, std::uint64_t k, const Blocked& base) {
                                 return std::min(base.side + unit_size(base.r), f(y, k, base));
                             }});
        }
    }
    cands.push_back({"sslms r o16 mu4 + bias 64/8", stage([](const std::vector<I64>& r, const std::vector<I64>&) {
                         return bias_cancel(sign_lms(r, r, 16, 12, 4), 64, 8);
                     })});

    // log of (candidate bytes / base bytes) per k, summed over recordings
    std::vector<std::vector<double>> logsum(cands.size(), std::vector<double>(5, 0.0));
    std::vector<std::vector<double>> worst(cands.size(), std::vector<double>(5, 0.0));
    std::vector<double> base_log_ratio(5, 0.0);
    int used = 0;
    for (const Recording& rec : kRecordings) {
        if (only && !std::strstr(rec.file, only)) continue;
        auto x = bench_data::load_recording(rec.file);
        if (!x) continue;
        ++used;
        const std::size_t lane = static_cast<std::size_t>(rec.fs * 60);
        const std::size_t n = std::min(x->size(), 5 * lane);
        std::vector<I64> levels(n);
        for (std::size_t i = 0; i < n; ++i)
            levels[i] = static_cast<I64>(std::llround(static_cast<double>((*x)[i]) * rec.gain + rec.baseline));
        std::printf("%s\n", rec.file);
        for (unsigned ki = 0; ki < 5; ++ki) {
            const std::uint64_t k = ks[ki];
            const I64 width = static_cast<I64>(2 * k + 1);
            std::size_t base_total = 0, body_total = 0;
            std::vector<std::size_t> cand_total(cands.size(), 0);
            for (std::size_t s = 0; s < n; s += lane) {
                const std::size_t e = std::min(n, s + lane);
                std::vector<I64> y(e - s);
                for (std::size_t t = s; t < e; ++t) {
                    const I64 num = levels[t] + static_cast<I64>(k);
                    I64 q = num / width;
                    if (num % width < 0) --q;
                    y[t - s] = q;
                }
                std::vector<std::uint8_t> body;
                (void)encode_levels({levels.data() + s, e - s}, k, body);
                body_total += body.size();
                const Blocked base = block_residuals(y, k, 14);
                const std::size_t fixed = body.size() - base.side - unit_size(base.r);
                base_total += base.side + unit_size(base.r) + fixed;
                for (std::size_t c = 0; c < cands.size(); ++c) cand_total[c] += cands[c].size(y, k, base) + fixed;
            }
            if (base_total != body_total) std::printf("  (replica %zu vs body %zu)\n", base_total, body_total);
            base_log_ratio[ki] += std::log(4.0 * static_cast<double>(n) / static_cast<double>(body_total));
            std::printf("  k=%u ratio %.3f:", ks[ki], 4.0 * static_cast<double>(n) / static_cast<double>(body_total));
            for (std::size_t c = 0; c < cands.size(); ++c) {
                const double rel = static_cast<double>(cand_total[c]) / static_cast<double>(base_total);
                logsum[c][ki] += std::log(rel);
                worst[c][ki] = std::max(worst[c][ki], rel);
                std::printf(" %.3f", rel);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    if (used == 0) {
        std::fprintf(stderr, "no recording could be read\n");
        return 1;
    }
    std::printf("\nbody version 2 geometric-mean ratio:");
    for (unsigned ki = 0; ki < 5; ++ki) std::printf("  k=%u %.3f", ks[ki], std::exp(base_log_ratio[ki] / used));
    std::printf("\n\n%-32s %s\n", "candidate (size / today's body)", "k=0 1 2 4 8 geometric mean [worst]");
    for (std::size_t c = 0; c < cands.size(); ++c) {
        std::printf("%-32s", cands[c].name.c_str());
        for (unsigned ki = 0; ki < 5; ++ki) std::printf(" %.4f[%.3f]", std::exp(logsum[c][ki] / used), worst[c][ki]);
        std::printf("\n");
    }
    // What a stage would cost a decoder: the same loop runs on both sides.
    std::vector<I64> r(1 << 20);
    std::uint64_t state = 1;
    for (I64& v : r) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        v = static_cast<I64>(state >> 59) - 16;
    }
    std::printf("\nstage cost on 2^20 residuals (ns/sample, one thread):");
    for (unsigned order : {2u, 8u, 16u, 32u}) {
        const double t = bench::best_of(3, [&] { (void)sign_lms(r, r, order, 12, 4); });
        std::printf("  sslms o%u %.1f", order, t / static_cast<double>(r.size()) * 1e9);
    }
    const double tb = bench::best_of(3, [&] { (void)bias_mean(r, 6, 12); });
    std::printf("  bias mean %.1f\n", tb / static_cast<double>(r.size()) * 1e9);
    return 0;
}
