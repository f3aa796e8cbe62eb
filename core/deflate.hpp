// Raw DEFLATE (no zlib or gzip wrapper) for container payloads.
//
// Traps:
//  * Only the inflated content is part of the format; the compressed bytes
//    may differ between zlib builds, so tests compare inflated streams.
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

// One raw DEFLATE stream at level 6, finished with a final block. Writer
// failures come back as IoFailure with zlib's text.
VResult<std::vector<std::uint8_t>> deflate_raw(std::span<const std::uint8_t> input);

// Inflates at most `limit` bytes. Malformed data fails with
// DecompressionFailed "corrupt deflate stream"; memory that cannot be
// reserved with OutOfMemory (the byte count asked for).
VResult<std::vector<std::uint8_t>> inflate_raw(std::span<const std::uint8_t> payload, std::size_t limit);

}  // namespace vantoresk
