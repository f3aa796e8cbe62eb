// Raw DEFLATE through libdeflate (one compressor and decompressor per thread,
// kept for the thread's life), shuffling and the frame checksum.
#include "lanes/bytes.hpp"

#include <libdeflate.h>

#include <memory>
#include <string>

namespace vantoresk::lanes {
namespace {

struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};
struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

libdeflate_compressor* compressor(int level) {
    thread_local std::unique_ptr<libdeflate_compressor, FreeCompressor> held[13];
    if (level < 0 || level > 12) level = 6;
    if (!held[level]) held[level].reset(libdeflate_alloc_compressor(level));
    return held[level].get();
}

libdeflate_decompressor* decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, FreeDecompressor> held;
    if (!held) held.reset(libdeflate_alloc_decompressor());
    return held.get();
}

}  // namespace

Status deflate_append(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out, int level) {
    libdeflate_compressor* c = compressor(level);
    if (c == nullptr) return lane_fail(VNT_OUT_OF_MEMORY, "Out of memory: no DEFLATE compressor");
    const std::size_t bound = libdeflate_deflate_compress_bound(c, input.size());
    const std::size_t at = out.size();
    out.resize(at + bound);
    const std::size_t n = libdeflate_deflate_compress(c, input.data(), input.size(), out.data() + at, bound);
    if (n == 0) return lane_fail(VNT_INTERNAL, "DEFLATE did not fit its own bound");
    out.resize(at + n);
    return {};
}

Status inflate_exact(std::span<const std::uint8_t> stream, std::span<std::uint8_t> out, const char* what) {
    if (stream.empty() || stream.size() * kMaxInflation < out.size())
        return bad_frame(std::string(what) + " stream too short for the lane");
    libdeflate_decompressor* d = decompressor();
    if (d == nullptr) return lane_fail(VNT_OUT_OF_MEMORY, "Out of memory: no DEFLATE decompressor");
    std::size_t in_used = 0;
    std::size_t out_used = 0;
    const libdeflate_result rc = libdeflate_deflate_decompress_ex(d, stream.data(), stream.size(), out.data(),
                                                                  out.size(), &in_used, &out_used);
    if (rc != LIBDEFLATE_SUCCESS) {
        if (rc == LIBDEFLATE_INSUFFICIENT_SPACE || rc == LIBDEFLATE_SHORT_OUTPUT)
            return bad_frame(std::string(what) + " stream does not hold the lane's length");
        return bad_frame(std::string(what) + " stream: invalid DEFLATE data");
    }
    if (out_used != out.size() || in_used != stream.size())
        return bad_frame(std::string(what) + " stream does not hold the lane's length");
    return {};
}

void shuffle_append(std::span<const std::uint64_t> values, unsigned width, std::vector<std::uint8_t>& out) {
    const std::size_t n = values.size();
    const std::size_t at = out.size();
    out.resize(at + n * width);
    std::uint8_t* p = out.data() + at;
    for (unsigned b = 0; b < width; ++b) {
        const unsigned shift = 8 * b;
        std::uint8_t* plane = p + b * n;
        for (std::size_t i = 0; i < n; ++i) plane[i] = static_cast<std::uint8_t>(values[i] >> shift);
    }
}

void unshuffle(std::span<const std::uint8_t> planes, unsigned width, std::span<std::uint64_t> out) {
    const std::size_t n = out.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = 0;
    for (unsigned b = 0; b < width; ++b) {
        const unsigned shift = 8 * b;
        const std::uint8_t* plane = planes.data() + b * n;
        for (std::size_t i = 0; i < n; ++i) out[i] |= std::uint64_t{plane[i]} << shift;
    }
}

std::uint32_t crc32_of(std::span<const std::uint8_t> bytes) noexcept {
    return libdeflate_crc32(0, bytes.data(), bytes.size());
}

}  // namespace vantoresk::lanes
