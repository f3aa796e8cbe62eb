// Where encoding a lane with a target spends its time: each step of the
// chooser timed on its own, on one-minute lanes of a shared recording.
//
// Usage: lanes_profile [file.npy] [rate_hz] [max_abs_error] [encode-only repeats]
// (with the last argument only the frame encode runs, that many times: for a profiler)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

int main(int argc, char** argv) {
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
