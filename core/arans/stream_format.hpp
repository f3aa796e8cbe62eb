// Framing of an arans stream: the pieces shared by the stream coder and the
// reference stream coder (tests/reference/).
//
//   0..5 bytes of input      -> stored as is (no header; 0 bytes -> empty)
//   6 or more bytes, n = L/2 -> flags (bit 0: L odd) | context_bits |
//                               LEB128 n | LEB128 coded even size |
//                               coded even plane | coded odd plane | [last byte]
//
// Traps: the coded odd plane's length is not stored; it runs to the tail byte
// (or the end). The tail byte exists only for odd L and is never coded. The
// decoder reads flags bit 0 only and accepts context_bits 0..8, although the
// encoder writes only 3 (L < 16384) or 8. The header checks happen in a fixed
// order (context_bits, n, n's bound, the even size, its overflow, its reach)
// and that order decides which error a damaged stream reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/arans/arans.hpp"

namespace vantoresk::arans {

inline constexpr std::size_t kFramedMinLength = 6;
inline constexpr std::size_t kWideContextLength = 16384;
inline constexpr unsigned kNarrowContextBits = 3;
inline constexpr unsigned kWideContextBits = 8;
inline constexpr std::size_t kMaxVarintBytes = 10;

// The context_bits the encoder uses for an input of `length` bytes (the
// threshold is on the input length, not on the plane length).
constexpr unsigned context_bits_for_length(std::size_t length) noexcept {
    return length < kWideContextLength ? kNarrowContextBits : kWideContextBits;
}

// Appends `value` as LEB128 in its shortest form.
void write_varint(std::vector<std::uint8_t>& out, std::uint64_t value);

// Validated header of a framed stream; offsets are within the stream.
struct StreamHeader {
    bool odd_length = false;
    unsigned context_bits = 0;
    std::uint64_t plane_length = 0;  // n, at most kMaxPlaneLength
    std::size_t even_begin = 0;      // coded even plane: [even_begin, even_end)
    std::size_t even_end = 0;        // coded odd plane:  [even_end, odd_end)
    std::size_t odd_end = 0;         // stream size less the tail byte
};

// Reads and checks the header of a stream of at least kFramedMinLength bytes.
AResult<StreamHeader> read_stream_header(std::span<const std::uint8_t> stream);

// Appends to `out` the framed stream of an input of at least
// kFramedMinLength bytes, from its coded planes (coded with `context_bits`).
// False, with `out` as it was, when the memory cannot be had.
[[nodiscard]] bool append_framed_stream(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> input,
                                        unsigned context_bits, std::span<const std::uint8_t> coded_even,
                                        std::span<const std::uint8_t> coded_odd);

// The planes of a framed stream decoded one after the other with `decode`,
// each into a vector of its own, then interleaved with the tail byte: the
// format's own description of the decoder, so the error it reports is the
// one that order gives.
using PlaneDecoder = AResult<std::vector<std::uint8_t>> (*)(std::span<const std::uint8_t> coded, std::uint64_t count,
                                                            unsigned context_bits);
AResult<std::vector<std::uint8_t>> decode_planes_in_turn(std::span<const std::uint8_t> stream, const StreamHeader& h,
                                                         PlaneDecoder decode);

}  // namespace vantoresk::arans
