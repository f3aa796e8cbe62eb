// Fast plane decoder: the same bytes and the same errors as
// decode_plane_reference, quicker.
//
// The plain loop is one long dependency chain per decision: state -> slot ->
// bit -> node -> load of the next probability -> next slot comparison. Here:
//  * both children of the current node are loaded before the bit is known and
//    the right one is picked afterwards, which takes the table load off the
//    chain (never on the eighth decision, whose "children" lie in the next row);
//  * while at least 16 coded bytes remain (the most one byte can consume, one
//    word per decision) renormalisation is branch-free: the word is always
//    loaded and conditionally shifted in. Close to the end of the slice every
//    word fetch is bounds-checked, as in the plain loop;
//  * decode_plane_pair runs the two planes of a stream in one loop so their
//    chains overlap, and writes the bytes interleaved, as the stream wants them.
//
// Output goes through a small staging block into a vector whose capacity was
// reserved up front, so a huge declared count costs a reservation, not a
// zero-fill of memory that a damaged stream may never reach.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/arans/arans.hpp"

namespace vantoresk::arans {

// Decodes two planes of `count` bytes each and appends them interleaved to
// `out` (a0 b0 a1 b1 ...). `out` must already have capacity for 2 * count
// more bytes. Fails with Truncated as soon as either plane runs out of words
// or holds fewer than 4 bytes, and with InvalidLength if the model tables
// cannot be allocated.
support::Result<void, AransError> decode_plane_pair(std::span<const std::uint8_t> coded_a,
                                                     std::span<const std::uint8_t> coded_b, std::uint64_t count,
                                                     unsigned context_bits, std::vector<std::uint8_t>& out);

}  // namespace vantoresk::arans
