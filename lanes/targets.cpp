// The lane chooser: candidates in order of promise, each kept only when it
// meets the target and is smaller than the best so far.
#include "lanes/targets.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "lanes/bin_ladder.hpp"
#include "lanes/container_lane.hpp"
#include "lanes/exact.hpp"
#include "lanes/frame.hpp"
#include "lanes/grid.hpp"
#include "lanes/grid_refine.hpp"
#include "lanes/interp_lane.hpp"
#include "lanes/interp_scheme.hpp"
#include "lanes/level_lane.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/nonfinite.hpp"

namespace vantoresk::lanes {

namespace {

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
Errors errors_from(const Differences& diff, const Spread& s) {
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

}  // namespace

template <LaneValue T>
Errors measure(std::span<const T> want, std::span<const T> got, std::span<const std::uint8_t> mask) {
    return errors_from(differences(want, mask, [&](std::size_t i) { return got[i]; }), spread_of(want, mask));
}

namespace {

// Lanes shorter than eight times this are not worth an estimate before a trial.
constexpr std::size_t kEstimateFrom = 1024;

// Value bins at least this much wider than a grid's bins are taken without
// coding the grid's as well. On recorded lanes, bins 4/3 as wide always came
// out smaller (by 3 to 15 %); at 8/7 and 16/15 the grid's were smaller for
// one lane in ten (by up to 4 %), so both are coded there.
constexpr double kClearlyWider = 1.25;
// Between them, one estimated this much smaller than the other is coded alone.
constexpr double kClearlySmaller = 0.04;

template <LaneValue T>
class Chooser {
public:
    Chooser(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype, const LaneSettings& s,
            ChosenBody& best)
        : x_(x), mask_(mask), dtype_(dtype), s_(s), best_(best) {}

    Status run() {
        const bool by_prdn = s_.target == VNT_TARGET_MAX_PRDN;
        if (s_.target == VNT_TARGET_NONE) return fixed();
        double limit = s_.limit;  // in data units (or percent)
        double steps = s_.limit;  // grid steps (GRID_STEPS only)
        if (s_.target == VNT_TARGET_GRID_STEPS) {
            if constexpr (std::is_floating_point_v<T>) {
                const auto* g = grid();
                if (g == nullptr) return exact(true);
                limit = steps * g->b;
            }
        }
        if (!(limit > 0.0)) return exact(true);
        // A near-lossless body that gives back its input exactly means the
        // lane sits on its own output already: the container, which would
        // move it again, is not tried.
        bool settled = false;
        if (auto st = near_lossless(by_prdn, limit, settled); !st) return st;
        // Bins that merge three or more of the levels a lane uses code fewer
        // bits than the exact kinds: there the exact kinds are tried only when
        // no near-lossless body met the target. A lane that uses every n-th
        // level of its grid can do better exactly, when an estimate says so.
        const Grid* g = grid();
        const bool coarser = g == nullptr || nl_width_ / g->b * g->density >= 3.0;
        if (!near_met_ || (!coarser && exact_may_win())) {
            if (auto st = exact(best_.kind == kNoBody || best_.body.size() * 8 > raw_size()); !st) return st;
        }
        if (settled) return {};
        return search_container(by_prdn, limit);
    }

private:
    std::size_t raw_size() const { return x_.size() * itemsize(dtype_); }

    void offer(std::uint8_t kind, std::vector<std::uint8_t>& body) {
        if (best_.kind == kNoBody || body.size() < best_.body.size()) {
            best_.kind = kind;
            best_.body.swap(body);
        }
    }

    // A body of the interpolating scheme: one that gives the lane back
    // exactly replaces whatever came before (a decoded lane written again
    // keeps its values), any other is offered.
    void take_or_offer(InterpLane& il) {
        if (il.exact) {
            best_.kind = kNearLossless;
            best_.body.swap(il.body);
        } else {
            offer(kNearLossless, il.body);
        }
    }

    const Grid* grid() {
        if constexpr (std::is_floating_point_v<T>) {
            if (!grid_searched_) {
                grid_searched_ = true;
                grid_ = find_grid(x_);
                if (grid_) fit_ = fit_grid(x_, *grid_);
                if constexpr (std::is_same_v<T, float>) {
                    if (grid_ && fit_.corrections > 0) {
                        if (std::optional<GridFit> fit = refine_fit(x_, fit_)) {
                            grid_ = fit->grid;
                            fit_ = std::move(*fit);
                        }
                    }
                }
            }
            return grid_ ? &*grid_ : nullptr;
        } else {
            return nullptr;
        }
    }

    // No target: the container at the given scale, unless the values themselves are no larger.
    Status fixed() {
        if (container_can_hold(x_)) {
            std::vector<std::uint8_t> body;
            if (auto st = container_body(x_, s_.options, body); !st) return st;
            if (body.size() < raw_size()) {
                offer(kContainer, body);
                return {};
            }
        }
        return exact(true);
    }

    // Whether the lane's grid levels coded exactly could come near the best
    // body so far: the level coder on an eighth of the lane, scaled up, must
    // come within a tenth of it (short lanes are simply tried). On the shared
    // recordings no exact body that won was estimated further off.
    bool exact_may_win() {
        if constexpr (std::is_floating_point_v<T>) {
            const std::size_t n = x_.size();
            if (best_.kind == kNoBody || n < 8 * kEstimateFrom || fit_.k.size() != n) return true;
            std::vector<std::uint8_t> part;
            const LevelMap map{kOnGrid, fit_.grid.a, fit_.grid.b};
            if (!level_lane_body(std::span<const std::int64_t>(fit_.k).first(n / 8), 0, map, part)) return true;
            return static_cast<double>(part.size()) * 8.0 <= 1.1 * static_cast<double>(best_.body.size());
        } else {
            return true;
        }
    }

    // The exact kinds; `plain` adds kinds 1 to 3 (kind 1 always comes in when nothing else did).
    Status exact(bool plain) {
        if constexpr (std::is_floating_point_v<T>) {
            if (raw_size() >= kDeflateFrom && grid() != nullptr) {
                std::vector<std::uint8_t> body;
                if (auto st = grid_body(x_, fit_, body); !st) return st;
                if (body.size() < raw_size()) offer(kGrid, body);
                // The same levels through the level coder with k = 0 (and the
                // same corrections, when some values need one) give back the
                // same bits, usually in fewer bytes.
                if (fit_.corrections * 16 <= x_.size()) {
                    body.clear();
                    LevelCorrections corr;
                    std::vector<std::uint8_t> stream;
                    if (auto st = grid_corrections(x_, fit_, corr.width, stream); !st) return st;
                    corr.count = fit_.corrections;
                    corr.stream = stream;
                    const LevelMap map{corr.count ? kOnGridCorrected : kOnGrid, fit_.grid.a, fit_.grid.b};
                    if (auto st = level_lane_body(fit_.k, 0, map, body, corr); !st) return st;
                    offer(kNearLossless, body);
                }
            }
        } else {
            if (!identity_tried_) {
                std::vector<std::uint8_t> body;
                if (auto st = level_lane_body(x_, 0, LevelMap{}, body); !st) return st;
                offer(kNearLossless, body);
            }
        }
        if (plain || best_.kind == kNoBody) return best_plain_body(x_, dtype_, best_.kind, best_.body);
        return {};
    }

    // What kind 5 for these levels decodes to, measured against the lane
    // without coding anything: the decoded values are worked out from the
    // coder's bins (the same sums, in the same order, as measure over the
    // decoded lane).
    Errors level_errors(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map) {
        const std::int64_t lo = int_min(dtype_), hi = int_max(dtype_);
        return errors_from(
            differences(x_, mask_, [&](std::size_t i) { return level_value<T>(map, coded_level(levels[i], k), lo, hi); }),
            lane_spread());
    }

    // Kind 5 for these levels, offered.
    Status code_levels(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map) {
        std::vector<std::uint8_t> body;
        if (auto st = level_lane_body(levels, k, map, body); !st) return st;
        offer(kNearLossless, body);
        near_met_ = true;
        return {};
    }

    // Kind 5 for these levels, measured first: only a body that meets the
    // target is coded. `exact_out` tells whether it gives back the input.
    Status try_levels(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map, bool by_prdn,
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

    // Bins of 2k + 1 levels centred on an interpolation of `levels`, offered
    // when they meet the bound in the lane's units. One that gives back the
    // lane exactly is taken at once (`exact_out`).
    Status offer_interp(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map, double limit,
                        bool& met, bool& exact_out) {
        InterpLane il;
        const std::size_t to_beat = best_.kind == kNoBody ? 0 : best_.body.size();
        if (auto st = interp_lane_fixed<T>(x_, mask_, dtype_, levels, map, k, false, limit, to_beat, il); !st)
            return st;
        met = il.met;
        exact_out = il.exact;
        if (il.met) {
            take_or_offer(il);
            near_met_ = true;
        }
        return {};
    }

    // The lane's mean and spread over the samples that count, worked out once.
    const Spread& lane_spread() {
        if (!spread_) spread_ = spread_of<T>(x_, mask_);
        return *spread_;
    }

    // `got` against the lane, as measure gives it.
    Errors errors_of(std::span<const T> got) {
        return errors_from(differences(x_, mask_, [&](std::size_t i) { return got[i]; }), lane_spread());
    }

    // The standard deviation of the samples that count (0 for none).
    double spread() {
        const Spread& s = lane_spread();
        if (s.count == 0) return 0.0;
        return std::sqrt(s.den / static_cast<double>(s.count));
    }

    // The largest magnitude in the lane (all samples: bridged ones are finite).
    double top() {
        if (!top_) {
            double t = 0.0;
            for (T v : x_) t = std::max(t, std::fabs(static_cast<double>(v)));
            top_ = t;
        }
        return *top_;
    }

    // Levels of the lane's values in bins of `step` into `levels_`; false when
    // a value lies beyond the level coder's range.
    bool bin_levels(double step) {
        levels_.resize(x_.size());
        for (std::size_t i = 0; i < x_.size(); ++i) {
            const double q = std::nearbyint(static_cast<double>(x_[i]) / step);
            if (!(std::fabs(q) <= static_cast<double>(kMaxLevel))) return false;
            levels_[i] = static_cast<std::int64_t>(q);
        }
        return true;
    }

    Status near_lossless(bool by_prdn, double limit, bool& settled) {
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
    Status grid_or_value_bins(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map,
                              double grid_width, double wide, double limit, bool& met, bool& settled, bool& done) {
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

    // PRDN bins are rungs of a fixed ladder, so that a lane decoded from
    // them and written again (its spread barely moved) finds the same rung:
    // a lane that sits exactly on one of the rungs its bin `width` could
    // have reached is taken as it is (exact, over any smaller body that
    // would move it) and settles.
    Status settle_on_rungs(double width, bool& settled) {
        if (!(width > 0.0) || !std::isfinite(width)) return {};
        std::vector<std::int64_t> levels;
        // The bins start at the width's rung and the one wider try goes up
        // to 1.3 times it (six rungs).
        const Rung first = rung_below(width);
        for (int up = 0; up < 8; ++up) {
            const double r = rung_value(first, up);
            if (!lattice_levels<T>(x_, r, levels, false)) continue;
            std::vector<std::uint8_t> body;
            if (auto st = level_lane_body(levels, 0, LevelMap{kBins, 0.0, r}, body); !st) return st;
            best_.kind = kNearLossless;
            best_.body.swap(body);
            near_met_ = true;
            nl_width_ = r;
            settled = true;
            return {};
        }
        return {};
    }

    // The interpolation for a PRDN on levels a power of two apart, about a
    // sixteenth of the bin `width` (the power itself, or twice or half it
    // where the lane sits on those exactly): a lane decoded from such levels
    // sits on them again when it is written again, even where its spread
    // has moved the sixteenth a little, and then settles as it is. With
    // `only_settle` nothing is offered unless the lane settles.
    Status interpolated_on_powers(double width, bool only_settle, bool& settled) {
        if (!(width > 0.0) || !std::isfinite(width)) return {};
        const double base = power_of_two_below(width / 16.0);
        const double finest = 4.0 * top() * (sizeof(T) == 4 ? 0x1p-23 : 0x1p-52);
        if (!(base > finest) || !(top() / base < 0x1p38)) return {};
        std::vector<std::int64_t> fine;
        double step = base;
        bool on = lattice_levels<T>(x_, base, fine, false);
        for (const double other : {2.0 * base, 0.5 * base}) {
            if (on || !(other > finest)) break;
            step = other;
            on = lattice_levels<T>(x_, other, fine, false);
        }
        if (!on) {
            if (only_settle) return {};
            step = base;
            (void)lattice_levels<T>(x_, base, fine, true);
        }
        if (only_settle && interp_own_bounds(fine).empty()) return {};
        bool own = false;
        if (auto st = interpolated(fine, LevelMap{kBins, 0.0, step}, 7.5, own); !st) return st;
        settled = own;
        return {};
    }

    // A PRDN through bins centred on an interpolation of `levels`, from a
    // first guess of the bound in levels; offered when met. `own` tells
    // that the levels were their own reconstruction and the body gives the
    // lane back exactly: the lane is settled.
    Status interpolated(std::span<const std::int64_t> levels, const LevelMap& map, double half, bool& own) {
        const auto guess = static_cast<std::uint64_t>(std::clamp(std::floor(half), 1.0, 1099511627776.0));
        InterpLane il;
        if (auto st = interp_lane_prdn<T>(x_, mask_, dtype_, levels, map, guess, s_.limit, il); !st) return st;
        own = il.exact;
        if (il.met) {
            take_or_offer(il);
            near_met_ = true;
        }
        return {};
    }

    int start_scale(bool by_prdn, double limit) {
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (std::size_t i = 0; i < x_.size(); ++i) {
            if (!mask_.empty() && !mask_[i]) continue;
            lo = std::min(lo, static_cast<double>(x_[i]));
            hi = std::max(hi, static_cast<double>(x_[i]));
        }
        const double span = hi - lo;
        if (!(span > 0.0) || !std::isfinite(span)) return 6;
        double guess;
        if (by_prdn) {
            const double sd = spread();
            if (!(sd > 0.0)) return 6;
            guess = std::log2(60.0 * span / (limit * sd));
        } else {
            guess = std::log2(2.5 * span / limit);
        }
        if (!std::isfinite(guess)) return guess > 0 ? 12 : 6;
        return static_cast<int>(std::min(12.0, std::max(6.0, std::ceil(guess))));
    }

    // The container's scales from a first guess: coarser while they meet the
    // target, finer until one does, never finer once a container is no
    // smaller than the best body so far (finer scales only grow).
    Status search_container(bool by_prdn, double limit) {
        if (!container_can_hold(x_)) return {};
        auto trial = [&](int scale, bool& met, std::size_t& size) -> Status {
            CompressionOptions o = s_.options;
            o.scale = static_cast<std::uint8_t>(scale);
            std::vector<std::uint8_t> body;
            if (auto st = container_body(x_, o, body); !st) return st;
            size = body.size();
            if (best_.kind != kNoBody && size >= best_.body.size()) {
                met = false;
                return {};
            }
            decoded_.resize(x_.size());
            if (auto st = decode_container<T>(body, dtype_, decoded_); !st) return st;
            const Errors e = errors_of(decoded_);
            met = (by_prdn ? e.prdn : e.max_abs) <= limit;
            if (met) offer(kContainer, body);
            return {};
        };
        int scale = start_scale(by_prdn, limit);
        // Estimate first: the container of an eighth of the lane, scaled up,
        // against the best body so far. A container that would not come
        // within a quarter of it is not made.
        const std::size_t n = x_.size();
        if (best_.kind != kNoBody && n >= 8 * kEstimateFrom) {
            CompressionOptions o = s_.options;
            o.scale = static_cast<std::uint8_t>(scale);
            std::vector<std::uint8_t> part;
            if (auto st = container_body(x_.first(n / 8), o, part); !st) return st;
            if (static_cast<double>(part.size()) * 8.0 > 1.25 * static_cast<double>(best_.body.size())) return {};
        }
        bool met = false;
        std::size_t size = 0;
        if (auto st = trial(scale, met, size); !st) return st;
        if (met) {
            while (scale > kMinScale) {
                if (auto st = trial(scale - 1, met, size); !st) return st;
                if (!met) break;
                --scale;
            }
            return {};
        }
        if (best_.kind != kNoBody && size >= best_.body.size()) return {};
        for (++scale; scale <= kMaxScale; ++scale) {
            if (auto st = trial(scale, met, size); !st) return st;
            if (met || (best_.kind != kNoBody && size >= best_.body.size())) break;
        }
        return {};
    }

    std::span<const T> x_;
    std::span<const std::uint8_t> mask_;
    vnt_dtype dtype_;
    const LaneSettings& s_;
    ChosenBody& best_;
    std::vector<T> decoded_;                 // a container trial's decoded lane
    std::vector<std::int64_t> levels_;       // the levels of the bins tried last
    std::optional<Spread> spread_;
    std::optional<double> top_;
    bool grid_searched_ = false;
    bool grid_tried_ = false;
    bool identity_tried_ = false;
    bool near_met_ = false;
    double nl_width_ = 0.0;  // the met near-lossless body's bin width, in the lane's units
    std::optional<Grid> grid_;
    GridFit fit_;
    double last_prdn_ = 0.0;  // PRDN of the last level lane tried
};

}  // namespace

template <LaneValue T>
Status choose_body(std::span<const T> values, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                   const LaneSettings& settings, ChosenBody& chosen) {
    chosen.kind = kNoBody;
    chosen.body.clear();
    Chooser<T> c(values, mask, dtype, settings, chosen);
    if (auto st = c.run(); !st) return st;
    if (chosen.kind == kNoBody) return best_plain_body(values, dtype, chosen.kind, chosen.body);
    return {};
}

#define VANTORESK_TARGETS(T)                                                                                    \
    template Errors measure<T>(std::span<const T>, std::span<const T>, std::span<const std::uint8_t>);         \
    template Status choose_body<T>(std::span<const T>, std::span<const std::uint8_t>, vnt_dtype, const LaneSettings&, \
                                   ChosenBody&);
VANTORESK_TARGETS(float)
VANTORESK_TARGETS(double)
VANTORESK_TARGETS(std::int64_t)
#undef VANTORESK_TARGETS

}  // namespace vantoresk::lanes
