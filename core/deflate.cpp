#include "core/deflate.hpp"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>

#include "support/fallible.hpp"

namespace vantoresk {
namespace {

// zlib counts in uInt; feed and drain it in pieces no larger than this.
constexpr std::size_t kChunk = std::size_t{1} << 30;
constexpr int kLevel = 6;

struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};
struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

// An open raw inflate stream that is ended on every path. inflate() resumes
// where it stopped, so the output may be handed over in pieces.
class Inflater {
public:
    Inflater() = default;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() {
        if (open_) inflateEnd(&z_);
    }
    int open() {
        const int rc = inflateInit2(&z_, -15);
        open_ = rc == Z_OK;
        return rc;
    }

    enum class Step { Ended, Full, Failed };

    // Inflates into out[produced, out.size()), advancing `produced`, until the
    // stream ends or stops short (Ended), the output is full (Full), or zlib
    // fails (Failed, with `error` set).
    Step run(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out, std::size_t& produced,
             VResult<std::size_t>& error) {
        while (produced < out.size()) {
            const std::size_t in_now = std::min(kChunk, payload.size() - consumed_);
            const std::size_t out_now = std::min(kChunk, out.size() - produced);
            z_.next_in = const_cast<Bytef*>(payload.data() + consumed_);
            z_.avail_in = static_cast<uInt>(in_now);
            z_.next_out = out.data() + produced;
            z_.avail_out = static_cast<uInt>(out_now);
            const int rc = inflate(&z_, Z_NO_FLUSH);
            consumed_ += in_now - z_.avail_in;
            produced += out_now - z_.avail_out;
            if (rc == Z_STREAM_END) return Step::Ended;
            if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
                error = fail(VantoreskError::decompression_failed("corrupt deflate stream"));
                return Step::Failed;
            }
            if (rc == Z_MEM_ERROR) {
                error = fail(VantoreskError::out_of_memory(sizeof(z_stream)));
                return Step::Failed;
            }
            // Z_BUF_ERROR with input left means the output was full (the
            // caller grows it); with no input left the stream simply stops.
            if (rc == Z_BUF_ERROR || rc == Z_OK) {
                if (consumed_ == payload.size() && z_.avail_out != 0) return Step::Ended;
                continue;
            }
            error = fail(VantoreskError::decompression_failed(z_.msg != nullptr ? z_.msg : zError(rc)));
            return Step::Failed;
        }
        return Step::Full;
    }

private:
    z_stream z_{};
    std::size_t consumed_ = 0;
    bool open_ = false;
};

}  // namespace

VResult<std::size_t> deflate_raw_append(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
    const std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(libdeflate_alloc_compressor(kLevel));
    if (!compressor) return fail(VantoreskError::io_failure(zError(Z_MEM_ERROR)));
    const std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), input.size());
    const std::size_t start = out.size();
    if (!support::try_resize(out, start + bound)) return fail(VantoreskError::io_failure(zError(Z_MEM_ERROR)));
    const std::size_t written =
        libdeflate_deflate_compress(compressor.get(), input.data(), input.size(), out.data() + start, bound);
    out.resize(start + written);
    // The bound is the worst case, so a zero here cannot happen; were it to,
    // nothing decodable was written.
    if (written == 0) return fail(VantoreskError::io_failure("deflate output exceeded its bound"));
    return written;
}

VResult<std::vector<std::uint8_t>> deflate_raw(std::span<const std::uint8_t> input) {
    std::vector<std::uint8_t> out;
    auto written = deflate_raw_append(input, out);
    if (!written) return fail(std::move(written).error());
    return out;
}

VResult<std::size_t> inflate_streaming_into(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) {
    Inflater inflater;
    if (const int rc = inflater.open(); rc != Z_OK) return fail(VantoreskError::decompression_failed(zError(rc)));
    std::size_t produced = 0;
    VResult<std::size_t> error = std::size_t{0};
    if (inflater.run(payload, out, produced, error) == Inflater::Step::Failed) return error;
    return produced;
}

VResult<std::size_t> inflate_raw_into(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) {
    const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> fast(libdeflate_alloc_decompressor());
    if (fast) {
        std::size_t used = 0;
        std::size_t produced = 0;
        const libdeflate_result rc = libdeflate_deflate_decompress_ex(fast.get(), payload.data(), payload.size(),
                                                                      out.data(), out.size(), &used, &produced);
        if (rc == LIBDEFLATE_SUCCESS) return produced;
    }
    return inflate_streaming_into(payload, out);
}

VResult<std::vector<std::uint8_t>> inflate_raw(std::span<const std::uint8_t> payload, std::size_t limit) {
    Inflater inflater;
    if (const int rc = inflater.open(); rc != Z_OK) return fail(VantoreskError::decompression_failed(zError(rc)));
    // Grow with what actually comes out, never with what the header claims:
    // start small and double, capped by `limit`.
    std::vector<std::uint8_t> out;
    std::size_t produced = 0;
    const std::size_t first = std::min<std::size_t>(limit, std::max<std::size_t>(payload.size() * 4, 4096));
    VResult<std::size_t> error = std::size_t{0};
    for (;;) {
        const std::size_t want = std::min(limit, std::max(first, out.size() * 2));
        if (!support::try_resize(out, want)) return fail(VantoreskError::out_of_memory(want));
        const auto step = inflater.run(payload, out, produced, error);
        if (step == Inflater::Step::Failed) return fail(std::move(error).error());
        if (step == Inflater::Step::Ended || out.size() == limit) break;
    }
    out.resize(produced);
    return out;
}

}  // namespace vantoresk
