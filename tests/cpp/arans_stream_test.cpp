#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include <sys/resource.h>

#include "arans_test_data.hpp"
#include "fixture_manifest.hpp"
#include "core/arans/arans.hpp"
#include "tests/reference/arans_reference.hpp"
#include "core/arans/stream_format.hpp"

namespace {

using namespace arans_test;
using vantoresk::arans::AransError;
namespace arans = vantoresk::arans;

void expect_error(const arans::AResult<Bytes>& r, AransError kind) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), kind);
    EXPECT_EQ(arans::message(r.error()), kind == AransError::Truncated
                                             ? "Stream truncated"
                                             : "Inconsistent or oversized length in stream");
}

// The documented examples and the independent encoder's streams, both ways.
TEST(StreamKnown, EncodesAndDecodesExactly) {
    std::vector<std::pair<Bytes, Bytes>> known = {
        {from_hex("616263646566"), from_hex("00030306e634cc0000310137ba008037")},
        {from_hex("000000000000"), from_hex("00030306f4073c0070a0f4073c0070a0")}};
    struct Listed {
        std::string name, input, stream;
        std::size_t length = 0;
    };
    const auto listed = fixture_manifest::load_records<Listed>(
        fixture_path("streams.txt"), [](std::istream& in, Listed& l) { in >> l.name >> l.input >> l.stream >> l.length; });
    ASSERT_EQ(listed.size(), 13u);
    for (const Listed& l : listed) {
        Bytes input, stream;
        ASSERT_TRUE(read_file(fixture_path(l.input), input)) << l.input;
        ASSERT_TRUE(read_file(fixture_path(l.stream), stream)) << l.stream;
        ASSERT_EQ(input.size(), l.length) << l.name;
        known.emplace_back(std::move(input), std::move(stream));
    }
    for (const auto& [input, stream] : known) {
        EXPECT_EQ(arans::encode_stream(input), stream) << input.size() << " bytes";
        EXPECT_EQ(arans::encode_stream_reference(input), stream) << input.size() << " bytes";
        auto back = arans::decode_stream(stream);
        ASSERT_TRUE(back.ok()) << input.size() << " bytes";
        EXPECT_EQ(back.value(), input) << input.size() << " bytes";
    }
}

// Round trips through the framing for every length up to 300 and for large
// odd and even inputs of several kinds; the fast encoder must match the
// plain one to the byte.
using RoundTrip = std::tuple<Kind, std::size_t>;

class StreamRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(StreamRoundTrip, FastMatchesReferenceAndDecodes) {
    const auto& [kind, length] = GetParam();
    const Bytes input = make_data(kind, length, 5 + length);
    const Bytes stream = arans::encode_stream(input);
    ASSERT_EQ(stream, arans::encode_stream_reference(input));
    auto back = arans::decode_stream(stream);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), input);
}

std::vector<RoundTrip> round_trip_cases() {
    std::vector<RoundTrip> cases;
    for (std::size_t n = 0; n <= 300; ++n) cases.emplace_back(n % 2 == 0 ? Kind::Laplacian : Kind::Random, n);
    for (Kind k : {Kind::Random, Kind::Laplacian, Kind::Skewed}) {
        for (std::size_t n : {16383u, 16384u, 1u << 20, (1u << 20) + 1, 3u << 20}) cases.emplace_back(k, n);
    }
    for (Kind k : {Kind::Constant, Kind::LowZero, Kind::HighZero}) {
        for (std::size_t n : {7u, 40u, 301u, 16384u, 100001u}) cases.emplace_back(k, n);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Lengths, StreamRoundTrip, ::testing::ValuesIn(round_trip_cases()),
                         [](const auto& p) {
                             return std::string(kind_name(std::get<0>(p.param))) + "_" +
                                    std::to_string(std::get<1>(p.param));
                         });

// Planes coded with any width 0..8 decode when framed with that width,
// though the encoder itself only writes 3 or 8. Flag bits above bit 0 mean
// nothing and are ignored.
class ContextWidth : public ::testing::TestWithParam<unsigned> {};

TEST_P(ContextWidth, AcceptedByTheDecoder) {
    const unsigned cb = GetParam();
    const Bytes input = make_data(Kind::Laplacian, 400, cb);
    Bytes even, odd;
    for (std::size_t i = 0; i < input.size(); i += 2) {
        even.push_back(input[i]);
        odd.push_back(input[i + 1]);
    }
    const Bytes ce = arans::encode_plane(even, cb);
    const Bytes co = arans::encode_plane(odd, cb);
    Bytes stream{0xFE, static_cast<std::uint8_t>(cb)};
    arans::write_varint(stream, even.size());
    arans::write_varint(stream, ce.size());
    stream.insert(stream.end(), ce.begin(), ce.end());
    stream.insert(stream.end(), co.begin(), co.end());
    auto r = arans::decode_stream(stream);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), input);
}

INSTANTIATE_TEST_SUITE_P(AllWidths, ContextWidth, ::testing::Range(0u, 9u));

// Damaged headers, each with the error the check order gives it. Both
// decoders are run on each.
struct BadHeader {
    const char* name;
    const char* stream;
    AransError kind;
};

class StreamHeaderError : public ::testing::TestWithParam<BadHeader> {};

TEST_P(StreamHeaderError, ReportsTheFirstFailingCheck) {
    const Bytes stream = from_hex(GetParam().stream);
    expect_error(arans::decode_stream(stream), GetParam().kind);
    expect_error(arans::decode_stream_reference(stream), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Order, StreamHeaderError,
    ::testing::Values(
        // context_bits is tested before the plane length is even read.
        BadHeader{"context_bits_9_before_truncated_length", "0009ffffffff", AransError::InvalidLength},
        BadHeader{"context_bits_255", "00ff80808080", AransError::InvalidLength},
        BadHeader{"plane_length_runs_off_the_end", "0003ffffffff", AransError::Truncated},
        BadHeader{"plane_length_tenth_byte_continues", "0003ffffffffffffffffffff01", AransError::InvalidLength},
        BadHeader{"plane_length_two_pow_28_plus_1", "000381808080010000000000", AransError::InvalidLength},
        // n = 2^28 passes the length check; the planes are too short after it.
        BadHeader{"plane_length_two_pow_28_is_allowed", "0003808080800104000000010000", AransError::Truncated},
        BadHeader{"plane_length_max_u64", "0003ffffffffffffffffff01", AransError::InvalidLength},
        BadHeader{"even_size_runs_off_the_end", "000303ffffff", AransError::Truncated},
        BadHeader{"even_size_tenth_byte_continues", "000303ffffffffffffffffffff01", AransError::InvalidLength},
        // even size 2^64 - 1 after position 4: the sum overflows.
        BadHeader{"even_size_overflows", "000303ffffffffffffffffff01", AransError::InvalidLength},
        BadHeader{"even_plane_past_the_end", "0003030800000001", AransError::Truncated},
        // With flags bit 0 the last byte is the tail, not plane data.
        BadHeader{"even_plane_reaches_into_the_tail", "010303040000000100", AransError::Truncated},
        // An empty plane does not excuse an even size running past the end.
        BadHeader{"empty_plane_even_size_past_the_end", "01030003ffff5a", AransError::Truncated},
        BadHeader{"even_plane_too_short_for_a_state", "00030302000000000001", AransError::Truncated},
        BadHeader{"odd_plane_too_short_for_a_state", "000303040000000100000000", AransError::Truncated},
        BadHeader{"odd_plane_runs_out_of_words", "000303060000000100000000ff00", AransError::Truncated}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StreamDecode, ZeroPlaneLengthIgnoresThePlaneBytes) {
    auto even = arans::decode_stream(from_hex("000300 02 aabb cc"));
    ASSERT_TRUE(even.ok());
    EXPECT_TRUE(even.value().empty());
    auto odd = arans::decode_stream(from_hex("010300 00 ffff 5a"));
    ASSERT_TRUE(odd.ok());
    EXPECT_EQ(odd.value(), Bytes{0x5A});
}

// With the address space capped, the room for a declared 2^28-byte plane
// cannot be reserved: the stream decoder must report InvalidLength, and keep
// the order of checks (a plane too short for its state is still Truncated).
// Runs in a child process; skipped under AddressSanitizer, whose shadow
// memory does not mix with an address-space limit.
#if defined(__SANITIZE_ADDRESS__)
#define ARANS_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ARANS_UNDER_ASAN 1
#endif
#endif

#ifndef ARANS_UNDER_ASAN
[[noreturn]] void decode_with_little_memory(const Bytes& stream) {
    unsigned long pages = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    const rlim_t cap = static_cast<rlim_t>(pages) * 4096 + (rlim_t{64} << 20);
    const rlimit limit{cap, cap};
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
    auto fast = arans::decode_stream(stream);
    auto plain = arans::decode_stream_reference(stream);
    if (fast.ok() || plain.ok()) std::_Exit(4);
    if (fast.error() != plain.error()) std::_Exit(5);
    std::_Exit(fast.error() == AransError::InvalidLength ? 10 : 11);
}
#endif

TEST(StreamDecodeDeathTest, ReservationFailureIsInvalidLength) {
#ifdef ARANS_UNDER_ASAN
    GTEST_SKIP() << "address-space limit under ASan";
#else
    // n = 2^28, even plane of 4 bytes, odd plane of 4 bytes.
    const Bytes stream = from_hex("0003 8080808001 04 00000100 00000100");
    EXPECT_EXIT(decode_with_little_memory(stream), ::testing::ExitedWithCode(10), "");
    // Same, but the even plane is too short for its state: Truncated first.
    const Bytes short_even = from_hex("0003 8080808001 02 0000 00000100");
    EXPECT_EXIT(decode_with_little_memory(short_even), ::testing::ExitedWithCode(11), "");
#endif
}

// LEB128 reads: value or error, and where the cursor stops. Overlong forms
// are accepted; the tenth byte contributes only its lowest bit and must not
// continue; a read that starts past the end is Truncated.
struct Varint {
    const char* bytes;
    std::uint64_t start;
    bool ok;
    std::uint64_t value;  // or the AransError
    std::uint64_t end;
};

class VarintRead : public ::testing::TestWithParam<Varint> {};

TEST_P(VarintRead, ValueOrErrorAndPosition) {
    const Varint& v = GetParam();
    std::uint64_t pos = v.start;
    auto r = arans::rv(from_hex(v.bytes), pos);
    ASSERT_EQ(r.ok(), v.ok);
    if (v.ok) {
        EXPECT_EQ(r.value(), v.value);
        EXPECT_EQ(pos, v.end);
    } else {
        EXPECT_EQ(r.error(), static_cast<AransError>(v.value));
    }
}

constexpr auto kTrunc = static_cast<std::uint64_t>(AransError::Truncated);
constexpr auto kBadLen = static_cast<std::uint64_t>(AransError::InvalidLength);

INSTANTIATE_TEST_SUITE_P(Forms, VarintRead,
                         ::testing::Values(Varint{"00", 0, true, 0, 1}, Varint{"7f", 0, true, 127, 1},
                                           Varint{"8001", 0, true, 128, 2}, Varint{"8000", 0, true, 0, 2},
                                           Varint{"e58e26ff", 0, true, 624485, 3},
                                           Varint{"ffffffffffffffffff01", 0, true, UINT64_MAX, 10},
                                           Varint{"ffffffffffffffffff7e", 0, true, 0x7FFFFFFFFFFFFFFFull, 10},
                                           Varint{"8080808080808080807f", 0, true, 1ull << 63, 10},
                                           Varint{"8080", 0, false, kTrunc, 2},
                                           Varint{"ffffffffffffffffff8001", 0, false, kBadLen, 10},
                                           Varint{"00", 7, false, kTrunc, 7}));

}  // namespace
