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
// Usage: lattice_candidates_bench [recording-substring [candidate-substring]]
// (all of them take about five minutes on one core; "" for every recording).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "bench/lattice_fits.hpp"
#include "bench/lattice_stages.hpp"

namespace {

using namespace lattice_bench;

using bench_data::AdcRecording;

// One lane in hand: its bin indices, bound, the recording's rate and the
// block predictors' residuals as today's body codes them.
struct Lane {
    const std::vector<I64>& y;
    std::uint64_t k;
    double fs;
    const Blocked& base;

    std::size_t today() const { return base.side + unit_size(base.r); }
    // today's size less what an estimate saves over today's coding
    std::size_t less(double bits_now, double bits_then) const {
        return static_cast<std::size_t>(static_cast<double>(today()) - (bits_now - bits_then) / 8);
    }
};

struct Candidate {
    std::string name;
    std::function<std::size_t(const Lane&)> size;
};

// A second stage on the residuals: its output replaces them.
Candidate stage(std::string name, std::function<std::vector<I64>(const Lane&)> f) {
    return {std::move(name), [f](const Lane& l) { return l.base.side + unit_size(f(l)); }};
}

// The candidates, in groups: block size and predictor choice (encoder only),
// the sign of the rounding, coder contexts, second stages.
std::vector<Candidate> candidates() {
    std::vector<Candidate> c;
    for (unsigned bl : {12u, 13u, 15u, 16u}) {
        c.push_back({"block 2^" + std::to_string(bl), [bl](const Lane& l) {
                         const Blocked b = block_residuals(l.y, l.k, bl);
                         return b.side + unit_size(b.r);
                     }});
    }
    c.push_back({"best block 12..16", [](const Lane& l) {
                     std::size_t best = l.today();
                     for (unsigned bl : {12u, 13u, 15u, 16u}) {
                         const Blocked b = block_residuals(l.y, l.k, bl);
                         best = std::min(best, b.side + unit_size(b.r));
                     }
                     return best;
                 }});
    for (int iters : {1, 3})
        c.push_back({"least-absolute refit x" + std::to_string(iters), [iters](const Lane& l) {
                         const Blocked b = irls_residuals(l.y, l.k, 14, iters);
                         return b.side + unit_size(b.r);
                     }});
    c.push_back({"predictor by coded size", [](const Lane& l) {
                     const Blocked b = exact_choice(l.y, l.k, 14, nullptr);
                     return b.side + unit_size(b.r);
                 }});
    c.push_back({"switched flat/least squares", [](const Lane& l) { return switched(l.y, l.k, 14); }});
    c.push_back({"sign by prediction fraction", [](const Lane& l) {
                     const Blocked b = flipped_residuals(l.y, l.k, 14, nullptr);
                     return b.side + unit_size(b.r);
                 }});
    c.push_back({"switched + fraction sign", [](const Lane& l) { return switched(l.y, l.k, 14, true); }});
    c.push_back({"  the same, by bit lengths", [](const Lane& l) { return switched(l.y, l.k, 14, true, true); }});
    for (unsigned nb : {3u, 9u})
        for (bool xb : {false, true})
            c.push_back({"fraction sign + " + std::to_string(nb) + " ctx" + (xb ? " A,B" : " A"), [nb, xb](const Lane& l) {
                             std::vector<int> near;
                             const Blocked b = flipped_residuals(l.y, l.k, 14, &near, nb);
                             return l.less(coder_bits(l.base.r, 0), coder_bits(b.r, 0, nullptr, &near, nb, xb));
                         }});
    c.push_back({"estimate / real coder", [](const Lane& l) {
                     return static_cast<std::size_t>(coder_bits(l.base.r, 0) / 8) + l.base.side;
                 }});
    for (int variant : {1, 2, 3, 4})
        c.push_back({"activity variant " + std::to_string(variant), [variant](const Lane& l) {
                         return l.less(coder_bits(l.base.r, 0), coder_bits(l.base.r, variant));
                     }});
    for (int variant : {1, 2})
        c.push_back({"slope context variant " + std::to_string(variant), [variant](const Lane& l) {
                         return l.less(ab_bits(l.base.r, l.y, 0), ab_bits(l.base.r, l.y, variant));
                     }});
    c.push_back({"models warmed on the lane", [](const Lane& l) {
                     return l.less(coder_bits(l.base.r, 0), coder_bits(l.base.r, 0, &l.base.r));
                 }});
    for (unsigned mags : {4u, 8u})
        c.push_back(stage("bias tracker mags " + std::to_string(mags),
                          [mags](const Lane& l) { return bias_cancel(l.base.r, 64, mags); }));
    for (unsigned rate : {4u, 6u})
        c.push_back(stage("bias mean 2^-" + std::to_string(rate),
                          [rate](const Lane& l) { return bias_mean(l.base.r, rate, 12); }));
    for (unsigned order : {2u, 8u, 16u, 32u})
        for (int mu : {1, 4})
            c.push_back(stage("sslms o" + std::to_string(order) + " mu" + std::to_string(mu) + "/4096",
                              [order, mu](const Lane& l) { return sign_lms(l.base.r, l.base.r, order, 12, mu); }));
    for (unsigned order : {8u, 16u})
        c.push_back(stage("sslms on dy o" + std::to_string(order), [order](const Lane& l) {
                        std::vector<I64> d(l.y.size());
                        for (std::size_t t = 0; t < l.y.size(); ++t) d[t] = l.y[t] - (t ? l.y[t - 1] : 0);
                        return sign_lms(l.base.r, d, order, 12, 1);
                    }));
    c.push_back(stage("cascade 32/16/2", [](const Lane& l) {
                    const auto& r = l.base.r;
                    return sign_lms(sign_lms(sign_lms(r, r, 32, 16, 2), r, 16, 16, 4), r, 2, 16, 8);
                }));
    for (unsigned order : {4u, 16u})
        c.push_back(stage("selms o" + std::to_string(order),
                          [order](const Lane& l) { return sign_error_lms(l.base.r, order, 14, 4); }));
    for (const char* name : {"sslms o16 mu4/4096", "sslms on dy o16"}) {
        std::function<std::size_t(const Lane&)> f;
        for (const Candidate& x : c)
            if (x.name == name) f = x.size;
        c.push_back({std::string("min(today, ") + name + ")",
                     [f](const Lane& l) { return std::min(l.today(), f(l)); }});
    }
    for (std::size_t seg : {32u, 128u})
        c.push_back({"long-term seg " + std::to_string(seg), [seg](const Lane& l) {
                         double side = 0;
                         const auto lo = static_cast<std::size_t>(0.33 * l.fs), hi = static_cast<std::size_t>(1.5 * l.fs);
                         const std::vector<I64> e = long_term(l.base.r, seg, lo, hi, side);
                         return l.base.side + unit_size(e) + static_cast<std::size_t>(side / 8);
                     }});
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    const char* only = argc > 1 && argv[1][0] != 0 ? argv[1] : nullptr;
    const char* which = argc > 2 ? argv[2] : nullptr;
    const unsigned ks[] = {0, 1, 2, 4, 8};
    std::vector<Candidate> cands;
    for (Candidate& c : candidates())
        if (!which || c.name.find(which) != std::string::npos) cands.push_back(std::move(c));

    // log of (candidate bytes / base bytes) per k, summed over recordings
    std::vector<std::vector<double>> logsum(cands.size(), std::vector<double>(5, 0.0));
    std::vector<std::vector<double>> worst(cands.size(), std::vector<double>(5, 0.0));
    std::vector<double> base_log_ratio(5, 0.0);
    int used = 0;
    for (const AdcRecording& rec : bench_data::adc_recordings()) {
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
                // The rebuilt body must be today's: the same predictors and
                // residuals, so the same bytes but for the header's few.
                const std::size_t rebuilt = base.side + unit_size(base.r);
                if (body.size() < rebuilt || body.size() - rebuilt > 24) {
                    std::fprintf(stderr, "%s k=%u: rebuilt body %zu bytes against %zu\n", rec.file, ks[ki], rebuilt,
                                 body.size());
                    return 1;
                }
                const std::size_t fixed = body.size() - rebuilt;
                base_total += rebuilt + fixed;
                const Lane l{y, k, rec.fs, base};
                for (std::size_t c = 0; c < cands.size(); ++c) cand_total[c] += cands[c].size(l) + fixed;
            }
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
    std::printf("\n\n%-30s %s\n", "size / today's body", "geometric mean [worst recording] at k = 0, 1, 2, 4, 8");
    for (std::size_t c = 0; c < cands.size(); ++c) {
        std::printf("%-30s", cands[c].name.c_str());
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
