// Every frame the lane codec writes with a target, for a check that a change
// to the encoder leaves the bytes alone, and the encode speed per target.
//
// Usage: lanes_frames file.npy rate_hz adc_gain [out_dir]
// Encodes the first five one-minute lanes of the recording with
// max_abs_error = k / gain for k = 0, 1, 2, 4, 8 and max_prdn = 0.5, 1, 2, 5 %;
// prints the CPU time per target and, with out_dir, writes each frame there
// as <stem>_<target>_<chunk>.bin (bench/lanes_frame_hashes.py hashes them).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "bench/lane_request.hpp"
#include "lanes/codec.hpp"

using namespace vantoresk::lanes;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: lanes_frames file.npy rate_hz adc_gain [out_dir]\n");
        return 2;
    }
    const std::string file = argv[1];
    const double rate = std::atof(argv[2]);
    const double gain = std::atof(argv[3]);
    const std::string out_dir = argc > 4 ? argv[4] : "";
    auto data = bench_data::load_recording(file);
    if (!data || !(rate > 0.0) || !(gain > 0.0)) return 1;
    const auto minute = static_cast<std::size_t>(60 * rate);
    std::string stem = file.substr(0, file.rfind('.'));
    struct Target {
        vnt_target_kind kind;
        double value;
        std::string name;
    };
    std::vector<Target> targets;
    char name[32];
    for (int k : {0, 1, 2, 4, 8}) {
        std::snprintf(name, sizeof name, "k%d", k);
        targets.push_back({VNT_TARGET_MAX_ABS_ERROR, k / gain, name});
    }
    for (double p : {0.5, 1.0, 2.0, 5.0}) {
        std::snprintf(name, sizeof name, "prdn%g", p);
        targets.push_back({VNT_TARGET_MAX_PRDN, p, name});
    }
    double all_seconds = 0.0;
    std::size_t all_samples = 0;
    for (const auto& t : targets) {
        double seconds = 0.0;
        std::size_t samples = 0, bytes = 0;
        for (std::size_t c = 0; c < 5 && c * minute < data->size(); ++c) {
            const std::size_t n = std::min(minute, data->size() - c * minute);
            const float* x = data->data() + c * minute;
            const auto [layout, opts] = bench::float32_lane(n, t.kind, &t.value);
            const std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(x), n * 4);
            std::vector<std::uint8_t> frame;
            const double t0 = bench::cpu_now();
            auto r = encode_frame(in, layout, opts);
            seconds += bench::cpu_now() - t0;
            if (!r) {
                std::fprintf(stderr, "%s %s chunk %zu: %s\n", file.c_str(), t.name.c_str(), c, r.error().message.c_str());
                return 1;
            }
            frame = std::move(r.value());
            samples += n;
            bytes += frame.size();
            if (!out_dir.empty()) {
                std::string path = out_dir;
                path.append("/").append(stem).append("_").append(t.name).append("_").append(std::to_string(c));
                path.append(".bin");
                std::ofstream f(path, std::ios::binary);
                f.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
                if (!f) return 1;
            }
        }
        all_seconds += seconds;
        all_samples += samples;
        std::printf("%-24s %-8s ratio %7.2f  %7.1f M samples/s\n", stem.c_str(), t.name.c_str(),
                    static_cast<double>(samples * 4) / static_cast<double>(bytes),
                    static_cast<double>(samples) / seconds / 1e6);
    }
    std::printf("%-24s %-8s               %7.1f M samples/s\n", stem.c_str(), "all",
                static_cast<double>(all_samples) / all_seconds / 1e6);
    return 0;
}
