// The chooser's near-lossless bins: on the lane's grid (2k + 1 steps), of
// values (a width in the lane's units, or a rung of the PRDN ladder), of an
// integer lane's own levels; each measured before it is coded.
#include <bit>
#include <limits>

#include "lanes/bin_ladder.hpp"
#include "lanes/chooser.hpp"
#include "lanes/frame.hpp"
#include "lanes/near_lossless.hpp"

namespace vantoresk::lanes {
namespace {

// Value bins at least this much wider than a grid's bins are taken without
// coding the grid's as well. On recorded lanes, bins 4/3 as wide always came
// out smaller (by 3 to 15 %); at 8/7 and 16/15 the grid's were smaller for
// one lane in ten (by up to 4 %), so both are coded there.
constexpr double kClearlyWider = 1.25;
// Between them, one estimated this much smaller than the other is coded alone.
constexpr double kClearlySmaller = 0.04;

}  // namespace

// What kind 5 for these levels decodes to, measured against the lane
// without coding anything: the decoded values are worked out from the
// coder's bins (the same sums, in the same order, as measure over the
// decoded lane).
template <LaneValue T>
Errors Chooser<T>::level_errors(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map) {
    const std::int64_t lo = int_min(dtype_), hi = int_max(dtype_);
    return errors_from(
        differences(x_, mask_, [&](std::size_t i) { return level_value<T>(map, coded_level(levels[i], k), lo, hi); }),
        lane_spread());
}

// Kind 5 for these levels, offered.
template <LaneValue T>
Status Chooser<T>::code_levels(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map) {
    std::vector<std::uint8_t> body;
    if (auto st = level_lane_body(levels, k, map, body); !st) return st;
    offer(kNearLossless, body);
    near_met_ = true;
    return {};
}

// Kind 5 for these levels, measured first: only a body that meets the
// target is coded. `exact_out` tells whether it gives back the input.
template <LaneValue T>
Status Chooser<T>::try_levels(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map, bool by_prdn,
                              double limit, bool& met, bool& exact_out) {
    const Errors e = level_errors(levels, k, map);
    met = (by_prdn ? e.prdn : e.max_abs) <= limit;
    exact_out = e.max_abs == 0.0;
    last_prdn_ = e.prdn;
    if (met) {
        if (auto st = code_levels(levels, k, map); !st) return st;
    }
    // The same bound with bins centred on an interpolation (a PRDN
    // searches its own bounds, in interpolated()).
    if (!by_prdn && k > 0 && !(met && exact_out)) {
        bool interp_met = false, interp_exact = false;
        if (auto st = offer_interp(levels, k, map, limit, interp_met, interp_exact); !st) return st;
        met = met || interp_exact;
        if (interp_met) exact_out = interp_exact;
    }
    return {};
}

// Levels of the lane's values in bins of `step` into `levels_`; false when
// a value lies beyond the level coder's range.
template <LaneValue T>
bool Chooser<T>::bin_levels(double step) {
    if (!level_memory_) {
        level_memory_ = support::Scratch<std::int64_t>::take(x_.size());
        if (!level_memory_) return false;  // no memory: bins of values are not tried
        levels_ = {level_memory_.get(), x_.size()};
    }
    for (std::size_t i = 0; i < x_.size(); ++i) {
        const double q = std::nearbyint(static_cast<double>(x_[i]) / step);
        if (!(std::fabs(q) <= static_cast<double>(kMaxLevel))) return false;
        levels_[i] = static_cast<std::int64_t>(q);
    }
    return true;
}

template <LaneValue T>
Status Chooser<T>::near_lossless(bool by_prdn, double limit, bool& settled) {
    settled = false;
    bool met = false, exact_out = false;
    // The bin width (in the lane's units) that gives about the PRDN asked for.
    double width = 0.0;
    if (by_prdn) {
        const double sd = spread();
        if (!(sd > 0.0) || !std::isfinite(sd)) return {};
        width = 0.9 * limit / 100.0 * sd * std::sqrt(12.0);
    }
    if constexpr (std::is_same_v<T, std::int64_t>) {
        double half = by_prdn ? (width - 1.0) / 2.0 : limit;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const double kf = std::floor(half);
            if (!(kf >= 1.0)) break;
            const auto k = static_cast<std::uint64_t>(std::min(kf, 4294967296.0));
            identity_tried_ = identity_tried_ || k == 0;
            if (auto st = try_levels(x_, k, LevelMap{}, by_prdn, limit, met, exact_out); !st) return st;
            if (met) {
                settled = exact_out;
                break;
            }
            half = kf * 0.6;
        }
        if (by_prdn && !settled) {
            if (auto st = interpolated(x_, LevelMap{}, (width - 1.0) / 2.0, settled); !st) return st;
        }
        return {};
    } else {
        // Bins of a width in the lane's units, not finer than a few of the
        // dtype's own spacings; up to `attempts` ever finer widths.
        auto bins = [&](double step, int attempts, bool& bins_met) -> Status {
            bins_met = false;
            const double finest = 4.0 * top() * (sizeof(T) == 4 ? 0x1p-23 : 0x1p-52);
            if (by_prdn) {
                // PRDN bins are rungs of a fixed ladder (settle_on_rungs).
                if (!(step > finest) || !std::isfinite(step)) return {};
                step = rung_value(rung_below(step), 0);
            }
            for (int attempt = 0; attempt < attempts; ++attempt) {
                if (!(step > finest) || !std::isfinite(step)) return {};
                if (!bin_levels(step)) return {};
                const LevelMap map{kBins, 0.0, step};
                if (auto st = try_levels(levels_, 0, map, by_prdn, limit, met, exact_out); !st) return st;
                if (met) {
                    bins_met = true;
                    nl_width_ = step;
                    settled = exact_out;
                    // The width for a PRDN is a guess with a margin: one
                    // wider try towards the target (kept if smaller and met).
                    const double reached = last_prdn_;
                    if (by_prdn && reached > 0.0 && reached < 0.95 * limit &&
                        rung_value(rung_below(step * std::min(1.3, 0.98 * limit / reached)), 0) > step) {
                        const double wider = rung_value(rung_below(step * std::min(1.3, 0.98 * limit / reached)), 0);
                        if (!bin_levels(wider)) return {};
                        bool wider_met = false, wider_exact = false;
                        const LevelMap wide_map{kBins, 0.0, wider};
                        if (auto st = try_levels(levels_, 0, wide_map, by_prdn, limit, wider_met, wider_exact); !st)
                            return st;
                        if (wider_met) nl_width_ = wider;
                    }
                    return {};
                }
                step = by_prdn ? rung_value(rung_below(step * 0.7), 0) : step * 0.5;
            }
            return {};
        };
        bool bins_met = false;
        if (by_prdn) {
            if (auto st = settle_on_rungs(width, settled); !st) return st;
            if (settled) return {};
            // A lane decoded from the interpolation on levels a power of
            // two apart settles as it is (a grid fitted to it would map
            // its levels back only to within a rounding).
            if (auto st = interpolated_on_powers(width, true, settled); !st) return st;
            if (settled) return {};
        }
        if (!by_prdn) {
            // A lane that partly sits on the lattice of bins just inside
            // twice the bound already (decoded from such a lane, as a
            // partial write of a chunk is, or padded with zeros) keeps
            // those samples exactly on that lattice: no drift, whatever
            // else the lane holds now.
            const double wide = 2.0 * limit * (1.0 - 0x1p-12);
            std::size_t on = 0;
            for (T v : x_) {
                const double q = std::nearbyint(static_cast<double>(v) / wide);
                if (std::fabs(q) <= static_cast<double>(kMaxLevel) &&
                    std::bit_cast<BitsOf<T>>(static_cast<T>(q * wide)) == std::bit_cast<BitsOf<T>>(v))
                    ++on;
            }
            if (on * 10 >= x_.size()) {
                if (auto st = bins(wide, 1, bins_met); !st) return st;
                if (bins_met) return {};
            }
        }
        const Grid* g = grid();
        // Samples a rounding off the grid (corrections) are no obstacle
        // here: their levels are the nearest ones and the bound is checked.
        if (g != nullptr) {
            // On the lane's grid: bins of 2k + 1 steps. Two float values k
            // steps apart can be a rounding further apart than k * b, so
            // the bound is checked; where it fails, bins just inside
            // twice the bound (off the grid) are tried before fewer steps.
            // Bins counted from the grid's level nearest to 0, not from
            // wherever the grid search put level 0 (which moves with the
            // lane's contents): a lane decoded and coded again, as a
            // partial write does, then finds its values on the same bins.
            const double c = std::nearbyint(g->a / g->b);
            bool shift = c != 0.0 && std::fabs(c) < 0x1p40;
            std::vector<std::int64_t> shifted;
            if (shift) {
                shifted.resize(fit_.k.size());
                for (std::size_t i = 0; i < shifted.size() && shift; ++i) {
                    shifted[i] = fit_.k[i] + static_cast<std::int64_t>(c);
                    shift = shifted[i] >= -kMaxLevel && shifted[i] <= kMaxLevel;
                }
            }
            const std::span<const std::int64_t> levels = shift ? std::span<const std::int64_t>(shifted) : fit_.k;
            const LevelMap map{kOnGrid, shift ? g->a - c * g->b : g->a, g->b};
            // A bound of exactly k steps is met by k-step bins only up to a
            // rounding, and whether it is depends on the last bits of the
            // fitted step: k is taken inside the bound by what rounding the
            // decoded and the given value to the dtype can add (a spacing of
            // the largest value), so the same lane always gets the same bins.
            const double margin = 1.01 * top() * (sizeof(T) == 4 ? 0x1p-23 : 0x1p-52);
            double half = by_prdn ? (width / g->b - 1.0) / 2.0 : (limit - margin) / g->b;
            const double wide = 2.0 * limit * (1.0 - 0x1p-12);
            bool bins_tried = false;
            for (int attempt = 0; attempt < 4; ++attempt) {
                const double kf = std::floor(half);
                if (!(kf >= 1.0)) break;
                const auto k = static_cast<std::uint64_t>(std::min(kf, 1099511627776.0));
                const double grid_width = static_cast<double>(2 * k + 1) * g->b;
                if (!by_prdn && !bins_tried && wide > grid_width) {
                    // Bins just inside twice the bound hold more of the
                    // lane's levels than 2k + 1 steps do (a bound of
                    // exactly k steps, taken a rounding inside, leaves
                    // k - 1): both are measured, and coded as below.
                    bins_tried = true;
                    bool done = false;
                    if (auto st = grid_or_value_bins(levels, k, map, grid_width, wide, limit, met, settled, done);
                        !st)
                        return st;
                    if (done) return {};
                    if (met) {
                        grid_tried_ = true;
                        break;
                    }
                    half = kf - 1.0;
                    continue;
                }
                if (auto st = try_levels(levels, k, map, by_prdn, limit, met, exact_out); !st) return st;
                if (met) {
                    grid_tried_ = true;
                    nl_width_ = static_cast<double>(2 * k + 1) * g->b;
                    settled = exact_out;
                    break;
                }
                if (!by_prdn && !bins_tried) {
                    bins_tried = true;
                    if (auto st = bins(wide, 1, bins_met); !st) return st;
                    if (bins_met) return {};
                }
                half = by_prdn ? kf * 0.6 : kf - 1.0;
            }
            // No k-step bins inside the bound (a bound of one step, taken
            // a rounding inside): bins just inside twice the bound, off the grid.
            if (!by_prdn && !met && !bins_tried && limit >= 0.5 * g->b) {
                if (auto st = bins(wide, 1, bins_met); !st) return st;
                return {};
            }
            if (by_prdn && !settled) {
                if (auto st = interpolated(levels, map, (width / g->b - 1.0) / 2.0, settled); !st) return st;
                if (settled) return {};
            }
            if (!by_prdn || !(width > g->b)) return {};  // finer than a step: the exact kinds
            // A PRDN allows bins of any width: the odd bins of the grid
            // round it down (to none at all below three steps), bins of
            // the width itself do not. The smaller body is kept.
            const bool grid_met = met, grid_exact = settled;
            if (auto st = bins(width, 3, bins_met); !st) return st;
            if (!bins_met) settled = grid_met && grid_exact;
            return {};
        }
        // No grid to stand on: bins of twice the bound (just inside it, for
        // the rounding to the dtype), or of the width for the PRDN, and
        // the interpolation on levels a power of two apart.
        if (by_prdn) {
            if (auto st = interpolated_on_powers(width, false, settled); !st) return st;
            if (settled) return {};
        }
        return bins(by_prdn ? width : 2.0 * limit * (1.0 - 0x1p-12), 3, bins_met);
    }
}

// A bound in the lane's units on a grid whose bins of 2k + 1 steps
// (`grid_width`) are narrower than bins of `wide` in value: both are
// measured, and a lane that one of them gives back exactly keeps it (it
// was decoded from such a body: no drift). Otherwise the value bins alone
// are coded when they are wider by a clear margin (fewer bits for as good
// a bound), else the one an estimate finds clearly smaller, else both and
// the smaller kept. `met`: a body met the bound; `done`: the value bins
// met it (nothing finer to try).
template <LaneValue T>
Status Chooser<T>::grid_or_value_bins(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map,
                                      double grid_width, double wide, double limit, bool& met, bool& settled,
                                      bool& done) {
    met = settled = done = false;
    const Errors on_grid = level_errors(levels, k, map);
    const bool grid_met = on_grid.max_abs <= limit;
    if (grid_met && on_grid.max_abs == 0.0) {
        met = settled = true;
        nl_width_ = grid_width;
        return code_levels(levels, k, map);
    }
    bool bins_met = false, bins_exact = false;
    const LevelMap bins_map{kBins, 0.0, wide};
    if (wide > 4.0 * top() * (sizeof(T) == 4 ? 0x1p-23 : 0x1p-52) && bin_levels(wide)) {
        const Errors in_bins = level_errors(levels_, 0, bins_map);
        bins_met = in_bins.max_abs <= limit;
        bins_exact = in_bins.max_abs == 0.0;
    }
    if (!bins_met) {
        if (!grid_met) return {};
        met = true;
        nl_width_ = grid_width;
        return code_levels(levels, k, map);
    }
    met = done = true;
    settled = bins_exact;
    // Both meet the bound: value bins alone when they are clearly wider
    // (or give the lane back as it is), else whichever an estimate on an
    // eighth of the lane finds clearly smaller, else both.
    bool code_bins = true, code_grid = grid_met && !bins_exact && wide < kClearlyWider * grid_width;
    const std::size_t n = x_.size();
    if (code_grid && n >= 8 * kEstimateFrom) {
        std::vector<std::uint8_t> on_grid_part, in_bins_part;
        if (level_lane_body(levels.first(n / 8), k, map, on_grid_part) &&
            level_lane_body(std::span<const std::int64_t>(levels_).first(n / 8), 0, bins_map, in_bins_part)) {
            const double g = static_cast<double>(on_grid_part.size()), v = static_cast<double>(in_bins_part.size());
            if (v * (1.0 + kClearlySmaller) < g) code_grid = false;
            else if (g * (1.0 + kClearlySmaller) < v) code_bins = false;
        }
    }
    if (code_bins) {
        if (auto st = code_levels(levels_, 0, bins_map); !st) return st;
        nl_width_ = wide;
    }
    if (code_grid) {
        const std::size_t before = best_.body.size();
        const bool had = best_.kind != kNoBody;
        if (auto st = code_levels(levels, k, map); !st) return st;
        if (!code_bins || !had || best_.body.size() < before) nl_width_ = grid_width;
    }
    if (!settled) {
        bool interp_met = false, interp_exact = false;
        if (auto st = offer_interp(levels, k, map, limit, interp_met, interp_exact); !st) return st;
        settled = interp_exact;
    }
    return {};
}

#define VANTORESK_CHOOSER_LEVELS(T) \
    template Errors Chooser<T>::level_errors(std::span<const std::int64_t>, std::uint64_t, const LevelMap&); \
    template Status Chooser<T>::code_levels(std::span<const std::int64_t>, std::uint64_t, const LevelMap&); \
    template Status Chooser<T>::try_levels(std::span<const std::int64_t>, std::uint64_t, const LevelMap&, bool, \
                                           double, bool&, bool&); \
    template bool Chooser<T>::bin_levels(double); \
    template Status Chooser<T>::near_lossless(bool, double, bool&); \
    template Status Chooser<T>::grid_or_value_bins(std::span<const std::int64_t>, std::uint64_t, const LevelMap&, \
                                                   double, double, double, bool&, bool&, bool&);
VANTORESK_CHOOSER_LEVELS(float)
VANTORESK_CHOOSER_LEVELS(double)
VANTORESK_CHOOSER_LEVELS(std::int64_t)
#undef VANTORESK_CHOOSER_LEVELS

}  // namespace vantoresk::lanes
