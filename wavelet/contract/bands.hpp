// Band storage for the multi-level drivers: every vector a driver creates
// goes through these helpers, so an absurd length (a corrupt container can
// ask for one) comes back as AllocationFailed instead of aborting the
// process or throwing through the caller's frames.
//
// The byte count reported is 4 per float; it saturates instead of wrapping
// when a length is so large that the count itself would not fit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "support/fallible.hpp"
#include "wavelet/contract/error.hpp"

namespace tremora {

constexpr std::size_t band_bytes(std::size_t floats) noexcept {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    return floats > max / sizeof(float) ? max : floats * sizeof(float);
}

// A fresh band of `length` zeros.
[[nodiscard]] inline TResult<std::vector<float>> zeroed_band(std::size_t length) {
    std::vector<float> band;
    if (!vantoresk::support::try_zeroed(band, length)) return fail(TremoraError::allocation_failed(band_bytes(length)));
    return band;
}

// Makes `band` hold exactly `length` floats: surplus is cut off, new ones
// are zero. Contents are untouched when this fails.
[[nodiscard]] inline Status resize_band(std::vector<float>& band, std::size_t length) {
    if (!vantoresk::support::try_resize(band, length)) return fail(TremoraError::allocation_failed(band_bytes(length)));
    return {};
}

// Reserves room for a level list. The request is capped: a caller may ask for
// any number of levels, but a pass count is bounded by how often a length can
// shrink before falling under a kernel's minimum, so the cap only spares us a
// pointless giant reservation (the list still grows if ever needed).
template <class T>
[[nodiscard]] Status reserve_levels(std::vector<T>& levels, std::size_t wanted) {
    constexpr std::size_t cap = 2 * std::numeric_limits<std::size_t>::digits;
    const std::size_t n = std::min(wanted, cap);
    if (!vantoresk::support::try_reserve(levels, n)) return fail(TremoraError::allocation_failed(n * sizeof(T)));
    return {};
}

// Appends to a level list without letting a failed growth throw.
template <class T>
[[nodiscard]] Status push_level(std::vector<T>& levels, T&& level) {
    if (levels.size() == levels.capacity()) {
        const std::size_t grown = levels.capacity() == 0 ? 1 : 2 * levels.capacity();
        if (!vantoresk::support::try_reserve(levels, grown)) {
            return fail(TremoraError::allocation_failed(grown * sizeof(T)));
        }
    }
    levels.push_back(std::move(level));  // capacity is there: cannot throw
    return {};
}

}  // namespace tremora
