#include "core/error.hpp"

#include <cstddef>
#include <span>

namespace vantoresk {
namespace {

// Strict UTF-8 check (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::span<const std::uint8_t> s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint8_t c = s[i];
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i - 1 < extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint8_t cc = s[i + k];
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        static constexpr std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// Raw header bytes as text: the bytes themselves when they are UTF-8 as a
// whole (control characters and NUL included), else one '?' per byte.
template <std::size_t N>
std::string raw_text(const std::array<std::uint8_t, N>& bytes) {
    if (!is_valid_utf8(bytes)) return std::string(N, '?');
    return std::string(reinterpret_cast<const char*>(bytes.data()), N);
}

}  // namespace

VantoreskError VantoreskError::invalid_method(std::array<std::uint8_t, 4> tag) { return {Kind::InvalidMethod, tag}; }
VantoreskError VantoreskError::invalid_magic(std::array<std::uint8_t, 4> magic) { return {Kind::InvalidMagic, magic}; }
VantoreskError VantoreskError::invalid_sample_format(std::array<std::uint8_t, 2> format) {
    return {Kind::InvalidSampleFormat, format};
}
VantoreskError VantoreskError::invalid_version(std::array<std::uint8_t, 2> version) {
    return {Kind::InvalidVersion, version};
}
VantoreskError VantoreskError::wavelet_failure(std::string text) { return {Kind::WaveletFailure, std::move(text)}; }
VantoreskError VantoreskError::io_failure(std::string text) { return {Kind::IoFailure, std::move(text)}; }
VantoreskError VantoreskError::out_of_memory(std::uint64_t count) { return {Kind::OutOfMemory, count}; }
VantoreskError VantoreskError::invalid_header() { return {Kind::InvalidHeader, std::monostate{}}; }
VantoreskError VantoreskError::unsupported_configuration(std::string text) {
    return {Kind::UnsupportedConfiguration, std::move(text)};
}
VantoreskError VantoreskError::decompression_failed(std::string text) {
    return {Kind::DecompressionFailed, std::move(text)};
}
VantoreskError VantoreskError::unsupported_scale(std::uint8_t scale) {
    return {Kind::UnsupportedScale, std::uint64_t{scale}};
}
VantoreskError VantoreskError::unknown_entropy_coder(std::uint8_t coder) {
    return {Kind::UnknownEntropyCoder, std::uint64_t{coder}};
}

std::string VantoreskError::display() const {
    const auto text = [&] { return std::get<std::string>(payload_); };
    const auto number = [&] { return std::to_string(std::get<std::uint64_t>(payload_)); };
    const auto raw4 = [&] { return raw_text(std::get<std::array<std::uint8_t, 4>>(payload_)); };
    const auto raw2 = [&] { return raw_text(std::get<std::array<std::uint8_t, 2>>(payload_)); };
    switch (kind_) {
        case Kind::InvalidMethod:
            return "Invalid compression method '" + raw4() + "'";
        case Kind::InvalidMagic:
            return "Magic should be 'VNTR' but it was '" + raw4() + "'";
        case Kind::InvalidSampleFormat:
            return "Invalid compression method '" + raw2() + "'";
        case Kind::InvalidVersion:
            return "Invalid header version '" + raw2() + "'";
        case Kind::WaveletFailure:
        case Kind::IoFailure:
            return text();
        case Kind::OutOfMemory:
            return "Out of memory, can't allocate additional " + number();
        case Kind::InvalidHeader:
            return "Header is invalid";
        case Kind::UnsupportedConfiguration:
            return "Unsupported compression configuration '" + text() + "'";
        case Kind::DecompressionFailed:
            return "Can't decompress data, reason: " + text();
        case Kind::UnsupportedScale:
            return "Only scaled 6..12 is supported, but it was " + number();
        case Kind::UnknownEntropyCoder:
            return "Unknown entropy coder " + number();
    }
    return "Unknown codec error";
}

}  // namespace vantoresk
