// Whole-pipeline speed: compress and decompress of real recordings for
// every method and coder, in samples per second, with the compression ratio
// (float32 input bytes over container bytes) and the largest error.
//
//   codec_bench [seconds-per-case] [recording.npy ...]
//
// Without file arguments it reads a fixed set of recordings from the shared
// data directory, or their excerpts committed in the repository when that is
// absent (bench_data.hpp). It fails when it could measure nothing.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "bench_data.hpp"
#include "support/npy.hpp"

namespace {

using namespace vantoresk;
using Clock = std::chrono::steady_clock;

template <class F>
double seconds_per_call(F&& f, double budget) {
    std::size_t calls = 0;
    const auto start = Clock::now();
    double elapsed = 0.0;
    do {
        f();
        ++calls;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < budget || calls < 2);
    return elapsed / static_cast<double>(calls);
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 0.5;
    struct Recording {
        std::string name;
        std::vector<float> samples;
    };
    std::vector<Recording> recordings;
    for (int i = 2; i < argc; ++i) {
        const std::string path = argv[i];
        if (auto x = support::read_npy(path)) {
            recordings.push_back({path.substr(path.find_last_of('/') + 1), std::move(*x)});
        } else {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
        }
    }
    if (argc <= 2) {
        for (const char* name : {"mitdb100_mlii.npy", "ptbdb_s0010re_ii.npy", "mimicdb03700181_abp.npy",
                                 "eegmat_s00r1_fz.npy", "cinc2015_a103l_pleth.npy"}) {
            if (auto x = bench_data::load_recording(name)) recordings.push_back({name, std::move(*x)});
        }
    }
    if (recordings.empty()) {
        std::fprintf(stderr, "no recording could be read: nothing measured\n");
        return 1;
    }
    const struct {
        const char* name;
        CompressionMethod method;
    } methods[] = {{"cdf53", CompressionMethod::Cdf53}, {"cdf97", CompressionMethod::Cdf97},
                   {"db4", CompressionMethod::Db4}, {"sym4", CompressionMethod::Sym4}};
    const struct {
        const char* name;
        EntropyCoder coder;
    } coders[] = {{"deflate", EntropyCoder::Deflate}, {"arans", EntropyCoder::Arans}};

    std::printf("%-28s %-6s %-8s %10s %12s %12s %8s %10s\n", "recording", "method", "coder", "samples",
                "comp MS/s", "decomp MS/s", "ratio", "max err");
    for (const auto& recording : recordings) {
        const std::vector<float>* x = &recording.samples;
        const std::string& name = recording.name;
        for (const auto& m : methods) {
            for (const auto& c : coders) {
                const CompressionOptions options{m.method, 11, CutoffLevel::Low, c.coder};
                auto container = compress(*x, options);
                if (!container.ok()) {
                    std::fprintf(stderr, "%s: %s\n", name.c_str(), container.error().display().c_str());
                    return 1;
                }
                auto decoded = decompress(container.value());
                if (!decoded.ok()) {
                    std::fprintf(stderr, "%s: %s\n", name.c_str(), decoded.error().display().c_str());
                    return 1;
                }
                float err = 0.0f;
                for (std::size_t i = 0; i < x->size(); ++i) err = std::max(err, std::fabs((*x)[i] - decoded.value()[i]));
                const double tc = seconds_per_call([&] { (void)compress(*x, options); }, budget);
                const double td = seconds_per_call([&] { (void)decompress(container.value()); }, budget);
                const double n = static_cast<double>(x->size());
                std::printf("%-28s %-6s %-8s %10zu %12.2f %12.2f %8.2f %10.3g\n", name.c_str(), m.name, c.name,
                            x->size(), n / tc / 1e6, n / td / 1e6, 4.0 * n / static_cast<double>(container->size()),
                            static_cast<double>(err));
            }
        }
    }
    return 0;
}
