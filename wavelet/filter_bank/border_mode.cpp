#include "wavelet/filter_bank/border_mode.hpp"

#include <bit>

namespace tremora {

SignedDivider SignedDivider::make(std::int64_t d) noexcept {
    if (d == 0) d = 1;
    SignedDivider out;
    out.divisor = d;
    const std::uint64_t mag = d < 0 ? -static_cast<std::uint64_t>(d) : static_cast<std::uint64_t>(d);
    out.divisor_magnitude = mag;
    const unsigned s = 63u - static_cast<unsigned>(std::countl_zero(mag));
    if ((mag & (mag - 1)) == 0) {
        out.multiplier = 0;
        out.shift_and_flags = static_cast<std::uint8_t>(s);
        return out;
    }
    // mag is not a power of two, so s >= 1 and 2^(63+s) fits in 128 bits.
    const uint128_t dividend = static_cast<uint128_t>(1) << (63 + s);
    std::uint64_t m = static_cast<std::uint64_t>(dividend / mag);
    const std::uint64_t rem = static_cast<std::uint64_t>(dividend - static_cast<uint128_t>(m) * mag);
    std::uint8_t flags;
    if (mag - rem < (std::uint64_t{1} << s)) {
        flags = static_cast<std::uint8_t>(s - 1);
    } else {
        m += m;
        const std::uint64_t twice_rem = rem + rem;
        if (twice_rem >= mag || twice_rem < rem) m += 1;
        flags = static_cast<std::uint8_t>(s | kAddDividend);
    }
    m += 1;
    std::int64_t magic = static_cast<std::int64_t>(m);
    if (d < 0) magic = static_cast<std::int64_t>(-m);
    out.multiplier = magic;
    out.shift_and_flags = flags;
    return out;
}

BorderInterpolation BorderInterpolation::make(BorderMode mode, std::int64_t lower_bound,
                                              std::int64_t length) noexcept {
    BorderInterpolation out;
    out.mode = mode;
    out.lower_bound = lower_bound;
    out.length = length;
    const bool divides = mode == BorderMode::Wrap || mode == BorderMode::Symmetric || mode == BorderMode::Reflect;
    if (divides && length > 0) out.length_divider = SignedDivider::make(length);
    if (mode == BorderMode::Reflect && length > 1) out.reflect_divider = SignedDivider::make(length - 1);
    return out;
}

}  // namespace tremora
