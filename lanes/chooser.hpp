// The lane chooser's state and steps: candidates in order of promise, each
// kept only when it meets the target and is smaller than the best so far.
//
// Internal to choose_body (targets.hpp). Its steps live by concept:
//   targets.cpp           the order of the candidates, the exact kinds, no target
//   chooser_levels.cpp    near-lossless bins on the grid, of values, of levels
//   chooser_prdn.cpp      the interpolating scheme's offers and the PRDN ladder
//   container_search.cpp  the container's scale for a target
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "lanes/common.hpp"
#include "lanes/exact.hpp"
#include "lanes/grid.hpp"
#include "lanes/interp_lane.hpp"
#include "lanes/lane_errors.hpp"
#include "lanes/level_lane.hpp"
#include "lanes/targets.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {

// Lanes shorter than eight times this are not worth an estimate before a trial.
inline constexpr std::size_t kEstimateFrom = 1024;

// The coarsest container scale that meets `limit` (PRDN percent with
// `by_prdn`, else data units) from a first guess; it replaces `best` when
// smaller. `spread` is the lane's over the samples `mask` marks; `decoded`
// is working memory for a trial's lane.
template <LaneValue T>
Status search_container(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                        const CompressionOptions& options, const Spread& spread, bool by_prdn, double limit,
                        ChosenBody& best, std::vector<T>& decoded);

template <LaneValue T>
class Chooser {
public:
    Chooser(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype, const LaneSettings& s,
            ChosenBody& best)
        : x_(x), mask_(mask), dtype_(dtype), s_(s), best_(best) {}

    Status run();

private:
    std::size_t raw_size() const { return x_.size() * itemsize(dtype_); }

    void offer(std::uint8_t kind, std::vector<std::uint8_t>& body) {
        if (best_.kind == kNoBody || body.size() < best_.body.size()) {
            best_.kind = kind;
            best_.body.swap(body);
        }
    }

    // The lane's mean and spread over the samples that count, worked out once.
    const Spread& lane_spread() {
        if (!spread_) spread_ = spread_of<T>(x_, mask_);
        return *spread_;
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

    // targets.cpp
    const Grid* grid();
    Status fixed();
    bool exact_may_win();
    Status exact(bool plain);

    // chooser_levels.cpp
    Errors level_errors(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map);
    Status code_levels(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map);
    Status try_levels(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map, bool by_prdn,
                      double limit, bool& met, bool& exact_out);
    bool bin_levels(double step);
    Status near_lossless(bool by_prdn, double limit, bool& settled);
    Status grid_or_value_bins(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map,
                              double grid_width, double wide, double limit, bool& met, bool& settled, bool& done);

    // chooser_prdn.cpp
    void take_or_offer(InterpLane& il);
    Status offer_interp(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map, double limit,
                        bool& met, bool& exact_out);
    Status settle_on_rungs(double width, bool& settled);
    Status interpolated_on_powers(double width, bool only_settle, bool& settled);
    Status interpolated(std::span<const std::int64_t> levels, const LevelMap& map, double half, bool& own);

    std::span<const T> x_;
    std::span<const std::uint8_t> mask_;
    vnt_dtype dtype_;
    const LaneSettings& s_;
    ChosenBody& best_;
    std::vector<T> decoded_;                 // a container trial's decoded lane
    std::span<std::int64_t> levels_;                 // the levels of the bins tried last
    support::Scratch<std::int64_t> level_memory_;  // what levels_ holds, from the thread's pool
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

}  // namespace vantoresk::lanes
