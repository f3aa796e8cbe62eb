// Where decompress spends its time, stage by stage, on one recording at
// default settings (cdf97, scale 11, low cutoff, rANS), and what the rANS
// decoder costs per decision and per sample.
//
//   decompress_profile [repetitions] [recording.npy]
//
// Without a path it reads mitdb100_mlii from the shared data directory, or
// the excerpt committed in the repository when that is absent.
//
// Times are the best of the repetitions in thread CPU time; cycles use the
// clock measured by a chain of dependent additions (no hardware counters
// needed), or the one /proc/cpuinfo reports where that cannot run. The decoder runs
// the even and the odd byte plane as two interleaved chains of 8 decisions
// per byte, so one "step" below is one decision on each chain.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "core/arans/arans.hpp"
#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "core/header.hpp"
#include "core/quantise.hpp"
#include "core/wavelet_choice.hpp"
#include "support/npy.hpp"

namespace {

using namespace vantoresk;

using bench::best_of;

// The core's clock as this thread sees it: a chain of dependent one-cycle
// additions, 8 per iteration, timed in thread CPU time. The nominal clock
// above can be off both ways (boost, throttling on a shared host).
double measured_clock_hz() {
#if defined(__x86_64__)
    constexpr std::uint64_t kIterations = 50'000'000;
    const double t = best_of(3, [] {
        std::uint64_t v = 0;
        for (std::uint64_t i = 0; i < kIterations; ++i) {
            asm volatile(
                "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
                : "+r"(v));
        }
    });
    return 8.0 * static_cast<double>(kIterations) / t;
#else
    return 0.0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    // A path given is read as it is; otherwise the shared recording, or its
    // committed excerpt.
    const std::string path = argc > 2 ? argv[2] : std::string("mitdb100_mlii.npy");
    const auto x = argc > 2 ? support::read_npy(path) : bench_data::load_recording(path);
    if (!x) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::size_t n = x->size();
    const CompressionOptions o{};
    const auto container = compress(*x, o);
    if (!container) {
        std::fprintf(stderr, "compress failed\n");
        return 1;
    }
    const std::span<const std::uint8_t> bytes(*container);
    const auto header = VantoreskHeader::from_bytes(bytes).value();
    const auto payload = bytes.subspan(kHeaderSize, header.payload_length);
    const auto executor = make_executor(o.method);

    // The band layout the decoder builds (A_L, D_1, ..., D_L).
    const std::size_t levels = header.level_count;
    std::vector<tremora::DwtSize> sizes;
    std::size_t input = std::max(static_cast<std::size_t>(header.sample_count), executor->filter_length());
    std::size_t codes = 0;
    for (std::size_t k = 0; k < levels; ++k) {
        sizes.push_back(executor->dwt_size(input));
        input = sizes.back().approx_length;
        codes += sizes.back().details_length;
    }
    codes += sizes.back().approx_length;

    std::vector<std::uint8_t> decoded;
    const double t_decode = best_of(reps, [&] { decoded = arans::decode_stream(payload).value(); });
    std::vector<float> bands(codes);
    const double t_dequantise =
        best_of(reps, [&] { dequantise_le(decoded.data(), inverse_scale_factor(header.scale), bands); });
    tremora::MultiDwtRef ref;
    ref.approximation = std::span<const float>(bands).first(sizes.back().approx_length);
    std::size_t offset = sizes.back().approx_length;
    for (const auto& s : sizes) {
        ref.details.push_back(std::span<const float>(bands).subspan(offset, s.details_length));
        offset += s.details_length;
    }
    const double t_inverse = best_of(reps, [&] { (void)executor->multi_idwt(ref).value(); });
    const double t_whole = best_of(reps, [&] { (void)decompress(bytes).value(); });

    const double nominal_hz = bench::nominal_clock_hz();
    const double measured_hz = measured_clock_hz();
    const double hz = measured_hz > 0.0 ? measured_hz : nominal_hz;
    const double decisions = 8.0 * static_cast<double>(decoded.size());
    std::printf("%s: %zu samples, %zu codes, %zu coded bytes, clock %.0f MHz nominal, %.0f MHz measured\n",
                path.c_str(), n, codes, payload.size(), nominal_hz / 1e6, measured_hz / 1e6);
    const struct {
        const char* name;
        double t;
    } stages[] = {{"rANS decode", t_decode}, {"dequantise", t_dequantise}, {"inverse transform", t_inverse}};
    double sum = 0.0;
    for (const auto& s : stages) {
        sum += s.t;
        std::printf("  %-20s %8.3f ms  %5.1f %%\n", s.name, s.t * 1e3, 100.0 * s.t / t_whole);
    }
    std::printf("  %-20s %8.3f ms  (stages sum %.3f ms)\n", "whole decompress", t_whole * 1e3, sum * 1e3);
    std::printf("whole decompress %.1f M samples/s (target 45); rANS decode alone %.1f M samples/s\n",
                static_cast<double>(n) / t_whole / 1e6, static_cast<double>(n) / t_decode / 1e6);
    std::printf("rANS decode: %.2f cycles per decision (both planes), %.2f per step of the two chains,"
                " %.1f cycles per sample, %.2f coded bits per decision\n",
                t_decode * hz / decisions, 2.0 * t_decode * hz / decisions, t_decode * hz / static_cast<double>(n),
                8.0 * static_cast<double>(payload.size()) / decisions);
    return 0;
}
