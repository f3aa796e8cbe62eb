#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include <sys/resource.h>

#include "arans_test_data.hpp"
#include "core/arans/arans.hpp"
#include "core/arans/reference.hpp"

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

// Both stream decoders must give the same answer on every input.
void expect_decoders_agree(const Bytes& stream) {
    auto fast = arans::decode_stream(stream);
    auto ref = arans::decode_stream_reference(stream);
    ASSERT_EQ(fast.ok(), ref.ok());
    if (fast.ok()) {
        EXPECT_EQ(fast.value(), ref.value());
    } else {
        EXPECT_EQ(fast.error(), ref.error());
    }
}

struct Example {
    const char* name;
    const char* input;
    const char* stream;
};

class StreamExample : public ::testing::TestWithParam<Example> {};

TEST_P(StreamExample, EncodesAndDecodesExactly) {
    const Bytes input = from_hex(GetParam().input);
    const Bytes stream = from_hex(GetParam().stream);
    EXPECT_EQ(arans::encode_stream(input), stream);
    EXPECT_EQ(arans::encode_stream_reference(input), stream);
    auto back = arans::decode_stream(stream);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), input);
}

INSTANTIATE_TEST_SUITE_P(
    Known, StreamExample,
    ::testing::Values(Example{"abcdef", "616263646566", "0003030 6e634cc00003101 37ba008037"},
                      Example{"six_zeros", "000000000000", "00030306f4073c0070a0f4073c0070a0"},
                      Example{"empty", "", ""}, Example{"one", "ff", "ff"}, Example{"five", "0102030405", "0102030405"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StreamFixtures, MatchIndependentEncoder) {
    const std::string manifest = read_text(fixture_path("manifest.json"));
    const auto inputs = json_values(manifest, "input");
    const auto streams = json_values(manifest, "stream");
    ASSERT_EQ(inputs.size(), 13u);
    ASSERT_EQ(streams.size(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        Bytes input, stream;
        ASSERT_TRUE(read_file(fixture_path(inputs[i]), input)) << inputs[i];
        ASSERT_TRUE(read_file(fixture_path(streams[i]), stream)) << streams[i];
        EXPECT_EQ(arans::encode_stream(input), stream) << inputs[i];
        auto back = arans::decode_stream(stream);
        ASSERT_TRUE(back.ok()) << streams[i];
        EXPECT_EQ(back.value(), input) << streams[i];
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
    if (length >= 6) {
        EXPECT_EQ(stream[0], length % 2);
        EXPECT_EQ(stream[1], length < 16384 ? 3 : 8);
        if (length % 2 == 1) {
            EXPECT_EQ(stream.back(), input.back());
        }
    }
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

TEST(StreamDecode, ShortStreamsAreTheirOwnInput) {
    for (std::size_t n = 0; n <= 5; ++n) {
        const Bytes stream = random_bytes(n, n);
        auto r = arans::decode_stream(stream);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value(), stream);
    }
}

TEST(StreamDecode, FlagBitsAboveBitZeroAreIgnored) {
    const Bytes input = make_data(Kind::Laplacian, 101, 3);
    Bytes stream = arans::encode_stream(input);
    stream[0] = static_cast<std::uint8_t>(stream[0] | 0xFE);
    auto r = arans::decode_stream(stream);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), input);
}

TEST(StreamDecode, ContextBitsAboveEightAreRefusedWhateverFollows) {
    for (unsigned cb = 9; cb <= 255; ++cb) {
        const Bytes stream{0x00, static_cast<std::uint8_t>(cb), 0x80, 0x80, 0x80, 0x80};
        expect_error(arans::decode_stream(stream), AransError::InvalidLength);
    }
}

// Planes coded with any width 0..8 decode when framed with that width,
// though the encoder itself only writes 3 or 8.
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
    auto leb = [](Bytes& out, std::size_t v) {
        for (; v >= 0x80; v >>= 7) out.push_back(static_cast<std::uint8_t>(v | 0x80));
        out.push_back(static_cast<std::uint8_t>(v));
    };
    Bytes stream{0x00, static_cast<std::uint8_t>(cb)};
    leb(stream, even.size());
    leb(stream, ce.size());
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
        BadHeader{"plane_length_runs_off_the_end", "0003ffffffff", AransError::Truncated},
        BadHeader{"plane_length_tenth_byte_continues", "0003ffffffffffffffffffff01", AransError::InvalidLength},
        BadHeader{"plane_length_two_pow_28_plus_1", "000381808080010000000000", AransError::InvalidLength},
        BadHeader{"plane_length_max_u64", "0003ffffffffffffffffff01", AransError::InvalidLength},
        BadHeader{"even_size_runs_off_the_end", "000303ffffff", AransError::Truncated},
        BadHeader{"even_size_tenth_byte_continues", "000303ffffffffffffffffffff01", AransError::InvalidLength},
        // even size 2^64 - 1 after position 4: the sum overflows.
        BadHeader{"even_size_overflows", "000303ffffffffffffffffff01", AransError::InvalidLength},
        BadHeader{"even_plane_past_the_end", "0003030800000001", AransError::Truncated},
        // With flags bit 0 the last byte is the tail, not plane data.
        BadHeader{"even_plane_reaches_into_the_tail", "010303040000000100", AransError::Truncated},
        BadHeader{"even_plane_too_short_for_a_state", "00030302000000000001", AransError::Truncated},
        BadHeader{"odd_plane_too_short_for_a_state", "000303040000000100000000", AransError::Truncated},
        BadHeader{"odd_plane_runs_out_of_words", "000303060000000100000000ff00", AransError::Truncated}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StreamDecode, PlaneLengthLimitIsInclusive) {
    // n = 2^28 passes the length check, so the stream fails later (its
    // planes are too short), not with InvalidLength.
    const Bytes stream = from_hex("0003808080800104000000010000");
    expect_error(arans::decode_stream(stream), AransError::Truncated);
    expect_decoders_agree(stream);
}

TEST(StreamDecode, ZeroPlaneLengthIgnoresThePlaneBytes) {
    auto even = arans::decode_stream(from_hex("000300 02 aabb cc"));
    ASSERT_TRUE(even.ok());
    EXPECT_TRUE(even.value().empty());
    auto odd = arans::decode_stream(from_hex("010300 00 ffff 5a"));
    ASSERT_TRUE(odd.ok());
    EXPECT_EQ(odd.value(), Bytes{0x5A});
    // The even plane size is still held to the stream's end.
    expect_error(arans::decode_stream(from_hex("010300 03 ffff 5a")), AransError::Truncated);
}

TEST(StreamDecode, CutAnywhereNeverSucceedsSilentlyWrong) {
    const Bytes input = make_data(Kind::Laplacian, 2000, 9);
    const Bytes stream = arans::encode_stream(input);
    for (std::size_t cut = 6; cut < stream.size(); ++cut) {
        const Bytes shortened(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        expect_decoders_agree(shortened);
    }
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

struct Varint {
    const char* bytes;
    std::uint64_t value;
    std::uint64_t end;
};

class VarintRead : public ::testing::TestWithParam<Varint> {};

TEST_P(VarintRead, ValueAndPosition) {
    const Bytes data = from_hex(GetParam().bytes);
    std::uint64_t pos = 0;
    auto r = arans::rv(data, pos);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), GetParam().value);
    EXPECT_EQ(pos, GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(Forms, VarintRead,
                         ::testing::Values(Varint{"00", 0, 1}, Varint{"7f", 127, 1}, Varint{"8001", 128, 2},
                                           Varint{"8000", 0, 2},  // overlong forms are accepted
                                           Varint{"e58e26ff", 624485, 3},
                                           Varint{"ffffffffffffffffff01", UINT64_MAX, 10},
                                           // tenth byte: bits 1..6 are dropped
                                           Varint{"ffffffffffffffffff7e", 0x7FFFFFFFFFFFFFFFull, 10},
                                           Varint{"8080808080808080807f", 1ull << 63, 10}));

TEST(VarintRead, FailuresStillAdvanceThePosition) {
    std::uint64_t pos = 0;
    auto cut = arans::rv(from_hex("8080"), pos);
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error(), AransError::Truncated);
    EXPECT_EQ(pos, 2u);

    pos = 0;
    auto eleven = arans::rv(from_hex("ffffffffffffffffff8001"), pos);
    ASSERT_FALSE(eleven.ok());
    EXPECT_EQ(eleven.error(), AransError::InvalidLength);
    EXPECT_EQ(pos, 10u);

    pos = 7;
    auto past = arans::rv(from_hex("00"), pos);
    ASSERT_FALSE(past.ok());
    EXPECT_EQ(past.error(), AransError::Truncated);
}

TEST(VarintWrite, ShortestFormInTheFraming) {
    // n = 128 needs two bytes, the even plane size of this input one.
    const Bytes input = make_data(Kind::Laplacian, 256, 4);
    const Bytes stream = arans::encode_stream(input);
    EXPECT_EQ(stream[2], 0x80);
    EXPECT_EQ(stream[3], 0x01);
    std::uint64_t pos = 2;
    ASSERT_EQ(arans::rv(stream, pos).value(), 128u);
    auto size = arans::rv(stream, pos);
    ASSERT_TRUE(size.ok());
    EXPECT_EQ(pos, size.value() < 128 ? 5u : 6u);
}

}  // namespace
