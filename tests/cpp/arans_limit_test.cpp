// A plane whose coding lands the encoder's state exactly on a renormalisation
// limit (x == f << 20, at decision 255256 counted from the plane's start).
// There `x >= limit` must emit a word; `x > limit` would not and overflows
// the state. Random planes hit it about once in 2^31 decisions, so ordinary
// round-trip data never does: tools/arans_limit_search.cpp found this seed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec_support.hpp"
#include "core/arans/arans.hpp"
#include "tests/reference/arans_reference.hpp"

namespace {

namespace arans = vantoresk::arans;
using arans_test::Bytes;

constexpr std::uint64_t kSeed = 12066;
constexpr std::size_t kPlaneLength = std::size_t{1} << 16;

std::string sha(const Bytes& b) { return codec_test::sha256_hex(b.data(), b.size()); }

TEST(AransStateOnTheLimit, PlaneCodesAsKnown) {
    const Bytes plane = arans_test::random_bytes(kPlaneLength, kSeed);
    for (const auto& [name, coded] : {std::pair{"fast", arans::encode_plane(plane, 8)},
                                      std::pair{"reference", arans::encode_plane_reference(plane, 8)}}) {
        EXPECT_EQ(coded.size(), 66456u) << name;
        EXPECT_EQ(sha(coded), "02e3220e2b319734bc32a2e0bce59bceb2d1c5a3b6d275dd76d7d112c8b88bea") << name;
        const auto decoded = arans::decode_plane(coded, kPlaneLength, 8);
        ASSERT_TRUE(decoded.ok()) << name;
        EXPECT_EQ(decoded.value(), plane) << name;
    }
}

// The stream coder codes its two planes in one interleaved loop: both lanes
// meet the limit when both planes are this one.
TEST(AransStateOnTheLimit, StreamOfTwoSuchPlanesCodesAsKnown) {
    const Bytes plane = arans_test::random_bytes(kPlaneLength, kSeed);
    Bytes input(2 * kPlaneLength);
    for (std::size_t i = 0; i < kPlaneLength; ++i) input[2 * i] = input[2 * i + 1] = plane[i];
    for (const auto& [name, stream] : {std::pair{"fast", arans::encode_stream(input)},
                                       std::pair{"reference", arans::encode_stream_reference(input)}}) {
        EXPECT_EQ(stream.size(), 132920u) << name;
        EXPECT_EQ(sha(stream), "19d400c593d1c1804a80f4d3d5416c01bd1a3783807ab300d70be2e121e0d173") << name;
        const auto decoded = arans::decode_stream(stream);
        ASSERT_TRUE(decoded.ok()) << name;
        EXPECT_EQ(decoded.value(), input) << name;
    }
}

}  // namespace
