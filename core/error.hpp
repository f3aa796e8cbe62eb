// VantoreskError: the codec's single error type.
//
// Twelve variants with fixed tags. Raw-byte payloads (magic, version, tags)
// are rendered as UTF-8 text, control characters and NUL included, so the
// display text is a length-counted std::string, never a C string.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "support/result.hpp"

namespace vantoresk {

class VantoreskError {
public:
    enum class Kind : std::uint8_t {
        InvalidMethod = 0,             // 4 raw bytes
        InvalidMagic = 1,              // 4 raw bytes
        InvalidSampleFormat = 2,       // 2 raw bytes
        InvalidVersion = 3,            // 2 raw bytes
        WaveletFailure = 4,            // text
        IoFailure = 5,                 // text
        OutOfMemory = 6,               // u64 count
        InvalidHeader = 7,             // none
        UnsupportedConfiguration = 8,  // text
        DecompressionFailed = 9,       // text
        UnsupportedScale = 10,         // u8
        UnknownEntropyCoder = 11,      // u8
    };

    static VantoreskError invalid_method(std::array<std::uint8_t, 4> tag);
    static VantoreskError invalid_magic(std::array<std::uint8_t, 4> magic);
    static VantoreskError invalid_sample_format(std::array<std::uint8_t, 2> format);
    static VantoreskError invalid_version(std::array<std::uint8_t, 2> version);
    static VantoreskError wavelet_failure(std::string text);
    static VantoreskError io_failure(std::string text);
    static VantoreskError out_of_memory(std::uint64_t count);
    static VantoreskError invalid_header();
    static VantoreskError unsupported_configuration(std::string text);
    static VantoreskError decompression_failed(std::string text);
    static VantoreskError unsupported_scale(std::uint8_t scale);
    static VantoreskError unknown_entropy_coder(std::uint8_t coder);

    Kind kind() const noexcept { return kind_; }

    // The display text; may contain NUL and other control characters.
    std::string display() const;

private:
    explicit VantoreskError(Kind kind) : kind_(kind) {}
    static VantoreskError with_raw(Kind kind, std::span<const std::uint8_t> bytes);
    static VantoreskError with_text(Kind kind, std::string text);
    static VantoreskError with_number(Kind kind, std::uint64_t number);

    // One error carries at most one payload; the kind says which field holds it.
    Kind kind_;
    std::array<std::uint8_t, 4> raw_{};  // raw header bytes (first raw_len_ used)
    std::uint8_t raw_len_ = 0;
    std::uint64_t number_ = 0;
    std::string text_;
};

template <class T>
using VResult = support::Result<T, VantoreskError>;

inline support::Err<VantoreskError> fail(VantoreskError e) { return {std::move(e)}; }

}  // namespace vantoresk
