#include "core/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <string>

#include "support/fallible.hpp"

namespace vantoresk {
namespace {

// zlib counts in uInt; feed and drain it in pieces no larger than this.
constexpr std::size_t kChunk = std::size_t{1} << 30;

// Owns a z_stream for exactly one direction and ends it on every path.
class ZStream {
public:
    explicit ZStream(bool inflating) : inflating_(inflating) {}
    ZStream(const ZStream&) = delete;
    ZStream& operator=(const ZStream&) = delete;
    ~ZStream() {
        if (!open_) return;
        if (inflating_) {
            inflateEnd(&z_);
        } else {
            deflateEnd(&z_);
        }
    }
    int open() {
        const int rc = inflating_ ? inflateInit2(&z_, -15) : deflateInit2(&z_, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        open_ = rc == Z_OK;
        return rc;
    }
    z_stream* get() { return &z_; }

private:
    z_stream z_{};
    bool inflating_;
    bool open_ = false;
};

std::string zlib_text(const z_stream& z, int rc) {
    if (z.msg != nullptr) return z.msg;
    return zError(rc);
}

}  // namespace

VResult<std::vector<std::uint8_t>> deflate_raw(std::span<const std::uint8_t> input) {
    ZStream stream(false);
    if (const int rc = stream.open(); rc != Z_OK) return fail(VantoreskError::io_failure(zError(rc)));
    z_stream* z = stream.get();

    std::vector<std::uint8_t> out;
    // deflateBound is exact enough that one reservation normally suffices.
    const auto bound = static_cast<std::size_t>(deflateBound(z, static_cast<uLong>(input.size())));
    if (!support::try_resize(out, std::max<std::size_t>(bound, 64))) {
        return fail(VantoreskError::io_failure(zError(Z_MEM_ERROR)));
    }

    std::size_t consumed = 0;
    std::size_t produced = 0;
    for (;;) {
        const std::size_t in_now = std::min(kChunk, input.size() - consumed);
        z->next_in = const_cast<Bytef*>(input.data() + consumed);
        z->avail_in = static_cast<uInt>(in_now);
        const bool last = consumed + in_now == input.size();
        if (produced == out.size() && !support::try_resize(out, out.size() + out.size() / 2 + 64)) {
            return fail(VantoreskError::io_failure(zError(Z_MEM_ERROR)));
        }
        const std::size_t out_now = std::min(kChunk, out.size() - produced);
        z->next_out = out.data() + produced;
        z->avail_out = static_cast<uInt>(out_now);
        const int rc = deflate(z, last ? Z_FINISH : Z_NO_FLUSH);
        consumed += in_now - z->avail_in;
        produced += out_now - z->avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return fail(VantoreskError::io_failure(zlib_text(*z, rc)));
    }
    out.resize(produced);
    return out;
}

VResult<std::vector<std::uint8_t>> inflate_raw(std::span<const std::uint8_t> payload, std::size_t limit) {
    ZStream stream(true);
    if (const int rc = stream.open(); rc != Z_OK) {
        return fail(VantoreskError::decompression_failed(zError(rc)));
    }
    z_stream* z = stream.get();

    // Grow with what actually comes out, never with what the header claims:
    // start small and double, capped by `limit`.
    std::vector<std::uint8_t> out;
    std::size_t produced = 0;
    std::size_t consumed = 0;
    std::size_t capacity = std::min<std::size_t>(limit, std::max<std::size_t>(payload.size() * 4, 4096));
    while (produced < limit) {
        if (produced == out.size()) {
            const std::size_t want = std::min(limit, std::max(capacity, out.size() * 2));
            if (!support::try_resize(out, want)) return fail(VantoreskError::out_of_memory(want));
        }
        const std::size_t in_now = std::min(kChunk, payload.size() - consumed);
        const std::size_t out_now = std::min(kChunk, out.size() - produced);
        z->next_in = const_cast<Bytef*>(payload.data() + consumed);
        z->avail_in = static_cast<uInt>(in_now);
        z->next_out = out.data() + produced;
        z->avail_out = static_cast<uInt>(out_now);
        const int rc = inflate(z, Z_NO_FLUSH);
        consumed += in_now - z->avail_in;
        produced += out_now - z->avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
            return fail(VantoreskError::decompression_failed("corrupt deflate stream"));
        }
        if (rc == Z_MEM_ERROR) return fail(VantoreskError::out_of_memory(sizeof(z_stream)));
        // Z_BUF_ERROR with input left means the output was full (loop
        // grows it); with no input left the stream simply stops here.
        if (rc == Z_BUF_ERROR || rc == Z_OK) {
            if (consumed == payload.size() && z->avail_out != 0) break;
            continue;
        }
        return fail(VantoreskError::decompression_failed(zlib_text(*z, rc)));
    }
    out.resize(produced);
    return out;
}

}  // namespace vantoresk
