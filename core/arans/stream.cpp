// Stream coder: splits the input into its even and odd byte planes, codes
// them with the plane coder and frames the result (layout and framing in
// stream_format.hpp).
#include "core/arans/arans.hpp"
#include "core/arans/plane_decoder.hpp"
#include "core/arans/plane_encoder.hpp"
#include "core/arans/stream_format.hpp"
#include "support/fallible.hpp"

namespace vantoresk::arans {

namespace {

using support::Err;

}  // namespace

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
    const std::size_t length = input.size();
    if (length < kFramedMinLength) return std::vector<std::uint8_t>(input.begin(), input.end());

    // The planes are read in place with stride 2; no copies of them are made.
    const std::size_t n = length / 2;
    const unsigned context_bits = context_bits_for_length(length);
    CodedPlane even;
    CodedPlane odd;
    encode_plane_pair(input.data(), input.data() + 1, 2, n, context_bits, even, odd);

    return frame_stream(input, context_bits, {even.data, even.size}, {odd.data, odd.size});
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
    auto planes = decode_plane_pair(stream.subspan(h.even_begin, h.even_end - h.even_begin),
                                    stream.subspan(h.even_end, h.odd_end - h.even_end), h.plane_length,
                                    h.context_bits, out);
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

}  // namespace vantoresk::arans
