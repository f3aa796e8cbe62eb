// Fast plane decoder: the same bytes and the same errors as
// decode_plane_reference, quicker.
//
// The plain loop is one long dependency chain per decision (state -> slot ->
// bit -> node -> load of the next entry -> next comparison) with a branch on
// every bit. Here (details at `decide` in plane_decoder.cpp):
//  * both successors' entries are loaded before the bit is known and the bit
//    picks one afterwards, which takes the table load off the chain;
//  * the next state is computed for both bits from one product and picked by
//    a conditional move, so the comparison runs beside the multiplication;
//    planes that code to almost nothing use a branch instead, which is then
//    nearly always predicted (the shape is chosen per plane from its coded
//    size; both give the same bytes);
//  * the adaptation is a table lookup, both bits' values loaded ahead;
//  * the table keeps nodes with their path bits complemented, so that the
//    comparison's carry is the walk's next step (one add-with-carry);
//  * stretches of bytes that cannot run out of words (16 coded bytes per
//    plane byte left, the most one byte can take from a normalised state)
//    run without bounds checks; near the end of a slice every word fetch is
//    checked, as in the plain loop;
//  * decode_plane_pair runs the two planes of a stream in one loop so their
//    chains overlap, and writes the bytes interleaved, as the stream wants them.
//
// The decision select has two variants: x86-64 inline assembly with
// conditional moves, and plain C++ (the portable variant). The loops are
// reached through the library's run-time dispatch (support/cpu_dispatch.hpp),
// so the mask VANTORESK_DISABLE_SIMD sends them to the portable form.
//
// Output goes through a small staging block into a vector whose capacity was
// reserved up front, so a huge declared count costs a reservation, not a
// zero-fill of memory that a damaged stream may never reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/arans/arans.hpp"
#include "support/cpu_dispatch.hpp"

namespace vantoresk::arans {

// Receives the decoded bytes in order, a few KiB at a time; it cannot fail.
using PairSink = std::function<void(const std::uint8_t* bytes, std::size_t size)>;

// Decodes two planes of `count` bytes each and hands them interleaved to
// `out` (a0 b0 a1 b1 ...). Fails with Truncated as soon as either plane runs
// out of words or holds fewer than 4 bytes, and with InvalidLength if
// context_bits exceeds 8 or the model tables cannot be allocated.
support::Result<void, AransError> decode_plane_pair(std::span<const std::uint8_t> coded_a,
                                                     std::span<const std::uint8_t> coded_b, std::uint64_t count,
                                                     unsigned context_bits, const PairSink& out);

// decode_plane_pair with the decision select pinned to one variant (Portable
// or X86Cmov; Portable where this build or CPU lacks the one asked for).
// Only tests call it, to compare the variants; the decoder uses
// decode_plane_pair.
support::Result<void, AransError> decode_plane_pair_pinned(vantoresk::simd::Isa isa,
                                                           std::span<const std::uint8_t> coded_a,
                                                           std::span<const std::uint8_t> coded_b,
                                                           std::uint64_t count, unsigned context_bits,
                                                           const PairSink& out);

}  // namespace vantoresk::arans
