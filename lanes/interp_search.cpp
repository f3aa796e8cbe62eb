// Search of the prediction-centred scheme's bounds for a target checked on
// the reconstruction: from a guess, along the measure towards the limit.
#include "lanes/interp_search.hpp"

#include <algorithm>
#include <cmath>

#include "lanes/interp_coder.hpp"
#include "lanes/near_lossless.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

// Largest accepted k in [1, top] for one taper, 0 when none is. Each
// measured bound narrows (lo, hi); the next is where a straight line
// through the measures at the bracket's ends meets the limit (through the
// last two measures while nothing is refused), and the midpoint when that line has
// moved the same end twice running; a bound accepted just inside the limit
// is followed by one a tolerance's step above it.
LResult<std::uint64_t> largest_accepted(std::span<const std::int64_t> levels, std::uint64_t guess,
                                        std::uint64_t top, InterpTaper taper, const InterpMeasure& measure,
                                        double limit, std::span<std::int64_t> q, std::span<std::int64_t> recon) {
    std::uint64_t lo = 0, hi = top + 1;  // lo accepted (0: none yet), hi refused
    double m_lo = 0.0, m_hi = 0.0;
    std::uint64_t k = std::clamp<std::uint64_t>(guess, 1, top);
    int same_end = 0, last_end = 0;
    std::uint64_t prev_k = 0, last_k = 0;  // the two bounds measured last
    double prev_m = 0.0, last_m = 0.0;
    for (int step = 0; step < 64; ++step) {
        if (auto st = interp_encode(levels, interp_bounds(k, taper), q, recon); !st)
            return support::Err<LaneError>{std::move(st).error()};
        const double m = measure(recon);
        const int end = m <= limit ? -1 : 1;  // NaN is refused
        if (step > 0) {
            prev_k = last_k;
            prev_m = last_m;
        }
        last_k = k;
        last_m = m;
        if (end < 0) {
            lo = k;
            m_lo = m;
        } else {
            hi = k;
            m_hi = m;
        }
        same_end = end == last_end ? same_end + 1 : 1;
        last_end = end;
        if (hi - lo <= 1 || hi - lo <= lo / 32) break;
        double next;
        if (end < 0 && m >= 0.97 * limit) {
            // Just inside the limit: one step of the tolerance up closes the
            // bracket unless the measure is flatter than it looks.
            next = static_cast<double>(lo + std::max<std::uint64_t>(1, lo / 32));
        } else if (hi > top) {
            // Nothing refused yet: along the line through the last two
            // measures (the first time through the origin), at most 8 times
            // further.
            double slope = static_cast<double>(k) > 0.0 ? m / static_cast<double>(k) : 0.0;
            double base_k = 0.0, base_m = 0.0;
            if (prev_k > 0 && prev_k != k && m > prev_m) {
                slope = (m - prev_m) / (static_cast<double>(k) - static_cast<double>(prev_k));
                base_k = static_cast<double>(prev_k);
                base_m = prev_m;
            }
            next = slope > 0.0 ? base_k + (0.995 * limit - base_m) / slope : 8.0 * static_cast<double>(k);
            next = std::min(next, 8.0 * static_cast<double>(k));
        } else if (same_end >= 2 || !(m_hi > m_lo) || !std::isfinite(m_hi)) {
            next = static_cast<double>(lo + (hi - lo) / 2);
        } else {
            const double aim = 0.995 * limit;
            next = static_cast<double>(lo) + (aim - m_lo) / (m_hi - m_lo) * static_cast<double>(hi - lo);
        }
        const double floor_k = static_cast<double>(lo + 1), ceil_k = static_cast<double>(std::min(hi - 1, top));
        k = static_cast<std::uint64_t>(std::clamp(std::floor(next), floor_k, ceil_k));
    }
    return lo;
}

}  // namespace

Status interp_search(std::span<const std::int64_t> levels, std::uint64_t k_guess, std::uint64_t k_top,
                     const InterpMeasure& measure, double limit, InterpFound& found) {
    found = InterpFound{};
    k_top = std::min(k_top, kNearLosslessMaxBound);
    if (k_top == 0 || levels.empty()) return {};
    // Bins and reconstruction in the thread's pool: no fresh pages per lane.
    const std::size_t n = levels.size();
    auto memory = support::Scratch<std::int64_t>::take(2 * n);
    if (!memory) return out_of_memory("an interpolated lane");
    const std::span<std::int64_t> q(memory.get(), n), recon(memory.get() + n, n);
    struct Candidate {
        std::vector<std::uint64_t> bounds;
        std::size_t estimate;
    };
    std::vector<Candidate> candidates;
    std::uint64_t guess = k_guess;
    for (const InterpTaper taper : {InterpTaper::Flat, InterpTaper::Tapered}) {
        // Tapered bounds reach further than flat ones: the flat answer is
        // the better guess for them.
        auto k = largest_accepted(levels, guess, k_top, taper, measure, limit, q, recon);
        if (!k.ok()) return support::Err<LaneError>{std::move(k).error()};
        if (*k == 0) continue;
        guess = *k;
        Candidate c{interp_bounds(*k, taper), 0};
        if (auto st = interp_encode(levels, c.bounds, q, recon); !st) return st;
        c.estimate = interp_estimate_bytes(q);
        candidates.push_back(std::move(c));
    }
    // Coded in order of their estimates; the second only when the estimates
    // are too close to tell.
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.estimate < b.estimate; });
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0 && candidates[i].estimate * 20 > candidates[0].estimate * 21) break;
        std::vector<std::uint8_t> body;
        if (auto st = encode_interp(levels, candidates[i].bounds, body, recon); !st) return st;
        if (!found.found || body.size() < found.body.size()) {
            found.found = true;
            found.bounds = candidates[i].bounds;
            found.body = std::move(body);
            found.recon.assign(recon.begin(), recon.end());
        }
    }
    return {};
}

}  // namespace vantoresk::lanes
