// Reference vectors from an independent implementation of the format:
// every case is compressed and compared byte for byte (header and
// coefficient stream for DEFLATE, whose compressed bytes are not fixed), and
// every reference container is decoded and compared bit for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec_support.hpp"
#include "fixture_manifest.hpp"
#include "core/arans/arans.hpp"
#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "core/deflate.hpp"
#include "core/header.hpp"

namespace {

using namespace vantoresk;
using codec_test::fixtures_dir;

struct Case {
    std::string name, input, method, cutoff, coder, container, decoded;
    int scale = 0, level_count = 0, coder_byte = 0;
    std::string stream_sha, container_sha;
};

template <class T, class Read>
std::vector<T> load(const std::string& file, Read read) {
    return fixture_manifest::load_records<T>(fixtures_dir() + file, read);
}

std::vector<Case> load_cases() {
    return load<Case>("manifest.txt", [](std::istream& s, Case& c) {
        s >> c.name >> c.input >> c.method >> c.scale >> c.cutoff >> c.coder >> c.container >> c.decoded >>
            c.level_count >> c.coder_byte >> c.stream_sha >> c.container_sha;
    });
}

CompressionOptions options_of(const Case& c) {
    CompressionOptions o;
    o.method = c.method == "cdf53" ? CompressionMethod::Cdf53
               : c.method == "cdf97" ? CompressionMethod::Cdf97
               : c.method == "db4"   ? CompressionMethod::Db4
                                     : CompressionMethod::Sym4;
    o.scale = static_cast<std::uint8_t>(c.scale);
    o.cutoff = c.cutoff == "low" ? CutoffLevel::Low : c.cutoff == "medium" ? CutoffLevel::Medium : CutoffLevel::High;
    o.coder = c.coder == "deflate" ? EntropyCoder::Deflate : c.coder == "arans" ? EntropyCoder::Arans : EntropyCoder::Auto;
    return o;
}

// The coefficient stream inside a container (inflated or arans-decoded).
std::vector<std::uint8_t> coefficient_stream(const std::vector<std::uint8_t>& container) {
    const auto header = VantoreskHeader::from_bytes(container);
    if (!header.ok()) return {};
    const auto payload = std::span(container).subspan(kHeaderSize, header->payload_length);
    if (header->coder == 0) {
        auto r = inflate_raw(payload, std::size_t{1} << 30);
        return r.ok() ? r.value() : std::vector<std::uint8_t>{};
    }
    auto r = arans::decode_stream(payload);
    return r.ok() ? r.value() : std::vector<std::uint8_t>{};
}

class CodecReference : public ::testing::TestWithParam<Case> {};

TEST_P(CodecReference, CompressMatches) {
    const Case& c = GetParam();
    const auto input = codec_test::read_npy(fixtures_dir() + c.input);
    const auto expected = codec_test::read_file(fixtures_dir() + c.container);
    ASSERT_TRUE(input && expected);

    const auto ours = compress(*input, options_of(c));
    ASSERT_TRUE(ours.ok()) << ours.error().display();
    ASSERT_GE(ours->size(), kHeaderSize);
    EXPECT_EQ(ours.value()[12], c.level_count);
    EXPECT_EQ(ours.value()[14], c.coder_byte);
    EXPECT_EQ(codec_test::sha256_hex(coefficient_stream(ours.value())), c.stream_sha);
    if (c.coder_byte == 1) {
        EXPECT_EQ(ours.value(), *expected);
        EXPECT_EQ(codec_test::sha256_hex(ours.value()), c.container_sha);
    } else {
        // Only the inflated content of a DEFLATE payload is fixed.
        EXPECT_EQ(0, std::memcmp(ours->data(), expected->data(), 32));
        EXPECT_EQ(0, std::memcmp(ours->data() + 36, expected->data() + 36, kHeaderSize - 36));
        const auto h = VantoreskHeader::from_bytes(ours.value());
        ASSERT_TRUE(h.ok());
        EXPECT_EQ(ours->size(), kHeaderSize + h->payload_length);
    }
}

TEST_P(CodecReference, DecompressMatchesBitForBit) {
    const Case& c = GetParam();
    const auto container = codec_test::read_file(fixtures_dir() + c.container);
    const auto expected = codec_test::read_npy(fixtures_dir() + c.decoded);
    ASSERT_TRUE(container && expected);
    EXPECT_EQ(codec_test::sha256_hex(coefficient_stream(*container)), c.stream_sha);

    const auto decoded = decompress(*container);
    ASSERT_TRUE(decoded.ok()) << decoded.error().display();
    const auto diff = codec_test::first_bit_difference(decoded.value(), *expected);
    EXPECT_FALSE(diff.has_value()) << "first difference at sample " << *diff << " of " << expected->size();
}

INSTANTIATE_TEST_SUITE_P(Manifest, CodecReference, ::testing::ValuesIn(load_cases()),
                         [](const auto& p) { return p.param.name; });

struct Malformed {
    std::string name, result, container_hex, message_hex, sha;
    std::string length;
};

std::vector<Malformed> load_malformed() {
    return load<Malformed>("malformed.txt", [](std::istream& s, Malformed& m) {
        s >> m.name >> m.result >> m.container_hex >> m.message_hex >> m.sha >> m.length;
    });
}

class CodecMalformedReference : public ::testing::TestWithParam<Malformed> {};

TEST_P(CodecMalformedReference, DecodesOrFailsWithTheExactText) {
    const Malformed& m = GetParam();
    const auto container = codec_test::from_hex(m.container_hex);
    const auto decoded = decompress(container);
    if (m.result == "ok") {
        ASSERT_TRUE(decoded.ok()) << decoded.error().display();
        EXPECT_EQ(std::to_string(decoded->size()), m.length);
        EXPECT_EQ(codec_test::sha256_hex(decoded.value()), m.sha);
    } else {
        const auto text = codec_test::from_hex(m.message_hex);
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error().display(), std::string(text.begin(), text.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(Manifest, CodecMalformedReference, ::testing::ValuesIn(load_malformed()),
                         [](const auto& p) { return p.param.name; });

// No record may be lost to a parse slip.
TEST(CodecReferenceManifest, HasAllCases) {
    EXPECT_EQ(load_cases().size(), 240u);
    EXPECT_EQ(load_malformed().size(), 25u);
}

}  // namespace
