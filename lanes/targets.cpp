// The order in which the chooser tries a lane's candidates, the exact kinds,
// and the lane without a target; choose_body.
#include "lanes/targets.hpp"

#include <optional>

#include "lanes/chooser.hpp"
#include "lanes/container_lane.hpp"
#include "lanes/frame.hpp"
#include "lanes/grid_refine.hpp"

namespace vantoresk::lanes {

template <LaneValue T>
Status Chooser<T>::run() {
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
    return search_container<T>(x_, mask_, dtype_, s_.options, lane_spread(), by_prdn, limit, best_, decoded_);
}

template <LaneValue T>
const Grid* Chooser<T>::grid() {
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
template <LaneValue T>
Status Chooser<T>::fixed() {
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
template <LaneValue T>
bool Chooser<T>::exact_may_win() {
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
template <LaneValue T>
Status Chooser<T>::exact(bool plain) {
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

#define VANTORESK_CHOOSER_TARGETS(T) \
    template Status Chooser<T>::run(); \
    template const Grid* Chooser<T>::grid(); \
    template Status Chooser<T>::fixed(); \
    template bool Chooser<T>::exact_may_win(); \
    template Status Chooser<T>::exact(bool);
VANTORESK_CHOOSER_TARGETS(float)
VANTORESK_CHOOSER_TARGETS(double)
VANTORESK_CHOOSER_TARGETS(std::int64_t)
#undef VANTORESK_CHOOSER_TARGETS

#define VANTORESK_TARGETS(T) \
    template Status choose_body<T>(std::span<const T>, std::span<const std::uint8_t>, vnt_dtype, const LaneSettings&, \
                                   ChosenBody&);
VANTORESK_TARGETS(float)
VANTORESK_TARGETS(double)
VANTORESK_TARGETS(std::int64_t)
#undef VANTORESK_TARGETS

}  // namespace vantoresk::lanes
