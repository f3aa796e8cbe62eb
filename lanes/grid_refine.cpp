// Candidate grids near the fitted one, and the one with fewest corrections.
#include "lanes/grid_refine.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace vantoresk::lanes {
namespace {

struct Constraint {
    double k;   // the value's level
    double lo;  // a + b * k must lie in (lo, hi) to round to the value
    double hi;
};

// The widest interval for a at step b, as (width, middle), one constraint
// after the other.
std::pair<double, double> a_interval_in_order(const std::vector<Constraint>& cs, double b) {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    for (const Constraint& c : cs) {
        lo = std::max(lo, c.lo - b * c.k);
        hi = std::min(hi, c.hi - b * c.k);
    }
    return {hi - lo, 0.5 * (lo + hi)};
}

// The same interval from four running bounds at once (the golden-section
// search asks for it some seventy times per lane). A largest or smallest
// value does not depend on the order it is found in, except which of two
// equal zeros (+0, -0) is kept, and the sign of the middle of two zeros
// depends on that: a bound of zero is worked out again in order.
std::pair<double, double> a_interval(const std::vector<Constraint>& cs, double b) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::array<double, 4> lo{-inf, -inf, -inf, -inf}, hi{inf, inf, inf, inf};
    const std::size_t n = cs.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t u = 0; u < 4; ++u) {
            const Constraint& c = cs[i + u];
            lo[u] = std::max(lo[u], c.lo - b * c.k);
            hi[u] = std::min(hi[u], c.hi - b * c.k);
        }
    }
    for (; i < n; ++i) {
        lo[0] = std::max(lo[0], cs[i].lo - b * cs[i].k);
        hi[0] = std::min(hi[0], cs[i].hi - b * cs[i].k);
    }
    const double l = std::max(std::max(lo[0], lo[1]), std::max(lo[2], lo[3]));
    const double h = std::min(std::min(hi[0], hi[1]), std::min(hi[2], hi[3]));
    if (l == 0.0 || h == 0.0) return a_interval_in_order(cs, b);
    return {h - l, 0.5 * (l + h)};
}

// The grid deepest inside every constraint: the margin for a is concave in
// b, so a search over a small range around the fitted step finds it.
Grid deepest(const std::vector<Constraint>& cs, const Grid& fitted) {
    // Golden-section search: one new evaluation per step, the range shrinks
    // to 1e-13 of itself (a step known to about 1e-19 of its size).
    constexpr double kInv = 0.6180339887498949;
    double left = fitted.b * (1.0 - 1e-6), right = fitted.b * (1.0 + 1e-6);
    double m1 = right - kInv * (right - left), m2 = left + kInv * (right - left);
    double f1 = a_interval(cs, m1).first, f2 = a_interval(cs, m2).first;
    for (int i = 0; i < 64 && right > left; ++i) {
        if (f1 < f2) {
            left = m1;
            m1 = m2;
            f1 = f2;
            m2 = left + kInv * (right - left);
            f2 = a_interval(cs, m2).first;
        } else {
            right = m2;
            m2 = m1;
            f2 = f1;
            m1 = right - kInv * (right - left);
            f1 = a_interval(cs, m1).first;
        }
    }
    const double b = 0.5 * (left + right);
    return Grid{a_interval(cs, b).second, b};
}

// Values written as (d - baseline) / gain are exactly 0 at the baseline,
// which a + b * k reaches only with a = -(b * k0): the step is then the
// middle of what every other value allows, with no second unknown.
std::optional<Grid> through_zero(const std::vector<Constraint>& cs, double k0) {
    double lo = 0.0, hi = std::numeric_limits<double>::infinity();
    for (const Constraint& c : cs) {
        const double d = c.k - k0;
        if (d == 0) continue;
        const double l = d > 0 ? c.lo / d : c.hi / d;
        const double h = d > 0 ? c.hi / d : c.lo / d;
        lo = std::max(lo, l);
        hi = std::min(hi, h);
    }
    if (!(hi > lo) || !std::isfinite(hi)) return std::nullopt;
    const double b = 0.5 * (lo + hi);
    return Grid{-(b * k0), b};
}

// Values the grid does not reproduce, counted up to `enough`.
std::size_t corrections(std::span<const float> values, const Grid& g, std::size_t enough) {
    std::size_t count = 0;
    for (const float x : values) {
        if (!std::isfinite(x)) continue;
        const double k = round_to_integer((static_cast<double>(x) - g.a) / g.b);
        if (!(std::fabs(k) <= 9.0e15) || std::bit_cast<std::uint32_t>(grid_value<float>(g, static_cast<std::int64_t>(k))) != std::bit_cast<std::uint32_t>(x)) {
            if (++count >= enough) break;
        }
    }
    return count;
}

}  // namespace

Grid refine_grid(std::span<const float> values, const Grid& fitted, std::size_t fitted_corrections) {
    // Equal values give equal constraints: each distinct value once (by
    // level when the levels span little more than the lane, else sorted).
    std::vector<float> distinct;
    {
        double kmin = 0, kmax = -1;
        for (const float x : values) {
            if (!std::isfinite(x)) continue;
            const double k = round_to_integer((static_cast<double>(x) - fitted.a) / fitted.b);
            if (kmax < kmin) kmin = kmax = k;
            kmin = std::min(kmin, k);
            kmax = std::max(kmax, k);
        }
        if (kmax >= kmin && kmax - kmin < 4.0 * static_cast<double>(values.size()) + 64) {
            std::vector<float> first(static_cast<std::size_t>(kmax - kmin) + 1, NAN);
            for (const float x : values) {
                if (!std::isfinite(x)) continue;
                const double k = round_to_integer((static_cast<double>(x) - fitted.a) / fitted.b);
                float& slot = first[static_cast<std::size_t>(k - kmin)];
                if (std::isnan(slot)) {
                    slot = x;
                    distinct.push_back(x);
                } else if (slot != x) {
                    distinct.push_back(x);  // off the grid or a rounding apart: kept as well
                }
            }
        } else {
            for (const float x : values) {
                if (std::isfinite(x)) distinct.push_back(x);
            }
            std::sort(distinct.begin(), distinct.end());
            distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        }
    }
    std::vector<Constraint> cs;
    cs.reserve(distinct.size());
    std::optional<double> zero_level;
    for (const float x : distinct) {
        const double k = round_to_integer((static_cast<double>(x) - fitted.a) / fitted.b);
        const double off = static_cast<double>(x) - (fitted.a + fitted.b * k);
        if (!(std::fabs(off) <= 0.01 * fitted.b)) continue;  // off the grid: a correction anyway
        if (x == 0.0f) {
            zero_level = k;
            continue;
        }
        // Half the gap to each neighbouring float, less a margin for the
        // double rounding of a + b * k (and ties).
        const double below = static_cast<double>(x) - static_cast<double>(std::nextafter(x, -INFINITY));
        const double above = static_cast<double>(std::nextafter(x, INFINITY)) - static_cast<double>(x);
        if (!std::isfinite(below) || !std::isfinite(above)) continue;
        // Intervals too narrow for a + b * k in double (values near 0 on a
        // grid far from 0) cannot steer the fit.
        const double reach = 1e-13 * (std::fabs(fitted.a) + std::fabs(fitted.b * k));
        if (below < 4 * reach || above < 4 * reach) continue;
        cs.push_back({k, static_cast<double>(x) - 0.5 * below + 4 * reach, static_cast<double>(x) + 0.5 * above - 4 * reach});
    }
    Grid best = fitted;
    if (cs.size() < 2) return best;
    std::size_t fewest = fitted_corrections;
    std::vector<Grid> candidates = {deepest(cs, fitted)};
    if (zero_level) {
        if (auto g = through_zero(cs, *zero_level)) candidates.push_back(*g);
    }
    for (const Grid& g : candidates) {
        if (!(g.b > 0.0) || !std::isfinite(g.a) || !std::isfinite(g.b)) continue;
        const std::size_t c = corrections(values, g, fewest);
        if (c < fewest) {
            fewest = c;
            best = g;
        }
    }
    return best;
}

}  // namespace vantoresk::lanes
