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

// libdeflate accepts a few things zlib refuses in the header of a dynamic
// block: more than 286 literal/length or 30 distance codes, incomplete codes
// (a single code of one bit, or none at all), and a length repeat that runs
// past the code count; and in fixed-code blocks the two unused literal/length
// codes. A bit error in the first block's header lands there
// more often than anywhere else, so that header is read here and a payload
// whose first header is anything but complete and plain goes straight to the
// streaming inflate. Declining is always safe: the streaming inflate defines
// the result.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    // `count` bits, least significant first; -1 past the end.
    int take(unsigned count) {
        if (bit_ + count > 8 * bytes_.size()) return -1;
        unsigned v = 0;
        for (unsigned k = 0; k < count; ++k, ++bit_) v |= ((bytes_[bit_ / 8] >> (bit_ % 8)) & 1u) << k;
        return static_cast<int>(v);
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t bit_ = 0;
};

// True when the code lengths form a complete prefix code.
bool complete(std::span<const std::uint8_t> lengths) {
    long left = 1;
    for (unsigned len = 1; len <= 15; ++len) {
        left = 2 * left - static_cast<long>(std::count(lengths.begin(), lengths.end(), len));
        if (left < 0) return false;
    }
    return left == 0;
}

// Decodes one symbol of a canonical code given by `lengths`, bit by bit.
int decode_symbol(BitReader& in, std::span<const std::uint8_t> lengths) {
    int code = 0;
    int first = 0;
    for (unsigned len = 1; len <= 15; ++len) {
        const int b = in.take(1);
        if (b < 0) return -1;
        code |= b;
        const int count = static_cast<int>(std::count(lengths.begin(), lengths.end(), len));
        if (code - count < first) {
            int seen = 0;
            for (std::size_t sym = 0; sym < lengths.size(); ++sym) {
                if (lengths[sym] == len && seen++ == code - first) return static_cast<int>(sym);
            }
            return -1;
        }
        first += count;
        first <<= 1;
        code <<= 1;
    }
    return -1;
}

bool first_header_is_plain(std::span<const std::uint8_t> payload) {
    BitReader in(payload);
    in.take(1);  // final-block flag
    const int type = in.take(2);
    // Fixed-code blocks can name the literal/length codes 286 and 287, which
    // zlib refuses; they are short-data blocks, where speed hardly matters.
    if (type != 2) return type == 0;
    const int hlit = in.take(5);
    const int hdist = in.take(5);
    const int hclen = in.take(4);
    if (hclen < 0 || hlit > 29 || hdist > 29) return false;
    static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::uint8_t precode[19] = {};
    for (int k = 0; k < hclen + 4; ++k) {
        const int len = in.take(3);
        if (len < 0) return false;
        precode[kOrder[k]] = static_cast<std::uint8_t>(len);
    }
    if (!complete(precode)) return false;
    const std::size_t total = static_cast<std::size_t>(257 + hlit + 1 + hdist);
    std::uint8_t lengths[286 + 30] = {};
    for (std::size_t i = 0; i < total;) {
        const int sym = decode_symbol(in, precode);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths[i++] = static_cast<std::uint8_t>(sym);
            continue;
        }
        if (sym == 16 && i == 0) return false;
        const std::uint8_t value = sym == 16 ? lengths[i - 1] : 0;
        const int extra = sym == 16 ? in.take(2) : sym == 17 ? in.take(3) : in.take(7);
        if (extra < 0) return false;
        const std::size_t repeat = static_cast<std::size_t>(extra) + (sym == 16 ? 3 : sym == 17 ? 3 : 11);
        if (i + repeat > total) return false;
        for (std::size_t r = 0; r < repeat; ++r) lengths[i++] = value;
    }
    const std::span<const std::uint8_t> all(lengths, total);
    const auto litlen = all.first(static_cast<std::size_t>(257 + hlit));
    return litlen[256] != 0 && complete(litlen) && complete(all.subspan(litlen.size()));
}

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
    const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> fast(
        first_header_is_plain(payload) ? libdeflate_alloc_decompressor() : nullptr);
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
