// arans: adaptive binary-context rANS coder for byte streams.
//
// Traps of the contract:
//  * rANS decodes in the reverse order of encoding. The plane encoder first
//    runs the model forwards to collect every decision, then codes them
//    backwards; the decoder reads the words in the order it needs them.
//  * A coded plane stores neither its own length nor the plane's: the
//    stream framing carries the plane length and the even plane's coded size.
//  * Both planes of one stream share context_bits; a plane must be decoded
//    with the context_bits it was encoded with.
//  * The decoder checks only framing and word supply; damaged plane data that
//    passes those checks decodes to wrong bytes (there is no checksum).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "support/result.hpp"

namespace vantoresk::arans {

enum class AransError : std::uint8_t {
    Truncated = 0,
    InvalidLength = 1,
};

// "Stream truncated" / "Inconsistent or oversized length in stream".
std::string_view message(AransError e) noexcept;

template <class T>
using AResult = support::Result<T, AransError>;

// Plane coder. context_bits is 0..8: the decoder refuses anything above
// with InvalidLength (as the stream decoder does for its context_bits byte);
// the encoder, which has no error result, codes with 8 instead.
std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits);
AResult<std::vector<std::uint8_t>> decode_plane(std::span<const std::uint8_t> coded, std::uint64_t count,
                                                unsigned context_bits);

// Stream coder (framing of the even and odd byte planes). encode_stream
// throws std::bad_alloc when it cannot get its working memory.
std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input);
AResult<std::vector<std::uint8_t>> decode_stream(std::span<const std::uint8_t> stream);

// encode_stream appending to `out`; false when working memory cannot be had
// (`out` then holds what it held, perhaps with more capacity).
[[nodiscard]] bool encode_stream_append(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);

// decode_stream into a buffer of the caller's: the first prefix.size()
// decoded bytes are written to `prefix`, the rest is decoded and dropped, so
// a damaged stream fails exactly as with decode_stream while the memory used
// is that of `prefix`. Returns the decoded length (which may be smaller or
// larger than the prefix). A failure to allocate the model tables is
// InvalidLength.
AResult<std::uint64_t> decode_stream_prefix(std::span<const std::uint8_t> stream, std::span<std::uint8_t> prefix);

// The length decode_stream would produce, from the framing alone; a stream
// whose framing is refused gives that refusal.
AResult<std::uint64_t> decoded_length(std::span<const std::uint8_t> stream);

// Unsigned LEB128 reader; `pos` advances past every byte read, also on failure.
AResult<std::uint64_t> rv(std::span<const std::uint8_t> data, std::uint64_t& pos);

// Largest plane length decode_stream accepts (2^28). encode_stream has no
// such bound: an input above 2 * kMaxPlaneLength + 1 bytes is coded, but its
// stream is refused by decode_stream with InvalidLength, so callers that
// store streams must keep their inputs within it.
inline constexpr std::uint64_t kMaxPlaneLength = 268435456;

}  // namespace vantoresk::arans
