// Raw DEFLATE (no zlib or gzip wrapper) for container payloads.
//
// Writing uses libdeflate at level 6. Reading uses libdeflate for the common
// case, a stream that ends within the room the band layout gives, and zlib's
// streaming inflate for everything else. The streaming inflate defines the
// result: libdeflate's answer is taken only when it succeeds outright, which
// for a conforming stream means the same bytes; a stream it refuses or that
// does not fit is inflated again from the start by zlib, so damaged payloads
// keep their results and texts. libdeflate is more lenient than zlib in a
// few corners of the format (see first_header_is_plain in deflate.cpp); the
// first block's header is checked for them before libdeflate is asked.
//
// Traps:
//  * Only the inflated content is part of the format; the compressed bytes
//    differ between encoders (and between zlib and libdeflate), so tests
//    compare inflated streams.
//  * The inflated size is stored nowhere. The reader is given the number of
//    bytes it can use and stops there: a tiny payload can otherwise expand
//    about a thousandfold, and a crafted one without bound in total.
//  * A stream that ends before its final block is not an error here: the
//    bytes produced so far are returned and the caller decides whether they
//    suffice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace vantoresk {

// Appends one raw DEFLATE stream at level 6, finished with a final block, to
// `out`; returns the bytes appended. Writer failures (memory included) come
// back as IoFailure.
VResult<std::size_t> deflate_raw_append(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);

// The same stream as a vector of its own.
VResult<std::vector<std::uint8_t>> deflate_raw(std::span<const std::uint8_t> input);

// Inflates at most out.size() bytes into `out` and returns how many came
// out: libdeflate first, the streaming inflate when it does not succeed.
// Malformed data fails with DecompressionFailed "corrupt deflate stream".
VResult<std::size_t> inflate_raw_into(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out);

// The streaming inflate alone into `out` (the definition of the result).
VResult<std::size_t> inflate_streaming_into(std::span<const std::uint8_t> payload, std::span<std::uint8_t> out);

// The streaming inflate into a vector that grows with what actually comes
// out, up to `limit` bytes; memory that cannot be reserved fails with
// OutOfMemory (the byte count asked for). For callers that cannot afford to
// set `limit` bytes aside up front.
VResult<std::vector<std::uint8_t>> inflate_raw(std::span<const std::uint8_t> payload, std::size_t limit);

}  // namespace vantoresk
