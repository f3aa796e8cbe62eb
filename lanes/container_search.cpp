// The container's scale for a lane with a target: the coarsest scale whose
// decoded lane meets it, searched from a first guess, and taken by the
// chooser only when smaller than its best body so far.
#include "lanes/chooser.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "lanes/container_lane.hpp"
#include "lanes/exact.hpp"
#include "lanes/frame.hpp"

namespace vantoresk::lanes {
namespace {

// The standard deviation of the samples that count (0 for none).
double deviation(const Spread& s) {
    if (s.count == 0) return 0.0;
    return std::sqrt(s.den / static_cast<double>(s.count));
}

template <LaneValue T>
int start_scale(std::span<const T> x, std::span<const std::uint8_t> mask, const Spread& spread, bool by_prdn,
                double limit) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!mask.empty() && !mask[i]) continue;
        lo = std::min(lo, static_cast<double>(x[i]));
        hi = std::max(hi, static_cast<double>(x[i]));
    }
    const double span = hi - lo;
    if (!(span > 0.0) || !std::isfinite(span)) return 6;
    double guess;
    if (by_prdn) {
        const double sd = deviation(spread);
        if (!(sd > 0.0)) return 6;
        guess = std::log2(60.0 * span / (limit * sd));
    } else {
        guess = std::log2(2.5 * span / limit);
    }
    if (!std::isfinite(guess)) return guess > 0 ? 12 : 6;
    return static_cast<int>(std::min(12.0, std::max(6.0, std::ceil(guess))));
}

}  // namespace

// The scales from a first guess: coarser while they meet the target, finer
// until one does, never finer once a container is no smaller than the best
// body so far (finer scales only grow).
template <LaneValue T>
Status search_container(std::span<const T> x, std::span<const std::uint8_t> mask, vnt_dtype dtype,
                        const CompressionOptions& options, const Spread& spread, bool by_prdn, double limit,
                        ChosenBody& best, std::vector<T>& decoded) {
    if (!container_can_hold(x)) return {};
    auto trial = [&](int scale, bool& met, std::size_t& size) -> Status {
        CompressionOptions o = options;
        o.scale = static_cast<std::uint8_t>(scale);
        std::vector<std::uint8_t> body;
        if (auto st = container_body(x, o, body); !st) return st;
        size = body.size();
        if (best.kind != kNoBody && size >= best.body.size()) {
            met = false;
            return {};
        }
        decoded.resize(x.size());
        if (auto st = decode_container<T>(body, dtype, decoded); !st) return st;
        const Errors e = errors_from(differences(x, mask, [&](std::size_t i) { return decoded[i]; }), spread);
        met = (by_prdn ? e.prdn : e.max_abs) <= limit;
        if (met && (best.kind == kNoBody || body.size() < best.body.size())) {
            best.kind = kContainer;
            best.body.swap(body);
        }
        return {};
    };
    int scale = start_scale(x, mask, spread, by_prdn, limit);
    // Estimate first: the container of an eighth of the lane, scaled up,
    // against the best body so far. A container that would not come
    // within a quarter of it is not made.
    const std::size_t n = x.size();
    if (best.kind != kNoBody && n >= 8 * kEstimateFrom) {
        CompressionOptions o = options;
        o.scale = static_cast<std::uint8_t>(scale);
        std::vector<std::uint8_t> part;
        if (auto st = container_body(x.first(n / 8), o, part); !st) return st;
        if (static_cast<double>(part.size()) * 8.0 > 1.25 * static_cast<double>(best.body.size())) return {};
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
    if (best.kind != kNoBody && size >= best.body.size()) return {};
    for (++scale; scale <= kMaxScale; ++scale) {
        if (auto st = trial(scale, met, size); !st) return st;
        if (met || (best.kind != kNoBody && size >= best.body.size())) break;
    }
    return {};
}

#define VANTORESK_CONTAINER_SEARCH(T)                                                                        \
    template Status search_container<T>(std::span<const T>, std::span<const std::uint8_t>, vnt_dtype,        \
                                        const CompressionOptions&, const Spread&, bool, double, ChosenBody&, \
                                        std::vector<T>&);
VANTORESK_CONTAINER_SEARCH(float)
VANTORESK_CONTAINER_SEARCH(double)
VANTORESK_CONTAINER_SEARCH(std::int64_t)
#undef VANTORESK_CONTAINER_SEARCH

}  // namespace vantoresk::lanes
