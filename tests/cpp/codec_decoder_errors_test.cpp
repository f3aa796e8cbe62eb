// decompress on hand-made and damaged containers: every check, its order
// and its exact text, and the payload cases that must still decode.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
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

using codec_test::put_u32;

// The header of `c` with `payload` behind it in place of its own.
std::vector<std::uint8_t> with_payload(const std::vector<std::uint8_t>& c, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out(kHeaderSize + payload.size());
    std::copy(c.begin(), c.begin() + kHeaderSize, out.begin());
    std::copy(payload.begin(), payload.end(), out.begin() + kHeaderSize);
    put_u32(out, 32, static_cast<std::uint32_t>(payload.size()));
    return out;
}

std::vector<std::uint8_t> container_of(CompressionMethod method, std::uint8_t levels, std::uint8_t scale,
                                       std::uint8_t coder, std::uint32_t n, const std::vector<std::uint8_t>& stream,
                                       float minimum = 2.0f, float maximum = 6.0f, float mean = 0.0f) {
    const auto head = make_header(method, levels, scale, coder, n, minimum, maximum, mean, 0).to_bytes();
    return with_payload({head.begin(), head.end()},
                        coder == 0 ? deflate_raw(stream).value() : arans::encode_stream(stream));
}

std::vector<std::uint8_t> good_container(EntropyCoder coder) {
    std::vector<float> x(300);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(static_cast<float>(i) * 0.05f) * 3.0f + 1.0f;
    return compress(x, {CompressionMethod::Cdf97, 11, CutoffLevel::Low, coder}).value();
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
    // Beyond what the reference table of damaged containers already holds.
    ::testing::Values(
        Broken{"count_max", [] { auto c = good_container(EntropyCoder::Auto); put_u32(c, 16, 0xFFFFFFFFu); return c; },
               K::DecompressionFailed, kReason + "Can't decompress data bigger than 2147483647, but data was 4294967295"},
        // The sample count is checked before the level count.
        Broken{"count_and_level",
               [] { auto c = good_container(EntropyCoder::Auto); put_u32(c, 16, 0x80000000u); c[12] = 0; return c; },
               K::DecompressionFailed, kReason + "Can't decompress data bigger than 2147483647, but data was 2147483648"},
        Broken{"level255", [] { return patched(EntropyCoder::Auto, 12, 255); }, K::DecompressionFailed,
               kReason + "Max supported level is 10 but it was 255"},
        Broken{"payload_length_huge",
               [] { auto c = good_container(EntropyCoder::Auto); put_u32(c, 32, 0xFFFFFFFFu); return c; },
               K::DecompressionFailed,
               kReason + "Minimum data size is 4294967347, but it was " +
                   std::to_string(good_container(EntropyCoder::Auto).size())},
        // The scale is judged only after the payload has been decoded.
        Broken{"scale5_deflate", [] { return patched(EntropyCoder::Deflate, 13, 5); }, K::DecompressionFailed,
               kReason + "Supported scales only [6, 12] but it was 5"},
        Broken{"scale13_bad_arans",
               [] { auto c = patched(EntropyCoder::Auto, 13, 13); c[53] = 9; return c; }, K::DecompressionFailed,
               kReason + "Inconsistent or oversized length in stream"},
        Broken{"deflate_garbage_scale13",
               [] { auto c = patched(EntropyCoder::Deflate, 13, 13); c[52] = 0xFF; return c; }, K::DecompressionFailed,
               kReason + "corrupt deflate stream"},
        Broken{"arans_truncated",
               [] {
                   // Cut inside the coded even plane, payload length adjusted.
                   auto c = good_container(EntropyCoder::Auto);
                   c.resize(52 + 12);
                   put_u32(c, 32, 12);
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

// ---- Payloads that decode ---------------------------------------------------

std::vector<float> decoded(const std::vector<std::uint8_t>& c) {
    auto d = decompress(c);
    EXPECT_TRUE(d.ok()) << d.error().display();
    return d.ok() ? d.value() : std::vector<float>{};
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
    const auto stream = inflate_raw(std::span(c).subspan(52), std::size_t{1} << 20).value();

    EXPECT_FALSE(codec_test::first_bit_difference(decoded(with_payload(c, unfinished_deflate(stream))), reference));

    // Cut before all codes arrived: too few codes, reported as such.
    const auto d = decompress(with_payload(c, unfinished_deflate({stream.begin(), stream.begin() + 101})));
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().display(), kReason + "Payload holds 50 coefficients but the band layout needs " +
                                       std::to_string(stream.size() / 2));
}

TEST(CodecDecoderAccepts, InflateStopsAtTheLayout) {
    // 64 MiB of zeros in about 64 KiB of DEFLATE for a one-sample container:
    // only the 20 bytes the layout needs are produced.
    const std::vector<std::uint8_t> zeros(std::size_t{64} << 20);
    const auto bomb = deflate_raw(zeros).value();
    ASSERT_LT(bomb.size(), 100000u);
    const auto c = with_payload(container_of(CompressionMethod::Cdf97, 1, 11, 0, 1, {}, 5.0f, 5.0f), bomb);
    const auto limited = inflate_raw(bomb, 20);
    ASSERT_TRUE(limited.ok());
    EXPECT_EQ(limited->size(), 20u);
    const auto d = decoded(c);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0], 5.0f);
}

// The first allocation is four times the payload; the limit must hold past
// it, through every growth step, to the byte.
TEST(CodecDecoderAccepts, InflateLimitHoldsAboveTheFirstAllocation) {
    std::vector<std::uint8_t> content(std::size_t{1} << 20);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>((i >> 10) ^ (i % 5));
    const auto payload = deflate_raw(content).value();
    const std::size_t first = std::max<std::size_t>(4 * payload.size(), 4096);
    ASSERT_LT(first, content.size() / 4);
    for (const std::size_t limit : {first - 1, first, first + 1, 2 * first + 1, 3 * first + 7, content.size() - 1,
                                    content.size(), content.size() + 1, 2 * content.size()}) {
        const auto r = inflate_raw(payload, limit);
        ASSERT_TRUE(r.ok()) << limit;
        const std::size_t expected = std::min(limit, content.size());
        ASSERT_EQ(r->size(), expected) << limit;
        EXPECT_TRUE(std::equal(r->begin(), r->end(), content.begin())) << limit;
    }
}

}  // namespace
