// Stream coder: splits the input into its even and odd byte planes, codes
// them with the plane coder and frames the result (layout and framing in
// stream_format.hpp).
#include <algorithm>
#include <new>

#include "core/arans/arans.hpp"
#include "core/arans/plane_decoder.hpp"
#include "core/arans/plane_encoder.hpp"
#include "core/arans/stream_format.hpp"
#include "support/fallible.hpp"

namespace vantoresk::arans {

namespace {

using support::Err;

}  // namespace

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

    return append_framed_stream(out, input, context_bits, {even.data, even.size}, {odd.data, odd.size});
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
    std::vector<std::uint8_t> out;
    if (!encode_stream_append(input, out)) throw std::bad_alloc();
    return out;
}


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
    if (!support::try_reserve(out, 2 * n + (h.odd_length ? 1 : 0))) return decode_planes_in_turn(stream, h, &decode_plane);
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
            return decode_planes_in_turn(stream, h, &decode_plane);
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
