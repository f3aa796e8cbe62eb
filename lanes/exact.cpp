// Kinds 1 to 3: the lane's bytes as they are, shuffled or not, DEFLATEd or not.
#include "lanes/exact.hpp"

#include <bit>
#include <cstring>

#include "lanes/bytes.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {

static_assert(std::endian::native == std::endian::little, "the lane codec is written for little-endian machines");

namespace {

// The values at the dtype's width into p (values.size() * itemsize bytes).
template <LaneValue T>
void write_raw(std::span<const T> values, vnt_dtype dtype, std::uint8_t* p) {
    const std::size_t size = itemsize(dtype);
    if constexpr (std::is_floating_point_v<T>) {
        std::memcpy(p, values.data(), values.size() * sizeof(T));
    } else {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const auto v = static_cast<std::uint64_t>(values[i]);
            std::memcpy(p + i * size, &v, size);  // the low bytes, little-endian
        }
    }
}

}  // namespace

template <LaneValue T>
void raw_bytes(std::span<const T> values, vnt_dtype dtype, std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + values.size() * itemsize(dtype));
    write_raw(values, dtype, out.data() + at);
}

template <LaneValue T>
Status best_plain_body(std::span<const T> values, vnt_dtype dtype, std::uint8_t& kind,
                       std::vector<std::uint8_t>& body) {
    // The bytes and their planes in the thread's pool: no fresh pages per lane.
    const std::size_t need = values.size() * itemsize(dtype);
    auto raw_memory = support::Scratch<std::uint8_t>::take(need);
    if (!raw_memory) return out_of_memory("a lossless lane");
    write_raw(values, dtype, raw_memory.get());
    const std::span<const std::uint8_t> raw(raw_memory.get(), need);
    if (kind == kNoBody || raw.size() < body.size()) {
        kind = 1;
        body.assign(raw.begin(), raw.end());
    }
    if (raw.size() < kDeflateFrom) return {};
    std::vector<std::uint8_t> packed;
    if (auto s = deflate_append(raw, packed); !s) return s;
    if (kind == kNoBody || packed.size() < body.size()) {
        kind = 3;
        body.swap(packed);
    }
    const std::size_t size = itemsize(dtype);
    if (size > 1) {
        auto plane_memory = support::Scratch<std::uint8_t>::take(raw.size());
        if (!plane_memory) return out_of_memory("a lossless lane");
        std::uint8_t* const planes = plane_memory.get();
        const std::size_t n = values.size();
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t b = 0; b < size; ++b) planes[b * n + i] = raw[i * size + b];
        packed.clear();
        if (auto s = deflate_append({planes, raw.size()}, packed); !s) return s;
        if (packed.size() < body.size()) {
            kind = 2;
            body.swap(packed);
        }
    }
    return {};
}

template <LaneValue T>
Status decode_plain(std::uint8_t kind, std::span<const std::uint8_t> body, vnt_dtype dtype, std::span<T> out) {
    const std::size_t size = itemsize(dtype);
    const std::size_t n = out.size();
    const std::size_t need = n * size;
    std::span<const std::uint8_t> bytes = body;
    // Inflated (and unshuffled) bytes in the thread's pool: no fresh pages per lane.
    support::Scratch<std::uint8_t> raw, plain;
    if (kind == 1) {
        if (body.size() != need) return bad_frame("raw lane does not hold the lane's length");
    } else {
        if (body.empty() || body.size() * kMaxInflation < need)
            return bad_frame("lossless lane does not hold the lane's length");
        raw = support::Scratch<std::uint8_t>::take(need);
        if (!raw) return out_of_memory("a lossless lane");
        if (auto s = inflate_exact(body, {raw.get(), need}, "lossless lane"); !s) return s;
        bytes = {raw.get(), need};
        if (kind == 2 && size > 1) {
            plain = support::Scratch<std::uint8_t>::take(need);
            if (!plain) return out_of_memory("a lossless lane");
            const std::uint8_t* const r = raw.get();
            std::uint8_t* const p = plain.get();
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t b = 0; b < size; ++b) p[i * size + b] = r[b * n + i];
            bytes = {p, need};
        }
    }
    if constexpr (std::is_floating_point_v<T>) {
        std::memcpy(out.data(), bytes.data(), need);
    } else {
        const bool is_signed = dtype == VNT_INT8 || dtype == VNT_INT16 || dtype == VNT_INT32;
        const unsigned bits = static_cast<unsigned>(8 * size);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t v = 0;
            std::memcpy(&v, bytes.data() + i * size, size);
            if (is_signed && (v >> (bits - 1)) != 0) v |= ~std::uint64_t{0} << bits;
            out[i] = static_cast<std::int64_t>(v);
        }
    }
    return {};
}

#define VANTORESK_EXACT(T)                                                                                      \
    template void raw_bytes<T>(std::span<const T>, vnt_dtype, std::vector<std::uint8_t>&);                      \
    template Status best_plain_body<T>(std::span<const T>, vnt_dtype, std::uint8_t&, std::vector<std::uint8_t>&); \
    template Status decode_plain<T>(std::uint8_t, std::span<const std::uint8_t>, vnt_dtype, std::span<T>);
VANTORESK_EXACT(float)
VANTORESK_EXACT(double)
VANTORESK_EXACT(std::int64_t)
#undef VANTORESK_EXACT

}  // namespace vantoresk::lanes
