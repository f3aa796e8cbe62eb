// DEFLATE payload coding, libdeflate against zlib in the same run, on the
// coefficient stream of real recordings at default settings. MB/s counts
// stream bytes per second of the thread's CPU time.
//
//   deflate_bench [repetitions] [recording.npy ...]
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_data.hpp"
#include "bench/cpu_timer.hpp"
#include "core/arans/arans.hpp"
#include "core/compressor.hpp"
#include "core/deflate.hpp"
#include "core/header.hpp"
#include "support/npy.hpp"

namespace {

using namespace vantoresk;
using Bytes = std::vector<std::uint8_t>;

using bench::best_of;

// Level 6 raw DEFLATE as zlib writes it (the encoder used before libdeflate).
Bytes zlib_deflate(const Bytes& data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, data.size()));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) files.emplace_back(argv[i]);
    if (files.empty()) {
        auto found = bench_data::find_recording("mitdb100_mlii.npy");
        if (!found) return 1;
        files.push_back(found->path);
    }
    std::printf("%-24s %9s | %-22s %-22s | %-22s %-22s\n", "recording", "stream", "deflate zlib", "deflate libdeflate",
                "inflate zlib", "inflate libdeflate");
    for (const auto& path : files) {
        const auto x = support::read_npy(path);
        if (!x) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            continue;
        }
        const auto c = compress(*x, CompressionOptions{}).value();
        const Bytes stream = arans::decode_stream(std::span(c).subspan(kHeaderSize)).value();
        Bytes by_zlib, by_libdeflate;
        const double dz = best_of(reps, [&] { by_zlib = zlib_deflate(stream); });
        const double dl = best_of(reps, [&] { by_libdeflate = deflate_raw(stream).value(); });
        Bytes room(stream.size());
        const double iz = best_of(reps, [&] { (void)inflate_streaming_into(by_libdeflate, room); });
        const double il = best_of(reps, [&] { (void)inflate_raw_into(by_libdeflate, room); });
        const bool same = room == stream;
        const double mb = static_cast<double>(stream.size()) / 1e6;
        const std::string name = path.substr(path.find_last_of('/') + 1);
        std::printf("%-24s %9zu | %7.1f MB/s %8zu B | %7.1f MB/s %8zu B | %7.1f MB/s %13s | %7.1f MB/s  x%.2f %s\n",
                    name.c_str(), stream.size(), mb / dz, by_zlib.size(), mb / dl, by_libdeflate.size(), mb / iz, "",
                    mb / il, iz / il, same ? "" : "MISMATCH");
    }
    return 0;
}
