// Stream coder: splits the input into its even and odd byte planes, codes
// them with the plane coder and frames the result (layout in stream_format.hpp).
#include <algorithm>
#include <new>

#include "core/arans/arans.hpp"
#include "core/arans/model.hpp"
#include "core/arans/plane_decoder.hpp"
#include "core/arans/plane_encoder.hpp"
#include "core/arans/stream_format.hpp"
#include "support/fallible.hpp"

namespace vantoresk::arans {

namespace {

using support::Err;

constexpr std::uint8_t kMoreBit = 0x80;
constexpr std::uint8_t kGroupMask = 0x7F;

}  // namespace

AResult<std::uint64_t> rv(std::span<const std::uint8_t> data, std::uint64_t& pos) {
    std::uint64_t value = 0;
    for (unsigned k = 0; k + 1 < kMaxVarintBytes; ++k) {
        if (pos >= data.size()) return Err<AransError>{AransError::Truncated};
        const std::uint8_t byte = data[static_cast<std::size_t>(pos)];
        ++pos;
        value |= static_cast<std::uint64_t>(byte & kGroupMask) << (7 * k);
        if ((byte & kMoreBit) == 0) return value;
    }
    // Tenth byte: only bit 0 still has room (it becomes bit 63); bits 1..6
    // are dropped, and a continuation bit would promise an 11th byte.
    if (pos >= data.size()) return Err<AransError>{AransError::Truncated};
    const std::uint8_t last = data[static_cast<std::size_t>(pos)];
    ++pos;
    if ((last & kMoreBit) != 0) return Err<AransError>{AransError::InvalidLength};
    return value | static_cast<std::uint64_t>(last & 1u) << 63;
}

void write_varint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= kMoreBit) {
        out.push_back(static_cast<std::uint8_t>((value & kGroupMask) | kMoreBit));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

AResult<StreamHeader> read_stream_header(std::span<const std::uint8_t> stream) {
    StreamHeader h;
    h.odd_length = (stream[0] & 1u) != 0;  // bits 1..7 are ignored
    h.context_bits = stream[1];
    if (h.context_bits > model::kMaxContextBits) return Err<AransError>{AransError::InvalidLength};

    std::uint64_t pos = 2;
    auto n = rv(stream, pos);
    if (!n) return Err<AransError>{n.error()};
    if (n.value() > kMaxPlaneLength) return Err<AransError>{AransError::InvalidLength};
    h.plane_length = n.value();

    auto even_size = rv(stream, pos);
    if (!even_size) return Err<AransError>{even_size.error()};
    if (even_size.value() > UINT64_MAX - pos) return Err<AransError>{AransError::InvalidLength};
    const std::uint64_t even_end = pos + even_size.value();
    const std::uint64_t odd_end = stream.size() - (h.odd_length ? 1u : 0u);
    if (even_end > odd_end) return Err<AransError>{AransError::Truncated};

    h.even_begin = static_cast<std::size_t>(pos);
    h.even_end = static_cast<std::size_t>(even_end);
    h.odd_end = static_cast<std::size_t>(odd_end);
    return h;
}

bool encode_stream_append(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
    const std::size_t length = input.size();
    if (length < kFramedMinLength) {
        return support::guarded([&] { out.insert(out.end(), input.begin(), input.end()); });
    }

    // The planes are read in place with stride 2; no copies of them are made.
    const std::size_t n = length / 2;
    const unsigned context_bits = context_bits_for_length(length);
    CodedPlane even;
    CodedPlane odd;
    if (!encode_plane_pair(input.data(), input.data() + 1, 2, n, context_bits, even, odd)) return false;

    if (!support::try_reserve(out, out.size() + even.size + odd.size + 2 * kMaxVarintBytes + 3)) return false;
    out.push_back(static_cast<std::uint8_t>(length & 1));
    out.push_back(static_cast<std::uint8_t>(context_bits));
    write_varint(out, n);
    write_varint(out, even.size);
    out.insert(out.end(), even.data, even.data + even.size);
    out.insert(out.end(), odd.data, odd.data + odd.size);
    if ((length & 1) != 0) out.push_back(input[length - 1]);
    return true;
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
    std::vector<std::uint8_t> out;
    if (!encode_stream_append(input, out)) throw std::bad_alloc();
    return out;
}

namespace {

// The planes one after the other, each into a vector of its own, exactly as
// the format describes the decoder. Used when the one-pass decoder cannot get
// its memory, so that the error reported is the one this order gives.
AResult<std::vector<std::uint8_t>> decode_planes_in_turn(std::span<const std::uint8_t> stream, const StreamHeader& h) {
    auto even = decode_plane(stream.subspan(h.even_begin, h.even_end - h.even_begin), h.plane_length, h.context_bits);
    if (!even) return Err<AransError>{even.error()};
    auto odd = decode_plane(stream.subspan(h.even_end, h.odd_end - h.even_end), h.plane_length, h.context_bits);
    if (!odd) return Err<AransError>{odd.error()};

    std::vector<std::uint8_t> out;
    const std::size_t n = static_cast<std::size_t>(h.plane_length);
    if (!support::try_resize(out, 2 * n + (h.odd_length ? 1 : 0))) return Err<AransError>{AransError::InvalidLength};
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = even.value()[i];
        out[2 * i + 1] = odd.value()[i];
    }
    if (h.odd_length) out.back() = stream.back();
    return out;
}

}  // namespace

AResult<std::vector<std::uint8_t>> decode_stream(std::span<const std::uint8_t> stream) {
    if (stream.size() < kFramedMinLength) return std::vector<std::uint8_t>(stream.begin(), stream.end());

    auto header = read_stream_header(stream);
    if (!header) return Err<AransError>{header.error()};
    const StreamHeader& h = header.value();
    const std::size_t n = static_cast<std::size_t>(h.plane_length);  // <= 2^28

    // Both planes in one pass, straight into the result. Its failures are
    // Truncated whichever plane runs short, the same kind the planes report
    // in turn; a memory failure falls back to the order-exact path.
    std::vector<std::uint8_t> out;
    if (!support::try_reserve(out, 2 * n + (h.odd_length ? 1 : 0))) return decode_planes_in_turn(stream, h);
    // Within the reserved capacity: cannot throw.
    const PairSink append = [&out](const std::uint8_t* bytes, std::size_t size) {
        out.insert(out.end(), bytes, bytes + size);
    };
    auto planes = decode_plane_pair(stream.subspan(h.even_begin, h.even_end - h.even_begin),
                                    stream.subspan(h.even_end, h.odd_end - h.even_end), h.plane_length,
                                    h.context_bits, append);
    if (!planes) {
        if (planes.error() == AransError::InvalidLength) {
            out = std::vector<std::uint8_t>();
            return decode_planes_in_turn(stream, h);
        }
        return Err<AransError>{planes.error()};
    }
    if (h.odd_length) out.push_back(stream.back());
    return out;
}

AResult<std::uint64_t> decoded_length(std::span<const std::uint8_t> stream) {
    if (stream.size() < kFramedMinLength) return std::uint64_t{stream.size()};
    auto header = read_stream_header(stream);
    if (!header) return Err<AransError>{header.error()};
    return 2 * header.value().plane_length + (header.value().odd_length ? 1 : 0);
}

AResult<std::uint64_t> decode_stream_prefix(std::span<const std::uint8_t> stream, std::span<std::uint8_t> prefix) {
    if (stream.size() < kFramedMinLength) {
        std::copy_n(stream.begin(), std::min(stream.size(), prefix.size()), prefix.begin());
        return std::uint64_t{stream.size()};
    }
    auto header = read_stream_header(stream);
    if (!header) return Err<AransError>{header.error()};
    const StreamHeader& h = header.value();
    const std::uint64_t length = 2 * h.plane_length + (h.odd_length ? 1 : 0);

    // Bytes past the prefix are still decoded, so that a stream fails exactly
    // where decode_stream fails; they are just not kept.
    std::size_t kept = 0;
    const PairSink keep = [&kept, prefix](const std::uint8_t* bytes, std::size_t size) {
        const std::size_t now = std::min(size, prefix.size() - kept);
        std::copy_n(bytes, now, prefix.begin() + static_cast<std::ptrdiff_t>(kept));
        kept += now;
    };
    auto planes = decode_plane_pair(stream.subspan(h.even_begin, h.even_end - h.even_begin),
                                    stream.subspan(h.even_end, h.odd_end - h.even_end), h.plane_length,
                                    h.context_bits, keep);
    if (!planes) return Err<AransError>{planes.error()};
    if (h.odd_length && kept < prefix.size()) prefix[kept] = stream.back();
    return length;
}

}  // namespace vantoresk::arans
