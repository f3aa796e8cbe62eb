#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "arans_test_data.hpp"
#include "fixture_manifest.hpp"
#include "simd_test_support.hpp"
#include "core/arans/arans.hpp"
#include "core/arans/model.hpp"
#include "core/arans/plane_decoder.hpp"
#include "core/arans/reciprocal.hpp"
#include "tests/reference/arans_reference.hpp"

namespace {

using namespace arans_test;
using vantoresk::arans::AransError;
using vantoresk::arans::AResult;
namespace arans = vantoresk::arans;

// Both implementations must meet every property below.
struct Coder {
    const char* name;
    std::vector<std::uint8_t> (*encode)(std::span<const std::uint8_t>, unsigned);
    AResult<std::vector<std::uint8_t>> (*decode)(std::span<const std::uint8_t>, std::uint64_t, unsigned);
};

const Coder kFast{"fast", &arans::encode_plane, &arans::decode_plane};
const Coder kReference{"reference", &arans::encode_plane_reference, &arans::decode_plane_reference};

std::string coder_name(const ::testing::TestParamInfo<Coder>& info) { return info.param.name; }

class PlaneFormat : public ::testing::TestWithParam<Coder> {};

// The documented codings (a single 0x00 codes the same at every width: the
// state doubles eight times from its start; 61 62 63 with three context
// bits) and the independent encoder's planes.
TEST_P(PlaneFormat, MatchesKnownCodings) {
    struct Coding {
        std::string plane;
        unsigned cb;
        std::string coded;
    };
    std::vector<Coding> codings;
    for (unsigned cb = 0; cb <= 8; ++cb) codings.push_back({"00", cb, "00000001"});
    codings.push_back({"616263", 3, "9235b4008033"});
    const auto listed = fixture_manifest::load_records<Coding>(
        fixture_path("planes.txt"), [](std::istream& in, Coding& c) { in >> c.cb >> c.plane >> c.coded; });
    ASSERT_EQ(listed.size(), 3u);
    codings.insert(codings.end(), listed.begin(), listed.end());
    for (const auto& c : codings) {
        const Bytes plane = from_hex(c.plane);
        const Bytes coded = from_hex(c.coded);
        EXPECT_EQ(GetParam().encode(plane, c.cb), coded) << c.plane << " context_bits " << c.cb;
        auto back = GetParam().decode(coded, plane.size(), c.cb);
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back.value(), plane) << c.plane << " context_bits " << c.cb;
    }
}

// A count of 0 reads nothing; bytes after the last word are never looked at.
TEST_P(PlaneFormat, ReadsOnlyTheWordsItNeeds) {
    for (const Bytes& coded : {Bytes{}, Bytes{1}, from_hex("ffffffffffff")}) {
        auto r = GetParam().decode(coded, 0, 3);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(r.value().empty());
    }
    EXPECT_TRUE(GetParam().encode(Bytes{}, 3).empty());
    const Bytes plane = make_data(Kind::Laplacian, 500, 11);
    Bytes coded = GetParam().encode(plane, 3);
    coded.insert(coded.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x01});
    auto back = GetParam().decode(coded, plane.size(), 3);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), plane);
}

// Every refusal with its kind and text: fewer than four bytes for the state,
// a cut anywhere inside the words (never a read past the slice, never a
// silent decode), a count that cannot be reserved, context bits above 8
// (the encoder clamps them to 8 instead).
TEST_P(PlaneFormat, RefusesWithTheRightKind) {
    struct Bad {
        Bytes coded;
        std::uint64_t count;
        unsigned cb;
        AransError kind;
    };
    std::vector<Bad> cases;
    for (std::size_t size = 0; size < 4; ++size) cases.push_back({Bytes(size, 0x7F), 1, 3, AransError::Truncated});
    const Bytes random = make_data(Kind::Random, 64, 12);
    const Bytes coded = GetParam().encode(random, 8);
    for (std::size_t cut = 4; cut < coded.size(); ++cut) {
        cases.push_back({Bytes(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(cut)), random.size(), 8,
                         AransError::Truncated});
    }
    cases.push_back({from_hex("00000001"), UINT64_MAX, 3, AransError::InvalidLength});
    const Bytes plane = make_data(Kind::Laplacian, 300, 21);
    EXPECT_EQ(GetParam().encode(plane, 9), GetParam().encode(plane, 8));
    for (unsigned cb : {9u, 31u, 32u, 1000u}) {
        cases.push_back({GetParam().encode(plane, 8), plane.size(), cb, AransError::InvalidLength});
    }
    for (const auto& c : cases) {
        auto r = GetParam().decode(c.coded, c.count, c.cb);
        ASSERT_FALSE(r.ok()) << c.coded.size() << " bytes, count " << c.count << ", context_bits " << c.cb;
        EXPECT_EQ(r.error(), c.kind) << c.coded.size() << " bytes, count " << c.count << ", context_bits " << c.cb;
        EXPECT_EQ(arans::message(r.error()), c.kind == AransError::Truncated
                                                 ? "Stream truncated"
                                                 : "Inconsistent or oversized length in stream");
    }
}

INSTANTIATE_TEST_SUITE_P(Coders, PlaneFormat, ::testing::Values(kFast, kReference), coder_name);

// The fast coders against the plain loops, byte for byte, over lengths around
// the decoder's 16-byte fast-path margin, every context width and data that
// drives probabilities to their bounds.
using Case = std::tuple<Kind, unsigned, std::size_t>;

class FastPlaneMatchesReference : public ::testing::TestWithParam<Case> {};

TEST_P(FastPlaneMatchesReference, EncodeAndDecode) {
    const auto& [kind, cb, length] = GetParam();
    const Bytes plane = make_data(kind, length, 1000 + length * 9 + cb);
    const Bytes coded = arans::encode_plane_reference(plane, cb);
    ASSERT_EQ(arans::encode_plane(plane, cb), coded);
    ASSERT_EQ(coded.size() % 2, 0u);
    ASSERT_LE(coded.size(), 4 + 16 * plane.size());

    auto fast = arans::decode_plane(coded, plane.size(), cb);
    ASSERT_TRUE(fast.ok());
    EXPECT_EQ(fast.value(), plane);

    // Decoding more bytes than were coded: both decoders must agree on the
    // extra bytes or on the failure.
    expect_same_outcome(arans::decode_plane(coded, plane.size() + 40, cb),
                        arans::decode_plane_reference(coded, plane.size() + 40, cb));
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return std::string(kind_name(std::get<0>(info.param))) + "_cb" + std::to_string(std::get<1>(info.param)) + "_n" +
           std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Grid, FastPlaneMatchesReference,
                         ::testing::Combine(::testing::Values(Kind::Random, Kind::Laplacian, Kind::Skewed,
                                                              Kind::Constant, Kind::Ramp, Kind::LowZero),
                                            ::testing::Values(0u, 1u, 3u, 7u, 8u),
                                            ::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{3},
                                                              std::size_t{17}, std::size_t{300}, std::size_t{4099},
                                                              std::size_t{70001})),
                         case_name);

// Exactness of the reciprocal division over every divisor the table holds,
// with the states where a truncating multiply would slip: around multiples
// of the divisor, the top of the 32-bit range and random values; and, for the
// smallest frequencies, every state the encoder can meet: all of [0, f 2^20).
TEST(Reciprocal, ExactForEveryDivisor) {
    Rng rng(77);
    for (std::uint32_t d = 2; d <= vantoresk::arans::model::kProbScale; ++d) {
        std::vector<std::uint32_t> states{0, 1, d - 1, d, d + 1, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x80000000u, 0x7FFFFFFFu,
                                          65535, 65536, d << 20, (d << 20) - 1, 0xFFFFFFFFu / d * d,
                                          0xFFFFFFFFu / d * d - 1};
        for (int i = 0; i < 300; ++i) {
            const auto r = static_cast<std::uint32_t>(rng.next());
            states.insert(states.end(), {r, r / d * d, r / d * d - 1});
        }
        for (const std::uint32_t x : states) ASSERT_EQ(vantoresk::arans::divide(x, d), x / d) << "x " << x << " d " << d;
    }
    for (const std::uint32_t d : {15u, 16u, 17u, 31u, 33u}) {
        for (std::uint32_t x = 0; x < (d << 20); ++x) {
            if (vantoresk::arans::divide(x, d) != x / d) FAIL() << "x " << x << " d " << d;
        }
    }
}

}  // namespace

// Each variant of the pair decoder's decision select (portable C++, x86-64
// conditional moves) gives the reference's bytes for both planes, whole or
// cut short, in either decision shape (the shape follows the coded size),
// with 8 context bits (two candidate rows at a byte's end) and fewer (one).
class PairDecoderVariant : public ::testing::TestWithParam<std::tuple<vantoresk::simd::Isa, Kind>> {};

TEST_P(PairDecoderVariant, MatchesTheReference) {
    const auto& [isa, kind] = GetParam();
    VANTORESK_SKIP_UNLESS_ENABLED(isa);
    for (const unsigned context_bits : {8u, 3u, 0u}) {
        for (const std::size_t n : {std::size_t{1}, std::size_t{33}, std::size_t{5000}}) {
            SCOPED_TRACE("context bits " + std::to_string(context_bits) + ", n = " + std::to_string(n));
            const Bytes a = make_data(kind, n, 7 * n + 1);
            const Bytes b = make_data(Kind::Random, n, 7 * n + 2);
            const Bytes ca = arans::encode_plane_reference(a, context_bits);
            const Bytes cb = arans::encode_plane_reference(b, context_bits);
            Bytes out;
            const arans::PairSink append = [&out](const std::uint8_t* p, std::size_t size) {
                out.insert(out.end(), p, p + size);
            };
            ASSERT_TRUE(arans::decode_plane_pair_pinned(isa, ca, cb, n, context_bits, append).ok());
            Bytes want;
            for (std::size_t i = 0; i < n; ++i) {
                want.push_back(a[i]);
                want.push_back(b[i]);
            }
            EXPECT_EQ(out, want);

            // Too few words: the same failure as the plain decoder.
            const Bytes cut(ca.begin(), ca.begin() + static_cast<std::ptrdiff_t>(ca.size() / 2 / 2 * 2));
            const arans::PairSink discard = [](const std::uint8_t*, std::size_t) {};
            const bool plain_ok = arans::decode_plane_reference(cut, n, context_bits).ok();
            EXPECT_EQ(arans::decode_plane_pair_pinned(isa, cut, cb, n, context_bits, discard).ok(), plain_ok);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, PairDecoderVariant,
                         ::testing::Combine(::testing::Values(vantoresk::simd::Isa::Portable,
                                                              vantoresk::simd::Isa::X86Cmov),
                                            ::testing::Values(Kind::Random, Kind::Laplacian, Kind::Constant)),
                         [](const auto& param_info) {
                             return std::string(vantoresk::simd::name(std::get<0>(param_info.param))) + "_" +
                                    kind_name(std::get<1>(param_info.param));
                         });

// More than 8 context bits is refused before any table is sized from it, as
// by the single-plane decoder.
TEST(PairDecoder, RefusesTooManyContextBits) {
    const Bytes plane = make_data(Kind::Random, 40, 3);
    const Bytes coded = arans::encode_plane_reference(plane, 8);
    const arans::PairSink discard = [](const std::uint8_t*, std::size_t) {};
    const auto r = arans::decode_plane_pair(coded, coded, plane.size(), 9, discard);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), arans::AransError::InvalidLength);
}
