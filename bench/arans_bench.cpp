// Speed of the arans coder on codec-like data: the plain reference loops
// against the fast paths, in the same run, on the same bytes.
//
// Input: 1 MiB of little-endian int16 codes shaped like the codec's
// coefficient stream. A real recording is normalised to the unit range with
// its mean removed, decomposed by a 6-level Haar transform (a stand-in for
// the codec's wavelets, with the same kind of detail statistics), quantised
// at scale 11 (x 2048, clamped to int16, truncated) and laid out deepest
// approximation first, then details from the finest level to the deepest.
// A second input holds Laplacian codes. MB/s counts input bytes (10^6) per
// second of the thread's CPU time.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <time.h>

#include "core/arans/arans.hpp"
#include "tests/reference/arans_reference.hpp"
#include "bench_data.hpp"
#include "support/npy.hpp"
#include "support/splitmix64.hpp"

namespace {

namespace arans = vantoresk::arans;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSamples = 1u << 19;  // 1 MiB of int16 codes
constexpr int kLevels = 6;

std::int16_t quantise(float c) {
    const float scaled = c * 2048.0f;
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

Bytes wavelet_codes(const std::vector<float>& signal) {
    std::vector<float> x(signal.begin(), signal.begin() + kSamples);
    const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    const float minimum = *lo;
    const float range = *hi - *lo > 0 ? *hi - *lo : 1.0f;
    double mean = 0;
    for (float& v : x) {
        v = (v - minimum) / range;
        mean += v;
    }
    const auto m = static_cast<float>(mean / static_cast<double>(x.size()));
    for (float& v : x) v -= m;

    const float r2 = 0.70710678f;
    std::vector<std::vector<std::int16_t>> details;
    std::vector<float> approx = x;
    for (int level = 0; level < kLevels; ++level) {
        std::vector<float> next(approx.size() / 2);
        std::vector<std::int16_t> d(approx.size() / 2);
        for (std::size_t i = 0; i < next.size(); ++i) {
            next[i] = (approx[2 * i] + approx[2 * i + 1]) * r2;
            d[i] = quantise((approx[2 * i] - approx[2 * i + 1]) * r2);
        }
        details.push_back(std::move(d));
        approx = std::move(next);
    }
    Bytes out;
    auto put = [&out](std::int16_t c) {
        const auto u = static_cast<std::uint16_t>(c);
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    for (float a : approx) put(quantise(a));
    for (const auto& d : details) {
        for (std::int16_t c : d) put(c);
    }
    return out;
}

Bytes laplacian_codes(std::size_t samples, double spread) {
    vantoresk::support::SplitMix64 rng(12345);
    Bytes out;
    for (std::size_t i = 0; i < samples; ++i) {
        const double u = rng.unit() - 0.5;
        const double mag = -spread * std::log(1.0 - 2.0 * std::fabs(u));
        const auto c = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(u < 0 ? -mag : mag, -32768.0, 32767.0)));
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

// Thread CPU time: the machine is shared, and time spent descheduled says
// nothing about the coder.
double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds(const std::function<void()>& run) {
    const double t0 = cpu_now();
    run();
    return cpu_now() - t0;
}

// The four coders take turns within every repetition, so that a busy
// machine slows them alike; each keeps its best time.
int bench(const char* name, const Bytes& input, int reps) {
    Bytes stream_ref, stream_fast, back_ref, back_fast;
    double best[4] = {1e30, 1e30, 1e30, 1e30};
    for (int r = 0; r < reps; ++r) {
        best[0] = std::min(best[0], seconds([&] { stream_ref = arans::encode_stream_reference(input); }));
        best[1] = std::min(best[1], seconds([&] { stream_fast = arans::encode_stream(input); }));
        best[2] = std::min(best[2], seconds([&] { back_ref = arans::decode_stream_reference(stream_ref).value(); }));
        best[3] = std::min(best[3], seconds([&] { back_fast = arans::decode_stream(stream_fast).value(); }));
    }
    double rate[4];
    for (int i = 0; i < 4; ++i) rate[i] = static_cast<double>(input.size()) / best[i] / 1e6;
    const bool same = stream_ref == stream_fast && back_ref == input && back_fast == input;
    std::printf("%-22s %8zu -> %8zu bytes (%.3f)  %s\n", name, input.size(), stream_fast.size(),
                static_cast<double>(stream_fast.size()) / static_cast<double>(input.size()),
                same ? "identical" : "MISMATCH");
    std::printf("  encode  reference %7.1f MB/s   fast %7.1f MB/s   x%.2f\n", rate[0], rate[1], rate[1] / rate[0]);
    std::printf("  decode  reference %7.1f MB/s   fast %7.1f MB/s   x%.2f\n", rate[2], rate[3], rate[3] / rate[2]);
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    int failures = 0;
    std::vector<float> signal;
    if (auto loaded = bench_data::load_recording("mitdb100_mlii.npy"); loaded && !loaded->empty()) {
        // A short excerpt is repeated up to the working size.
        signal = loaded->size() >= kSamples ? std::move(*loaded) : bench_data::tiled(*loaded, kSamples);
        failures += bench("haar codes (mitdb100)", wavelet_codes(signal), reps);
    } else {
        ++failures;
    }
    failures += bench("laplacian codes", laplacian_codes(kSamples, 30.0), reps);
    return failures == 0 ? 0 : 1;
}
