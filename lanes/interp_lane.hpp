// Kind 5 bodies through the interpolating scheme (level coder scheme 1),
// as the lane chooser offers them: the levels it would code anyway, mapped
// to the lane's values the same way, measured against the target on what
// the body really decodes to (which is not the lattice's bins).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lanes/common.hpp"
#include "lanes/level_lane.hpp"

namespace vantoresk::lanes {

struct InterpLane {
    bool met = false;                // the body meets the target
    bool exact = false;              // and gives back the lane's values exactly
    std::uint64_t k = 0;             // the lane's bound in levels
    std::vector<std::uint8_t> body;  // a whole kind 5 body when met
};

// One bound k for every stride (a largest-error target, or a PRDN at the
// lattice's k). `by_prdn` picks the measure compared with `limit`. A body
// whose estimate is a fifth above `to_beat` bytes (0: none) is not coded
// (and not met): estimates run at most about 15 % above the coded size.
template <LaneValue T>
Status interp_lane_fixed(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                         std::span<const std::int64_t> levels, const LevelMap& map, std::uint64_t k, bool by_prdn,
                         double limit, std::size_t to_beat, InterpLane& out);

// A PRDN target: the largest bound it accepts, flat or tapered
// (interp_search.hpp), starting from `k_guess`; the smaller body is kept.
// Levels that are already their own reconstruction (interp_own_bounds) are
// coded with those bounds instead when that gives back the lane exactly:
// a decoded lane written again does not drift.
template <LaneValue T>
Status interp_lane_prdn(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                        std::span<const std::int64_t> levels, const LevelMap& map, std::uint64_t k_guess,
                        double limit, InterpLane& out);

}  // namespace vantoresk::lanes
