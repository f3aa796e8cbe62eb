// Candidate grids near the fitted one, and the one with fewest corrections.
#include "lanes/grid_refine.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

struct Constraint {
    double k;   // the value's level
    double lo;  // a + b * k must lie in (lo, hi) to round to the value
    double hi;
};

// The constraints that can bound a for some step in [left, right]: a + b k
// must lie above every lo and below every hi, so a lies above every
// lo - b k (`lows`) and below every hi - b k (`highs`). Each is linear in
// b, so its values over the range lie between those at the ends; one that
// stays below another's least value by far more than any rounding (taken
// as 1e-14 of the terms) is never the largest, and is left out. Each side
// keeps the order of `cs`.
struct Sides {
    std::span<const Constraint> lows, highs;
    std::vector<Constraint> low_store, high_store;  // what the sides point into once narrowed
};

// One side kept where it can still bound a for a step in [left, right]:
// the lows (the largest counts) or the highs (the smallest, with the signs
// turned so that the largest counts as well).
template <bool Low>
std::vector<Constraint> relevant_side(std::span<const Constraint> side, double left, double right) {
    constexpr double sign = Low ? 1.0 : -1.0;
    auto value = [](const Constraint& c, double b) { return Low ? c.lo - b * c.k : c.hi - b * c.k; };
    auto margin = [right](const Constraint& c) {
        return 1e-14 * (std::fabs(Low ? c.lo : c.hi) + std::fabs(right * c.k)) + 1e-300;
    };
    // In the sign's direction: the least of the largest of the ends' values
    // every kept constraint is measured against. Each constraint's largest
    // end (plus its margin) is worked out again in the second pass, the
    // same way, rather than stored.
    double floor = -std::numeric_limits<double>::infinity();
    for (const Constraint& c : side) {
        const double at_left = sign * value(c, left), at_right = sign * value(c, right);
        floor = std::max(floor, std::min(at_left, at_right) - margin(c));
    }
    std::vector<Constraint> kept;
    kept.reserve(side.size());
    for (const Constraint& c : side) {
        const double at_left = sign * value(c, left), at_right = sign * value(c, right);
        if (!(std::max(at_left, at_right) + margin(c) < floor)) kept.push_back(c);
    }
    return kept;
}

// Both sides narrowed to the steps in [left, right] (widened a little, so the
// search's own roundings stay inside).
void narrow(Sides& s, double left, double right) {
    left *= 1.0 - 1e-15;
    right *= 1.0 + 1e-15;
    if (!(left > 0.0) || !(right > left) || !std::isfinite(right)) return;
    std::vector<Constraint> lows = relevant_side<true>(s.lows, left, right);
    std::vector<Constraint> highs = relevant_side<false>(s.highs, left, right);
    s.low_store.swap(lows);
    s.high_store.swap(highs);
    s.lows = s.low_store;
    s.highs = s.high_store;
}

// The widest interval for a at step b, as (width, middle), one constraint
// after the other.
std::pair<double, double> a_interval_in_order(const Sides& s, double b) {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    for (const Constraint& c : s.lows) lo = std::max(lo, c.lo - b * c.k);
    for (const Constraint& c : s.highs) hi = std::min(hi, c.hi - b * c.k);
    return {hi - lo, 0.5 * (lo + hi)};
}

// The same interval from four running bounds at once (the golden-section
// search asks for it some seventy times per lane). A largest or smallest
// value does not depend on the order it is found in, except which of two
// equal zeros (+0, -0) is kept, and the sign of the middle of two zeros
// depends on that: a bound of zero is worked out again in order.
std::pair<double, double> a_interval(const Sides& s, double b) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::array<double, 4> lo{-inf, -inf, -inf, -inf}, hi{inf, inf, inf, inf};
    std::size_t i = 0;
    for (; i + 4 <= s.lows.size(); i += 4) {
        for (std::size_t u = 0; u < 4; ++u) lo[u] = std::max(lo[u], s.lows[i + u].lo - b * s.lows[i + u].k);
    }
    for (; i < s.lows.size(); ++i) lo[0] = std::max(lo[0], s.lows[i].lo - b * s.lows[i].k);
    for (i = 0; i + 4 <= s.highs.size(); i += 4) {
        for (std::size_t u = 0; u < 4; ++u) hi[u] = std::min(hi[u], s.highs[i + u].hi - b * s.highs[i + u].k);
    }
    for (; i < s.highs.size(); ++i) hi[0] = std::min(hi[0], s.highs[i].hi - b * s.highs[i].k);
    const double l = std::max(std::max(lo[0], lo[1]), std::max(lo[2], lo[3]));
    const double h = std::min(std::min(hi[0], hi[1]), std::min(hi[2], hi[3]));
    if (l == 0.0 || h == 0.0) return a_interval_in_order(s, b);
    return {h - l, 0.5 * (l + h)};
}

// The grid deepest inside every constraint: the margin for a is concave in
// b, so a search over a small range around the fitted step finds it.
Grid deepest(const std::vector<Constraint>& all, const Grid& fitted) {
    // Golden-section search: one new evaluation per step, the range shrinks
    // to 1e-13 of itself (a step known to about 1e-19 of its size).
    constexpr double kInv = 0.6180339887498949;
    double left = fitted.b * (1.0 - 1e-6), right = fitted.b * (1.0 + 1e-6);
    Sides cs;
    cs.lows = cs.highs = all;
    double m1 = right - kInv * (right - left), m2 = left + kInv * (right - left);
    double f1 = a_interval(cs, m1).first, f2 = a_interval(cs, m2).first;
    for (int i = 0; i < 64 && right > left; ++i) {
        // Every later step lies inside [left, right]: fewer constraints matter.
        // Narrowing costs about two evaluations and pays once the range has
        // shrunk a hundredfold (every tenth step; measured, more often costs
        // more on lanes of many distinct values than it saves).
        if (i % 10 == 9 && cs.lows.size() + cs.highs.size() > 64) narrow(cs, left, right);
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
        const double k = std::nearbyint((static_cast<double>(x) - g.a) / g.b);
        if (!(std::fabs(k) <= 9.0e15) || std::bit_cast<std::uint32_t>(grid_value<float>(g, static_cast<std::int64_t>(k))) != std::bit_cast<std::uint32_t>(x)) {
            if (++count >= enough) break;
        }
    }
    return count;
}

// The least and largest level of the finite values (kmax < kmin: none),
// one value after the other.
template <class Level>
std::pair<double, double> level_range(std::span<const float> values, Level&& level) {
    double kmin = 0, kmax = -1;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) continue;
        const double k = level(i);
        if (kmax < kmin) kmin = kmax = k;
        kmin = std::min(kmin, k);
        kmax = std::max(kmax, k);
    }
    return {kmin, kmax};
}

// The refined grids worth trying for values fitted to `fitted`, the best
// first; `level(i)` gives value i's level on the fitted grid (finite values
// only) and [kmin, kmax] their range as level_range finds it.
template <class Level>
std::vector<Grid> candidates(std::span<const float> values, const Grid& fitted, Level&& level, double kmin,
                             double kmax) {
    // Equal values give equal constraints: each distinct value once (by
    // level when the levels span little more than the lane, else sorted).
    std::vector<float> distinct;
    std::vector<double> distinct_levels;  // their levels, when the first way found them
    {
        if (kmax >= kmin && kmax - kmin < 4.0 * static_cast<double>(values.size()) + 64) {
            std::vector<float> first(static_cast<std::size_t>(kmax - kmin) + 1, NAN);
            for (std::size_t i = 0; i < values.size(); ++i) {
                const float x = values[i];
                if (!std::isfinite(x)) continue;
                const double k = level(i);
                float& slot = first[static_cast<std::size_t>(k - kmin)];
                if (std::isnan(slot)) {
                    slot = x;
                    distinct.push_back(x);
                    distinct_levels.push_back(k);
                } else if (slot != x) {
                    distinct.push_back(x);  // off the grid or a rounding apart: kept as well
                    distinct_levels.push_back(k);
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
    const bool known = distinct_levels.size() == distinct.size();
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        const float x = distinct[i];
        const double k = known ? distinct_levels[i] : std::nearbyint((static_cast<double>(x) - fitted.a) / fitted.b);
        const double off = static_cast<double>(x) - (fitted.a + fitted.b * k);
        if (!(std::fabs(off) <= 0.01 * fitted.b)) continue;  // off the grid: a correction anyway
        if (x == 0.0f) {
            zero_level = k;
            continue;
        }
        // Half the gap to each neighbouring float, less a margin for the
        // double rounding of a + b * k (and ties).
        const double below = static_cast<double>(x) - static_cast<double>(float_neighbour(x, false));
        const double above = static_cast<double>(float_neighbour(x, true)) - static_cast<double>(x);
        if (!std::isfinite(below) || !std::isfinite(above)) continue;
        // Intervals too narrow for a + b * k in double (values near 0 on a
        // grid far from 0) cannot steer the fit.
        const double reach = 1e-13 * (std::fabs(fitted.a) + std::fabs(fitted.b * k));
        if (below < 4 * reach || above < 4 * reach) continue;
        cs.push_back({k, static_cast<double>(x) - 0.5 * below + 4 * reach, static_cast<double>(x) + 0.5 * above - 4 * reach});
    }
    std::vector<Grid> out;
    if (cs.size() < 2) return out;
    out.push_back(deepest(cs, fitted));
    if (zero_level) {
        if (auto g = through_zero(cs, *zero_level)) out.push_back(*g);
    }
    // A refined step differs from the fitted one by a few parts in a
    // million: the lane uses the same share of its levels on either.
    for (Grid& g : out) g.density = fitted.density;
    return out;
}

bool usable(const Grid& g) { return g.b > 0.0 && std::isfinite(g.a) && std::isfinite(g.b); }

// fit_grid on `g`, given up (false) once `enough` values are not reproduced
// as corrections() counts them; `count` is that count when it is kept.
bool fit_unless(std::span<const float> values, const Grid& g, std::size_t enough, GridFit& fit, std::size_t& count) {
    fit.grid = g;
    fit.k.resize(values.size());
    fit.corrections = 0;
    count = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float x = values[i];
        const double q = std::nearbyint((static_cast<double>(x) - g.a) / g.b);
        const bool near = std::fabs(q) <= kMaxGridSteps;
        const std::int64_t k = near ? static_cast<std::int64_t>(q) : 0;
        fit.k[i] = k;
        const bool off = std::bit_cast<std::uint32_t>(grid_value<float>(g, k)) != std::bit_cast<std::uint32_t>(x);
        if (off) ++fit.corrections;
        if (!std::isfinite(x)) continue;
        bool counted;
        if (near) counted = off;
        else if (!(std::fabs(q) <= 9.0e15)) counted = true;
        else counted = std::bit_cast<std::uint32_t>(grid_value<float>(g, static_cast<std::int64_t>(q))) != std::bit_cast<std::uint32_t>(x);
        if (counted && ++count >= enough) return false;
    }
    return true;
}

}  // namespace

Grid refine_grid(std::span<const float> values, const Grid& fitted, std::size_t fitted_corrections) {
    // Each finite value's level, worked out once (kept in the thread's pool
    // when it has room) for both passes and the constraints.
    const auto levels = support::Scratch<double>::take(values.size());
    if (levels) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (std::isfinite(values[i]))
                levels.get()[i] = std::nearbyint((static_cast<double>(values[i]) - fitted.a) / fitted.b);
        }
    }
    auto level = [&](std::size_t i) {
        return levels ? levels.get()[i] : std::nearbyint((static_cast<double>(values[i]) - fitted.a) / fitted.b);
    };
    Grid best = fitted;
    std::size_t fewest = fitted_corrections;
    const auto [kmin, kmax] = level_range(values, level);
    for (const Grid& g : candidates(values, fitted, level, kmin, kmax)) {
        if (fewest == 0) break;  // none can do better
        if (!usable(g)) continue;
        const std::size_t c = corrections(values, g, fewest);
        if (c < fewest) {
            fewest = c;
            best = g;
        }
    }
    return best;
}

std::optional<GridFit> refine_fit(std::span<const float> values, const GridFit& fitted) {
    if (fitted.k.size() != values.size() || fitted.corrections == 0) return std::nullopt;
    const Grid& grid = fitted.grid;
    // The fit's levels are the fitted grid's, but for those beyond its range
    // (kept as 0 there), worked out again.
    auto level = [&](std::size_t i) {
        const std::int64_t k = fitted.k[i];
        return k != 0 ? static_cast<double>(k) : std::nearbyint((static_cast<double>(values[i]) - grid.a) / grid.b);
    };
    // Their range: the levels kept (never 0 for a value that is not finite)
    // as integers, the others one by one. Which of two equal zeros a bound
    // holds does not matter to its use.
    std::int64_t imin = 0, imax = 0;
    bool any = false;
    for (const std::int64_t k : fitted.k) {
        if (k == 0) continue;
        imin = any ? std::min(imin, k) : k;
        imax = any ? std::max(imax, k) : k;
        any = true;
    }
    double kmin = any ? static_cast<double>(imin) : 0.0, kmax = any ? static_cast<double>(imax) : -1.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (fitted.k[i] != 0 || !std::isfinite(values[i])) continue;
        const double k = level(i);
        if (kmax < kmin) kmin = kmax = k;
        kmin = std::min(kmin, k);
        kmax = std::max(kmax, k);
    }
    std::size_t fewest = fitted.corrections;
    std::optional<GridFit> best;
    GridFit trial;
    for (const Grid& g : candidates(values, grid, level, kmin, kmax)) {
        if (fewest == 0) break;  // none can do better
        if (!usable(g)) continue;
        std::size_t c = 0;
        if (fit_unless(values, g, fewest, trial, c) && c < fewest) {
            fewest = c;
            best = std::move(trial);
            trial = GridFit{};
        }
    }
    if (best && !(best->corrections < fitted.corrections)) return std::nullopt;
    return best;
}

}  // namespace vantoresk::lanes
