// Framing of an arans stream (layout in stream_format.hpp), shared by the
// stream coder and the reference coder the tests hold it to.
#include "core/arans/stream_format.hpp"

#include "core/arans/arans.hpp"
#include "core/arans/model.hpp"
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

bool append_framed_stream(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> input,
                          unsigned context_bits, std::span<const std::uint8_t> coded_even,
                          std::span<const std::uint8_t> coded_odd) {
    const std::size_t length = input.size();
    if (!support::try_reserve(out, out.size() + coded_even.size() + coded_odd.size() + 2 * kMaxVarintBytes + 3)) {
        return false;
    }
    // Within the reserved capacity from here on: nothing below can throw.
    out.push_back(static_cast<std::uint8_t>(length & 1));
    out.push_back(static_cast<std::uint8_t>(context_bits));
    write_varint(out, length / 2);
    write_varint(out, coded_even.size());
    out.insert(out.end(), coded_even.begin(), coded_even.end());
    out.insert(out.end(), coded_odd.begin(), coded_odd.end());
    if ((length & 1) != 0) out.push_back(input[length - 1]);
    return true;
}

AResult<std::vector<std::uint8_t>> decode_planes_in_turn(std::span<const std::uint8_t> stream, const StreamHeader& h,
                                                         PlaneDecoder decode) {
    auto even = decode(stream.subspan(h.even_begin, h.even_end - h.even_begin), h.plane_length, h.context_bits);
    if (!even) return Err<AransError>{even.error()};
    auto odd = decode(stream.subspan(h.even_end, h.odd_end - h.even_end), h.plane_length, h.context_bits);
    if (!odd) return Err<AransError>{odd.error()};

    std::vector<std::uint8_t> out;
    const std::size_t n = static_cast<std::size_t>(h.plane_length);  // <= kMaxPlaneLength
    if (!support::try_resize(out, 2 * n + (h.odd_length ? 1 : 0))) return Err<AransError>{AransError::InvalidLength};
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = even.value()[i];
        out[2 * i + 1] = odd.value()[i];
    }
    if (h.odd_length) out.back() = stream.back();
    return out;
}

}  // namespace vantoresk::arans
