// The prediction-centred interpolation scheme against the lattice coder on
// the shared recordings, on one-minute lanes of each recording's first five
// minutes (the ADC integers, round(x * gain + baseline)).
//
//  * PRDN 0.5, 1, 2, 5 %: for each lane, the lattice coder at the largest
//    bound k (in ADC steps) whose reconstruction meets the PRDN (measured on
//    the levels), against the scheme's own search (interp_search.hpp, flat
//    and tapered bounds); ratio against float32, the lane bounds of the
//    first lane, and the tapers kept (F flat, T tapered).
//  * max-abs k = 1, 2, 4, 8: both coders at the same k.
// Every decode is checked (bound, and PRDN where asked); a violation fails
// the run. Speeds are one thread, CPU time, best of `reps`.
//
// Usage: interp_bench [reps]   (default 3)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "lanes/interp_coder.hpp"
#include "lanes/interp_scheme.hpp"
#include "lanes/interp_search.hpp"
#include "lanes/near_lossless.hpp"

namespace {

using Levels = std::vector<std::int64_t>;
namespace vl = vantoresk::lanes;

using bench_data::AdcRecording;

double prdn(std::span<const std::int64_t> want, std::span<const std::int64_t> got) {
    double mean = 0;
    for (auto v : want) mean += static_cast<double>(v);
    mean /= static_cast<double>(want.size());
    double num = 0, den = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const double d = static_cast<double>(want[i] - got[i]), c = static_cast<double>(want[i]) - mean;
        num += d * d;
        den += c * c;
    }
    return den > 0 ? 100.0 * std::sqrt(num / den) : (num == 0 ? 0.0 : 1e30);
}

double deviation(const Levels& v) {
    double mean = 0, sq = 0;
    for (auto x : v) mean += static_cast<double>(x);
    mean /= static_cast<double>(v.size());
    for (auto x : v) sq += (static_cast<double>(x) - mean) * (static_cast<double>(x) - mean);
    return std::sqrt(sq / static_cast<double>(v.size()));
}

// What each coder decodes to at bound k, without coding.
Levels lattice_recon(const Levels& v, std::int64_t k) {
    Levels out(v.size());
    const std::int64_t w = 2 * k + 1;
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::int64_t num = v[i] + k, q = num / w;
        if (num % w != 0 && num < 0) --q;
        out[i] = q * w;
    }
    return out;
}

// The largest k meeting the PRDN, from the uniform-error estimate
// sqrt(k (k + 1) / 3) = PRDN * deviation, then measured.
std::int64_t k_for(const Levels& v, double target, const std::function<Levels(const Levels&, std::int64_t)>& recon) {
    const double e = target / 100.0 * deviation(v);
    auto k = static_cast<std::int64_t>(std::floor((-1.0 + std::sqrt(1.0 + 12.0 * e * e)) / 2.0));
    auto met = [&](std::int64_t kk) { return kk == 0 || prdn(v, recon(v, kk)) <= target; };
    if (met(k)) {
        while (met(k + 1)) ++k;
    } else {
        while (k > 0 && !met(k)) --k;
    }
    return k;
}

struct Sizes {
    std::size_t bytes = 0;
    double enc = 0, dec = 0;
};

// Codes every lane with its own k; checks bound and PRDN.
Sizes run(const std::vector<Levels>& lanes, const std::vector<std::int64_t>& ks,
          const std::vector<std::vector<std::uint64_t>>& bounds, double target, int reps, const char* what) {
    const bool interp = !bounds.empty();
    Sizes s;
    std::vector<std::vector<std::uint8_t>> bodies(lanes.size());
    s.enc = bench::best_of(reps, [&] {
        for (std::size_t l = 0; l < lanes.size(); ++l) {
            bodies[l].clear();
            const auto k = static_cast<std::uint64_t>(ks[l]);
            auto st = interp ? vl::encode_interp(lanes[l], bounds[l], bodies[l]) : vl::encode_levels(lanes[l], k, bodies[l]);
            if (!st.ok()) {
                std::fprintf(stderr, "%s: encode failed: %s\n", what, st.error().message.c_str());
                std::exit(1);
            }
        }
    });
    std::vector<Levels> out(lanes.size());
    for (std::size_t l = 0; l < lanes.size(); ++l) out[l].resize(lanes[l].size());
    s.dec = bench::best_of(reps, [&] {
        for (std::size_t l = 0; l < lanes.size(); ++l) {
            auto st = interp ? vl::decode_interp(bodies[l], out[l]) : vl::decode_levels(bodies[l], out[l]);
            if (!st.ok()) {
                std::fprintf(stderr, "%s: decode failed: %s\n", what, st.error().message.c_str());
                std::exit(1);
            }
        }
    });
    for (std::size_t l = 0; l < lanes.size(); ++l) {
        s.bytes += bodies[l].size();
        for (std::size_t i = 0; i < lanes[l].size(); ++i) {
            if (std::llabs(out[l][i] - lanes[l][i]) > ks[l]) {
                std::fprintf(stderr, "%s: bound %lld broken\n", what, static_cast<long long>(ks[l]));
                std::exit(1);
            }
        }
        if (target > 0 && prdn(lanes[l], out[l]) > target) {
            std::fprintf(stderr, "%s: PRDN %.4f above %.2f\n", what, prdn(lanes[l], out[l]), target);
            std::exit(1);
        }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const double targets[] = {0.5, 1.0, 2.0, 5.0};
    const std::int64_t abs_ks[] = {1, 2, 4, 8};
    double samples = 0, enc = 0, dec = 0;
    int used = 0;
    std::printf("%-26s %-9s %12s %12s %8s %s\n", "recording", "target", "lattice", "interp", "gain", "k lattice/interp");
    for (const AdcRecording& rec : bench_data::adc_recordings()) {
        auto x = bench_data::load_recording(rec.file);
        if (!x) continue;
        ++used;
        const std::size_t lane = static_cast<std::size_t>(rec.fs * 60);
        const std::size_t n = std::min(x->size(), 5 * lane);
        std::vector<Levels> lanes;
        for (std::size_t s = 0; s < n; s += lane) {
            Levels v(std::min(n, s + lane) - s);
            for (std::size_t i = 0; i < v.size(); ++i)
                v[i] = std::llround(static_cast<double>((*x)[s + i]) * rec.gain + rec.baseline);
            lanes.push_back(std::move(v));
        }
        auto report = [&](const std::string& label, const std::vector<std::int64_t>& kl,
                          const std::vector<std::vector<std::uint64_t>>& bi, double target, double search) {
            const Sizes a = run(lanes, kl, {}, target, 1, rec.file);
            std::vector<std::int64_t> ki;
            std::string tapers;
            for (const auto& b : bi) {
                ki.push_back(static_cast<std::int64_t>(*std::max_element(b.begin(), b.end())));
                tapers += b.size() > 1 ? 'T' : 'F';
            }
            const Sizes b = run(lanes, ki, bi, target, reps, rec.file);
            const double raw = 4.0 * static_cast<double>(n);
            std::printf("%-26s %-9s %12.2f %12.2f %8.3f %6lld/%-6lld %s", rec.file, label.c_str(),
                        raw / static_cast<double>(a.bytes), raw / static_cast<double>(b.bytes),
                        static_cast<double>(a.bytes) / static_cast<double>(b.bytes), static_cast<long long>(kl[0]),
                        static_cast<long long>(ki[0]), tapers.c_str());
            if (search > 0) std::printf("  search %.1f MS/s", static_cast<double>(n) / search / 1e6);
            std::printf("\n");
            samples += static_cast<double>(n);
            enc += b.enc;
            dec += b.dec;
        };
        for (const double t : targets) {
            std::vector<std::int64_t> kl;
            std::vector<std::vector<std::uint64_t>> bi;
            for (const auto& v : lanes) kl.push_back(k_for(v, t, lattice_recon));
            const double search = bench::best_of(1, [&] {
                bi.clear();
                for (const auto& v : lanes) {
                    const double e = t / 100.0 * deviation(v);
                    const auto guess = static_cast<std::uint64_t>(std::max(1.0, std::sqrt(3.0) * e));
                    vl::InterpFound found;
                    auto st = vl::interp_search(
                        v, guess, std::uint64_t{1} << 30, [&](std::span<const std::int64_t> r) { return prdn(v, r); }, t,
                        found);
                    if (!st.ok()) std::exit(1);
                    bi.push_back(found.found ? found.bounds : std::vector<std::uint64_t>{0});
                }
            });
            char label[32];
            std::snprintf(label, sizeof label, "prdn%.1f", t);
            report(label, kl, bi, t, search);
        }
        for (const std::int64_t k : abs_ks) {
            const std::vector<std::int64_t> ks(lanes.size(), k);
            const std::vector<std::vector<std::uint64_t>> bi(lanes.size(), {static_cast<std::uint64_t>(k)});
            report("k=" + std::to_string(k), ks, bi, 0.0, 0.0);
        }
    }
    if (used == 0) {
        std::fprintf(stderr, "no recording could be read\n");
        return 1;
    }
    std::printf("interp scheme overall: encode %.1f M samples/s, decode %.1f M samples/s (one thread)\n",
                samples / enc / 1e6, samples / dec / 1e6);
    return 0;
}
