// Plain arans coders, written straight from the definition of the format.
//
// These loops define the output: a division and a remainder per encoded
// decision, a growing vector for the decision list and the words, the planes
// decoded one after the other into vectors of their own. They live beside
// the tests, outside the library, and only tests, benchmarks and fuzzers
// link them: the fast coders in plane_encoder/plane_decoder and the stream
// coder must produce exactly the same bytes and the same errors on every
// input, and the tests hold them to that by comparing against these. The
// stream framing is the library's own (stream_format.hpp). Do not optimise
// them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/arans/arans.hpp"

namespace vantoresk::arans {

std::vector<std::uint8_t> encode_plane_reference(std::span<const std::uint8_t> plane, unsigned context_bits);
AResult<std::vector<std::uint8_t>> decode_plane_reference(std::span<const std::uint8_t> coded, std::uint64_t count,
                                                          unsigned context_bits);

std::vector<std::uint8_t> encode_stream_reference(std::span<const std::uint8_t> input);
AResult<std::vector<std::uint8_t>> decode_stream_reference(std::span<const std::uint8_t> stream);

}  // namespace vantoresk::arans
