// The chooser's offers from the interpolating scheme (for a bound and for a
// PRDN) and the PRDN ladder: lanes that sit on one of its rungs, or on
// levels a power of two apart, settle as they are.
#include "lanes/bin_ladder.hpp"
#include "lanes/chooser.hpp"
#include "lanes/frame.hpp"
#include "lanes/interp_scheme.hpp"

namespace vantoresk::lanes {

// A body of the interpolating scheme: one that gives the lane back
// exactly replaces whatever came before (a decoded lane written again
// keeps its values), any other is offered.
template <LaneValue T>
void Chooser<T>::take_or_offer(InterpLane& il) {
    if (il.exact) {
        best_.kind = kNearLossless;
        best_.body.swap(il.body);
    } else {
        offer(kNearLossless, il.body);
    }
}

// Bins of 2k + 1 levels centred on an interpolation of `levels`, offered
// when they meet the bound in the lane's units. One that gives back the
// lane exactly is taken at once (`exact_out`).
template <LaneValue T>
Status Chooser<T>::offer_interp(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map,
                                double limit, bool& met, bool& exact_out) {
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

// PRDN bins are rungs of a fixed ladder, so that a lane decoded from
// them and written again (its spread barely moved) finds the same rung:
// a lane that sits exactly on one of the rungs its bin `width` could
// have reached is taken as it is (exact, over any smaller body that
// would move it) and settles.
template <LaneValue T>
Status Chooser<T>::settle_on_rungs(double width, bool& settled) {
    if (!(width > 0.0) || !std::isfinite(width)) return {};
    auto memory = support::Scratch<std::int64_t>::take(x_.size());
    if (!memory) return out_of_memory("a lane's levels");
    const std::span<std::int64_t> levels(memory.get(), x_.size());
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
template <LaneValue T>
Status Chooser<T>::interpolated_on_powers(double width, bool only_settle, bool& settled) {
    if (!(width > 0.0) || !std::isfinite(width)) return {};
    const double base = power_of_two_below(width / 16.0);
    const double finest = 4.0 * top() * (sizeof(T) == 4 ? 0x1p-23 : 0x1p-52);
    if (!(base > finest) || !(top() / base < 0x1p38)) return {};
    auto memory = support::Scratch<std::int64_t>::take(x_.size());
    if (!memory) return out_of_memory("a lane's levels");
    const std::span<std::int64_t> fine(memory.get(), x_.size());
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
template <LaneValue T>
Status Chooser<T>::interpolated(std::span<const std::int64_t> levels, const LevelMap& map, double half, bool& own) {
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

#define VANTORESK_CHOOSER_PRDN(T) \
    template void Chooser<T>::take_or_offer(InterpLane&); \
    template Status Chooser<T>::offer_interp(std::span<const std::int64_t>, std::uint64_t, const LevelMap&, double, \
                                             bool&, bool&); \
    template Status Chooser<T>::settle_on_rungs(double, bool&); \
    template Status Chooser<T>::interpolated_on_powers(double, bool, bool&); \
    template Status Chooser<T>::interpolated(std::span<const std::int64_t>, const LevelMap&, double, bool&);
VANTORESK_CHOOSER_PRDN(float)
VANTORESK_CHOOSER_PRDN(double)
VANTORESK_CHOOSER_PRDN(std::int64_t)
#undef VANTORESK_CHOOSER_PRDN

}  // namespace vantoresk::lanes
