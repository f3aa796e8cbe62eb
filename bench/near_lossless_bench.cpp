// Near-lossless level coder on the shared recordings: ratio against float32
// and encode/decode speed per recording and bound k (in ADC steps), on
// one-minute lanes of each recording's first five minutes. Every decode is
// checked against its bound; a violation fails the run.
//
// Usage: near_lossless_bench [reps] [--decode]   (best of `reps` timings,
// default 3; with --decode only decoding is repeated, encoding runs once)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "lanes/near_lossless.hpp"

using bench_data::AdcRecording;

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int encode_reps = argc > 2 && std::string(argv[2]) == "--decode" ? 1 : reps;
    const unsigned ks[] = {0, 1, 2, 4, 8};
    std::vector<double> log_ratio(5, 0.0), worst(5, 1e30);
    double total_samples = 0, enc_seconds = 0, dec_seconds = 0;
    int used = 0;
    std::printf("%-26s %3s %8s %9s %9s\n", "recording", "k", "ratio", "enc MS/s", "dec MS/s");
    for (const AdcRecording& rec : bench_data::adc_recordings()) {
        auto x = bench_data::load_recording(rec.file);
        if (!x) continue;
        const std::size_t lane = static_cast<std::size_t>(rec.fs * 60);
        const std::size_t n = std::min(x->size(), 5 * lane);
        std::vector<std::int64_t> levels(n);
        for (std::size_t i = 0; i < n; ++i) {
            levels[i] = static_cast<std::int64_t>(std::llround(static_cast<double>((*x)[i]) * rec.gain + rec.baseline));
        }
        ++used;
        for (unsigned ki = 0; ki < 5; ++ki) {
            const unsigned k = ks[ki];
            std::vector<std::vector<std::uint8_t>> bodies;
            const double te = bench::best_of(encode_reps, [&] {
                bodies.clear();
                for (std::size_t s = 0; s < n; s += lane) {
                    const std::size_t e = std::min(n, s + lane);
                    std::vector<std::uint8_t> body;
                    auto r = vantoresk::lanes::encode_levels({levels.data() + s, e - s}, k, body);
                    if (!r.ok()) {
                        std::fprintf(stderr, "encode failed: %s\n", r.error().message.c_str());
                        std::exit(1);
                    }
                    bodies.push_back(std::move(body));
                }
            });
            std::vector<std::int64_t> out(n);
            const double td = bench::best_of(reps, [&] {
                std::size_t i = 0;
                for (std::size_t s = 0; s < n; s += lane, ++i) {
                    const std::size_t e = std::min(n, s + lane);
                    auto r = vantoresk::lanes::decode_levels(bodies[i], {out.data() + s, e - s});
                    if (!r.ok()) {
                        std::fprintf(stderr, "decode failed: %s\n", r.error().message.c_str());
                        std::exit(1);
                    }
                }
            });
            std::size_t bytes = 0;
            for (const auto& b : bodies) bytes += b.size();
            for (std::size_t i = 0; i < n; ++i) {
                if (std::llabs(out[i] - levels[i]) > static_cast<long long>(k)) {
                    std::fprintf(stderr, "%s k=%u: bound broken at %zu\n", rec.file, k, i);
                    return 1;
                }
            }
            const double ratio = 4.0 * static_cast<double>(n) / static_cast<double>(bytes);
            log_ratio[ki] += std::log(ratio);
            worst[ki] = std::min(worst[ki], ratio);
            total_samples += static_cast<double>(n);
            enc_seconds += te;
            dec_seconds += td;
            std::printf("%-26s %3u %8.2f %9.1f %9.1f\n", rec.file, k, ratio, static_cast<double>(n) / te / 1e6,
                        static_cast<double>(n) / td / 1e6);
        }
    }
    if (used == 0) {
        std::fprintf(stderr, "no recording could be read\n");
        return 1;
    }
    for (unsigned ki = 0; ki < 5; ++ki) {
        std::printf("k=%u: geometric mean ratio %.2f, worst %.2f\n", ks[ki], std::exp(log_ratio[ki] / used), worst[ki]);
    }
    std::printf("overall: encode %.1f M samples/s, decode %.1f M samples/s (one thread)\n",
                total_samples / enc_seconds / 1e6, total_samples / dec_seconds / 1e6);
    return 0;
}
