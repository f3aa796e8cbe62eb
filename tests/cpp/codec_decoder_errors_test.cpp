// decompress on hand-made and damaged containers: every check, its order
// and its exact text, and the payload cases that must still decode.
#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec_support.hpp"
#include "core/arans/arans.hpp"
#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "core/deflate.hpp"
#include "core/header.hpp"
#include "core/wavelet_choice.hpp"

namespace {

using namespace vantoresk;
using K = VantoreskError::Kind;

// Codes the band layout asks for (A_L + D_1 + ... + D_L).
std::size_t layout_codes(CompressionMethod method, std::size_t n, std::size_t levels) {
    const auto ex = make_executor(method);
    std::size_t input = std::max(n, ex->filter_length());
    std::size_t codes = 0;
    for (std::size_t k = 0; k < levels; ++k) {
        const auto s = ex->dwt_size(input);
        codes += s.details_length;
        input = s.approx_length;
    }
    return codes + input;
}

std::vector<std::uint8_t> container_of(CompressionMethod method, std::uint8_t levels, std::uint8_t scale,
                                       std::uint8_t coder, std::uint32_t n, const std::vector<std::uint8_t>& stream,
                                       float minimum = 2.0f, float maximum = 6.0f, float mean = 0.0f) {
    std::vector<std::uint8_t> payload;
    if (coder == 0) {
        payload = deflate_raw(stream).value();
    } else {
        payload = arans::encode_stream(stream);
    }
    const auto h = make_header(method, levels, scale, coder, n, minimum, maximum, mean,
                               static_cast<std::uint32_t>(payload.size()));
    const auto head = h.to_bytes();
    std::vector<std::uint8_t> c(kHeaderSize + payload.size());
    std::copy(head.begin(), head.end(), c.begin());
    std::copy(payload.begin(), payload.end(), c.begin() + kHeaderSize);
    return c;
}

std::vector<float> signal(std::size_t n) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(static_cast<float>(i) * 0.05f) * 3.0f + 1.0f;
    return x;
}

std::vector<std::uint8_t> good_container(EntropyCoder coder, std::uint8_t scale = 11) {
    return compress(signal(300), {CompressionMethod::Cdf97, scale, CutoffLevel::Low, coder}).value();
}

void set_u32(std::vector<std::uint8_t>& c, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) c[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Broken {
    const char* name;
    std::function<std::vector<std::uint8_t>()> make;
    K kind;
    std::string text;
};

class CodecDecoderRejects : public ::testing::TestWithParam<Broken> {};

TEST_P(CodecDecoderRejects, WithTheExactText) {
    const auto c = GetParam().make();
    const auto d = decompress(c);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().kind(), GetParam().kind);
    EXPECT_EQ(d.error().display(), GetParam().text);
}

const std::string kReason = "Can't decompress data, reason: ";

std::vector<std::uint8_t> patched(EntropyCoder coder, std::size_t at, std::uint8_t value) {
    auto c = good_container(coder);
    c[at] = value;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Containers, CodecDecoderRejects,
    ::testing::Values(
        Broken{"truncated_header", [] { auto c = good_container(EntropyCoder::Auto); c.resize(51); return c; },
               K::InvalidHeader, "Header is invalid"},
        Broken{"magic", [] { return patched(EntropyCoder::Auto, 3, 'X'); }, K::InvalidMagic,
               "Magic should be 'VNTR' but it was 'VNTX'"},
        Broken{"version", [] { return patched(EntropyCoder::Auto, 4, '7'); }, K::InvalidVersion,
               std::string("Invalid header version '7") + '\0' + "'"},
        Broken{"sample_format", [] { return patched(EntropyCoder::Auto, 7, '4'); }, K::InvalidSampleFormat,
               "Invalid compression method 'f4'"},
        Broken{"tag", [] { return patched(EntropyCoder::Auto, 11, '8'); }, K::InvalidMethod,
               "Invalid compression method 'cf98'"},
        Broken{"coder", [] { return patched(EntropyCoder::Auto, 14, 2); }, K::UnknownEntropyCoder,
               "Unknown entropy coder 2"},
        Broken{"minimum_nan", [] { auto c = good_container(EntropyCoder::Auto); set_u32(c, 20, 0x7FC00001); return c; },
               K::InvalidHeader, "Header is invalid"},
        Broken{"mean_inf", [] { auto c = good_container(EntropyCoder::Auto); set_u32(c, 28, 0xFF800000); return c; },
               K::InvalidHeader, "Header is invalid"},
        Broken{"count_2p31", [] { auto c = good_container(EntropyCoder::Auto); set_u32(c, 16, 0x80000000u); return c; },
               K::DecompressionFailed, kReason + "Can't decompress data bigger than 2147483647, but data was 2147483648"},
        Broken{"count_max", [] { auto c = good_container(EntropyCoder::Auto); set_u32(c, 16, 0xFFFFFFFFu); return c; },
               K::DecompressionFailed, kReason + "Can't decompress data bigger than 2147483647, but data was 4294967295"},
        // The sample count is checked before the level count.
        Broken{"count_and_level",
               [] { auto c = good_container(EntropyCoder::Auto); set_u32(c, 16, 0x80000000u); c[12] = 0; return c; },
               K::DecompressionFailed, kReason + "Can't decompress data bigger than 2147483647, but data was 2147483648"},
        Broken{"level0", [] { return patched(EntropyCoder::Auto, 12, 0); }, K::DecompressionFailed,
               kReason + "Min supported level is 1 but it was 0"},
        Broken{"level11", [] { return patched(EntropyCoder::Auto, 12, 11); }, K::DecompressionFailed,
               kReason + "Max supported level is 10 but it was 11"},
        Broken{"level255", [] { return patched(EntropyCoder::Auto, 12, 255); }, K::DecompressionFailed,
               kReason + "Max supported level is 10 but it was 255"},
        Broken{"payload_one_short",
               [] { auto c = good_container(EntropyCoder::Auto); c.pop_back(); return c; }, K::DecompressionFailed,
               kReason + "Minimum data size is " + std::to_string(good_container(EntropyCoder::Auto).size()) +
                   ", but it was " + std::to_string(good_container(EntropyCoder::Auto).size() - 1)},
        Broken{"payload_length_huge",
               [] { auto c = good_container(EntropyCoder::Auto); set_u32(c, 32, 0xFFFFFFFFu); return c; },
               K::DecompressionFailed,
               kReason + "Minimum data size is 4294967347, but it was " +
                   std::to_string(good_container(EntropyCoder::Auto).size())},
        // The scale is judged only after the payload has been decoded.
        Broken{"scale13", [] { return patched(EntropyCoder::Auto, 13, 13); }, K::DecompressionFailed,
               kReason + "Supported scales only [6, 12] but it was 13"},
        Broken{"scale5_deflate", [] { return patched(EntropyCoder::Deflate, 13, 5); }, K::DecompressionFailed,
               kReason + "Supported scales only [6, 12] but it was 5"},
        Broken{"scale13_bad_arans",
               [] { auto c = patched(EntropyCoder::Auto, 13, 13); c[53] = 9; return c; }, K::DecompressionFailed,
               kReason + "Inconsistent or oversized length in stream"},
        Broken{"deflate_garbage",
               [] { auto c = good_container(EntropyCoder::Deflate); c[52] = 0xFF; return c; }, K::DecompressionFailed,
               kReason + "corrupt deflate stream"},
        Broken{"deflate_garbage_scale13",
               [] { auto c = patched(EntropyCoder::Deflate, 13, 13); c[52] = 0xFF; return c; }, K::DecompressionFailed,
               kReason + "corrupt deflate stream"},
        Broken{"arans_context_bits",
               [] { auto c = good_container(EntropyCoder::Auto); c[53] = 9; return c; }, K::DecompressionFailed,
               kReason + "Inconsistent or oversized length in stream"},
        Broken{"arans_plane_length",
               [] {
                   // Plane length 2^28 + 1 as LEB128.
                   std::vector<std::uint8_t> s = {0, 3, 0x81, 0x80, 0x80, 0x80, 0x01, 0, 0, 0, 0, 0, 0};
                   auto c = container_of(CompressionMethod::Cdf97, 1, 11, 1, 1, {});
                   set_u32(c, 32, static_cast<std::uint32_t>(s.size()));
                   c.insert(c.end(), s.begin(), s.end());
                   return c;
               },
               K::DecompressionFailed, kReason + "Inconsistent or oversized length in stream"},
        Broken{"arans_truncated",
               [] {
                   // Cut inside the coded even plane, payload length adjusted.
                   auto c = good_container(EntropyCoder::Auto);
                   c.resize(52 + 12);
                   set_u32(c, 32, 12);
                   return c;
               },
               K::DecompressionFailed, kReason + "Stream truncated"},
        // Payloads that decode but hold too few codes for the layout: 300
        // samples of CDF 9/7 at four levels need 300 codes; an odd byte
        // does not make a code.
        Broken{"too_few_codes_deflate",
               [] { return container_of(CompressionMethod::Cdf97, 4, 11, 0, 300, std::vector<std::uint8_t>(598)); },
               K::DecompressionFailed, kReason + "Payload holds 299 coefficients but the band layout needs 300"},
        Broken{"too_few_codes_arans",
               [] { return container_of(CompressionMethod::Cdf97, 4, 11, 1, 300, std::vector<std::uint8_t>(599)); },
               K::DecompressionFailed, kReason + "Payload holds 299 coefficients but the band layout needs 300"},
        // More levels than a one-sample signal can carry: the bands of the
        // layout do not fit together and the engine says so.
        Broken{"levels_beyond_signal",
               [] {
                   return container_of(CompressionMethod::Cdf53, 9, 11, 0, 1,
                                       std::vector<std::uint8_t>(2 * layout_codes(CompressionMethod::Cdf53, 1, 9)));
               },
               K::WaveletFailure, "Approximate size 3 does not match required size 2"},
        Broken{"empty_payload",
               [] { return container_of(CompressionMethod::Sym4, 1, 11, 1, 5, {}); }, K::DecompressionFailed,
               kReason + "Payload holds 0 coefficients but the band layout needs 14"},
        // A sample count claiming far more than the payload holds.
        Broken{"count_without_data",
               [] { return container_of(CompressionMethod::Db4, 10, 11, 0, 0x7FFFFFFF, std::vector<std::uint8_t>(64)); },
               K::DecompressionFailed,
               kReason + "Payload holds 32 coefficients but the band layout needs " +
                   std::to_string(layout_codes(CompressionMethod::Db4, 0x7FFFFFFF, 10))}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CodecDecoderLayout, CountsOfTheExamples) {
    EXPECT_EQ(layout_codes(CompressionMethod::Cdf97, 300, 4), 300u);  // 150 + 75 + 37 + 19 + 19
    EXPECT_EQ(layout_codes(CompressionMethod::Cdf97, 1, 1), 10u);  // T = 10: 5 + 5
    EXPECT_EQ(layout_codes(CompressionMethod::Sym4, 5, 1), 14u);   // T = 8: 7 + 7
}

// ---- Payloads that decode ---------------------------------------------------

std::vector<float> decoded(const std::vector<std::uint8_t>& c) {
    auto d = decompress(c);
    EXPECT_TRUE(d.ok()) << d.error().display();
    return d.ok() ? d.value() : std::vector<float>{};
}

TEST(CodecDecoderAccepts, TrailingBytesAndReservedFieldsChangeNothing) {
    for (auto coder : {EntropyCoder::Deflate, EntropyCoder::Auto}) {
        const auto c = good_container(coder);
        const auto reference = decoded(c);
        ASSERT_EQ(reference.size(), 300u);
        auto longer = c;
        longer.insert(longer.end(), {0xDE, 0xAD, 0xBE, 0xEF});
        EXPECT_FALSE(codec_test::first_bit_difference(decoded(longer), reference));
        auto reserved = c;
        reserved[15] = 0xAA;
        for (std::size_t i = 36; i < 52; ++i) reserved[i] = 0x55;
        EXPECT_FALSE(codec_test::first_bit_difference(decoded(reserved), reference));
    }
}

TEST(CodecDecoderAccepts, OddAndSurplusBytesAreIgnored) {
    const std::size_t need = layout_codes(CompressionMethod::Cdf97, 300, 4);
    std::vector<std::uint8_t> stream(2 * need);
    for (std::size_t i = 0; i < stream.size(); i += 2) stream[i] = static_cast<std::uint8_t>(i * 7);
    for (const std::uint8_t coder : {std::uint8_t{0}, std::uint8_t{1}}) {
        const auto exact = decoded(container_of(CompressionMethod::Cdf97, 4, 11, coder, 300, stream, 2.0f, 6.0f));
        ASSERT_EQ(exact.size(), 300u);
        for (std::size_t extra : {1u, 2u, 3u, 1000u}) {
            auto longer = stream;
            longer.resize(stream.size() + extra, 0x7F);
            const auto c = container_of(CompressionMethod::Cdf97, 4, 11, coder, 300, longer, 2.0f, 6.0f);
            EXPECT_FALSE(codec_test::first_bit_difference(decoded(c), exact)) << extra;
        }
    }
}

class CodecDecoderLevels : public ::testing::TestWithParam<std::tuple<CompressionMethod, int>> {};

// Up to ten levels are read, though the compressor writes at most eight; an
// all-zero stream decodes to minimum + range * mean everywhere.
TEST_P(CodecDecoderLevels, NineAndTenLevelsDecode) {
    const auto& [method, levels] = GetParam();
    for (std::uint32_t n : {3000u, 4099u, 5000u}) {
        const std::size_t need = layout_codes(method, n, static_cast<std::size_t>(levels));
        const auto c = container_of(method, static_cast<std::uint8_t>(levels), 9, 0, n,
                                    std::vector<std::uint8_t>(2 * need), -1.0f, 3.0f, 0.25f);
        const auto d = decompress(c);
        ASSERT_TRUE(d.ok()) << n << ": " << d.error().display();
        ASSERT_EQ(d->size(), n);
        for (float v : d.value()) ASSERT_EQ(v, 0.0f);  // fma(0.25 + 0, 4, -1)
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, CodecDecoderLevels,
                         ::testing::Combine(::testing::Values(CompressionMethod::Cdf53, CompressionMethod::Cdf97,
                                                              CompressionMethod::Db4, CompressionMethod::Sym4),
                                            ::testing::Values(9, 10)));

TEST(CodecDecoderAccepts, SingleSampleUsesOnlyTheFirstOfTenOutputs) {
    std::vector<std::uint8_t> stream(20);
    stream[0] = 0x00;
    stream[1] = 0x08;  // first approximation code 2048 -> 1.0 at scale 11
    const auto d = decoded(container_of(CompressionMethod::Cdf97, 1, 11, 1, 1, stream, 0.0f, 1.0f, 0.0f));
    ASSERT_EQ(d.size(), 1u);
}

// Raw DEFLATE written without a final block (a flushed, unfinished stream):
// the bytes inflated so far are used.
std::vector<std::uint8_t> unfinished_deflate(const std::vector<std::uint8_t>& data) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<std::uint8_t> out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

TEST(CodecDecoderAccepts, DeflateWithoutFinalBlockDecodesAsFarAsItGoes) {
    const auto c = good_container(EntropyCoder::Deflate);
    const auto reference = decoded(c);
    const auto h = VantoreskHeader::from_bytes(c).value();
    const auto stream = inflate_raw(std::span(c).subspan(52), std::size_t{1} << 20).value();

    const auto payload = unfinished_deflate(stream);
    std::vector<std::uint8_t> open(c.begin(), c.begin() + 52);
    set_u32(open, 32, static_cast<std::uint32_t>(payload.size()));
    open.insert(open.end(), payload.begin(), payload.end());
    EXPECT_FALSE(codec_test::first_bit_difference(decoded(open), reference));

    // Cut before all codes arrived: too few codes, reported as such.
    const auto cut_payload = unfinished_deflate(std::vector<std::uint8_t>(stream.begin(), stream.begin() + 101));
    std::vector<std::uint8_t> cut(c.begin(), c.begin() + 52);
    set_u32(cut, 32, static_cast<std::uint32_t>(cut_payload.size()));
    cut.insert(cut.end(), cut_payload.begin(), cut_payload.end());
    const auto d = decompress(cut);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().display(), kReason + "Payload holds 50 coefficients but the band layout needs " +
                                       std::to_string(stream.size() / 2));
    (void)h;
}

TEST(CodecDecoderAccepts, InflateStopsAtTheLayout) {
    // 64 MiB of zeros in about 64 KiB of DEFLATE for a one-sample container:
    // only the 20 bytes the layout needs are produced.
    const std::vector<std::uint8_t> zeros(std::size_t{64} << 20);
    const auto bomb = deflate_raw(zeros).value();
    ASSERT_LT(bomb.size(), 100000u);
    const auto h = make_header(CompressionMethod::Cdf97, 1, 11, 0, 1, 5.0f, 5.0f, 0.0f,
                               static_cast<std::uint32_t>(bomb.size()));
    const auto head = h.to_bytes();
    std::vector<std::uint8_t> c(head.begin(), head.end());
    c.insert(c.end(), bomb.begin(), bomb.end());
    const auto limited = inflate_raw(bomb, 20);
    ASSERT_TRUE(limited.ok());
    EXPECT_EQ(limited->size(), 20u);
    const auto d = decoded(c);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0], 5.0f);
}

}  // namespace
