// The plane encoder codes long planes chunk by chunk, rebuilding each chunk's
// decisions from a copy of the model table, and grows its output at the
// front. Small chunks put every boundary case (first, middle and last chunk,
// a last chunk of one byte, output growth in the middle of a plane) within
// reach of short planes; the bytes must equal the plain encoder's.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "arans_test_data.hpp"
#include "core/arans/plane_encoder.hpp"
#include "tests/reference/arans_reference.hpp"

namespace {

using namespace arans_test;
namespace arans = vantoresk::arans;

Bytes bytes_of(const arans::CodedPlane& p) { return Bytes(p.data, p.data + p.size); }

Bytes plane_of(const Bytes& input, std::size_t first) {
    Bytes plane;
    for (std::size_t i = first; i < input.size(); i += 2) plane.push_back(input[i]);
    return plane;
}

TEST(ChunkedEncoder, AnyChunkSizeGivesThePlainEncodersBytes) {
    const Kind kinds[] = {Kind::Random, Kind::Laplacian, Kind::Skewed, Kind::Constant, Kind::Ramp};
    for (const Kind kind : kinds) {
        for (const std::size_t n : {1u, 2u, 17u, 300u, 1200u}) {
            const Bytes input = make_data(kind, 2 * n, 7 + n);
            const Bytes even = plane_of(input, 0);
            const Bytes odd = plane_of(input, 1);
            for (const unsigned cb : {0u, 3u, 8u}) {
                const Bytes want_even = arans::encode_plane_reference(even, cb);
                const Bytes want_odd = arans::encode_plane_reference(odd, cb);
                for (const std::size_t chunk : {1u, 2u, 7u, 64u, 1199u, 5000u}) {
                    // Tiny chunks on long planes only repeat what short ones show.
                    if (chunk < 64 && n > 300) continue;
                    const std::string where = std::string(kind_name(kind)) + " n " + std::to_string(n) + " cb " +
                                              std::to_string(cb) + " chunk " + std::to_string(chunk);
                    arans::CodedPlane a;
                    arans::CodedPlane b;
                    ASSERT_TRUE(arans::encode_plane_pair(input.data(), input.data() + 1, 2, n, cb, a, b, chunk));
                    EXPECT_EQ(bytes_of(a), want_even) << where;
                    EXPECT_EQ(bytes_of(b), want_odd) << where;
                    arans::CodedPlane single;
                    ASSERT_TRUE(arans::encode_plane_strided(even.data(), 1, n, cb, single, chunk));
                    EXPECT_EQ(bytes_of(single), want_even) << where;
                }
            }
        }
    }
}

// Plane lengths no memory holds, with chunk sizes whose working memory would
// overflow a size computation (a chunk of one byte needs a table copy per
// byte; a chunk of the whole plane 16 bytes of records per byte): the encoder
// must refuse before touching the source, not allocate a wrapped-around size.
TEST(ChunkedEncoder, WorkingMemoryBeyondAnySizeFailsCleanly) {
    const std::uint8_t src[2] = {1, 2};
    const std::size_t n = SIZE_MAX / 4;
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, n / 2, n}) {
        arans::CodedPlane a;
        arans::CodedPlane b;
        EXPECT_FALSE(arans::encode_plane_pair(src, src + 1, 2, n, 8, a, b, chunk)) << chunk;
        EXPECT_EQ(a.size, 0u);
        EXPECT_EQ(b.size, 0u);
        arans::CodedPlane single;
        EXPECT_FALSE(arans::encode_plane_strided(src, 1, n, 0, single, chunk)) << chunk;
        EXPECT_EQ(single.size, 0u);
    }
}

}  // namespace
