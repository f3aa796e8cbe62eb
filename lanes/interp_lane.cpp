// The chooser's kind 5 bodies through the interpolating scheme: levels
// mapped and measured as decoded, then coded behind the kind 5 head.
#include "lanes/interp_lane.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "lanes/interp_coder.hpp"
#include "lanes/interp_scheme.hpp"
#include "lanes/interp_search.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/targets.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

// Mapped values of reconstructed levels, measured against the lane: in
// full (measure, what the chooser holds every body to), or for the PRDN
// alone in one pass against the lane's spread worked out once (for the
// search; its last answer is checked in full).
template <LaneValue T>
class Meter {
public:
    Meter(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype, const LevelMap& map)
        : x_(x), mask_(mask), map_(map), lo_(int_min(dtype)), hi_(int_max(dtype)),
          decoded_(support::Scratch<T>::take(x.size())) {}

    // False also when there was no memory for the decoded lane.
    bool meets(std::span<const std::int64_t> recon, bool by_prdn, double limit) {
        if (!decoded_ || recon.size() != x_.size()) return false;
        T* const decoded = decoded_.get();
        for (std::size_t i = 0; i < recon.size(); ++i) decoded[i] = level_value<T>(map_, recon[i], lo_, hi_);
        const Errors e = measure<T>(x_, std::span<const T>(decoded, x_.size()), mask_);
        exact_ = e.max_abs == 0.0;
        return (by_prdn ? e.prdn : e.max_abs) <= limit;
    }
    bool exact() const { return exact_; }  // of the last full measure

    double prdn_quickly(std::span<const std::int64_t> recon) {
        const double den = spread();
        if (!(den > 0.0) || !std::isfinite(den)) return std::numeric_limits<double>::quiet_NaN();
        double num = 0.0;
        for (std::size_t i = 0; i < recon.size(); ++i) {
            if (!mask_.empty() && !mask_[i]) continue;
            const double d = static_cast<double>(x_[i]) - static_cast<double>(level_value<T>(map_, recon[i], lo_, hi_));
            num += d * d;
        }
        return 100.0 * std::sqrt(num / den);
    }

private:
    // The lane's sum of squares about its mean, worked out on the first
    // quick PRDN (a bound in levels never asks for it).
    double spread() {
        if (den_) return *den_;
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t i = 0; i < x_.size(); ++i) {
            if (!mask_.empty() && !mask_[i]) continue;
            sum += static_cast<double>(x_[i]);
            ++count;
        }
        const double mean = count > 0 ? sum / static_cast<double>(count) : 0.0;
        double den = 0.0;
        for (std::size_t i = 0; i < x_.size(); ++i) {
            if (!mask_.empty() && !mask_[i]) continue;
            const double c = static_cast<double>(x_[i]) - mean;
            den += c * c;
        }
        den_ = den;
        return den;
    }

    std::span<const T> x_;
    std::span<const std::uint8_t> mask_;
    LevelMap map_;
    std::int64_t lo_, hi_;
    support::Scratch<T> decoded_;  // the thread's pool: no fresh pages per candidate
    std::optional<double> den_;
    bool exact_ = false;
};

// Levels beyond the level coder's range are for no scheme of it; the
// per-sample corrections of mapping 3 belong to exact bodies only.
bool codable(std::span<const std::int64_t> levels, const LevelMap& map) {
    if (map.mapping == kOnGridCorrected || levels.empty()) return false;
    return std::all_of(levels.begin(), levels.end(), [](std::int64_t v) { return v >= -kMaxLevel && v <= kMaxLevel; });
}

Status with_head(std::uint64_t k, const LevelMap& map, std::span<const std::uint8_t> coded, InterpLane& out) {
    out.body.clear();
    level_lane_head(k, map, out.body);
    out.body.insert(out.body.end(), coded.begin(), coded.end());
    out.k = k;
    out.met = true;
    return {};
}

}  // namespace

template <LaneValue T>
Status interp_lane_fixed(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                         std::span<const std::int64_t> levels, const LevelMap& map, std::uint64_t k, bool by_prdn,
                         double limit, std::size_t to_beat, InterpLane& out) {
    out = InterpLane{};
    if (k == 0 || !codable(levels, map)) return {};
    const std::vector<std::uint64_t> bounds = interp_bounds(k, InterpTaper::Flat);
    auto bins = support::Scratch<std::int64_t>::take(2 * levels.size());
    if (!bins) return out_of_memory("an interpolated lane");
    const std::span<std::int64_t> q(bins.get(), levels.size()), recon(bins.get() + levels.size(), levels.size());
    if (auto st = interp_encode(levels, bounds, q, recon); !st) return st;
    Meter<T> meter(x, mask, dtype, map);
    if (!meter.meets(recon, by_prdn, limit)) return {};
    out.exact = meter.exact();
    if (!out.exact && to_beat > 0 && interp_estimate_bytes(q) * 5 > to_beat * 6) return {};
    std::vector<std::uint8_t> coded;
    if (auto st = encode_interp_bins(q, recon, bounds, coded); !st) return st;
    const bool exact = out.exact;
    if (auto st = with_head(bounds[0], map, coded, out); !st) return st;
    out.exact = exact;
    return {};
}

template <LaneValue T>
Status interp_lane_prdn(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                        std::span<const std::int64_t> levels, const LevelMap& map, std::uint64_t k_guess,
                        double limit, InterpLane& out) {
    out = InterpLane{};
    if (!codable(levels, map)) return {};
    Meter<T> meter(x, mask, dtype, map);
    if (const auto own = interp_own_bounds(levels); !own.empty() && meter.meets(levels, true, limit) && meter.exact()) {
        std::vector<std::uint8_t> coded;
        if (auto st = encode_interp(levels, own, coded); !st) return st;
        if (auto st = with_head(*std::max_element(own.begin(), own.end()), map, coded, out); !st) return st;
        out.exact = true;
        return {};
    }
    InterpFound found;
    const auto prdn = [&](std::span<const std::int64_t> recon) { return meter.prdn_quickly(recon); };
    if (auto st = interp_search(levels, std::max<std::uint64_t>(k_guess, 1), kMaxLevel, prdn, limit, found); !st)
        return st;
    if (!found.found || !meter.meets(found.recon, true, limit)) return {};
    return with_head(*std::max_element(found.bounds.begin(), found.bounds.end()), map, found.body, out);
}

#define VANTORESK_INTERP_LANE(T)                                                                               \
    template Status interp_lane_fixed<T>(std::span<const T>, std::span<const std::uint8_t>, vnt_dtype,         \
                                         std::span<const std::int64_t>, const LevelMap&, std::uint64_t, bool,  \
                                         double, std::size_t, InterpLane&);                                    \
    template Status interp_lane_prdn<T>(std::span<const T>, std::span<const std::uint8_t>, vnt_dtype,          \
                                        std::span<const std::int64_t>, const LevelMap&, std::uint64_t, double, \
                                        InterpLane&);
VANTORESK_INTERP_LANE(float)
VANTORESK_INTERP_LANE(double)
VANTORESK_INTERP_LANE(std::int64_t)
#undef VANTORESK_INTERP_LANE

}  // namespace vantoresk::lanes
