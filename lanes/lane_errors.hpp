// How far a decoded lane is from the values given: the largest absolute
// error and the PRDN, in float64 over the samples that count.
//
// The chooser holds every candidate body to these measures; it works out a
// lane's Spread once and feeds each candidate's Differences through
// errors_from, which gives the same numbers as measure over that candidate.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "lanes/common.hpp"

namespace vantoresk::lanes {

// Largest absolute error and PRDN (percent) of `got` against `want` over
// `mask` (all samples when empty). PRDN of a constant lane is 0 when exact
// and infinite otherwise.
struct Errors {
    double max_abs = 0.0;
    double prdn = 0.0;
};

// The mean and the sum of squared deviations of the samples that count: the
// denominator of a PRDN, the same for every candidate body of a lane.
struct Spread {
    std::size_t count = 0;
    double mean = 0.0;
    double den = 0.0;
};

template <LaneValue T>
Spread spread_of(std::span<const T> want, std::span<const std::uint8_t> mask) {
    const std::size_t n = want.size();
    const bool all = mask.empty();
    Spread s;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!all && !mask[i]) continue;
        sum += static_cast<double>(want[i]);
        ++s.count;
    }
    if (s.count == 0) return s;
    s.mean = sum / static_cast<double>(s.count);
    for (std::size_t i = 0; i < n; ++i) {
        if (!all && !mask[i]) continue;
        const double c = static_cast<double>(want[i]) - s.mean;
        s.den += c * c;
    }
    return s;
}

// The largest absolute difference and the sum of squared differences of
// got(i) from want[i] over the samples that count (a NaN sticks).
struct Differences {
    double max_abs = 0.0;
    double num = 0.0;
};

template <LaneValue T, class Got>
Differences differences(std::span<const T> want, std::span<const std::uint8_t> mask, Got&& got) {
    const bool all = mask.empty();
    Differences out;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (!all && !mask[i]) continue;
        const double d = static_cast<double>(want[i]) - static_cast<double>(got(i));
        const double a = std::fabs(d);
        if (!(a <= out.max_abs)) out.max_abs = a;
        out.num += d * d;
    }
    return out;
}

// The errors from those differences and the lane's spread.
inline Errors errors_from(const Differences& diff, const Spread& s) {
    const double max_abs = diff.max_abs, num = diff.num;
    if (s.count == 0) return {0.0, 0.0};
    const double inf = std::numeric_limits<double>::infinity();
    if (std::isnan(max_abs) || std::isnan(num)) return {inf, inf};
    if (!(s.den > 0.0) || !std::isfinite(s.den)) {
        // A constant lane, or a spread too large to square: only exact is known good.
        return {max_abs, num == 0.0 ? 0.0 : inf};
    }
    return {max_abs, 100.0 * std::sqrt(num / s.den)};
}

template <LaneValue T>
Errors measure(std::span<const T> want, std::span<const T> got, std::span<const std::uint8_t> mask) {
    return errors_from(differences(want, mask, [&](std::size_t i) { return got[i]; }), spread_of(want, mask));
}

}  // namespace vantoresk::lanes
