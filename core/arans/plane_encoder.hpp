// Fast plane encoder: the same bytes as encode_plane_reference, quicker and
// in bounded memory.
//
// Where the time goes in the plain loop, and what replaces it here:
//  * one hardware divide and remainder per decision -> one multiplication by
//    a precomputed reciprocal of the frequency (reciprocal.hpp), and the
//    remainder folded away: x' = x + start + q * (4096 - f);
//  * a growing vector of 8-byte (frequency, start) pairs -> one 16-bit record
//    per decision (2p + bit; frequency and start follow);
//  * a growing output that is reversed at the end -> words written backwards
//    into a buffer that grows at its front, so the coded plane ends up in
//    decoder order without a reversal;
//  * the two planes of a stream are independent: encode_plane_pair codes both
//    in one loop, so their state dependency chains overlap.
//
// What it costs (650,000-sample recording, cycles per decision of both
// planes at the nominal clock, bench/compress_profile): the coding loop about
// 3.75, at the bound the two state chains set; the model about 3.8 more, as
// it runs 1.75 times (below): the forward pass 1.9, the replays 1.9, at about
// ten instructions per decision.
//
// Memory: the model runs forwards and the coder backwards, so the decisions
// of a whole plane would have to be kept (16 bytes per plane byte). Instead
// the plane is cut into chunks. The forward pass keeps a copy of the model
// table at the start of every chunk but the first and the last; the coder
// then takes the chunks last to first, rebuilding each one's decisions from
// its table copy, so only one chunk of decisions exists at any time. Only the
// last chunk's decisions are kept by the forward pass; for the others it
// runs the table alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vantoresk::arans {

// A coded plane at the end of its buffer: the bytes are [data, data + size).
struct CodedPlane {
    std::unique_ptr<std::uint8_t[]> storage;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Plane bytes per chunk: a quarter of the plane, at least 2^14 and at most
// 2^18 bytes. The decisions of a chunk take 16 bytes per plane byte (so at
// most 4 per plane byte, 4 MiB per plane, in all), and a model table copy
// (128 KiB at 8 context bits) costs at most half a byte per plane byte.
inline constexpr std::size_t kEncodeChunkBytes = std::size_t{1} << 18;
inline constexpr std::size_t kEncodeChunkMinBytes = std::size_t{1} << 14;
constexpr std::size_t encode_chunk_bytes(std::size_t n) noexcept {
    const std::size_t quarter = n / 4 + 1;
    return quarter < kEncodeChunkMinBytes ? kEncodeChunkMinBytes
                                          : quarter > kEncodeChunkBytes ? kEncodeChunkBytes : quarter;
}

// Codes the n bytes src[0], src[stride], ..., src[(n - 1) * stride]. False
// when working memory cannot be had. A chunk size of 0 means
// encode_chunk_bytes(n); the bytes never depend on it.
[[nodiscard]] bool encode_plane_strided(const std::uint8_t* src, std::size_t stride, std::size_t n,
                                        unsigned context_bits, CodedPlane& out,
                                        std::size_t chunk_bytes = 0);

// Codes two planes of n bytes each (read with the same stride) in one loop.
[[nodiscard]] bool encode_plane_pair(const std::uint8_t* src_a, const std::uint8_t* src_b, std::size_t stride,
                                     std::size_t n, unsigned context_bits, CodedPlane& a, CodedPlane& b,
                                     std::size_t chunk_bytes = 0);

// For benchmarks: the model's work in encode_plane_pair alone (the forward
// pass, then the replay of every chunk but the last), without coding.
[[nodiscard]] bool run_plane_pair_model(const std::uint8_t* src_a, const std::uint8_t* src_b, std::size_t stride,
                                        std::size_t n, unsigned context_bits, std::size_t chunk_bytes = 0);

}  // namespace vantoresk::arans
