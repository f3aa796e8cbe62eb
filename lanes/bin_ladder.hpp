// Bin widths a lane written again finds again: the ladder of PRDN bin
// widths, powers of two, and whether a lane sits exactly on the lattice of
// a width (what a lane decoded from bins of that width does).
//
// A PRDN target sets a bin width from the lane's spread, which moves a
// little each time a decoded lane is coded again (a partial write of a
// chunk): widths rounded to fixed rungs come out the same, so the decoded
// lane is found on its own lattice and kept as it is instead of drifting.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/nonfinite.hpp"

namespace vantoresk::lanes {

// The ladder of PRDN bin widths: sixteen rungs per octave, 2^(j/16) times
// a power of two (exact constants, and frexp/ldexp, so every machine finds
// the same rung); a width rounded down to its rung is at most 4.4 % less.
struct Rung {
    int exponent;
    int index;  // 0..15
};
constexpr int kRungsPerOctave = 16;
constexpr double kRungs[kRungsPerOctave] = {
    1.0,                1.0442737824274138, 1.0905077326652577, 1.1387886347566916,
    1.189207115002721,  1.241857812073484,  1.2968395546510096, 1.3542555469368927,
    1.4142135623730951, 1.4768261459394993, 1.5422108254079407, 1.6104903319492543,
    1.681792830507429,  1.7562521603732995, 1.8340080864093424, 1.9152065613971474};

// The highest rung not above w (w > 0, finite).
inline Rung rung_below(double w) {
    int e = 0;
    const double m = 2.0 * std::frexp(w, &e);  // in [1, 2)
    int j = kRungsPerOctave - 1;
    while (j > 0 && kRungs[j] > m) --j;
    return {e - 1, j};
}

// The rung `up` rungs above r.
inline double rung_value(Rung r, int up) {
    const int j = r.index + up;
    return std::ldexp(kRungs[j % kRungsPerOctave], r.exponent + j / kRungsPerOctave);
}

// The power of two at or below w (w > 0, finite).
inline double power_of_two_below(double w) {
    int e = 0;
    (void)std::frexp(w, &e);
    return std::ldexp(1.0, e - 1);
}

// levels[i] = round(x[i] / step); true when every value is exactly
// dtype(level * step), bit for bit, with |level| <= 2^40 (the levels are
// then complete only when it returns true, or with `all`). `levels` has
// the length of `x` (false otherwise).
template <LaneValue T>
bool lattice_levels(std::span<const T> x, double step, std::span<std::int64_t> levels, bool all) {
    if (levels.size() != x.size()) return false;
    bool on = true;
    for (std::size_t i = 0; i < x.size() && (on || all); ++i) {
        const double q = std::nearbyint(static_cast<double>(x[i]) / step);
        on = on && std::fabs(q) <= static_cast<double>(kMaxLevel) &&
             std::bit_cast<BitsOf<T>>(static_cast<T>(q * step)) == std::bit_cast<BitsOf<T>>(x[i]);
        levels[i] = static_cast<std::int64_t>(q);
    }
    return on;
}

}  // namespace vantoresk::lanes
