// TremoraError: the wavelet engine's error value.
//
// A tag plus up to two unsigned sizes. Only the display text ever leaves the
// engine (the codec folds it into its own error as text). Watch the order of
// the values: OutputSizeMismatch stores (given, required) but prints the
// required length first; InputSizeMismatch and ScratchSizeMismatch store
// (required, given) and print them in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/result.hpp"

namespace tremora {

class TremoraError {
public:
    enum class Kind : std::uint8_t {
        AllocationFailed = 0,         // bytes requested
        UnexpectedBandLength = 1,     // offending band length
        BandLengthMismatch = 2,       // approximation length, detail length
        InputNotDivisible = 3,        // divisor
        Overflow = 4,                 // -
        OutputSizeMismatch = 5,       // given output length, required length
        InputTooShort = 6,            // input length, minimum length
        InputOutputSizeMismatch = 7,  // input length, output length
        ZeroOrOddWavelet = 8,         // -
        FilterCenterTooLarge = 9,     // filter center, filter length
        BufferTooSmallForLevel = 10,  // -
        ApproxSizeMismatch = 11,      // given length, required length
        DetailsSizeMismatch = 12,     // given length, required length
        ZeroSizedInput = 13,          // -
        InputSizeMismatch = 14,       // required length, given length
        ScratchSizeMismatch = 15,     // required length, given length
    };

    constexpr TremoraError(Kind kind, std::size_t first = 0, std::size_t second = 0) noexcept
        : kind_(kind), first_(first), second_(second) {}

    static constexpr TremoraError allocation_failed(std::size_t bytes) { return {Kind::AllocationFailed, bytes}; }
    static constexpr TremoraError unexpected_band_length(std::size_t len) { return {Kind::UnexpectedBandLength, len}; }
    static constexpr TremoraError band_length_mismatch(std::size_t approx, std::size_t details) {
        return {Kind::BandLengthMismatch, approx, details};
    }
    static constexpr TremoraError input_not_divisible(std::size_t divisor) { return {Kind::InputNotDivisible, divisor}; }
    static constexpr TremoraError overflow() { return {Kind::Overflow}; }
    static constexpr TremoraError output_size_mismatch(std::size_t given, std::size_t required) {
        return {Kind::OutputSizeMismatch, given, required};
    }
    static constexpr TremoraError input_too_short(std::size_t len, std::size_t min) {
        return {Kind::InputTooShort, len, min};
    }
    static constexpr TremoraError input_output_size_mismatch(std::size_t in, std::size_t out) {
        return {Kind::InputOutputSizeMismatch, in, out};
    }
    static constexpr TremoraError zero_or_odd_wavelet() { return {Kind::ZeroOrOddWavelet}; }
    static constexpr TremoraError filter_center_too_large(std::size_t center, std::size_t len) {
        return {Kind::FilterCenterTooLarge, center, len};
    }
    static constexpr TremoraError buffer_too_small_for_level() { return {Kind::BufferTooSmallForLevel}; }
    static constexpr TremoraError approx_size_mismatch(std::size_t given, std::size_t required) {
        return {Kind::ApproxSizeMismatch, given, required};
    }
    static constexpr TremoraError details_size_mismatch(std::size_t given, std::size_t required) {
        return {Kind::DetailsSizeMismatch, given, required};
    }
    static constexpr TremoraError zero_sized_input() { return {Kind::ZeroSizedInput}; }
    static constexpr TremoraError input_size_mismatch(std::size_t required, std::size_t given) {
        return {Kind::InputSizeMismatch, required, given};
    }
    static constexpr TremoraError scratch_size_mismatch(std::size_t required, std::size_t given) {
        return {Kind::ScratchSizeMismatch, required, given};
    }

    constexpr Kind kind() const noexcept { return kind_; }
    constexpr std::size_t first() const noexcept { return first_; }
    constexpr std::size_t second() const noexcept { return second_; }

    // The one text form of the error.
    std::string display() const;

    friend constexpr bool operator==(const TremoraError&, const TremoraError&) = default;

private:
    Kind kind_;
    std::size_t first_;
    std::size_t second_;
};

template <class T>
using TResult = vantoresk::support::Result<T, TremoraError>;
using Status = vantoresk::support::Result<void, TremoraError>;

inline vantoresk::support::Err<TremoraError> fail(TremoraError e) { return {e}; }

}  // namespace tremora
