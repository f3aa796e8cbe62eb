#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "core/error.hpp"

namespace {

using vantoresk::VantoreskError;
using K = VantoreskError::Kind;

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

class CodecErrorText : public ::testing::TestWithParam<std::tuple<VantoreskError, K, std::string>> {};

TEST_P(CodecErrorText, KindAndDisplay) {
    const auto& [error, kind, text] = GetParam();
    EXPECT_EQ(error.kind(), kind);
    EXPECT_EQ(error.display(), text);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, CodecErrorText,
    ::testing::Values(
        std::make_tuple(VantoreskError::invalid_method({'d', 'b', '0', '8'}), K::InvalidMethod,
                        "Invalid compression method 'db08'"),
        std::make_tuple(VantoreskError::invalid_magic({'A', 'B', 'C', 'D'}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was 'ABCD'"),
        std::make_tuple(VantoreskError::invalid_magic({0xFF, 0xFF, 0xFF, 0xFF}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was '???\?'"),
        // NUL and other control characters are valid UTF-8 and shown as they are.
        std::make_tuple(VantoreskError::invalid_magic({'V', 'N', 'T', 0}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was '" + bytes({'V', 'N', 'T', 0}) + "'"),
        // A complete multi-byte sequence is valid; a cut one is not.
        std::make_tuple(VantoreskError::invalid_magic({0xC3, 0xA9, 'a', 'b'}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was '" + bytes({0xC3, 0xA9, 'a', 'b'}) + "'"),
        std::make_tuple(VantoreskError::invalid_magic({'a', 'b', 'c', 0xC3}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was '???\?'"),
        // Overlong encodings and surrogates are not UTF-8.
        std::make_tuple(VantoreskError::invalid_magic({0xC0, 0x80, 'a', 'b'}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was '???\?'"),
        std::make_tuple(VantoreskError::invalid_magic({0xED, 0xA0, 0x80, 'a'}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was '???\?'"),
        std::make_tuple(VantoreskError::invalid_magic({0xF0, 0x9F, 0x98, 0x80}), K::InvalidMagic,
                        "Magic should be 'VNTR' but it was '" + bytes({0xF0, 0x9F, 0x98, 0x80}) + "'"),
        std::make_tuple(VantoreskError::invalid_sample_format({'f', '4'}), K::InvalidSampleFormat,
                        "Invalid compression method 'f4'"),
        std::make_tuple(VantoreskError::invalid_sample_format({0x80, '4'}), K::InvalidSampleFormat,
                        "Invalid compression method '?\?'"),
        std::make_tuple(VantoreskError::invalid_version({0x02, 0x00}), K::InvalidVersion,
                        "Invalid header version '" + bytes({2, 0}) + "'"),
        std::make_tuple(VantoreskError::invalid_version({0xFF, 0x00}), K::InvalidVersion,
                        "Invalid header version '?\?'"),
        std::make_tuple(VantoreskError::wavelet_failure("Buffer was too small for provided level"),
                        K::WaveletFailure, "Buffer was too small for provided level"),
        std::make_tuple(VantoreskError::io_failure("stream error"), K::IoFailure, "stream error"),
        std::make_tuple(VantoreskError::out_of_memory(18446744073709551615ull), K::OutOfMemory,
                        "Out of memory, can't allocate additional 18446744073709551615"),
        std::make_tuple(VantoreskError::invalid_header(), K::InvalidHeader, "Header is invalid"),
        std::make_tuple(VantoreskError::unsupported_configuration("Can't compress empty data"),
                        K::UnsupportedConfiguration,
                        "Unsupported compression configuration 'Can't compress empty data'"),
        std::make_tuple(VantoreskError::decompression_failed("corrupt deflate stream"), K::DecompressionFailed,
                        "Can't decompress data, reason: corrupt deflate stream"),
        // Long reasons are never cut to a fixed buffer.
        std::make_tuple(VantoreskError::decompression_failed(std::string(100000, 'x')), K::DecompressionFailed,
                        "Can't decompress data, reason: " + std::string(100000, 'x')),
        std::make_tuple(VantoreskError::unsupported_scale(13), K::UnsupportedScale,
                        "Only scaled 6..12 is supported, but it was 13"),
        std::make_tuple(VantoreskError::unsupported_scale(0), K::UnsupportedScale,
                        "Only scaled 6..12 is supported, but it was 0"),
        std::make_tuple(VantoreskError::unknown_entropy_coder(255), K::UnknownEntropyCoder,
                        "Unknown entropy coder 255")));

}  // namespace
