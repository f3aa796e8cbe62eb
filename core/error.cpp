#include "core/error.hpp"

#include <algorithm>
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
std::string raw_text(std::span<const std::uint8_t> bytes) {
    if (!is_valid_utf8(bytes)) return std::string(bytes.size(), '?');
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

VantoreskError VantoreskError::with_raw(Kind kind, std::span<const std::uint8_t> bytes) {
    VantoreskError e(kind);
    std::copy(bytes.begin(), bytes.end(), e.raw_.begin());
    e.raw_len_ = static_cast<std::uint8_t>(bytes.size());
    return e;
}
VantoreskError VantoreskError::with_text(Kind kind, std::string text) {
    VantoreskError e(kind);
    e.text_ = std::move(text);
    return e;
}
VantoreskError VantoreskError::with_number(Kind kind, std::uint64_t number) {
    VantoreskError e(kind);
    e.number_ = number;
    return e;
}

VantoreskError VantoreskError::invalid_method(std::array<std::uint8_t, 4> tag) {
    return with_raw(Kind::InvalidMethod, tag);
}
VantoreskError VantoreskError::invalid_magic(std::array<std::uint8_t, 4> magic) {
    return with_raw(Kind::InvalidMagic, magic);
}
VantoreskError VantoreskError::invalid_sample_format(std::array<std::uint8_t, 2> format) {
    return with_raw(Kind::InvalidSampleFormat, format);
}
VantoreskError VantoreskError::invalid_version(std::array<std::uint8_t, 2> version) {
    return with_raw(Kind::InvalidVersion, version);
}
VantoreskError VantoreskError::wavelet_failure(std::string text) { return with_text(Kind::WaveletFailure, std::move(text)); }
VantoreskError VantoreskError::io_failure(std::string text) { return with_text(Kind::IoFailure, std::move(text)); }
VantoreskError VantoreskError::out_of_memory(std::uint64_t count) { return with_number(Kind::OutOfMemory, count); }
VantoreskError VantoreskError::invalid_header() { return VantoreskError(Kind::InvalidHeader); }
VantoreskError VantoreskError::unsupported_configuration(std::string text) {
    return with_text(Kind::UnsupportedConfiguration, std::move(text));
}
VantoreskError VantoreskError::decompression_failed(std::string text) {
    return with_text(Kind::DecompressionFailed, std::move(text));
}
VantoreskError VantoreskError::unsupported_scale(std::uint8_t scale) {
    return with_number(Kind::UnsupportedScale, scale);
}
VantoreskError VantoreskError::unknown_entropy_coder(std::uint8_t coder) {
    return with_number(Kind::UnknownEntropyCoder, coder);
}

std::string VantoreskError::display() const {
    const std::string raw = raw_text(std::span<const std::uint8_t>(raw_.data(), raw_len_));
    const std::string number = std::to_string(number_);
    switch (kind_) {
        case Kind::InvalidMethod:
        case Kind::InvalidSampleFormat:
            return "Invalid compression method '" + raw + "'";
        case Kind::InvalidMagic:
            return "Magic should be 'VNTR' but it was '" + raw + "'";
        case Kind::InvalidVersion:
            return "Invalid header version '" + raw + "'";
        case Kind::WaveletFailure:
        case Kind::IoFailure:
            return text_;
        case Kind::OutOfMemory:
            return "Out of memory, can't allocate additional " + number;
        case Kind::InvalidHeader:
            return "Header is invalid";
        case Kind::UnsupportedConfiguration:
            return "Unsupported compression configuration '" + text_ + "'";
        case Kind::DecompressionFailed:
            return "Can't decompress data, reason: " + text_;
        case Kind::UnsupportedScale:
            return "Only scaled 6..12 is supported, but it was " + number;
        case Kind::UnknownEntropyCoder:
            return "Unknown entropy coder " + number;
    }
    return "Unknown codec error";
}

}  // namespace vantoresk
