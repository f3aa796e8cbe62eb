// Where encoding a lane with a target spends its time: each step of the
// chooser timed on its own, on one-minute lanes of a shared recording.
//
// Usage: lanes_profile [file.npy] [rate_hz] [max_abs_error] [encode-only repeats]
// (with the last argument only the frame encode runs, that many times: for a profiler)
//        lanes_profile --frames[-on-worker] file.npy rate_hz [adc_gain]
// (whole-frame encode and decode speed and page faults per frame, on the
// first five one-minute frames at k = 1 and 4 ADC steps and PRDN 1 %;
// without a gain only the PRDN)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "bench/lane_request.hpp"
#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "lanes/codec.hpp"
#include "lanes/grid.hpp"
#include "lanes/grid_refine.hpp"
#include "lanes/level_lane.hpp"
#include "lanes/near_lossless.hpp"

using namespace vantoresk;
using namespace vantoresk::lanes;

namespace {

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_minflt;
}

int frame_speeds(const std::string& file, double rate, double gain) {
    auto data = bench_data::load_recording(file);
    if (!data || !(rate > 0.0)) {
        std::fprintf(stderr, "%s: not found\n", file.c_str());
        return 1;
    }
    const auto minute = static_cast<std::size_t>(60 * rate);
    struct Target {
        vnt_target_kind kind;
        double value;
        const char* name;
    };
    std::vector<Target> targets;
    if (gain > 0.0) {
        targets.push_back({VNT_TARGET_MAX_ABS_ERROR, 1.0 / gain, "k1"});
        targets.push_back({VNT_TARGET_MAX_ABS_ERROR, 4.0 / gain, "k4"});
    }
    targets.push_back({VNT_TARGET_MAX_PRDN, 1.0, "prdn1"});
    const std::string stem = file.substr(0, file.rfind('.'));
    for (const Target& t : targets) {
        std::vector<std::vector<std::uint8_t>> frames;
        std::size_t samples = 0;
        bool ok = true;
        auto encode_all = [&] {
            frames.clear();
            samples = 0;
            for (std::size_t c = 0; c < 5 && c * minute < data->size(); ++c) {
                const std::size_t n = std::min(minute, data->size() - c * minute);
                const auto [layout, opts] = bench::float32_lane(n, t.kind, &t.value);
                const std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(data->data() + c * minute),
                                                       n * 4);
                auto r = encode_frame(in, layout, opts);
                ok = ok && r.ok();
                if (r) frames.push_back(std::move(r.value()));
                samples += n;
            }
        };
        encode_all();  // warm
        if (!ok) return 1;
        const long encode_faults = minor_faults();
        const double encode_seconds = bench::best_of(3, encode_all);
        const double encode_per_frame =
            static_cast<double>(minor_faults() - encode_faults) / (3.0 * static_cast<double>(frames.size()));
        std::printf("%-24s %-6s encode_frame %8.1f M samples/s  %6.1f page faults per frame\n", stem.c_str(), t.name,
                    static_cast<double>(samples) / encode_seconds / 1e6, encode_per_frame);
        std::vector<std::uint8_t> out(minute * 4);
        for (const auto& f : frames) ok = decode_frame(f, out).ok() && ok;  // warm: first touches not counted
        const long faults = minor_faults();
        const double seconds = bench::best_of(7, [&] {
            for (const auto& f : frames) ok = decode_frame(f, out).ok() && ok;
        });
        const double per_frame = static_cast<double>(minor_faults() - faults) / (7.0 * static_cast<double>(frames.size()));
        if (!ok) return 1;
        std::printf("%-24s %-6s decode_frame %8.1f M samples/s  %6.1f page faults per frame\n", stem.c_str(), t.name,
                    static_cast<double>(samples) / seconds / 1e6, per_frame);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3 && (std::string(argv[1]) == "--frames" || std::string(argv[1]) == "--frames-on-worker")) {
        const double gain = argc > 4 ? std::atof(argv[4]) : 0.0;
        if (std::string(argv[1]) == "--frames") return frame_speeds(argv[2], std::atof(argv[3]), gain);
        // On a thread of its own, as a reader's thread pool decodes: its
        // allocator arena gives memory back to the kernel more eagerly.
        int rc = 1;
        std::thread worker([&] { rc = frame_speeds(argv[2], std::atof(argv[3]), gain); });
        worker.join();
        return rc;
    }
    const std::string file = argc > 1 ? argv[1] : "mitdb100_mlii.npy";
    const double rate = argc > 2 ? std::atof(argv[2]) : 360.0;
    const double target = argc > 3 ? std::atof(argv[3]) : 0.02;
    auto data = bench_data::load_recording(file);
    if (!data) {
        std::fprintf(stderr, "%s: not found\n", file.c_str());
        return 1;
    }
    const auto n = static_cast<std::size_t>(60 * rate);
    if (data->size() < n) return 1;
    std::vector<float> x(data->begin(), data->begin() + static_cast<std::ptrdiff_t>(n));
    const double per = static_cast<double>(n) / 1e6;
    // One float32 lane with the target, as a caller of the C interface gives it.
    const auto [layout, opts] = bench::float32_lane(n, VNT_TARGET_MAX_ABS_ERROR, &target);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(x.data()), n * 4);
    auto report = [&](const char* what, double seconds) {
        std::printf("%-28s %8.3f ms  %8.1f M samples/s\n", what, seconds * 1e3, per / seconds);
    };
    if (argc > 4) {
        const int repeats = std::atoi(argv[4]);
        std::size_t total = 0;
        for (int r = 0; r < repeats; ++r) total += encode_frame(bytes, layout, opts).value().size();
        std::printf("%zu bytes in all\n", total);
        return 0;
    }
    std::optional<Grid> g;
    report("find_grid", bench::best_of(5, [&] { g = find_grid<float>(x); }));
    if (!g) return 1;
    GridFit fit;
    report("fit_grid", bench::best_of(5, [&] { fit = fit_grid<float>(x, *g); }));
    std::optional<GridFit> refined;
    report("refine_fit", bench::best_of(5, [&] { refined = refine_fit(x, fit); }));
    if (refined) fit = std::move(*refined);
    std::vector<std::uint8_t> body;
    report("grid_body (kind 4)", bench::best_of(5, [&] { body.clear(); (void)grid_body<float>(x, fit, body); }));
    const auto k = static_cast<std::uint64_t>(target / g->b);
    report("encode_levels", bench::best_of(5, [&] { body.clear(); (void)encode_levels(fit.k, k, body); }));
    std::vector<std::int64_t> levels(n);
    report("decode_levels", bench::best_of(5, [&] { (void)decode_levels(body, levels); }));
    CompressionOptions o;
    o.scale = 9;
    std::vector<std::uint8_t> container;
    report("container compress", bench::best_of(5, [&] { container = compress(x, o).value(); }));
    report("container decompress", bench::best_of(5, [&] { (void)decompress(container); }));
    std::vector<std::uint8_t> frame;
    report("encode_frame (target)", bench::best_of(5, [&] { frame = encode_frame(bytes, layout, opts).value(); }));
    std::vector<std::uint8_t> out(n * 4);
    report("decode_frame", bench::best_of(5, [&] { (void)decode_frame(frame, out); }));
    std::printf("frame %zu bytes (ratio %.2f)\n", frame.size(), static_cast<double>(n * 4) / static_cast<double>(frame.size()));
    return 0;
}
