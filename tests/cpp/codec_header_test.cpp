#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "codec_support.hpp"
#include "core/compressor.hpp"
#include "core/header.hpp"

namespace {

using vantoresk::CompressionMethod;
using vantoresk::kHeaderSize;
using vantoresk::VantoreskError;
using vantoresk::VantoreskHeader;
using K = VantoreskError::Kind;

std::vector<std::uint8_t> valid_header() {
    const auto h = vantoresk::make_header(CompressionMethod::Cdf97, 4, 11, 1, 300, -4.9f, 11.9f, 0.48f, 418);
    const auto b = h.to_bytes();
    return {b.begin(), b.end()};
}

using codec_test::put_u32;

// The whole path for one sample 3.5 with the default options: cdf97, scale
// 11, one level, arans, minimum = maximum = 3.5, mean 0, reserved bytes 0.
TEST(HeaderWrite, SingleSampleDefaultOptions) {
    const auto c = vantoresk::compress(std::vector<float>{3.5f}, vantoresk::CompressionOptions{});
    ASSERT_TRUE(c.ok());
    const std::array<std::uint8_t, 32> expected = {0x56, 0x4E, 0x54, 0x52, 0x01, 0x00, 0x66, 0x33, 0x63, 0x66, 0x39,
                                                   0x37, 0x01, 0x0B, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                   0x60, 0x40, 0x00, 0x00, 0x60, 0x40, 0x00, 0x00, 0x00, 0x00};
    ASSERT_GE(c->size(), kHeaderSize);
    EXPECT_EQ(0, std::memcmp(c->data(), expected.data(), expected.size()));
    for (std::size_t i = 36; i < kHeaderSize; ++i) EXPECT_EQ(c.value()[i], 0) << i;
    const auto h = VantoreskHeader::from_bytes(c.value());
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(c->size(), kHeaderSize + h->payload_length);
}

struct Damage {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> apply;
    K kind;
    std::string text;
};

class HeaderChecks : public ::testing::TestWithParam<Damage> {};

TEST_P(HeaderChecks, FirstFailingCheckDecides) {
    auto b = valid_header();
    GetParam().apply(b);
    const auto h = VantoreskHeader::from_bytes(b);
    ASSERT_FALSE(h.ok());
    EXPECT_EQ(h.error().kind(), GetParam().kind);
    EXPECT_EQ(h.error().display(), GetParam().text);
}

std::string with_nul(std::string s, std::size_t at) {
    s[at] = '\0';
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, HeaderChecks,
    ::testing::Values(
        Damage{"empty", [](auto& b) { b.clear(); }, K::InvalidHeader, "Header is invalid"},
        // 51 bytes fail on length even when every field is wrong too.
        Damage{"len51_bad_magic", [](auto& b) { b.resize(51); b[0] = 'X'; }, K::InvalidHeader, "Header is invalid"},
        Damage{"magic", [](auto& b) { b[0] = 'A'; b[1] = 'B'; b[2] = 'C'; b[3] = 'D'; }, K::InvalidMagic,
               "Magic should be 'VNTR' but it was 'ABCD'"},
        Damage{"magic_and_version", [](auto& b) { b[0] = 'X'; b[4] = 2; }, K::InvalidMagic,
               "Magic should be 'VNTR' but it was 'XNTR'"},
        Damage{"version2", [](auto& b) { b[4] = 2; }, K::InvalidVersion,
               with_nul(std::string("Invalid header version '\x02?'"), 25)},
        Damage{"version_high_byte", [](auto& b) { b[5] = 1; }, K::InvalidVersion,
               std::string("Invalid header version '\x01\x01'")},
        Damage{"version_and_format", [](auto& b) { b[4] = 0xFF; b[7] = '4'; }, K::InvalidVersion,
               "Invalid header version '?\?'"},
        Damage{"format", [](auto& b) { b[7] = '4'; }, K::InvalidSampleFormat, "Invalid compression method 'f4'"},
        Damage{"format_and_tag", [](auto& b) { b[6] = 'g'; b[11] = '8'; }, K::InvalidSampleFormat,
               "Invalid compression method 'g3'"},
        Damage{"tag", [](auto& b) { b[8] = 'd'; b[9] = 'b'; b[10] = '0'; b[11] = '8'; }, K::InvalidMethod,
               "Invalid compression method 'db08'"},
        Damage{"tag_case", [](auto& b) { b[8] = 'C'; }, K::InvalidMethod, "Invalid compression method 'Cf97'"},
        Damage{"tag_and_coder", [](auto& b) { b[8] = 'x'; b[14] = 7; }, K::InvalidMethod,
               "Invalid compression method 'xf97'"},
        Damage{"coder2", [](auto& b) { b[14] = 2; }, K::UnknownEntropyCoder, "Unknown entropy coder 2"},
        Damage{"coder255", [](auto& b) { b[14] = 255; }, K::UnknownEntropyCoder, "Unknown entropy coder 255"},
        Damage{"coder_and_min", [](auto& b) { b[14] = 3; put_u32(b, 20, 0x7FC00000); }, K::UnknownEntropyCoder,
               "Unknown entropy coder 3"},
        Damage{"min_neg_inf", [](auto& b) { put_u32(b, 20, 0xFF800000); }, K::InvalidHeader, "Header is invalid"},
        Damage{"max_pos_inf", [](auto& b) { put_u32(b, 24, 0x7F800000); }, K::InvalidHeader, "Header is invalid"},
        Damage{"mean_nan", [](auto& b) { put_u32(b, 28, 0x7FC00000); }, K::InvalidHeader, "Header is invalid"},
        Damage{"mean_neg_nan", [](auto& b) { put_u32(b, 28, 0xFFFFFFFF); }, K::InvalidHeader, "Header is invalid"}),
    [](const auto& p) { return std::string(p.param.name); });

class HeaderAccepts : public ::testing::TestWithParam<std::tuple<const char*, std::size_t, std::uint32_t>> {};

// Values the reader does not judge: -0.0, subnormals, the largest finite,
// and fields that only the decompressor validates; exactly 52 bytes.
TEST_P(HeaderAccepts, Parses) {
    const auto& [name, at, value] = GetParam();
    auto b = valid_header();
    if (at == 12 || at == 13) {
        b[at] = static_cast<std::uint8_t>(value);
    } else {
        put_u32(b, at, value);
    }
    const auto h = VantoreskHeader::from_bytes(b);
    ASSERT_TRUE(h.ok()) << name << ": " << h.error().display();
}

INSTANTIATE_TEST_SUITE_P(
    Fields, HeaderAccepts,
    ::testing::Values(std::make_tuple("min_neg_zero", 20, 0x80000000u), std::make_tuple("min_subnormal", 20, 1u),
                      std::make_tuple("max_largest", 24, 0x7F7FFFFFu), std::make_tuple("mean_neg_max", 28, 0xFF7FFFFFu),
                      std::make_tuple("level0", 12, 0u), std::make_tuple("scale200", 13, 200u),
                      std::make_tuple("count_huge", 16, 0xFFFFFFFFu), std::make_tuple("payload_huge", 32, 0xFFFFFFFFu)));

}  // namespace
