// Where compress spends its time, stage by stage, on one recording at
// default settings (cdf97, scale 11, low cutoff, rANS), and what the rANS
// encoder costs per decision and per coded bit, split into its model and its
// coding loop.
//
//   compress_profile [repetitions] [recording.npy]
//
// Times are the best of the repetitions in thread CPU time; cycles assume the
// clock /proc/cpuinfo reports (no hardware counters needed).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "core/arans/arans.hpp"
#include "core/arans/plane_encoder.hpp"
#include "core/arans/stream_format.hpp"
#include "core/compress_steps.hpp"
#include "core/compressor.hpp"
#include "core/quantise.hpp"
#include "core/wavelet_choice.hpp"
#include "support/npy.hpp"

namespace {

using namespace vantoresk;

using bench::best_of;

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    // A path given is read as it is; otherwise the recording as found.
    const std::string path = argc > 2 ? argv[2] : std::string("mitdb100_mlii.npy");
    const auto x = argc > 2 ? support::read_npy(path) : bench_data::load_recording(path);
    if (!x) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::size_t n = x->size();
    const CompressionOptions o{};
    const auto executor = make_executor(o.method);

    // The stages as compress runs them, each on the previous one's output.
    std::vector<float> signal;
    SampleRange range{};
    const double t_take = best_of(reps, [&] { signal = take_samples(*x, o).value().signal; });
    const double t_sanitise = best_of(reps, [&] {
        signal.assign(x->begin(), x->end());
        range = sanitise_and_measure(signal, signal);
        (void)normalise(signal, range);
    }) - t_take;
    const std::size_t levels = level_count_for(n, executor->filter_length());
    tremora::MultiDwt dwt;
    const double t_transform = best_of(reps, [&] { dwt = executor->multi_dwt(signal, levels).value(); });
    std::vector<std::int16_t> codes;
    const double t_quantise = best_of(reps, [&] {
        codes.clear();
        const auto& a = dwt.levels[levels - 1].approximations;
        std::vector<std::int16_t> band(a.size());
        quantise_band(a, scale_factor(o.scale), band);
        codes.insert(codes.end(), band.begin(), band.end());
        for (std::size_t k = 0; k < levels; ++k) {
            const auto& d = dwt.levels[k].details;
            band.assign(d.size(), 0);
            quantise_band(d, scale_factor(o.scale), band);
            apply_dead_zone(band, dead_zone_threshold(o.scale, o.cutoff));
            codes.insert(codes.end(), band.begin(), band.end());
        }
    });
    std::vector<std::uint8_t> stream(2 * codes.size());
    const double t_serialise = best_of(reps, [&] { store_codes_le(codes, stream.data()); });
    std::vector<std::uint8_t> coded;
    const double t_encode = best_of(reps, [&] { coded = arans::encode_stream(stream); });
    // The encoder's model alone, as encode_stream runs it; the coding loop
    // (and the output's growth) is the rest.
    const double t_model = best_of(reps, [&] {
        (void)arans::run_plane_pair_model(stream.data(), stream.data() + 1, 2, stream.size() / 2,
                                          arans::context_bits_for_length(stream.size()));
    });
    const double t_whole = best_of(reps, [&] { (void)compress(*x, o); });

    const double hz = bench::nominal_clock_hz();
    const double decisions = 8.0 * static_cast<double>(stream.size());
    const double coded_bits = 8.0 * static_cast<double>(coded.size());
    std::printf("%s: %zu samples, %zu codes, %zu coded bytes, clock %.0f MHz\n", path.c_str(), n, codes.size(),
                coded.size(), hz / 1e6);
    const struct {
        const char* name;
        double t;
    } stages[] = {{"take samples", t_take},       {"sanitise+normalise", t_sanitise}, {"transform", t_transform},
                  {"quantise+dead zone", t_quantise}, {"serialise", t_serialise},      {"rANS encode", t_encode}};
    double sum = 0.0;
    for (const auto& s : stages) {
        sum += s.t;
        std::printf("  %-20s %8.3f ms  %5.1f %%\n", s.name, s.t * 1e3, 100.0 * s.t / t_whole);
    }
    std::printf("  %-20s %8.3f ms  (stages sum %.3f ms)\n", "whole compress", t_whole * 1e3, sum * 1e3);
    std::printf("whole compress %.1f M samples/s (target 35)\n", static_cast<double>(n) / t_whole / 1e6);
    std::printf("rANS encode: %.2f cycles per decision (both planes), %.2f per decision and plane state,"
                " %.1f cycles per coded bit\n",
                t_encode * hz / decisions, 2.0 * t_encode * hz / decisions, t_encode * hz / coded_bits);
    std::printf("  model (forward pass and replays) %8.3f ms  %5.2f cycles per decision\n", t_model * 1e3,
                t_model * hz / decisions);
    std::printf("  coding (the rest)                %8.3f ms  %5.2f cycles per decision\n",
                (t_encode - t_model) * 1e3, (t_encode - t_model) * hz / decisions);
    return 0;
}
