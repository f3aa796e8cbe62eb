// The border arithmetic of the convolution kernels: exact signed division by
// a fixed length and the source index of every outside position, for the
// modes drawn in contract/border_mode.hpp.
//
// BorderInterpolation is built once per forward step of a fixed-tap kernel;
// the few outside positions of its first and last windows go through
// source(). Index arithmetic is exact signed 64-bit; the divisions by the
// length use a precomputed reciprocal (SignedDivider) because source() sits
// in the border loop of every step.
#pragma once

#include <cstdint>

#include "wavelet/contract/border_mode.hpp"

namespace tremora {

__extension__ typedef __int128 int128_t;
__extension__ typedef unsigned __int128 uint128_t;

// Truncating signed 64-bit division by a fixed divisor d != 0 as a multiply
// and shifts. Let s = floor(log2 |d|).
//   |d| a power of two: multiplier 0, shift s; q = (x + (x < 0 ? 2^s - 1 : 0)) >> s.
//   otherwise: m = floor(2^(63+s) / |d|), rem = 2^(63+s) - m|d|;
//     |d| - rem < 2^s  -> shift s - 1, the multiplier m + 1 is exact enough;
//     else             -> one more bit: m = 2m + (2 rem >= |d|), shift s,
//                         flag kAddDividend (the multiplier's top bit is lost
//                         in 64 bits and is put back by adding x).
//   q = (mulhi(x, m + 1) [+ x]) >> shift, plus 1 if that is negative (the
//   arithmetic shift floors; truncation rounds negatives up).
// The result always equals x / d in C++ (truncation towards zero).
struct SignedDivider {
    static constexpr std::uint8_t kShiftMask = 0x3F;
    static constexpr std::uint8_t kAddDividend = 0x40;

    std::int64_t multiplier = 0;
    std::int64_t divisor = 1;
    std::uint64_t divisor_magnitude = 1;
    std::uint8_t shift_and_flags = 0;

    static SignedDivider make(std::int64_t d) noexcept;  // d == 0 is treated as 1

    std::int64_t divide(std::int64_t x) const noexcept {
        const unsigned shift = shift_and_flags & kShiftMask;
        if (multiplier == 0) {
            const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
            const std::uint64_t ux = static_cast<std::uint64_t>(x) + (x < 0 ? mask : 0);
            std::int64_t q = static_cast<std::int64_t>(ux) >> shift;
            if (divisor < 0) q = -q;
            return q;
        }
        const int128_t prod = static_cast<int128_t>(multiplier) * static_cast<int128_t>(x);
        std::uint64_t uq = static_cast<std::uint64_t>(static_cast<uint128_t>(prod) >> 64);
        if (shift_and_flags & kAddDividend) {
            uq += divisor < 0 ? -static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
        }
        std::int64_t q = static_cast<std::int64_t>(uq) >> shift;
        q += (q < 0) ? 1 : 0;
        return q;
    }
};

// Extension record of one forward step: mode, lower bound (always 0 from the
// kernels; the low end of the Clamp range) and the input length n >= 1.
struct BorderInterpolation {
    // Reciprocal of the length for Wrap, Symmetric and Reflect; divisor 1 and
    // no multiplier for Clamp and Zeros.
    SignedDivider length_divider;
    // Reflect's period is n - 1, not n; its own reciprocal lives here (unused,
    // divisor 1, for the other modes and for n = 1).
    SignedDivider reflect_divider;
    std::int64_t lower_bound = 0;
    std::int64_t length = 0;
    BorderMode mode = BorderMode::Zeros;

    // Cannot fail. A length below 1 leaves no sample to take: source() then
    // reports -1 (zero) for every outside position.
    static BorderInterpolation make(BorderMode mode, std::int64_t lower_bound, std::int64_t length) noexcept;

    // Index of the sample that stands at position x (inside or outside), or
    // -1 when the extension holds zero there (Zeros).
    std::int64_t source(std::int64_t x) const noexcept {
        if (x >= lower_bound && x < length) return x;
        if (length <= 0) return -1;
        switch (mode) {
            case BorderMode::Clamp:
                return x < lower_bound ? lower_bound : length - 1;
            case BorderMode::Wrap: {
                const std::int64_t r = x - length_divider.divide(x) * length;
                return r < 0 ? r + length : r;
            }
            case BorderMode::Symmetric: {
                const std::int64_t q = length_divider.divide(x);
                const std::int64_t r = x - q * length;
                return (-x - 1) + length * (q + 1) - (r < 0 ? length : 0);
            }
            case BorderMode::Reflect: {
                if (length == 1) return 0;
                const std::int64_t m = length - 1;
                const std::int64_t r = x - reflect_divider.divide(x) * m;
                if (x < 0) return r < 0 ? -r : m;
                return m - r;
            }
            case BorderMode::Zeros:
                return -1;
        }
        return -1;
    }

    float sample(const float* signal, std::int64_t x) const noexcept {
        const std::int64_t i = source(x);
        return i < 0 ? 0.0f : signal[i];
    }
};

}  // namespace tremora
