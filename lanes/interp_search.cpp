// Search of the prediction-centred scheme's bounds for a target checked on
// the reconstruction: grow from a guess while accepted, then bisect.
#include "lanes/interp_search.hpp"

#include <algorithm>

#include "lanes/interp_coder.hpp"
#include "lanes/near_lossless.hpp"

namespace vantoresk::lanes {
namespace {

// Largest accepted k in [1, top] for one taper, 0 when none is.
LResult<std::uint64_t> largest_accepted(std::span<const std::int64_t> levels, std::uint64_t guess,
                                        std::uint64_t top, InterpTaper taper, const InterpAccept& accept,
                                        std::vector<std::int64_t>& q, std::vector<std::int64_t>& recon) {
    auto ok = [&](std::uint64_t k) -> LResult<bool> {
        const auto bounds = interp_bounds(k, taper);
        if (auto st = interp_encode(levels, bounds, q, recon); !st) return support::Err<LaneError>{std::move(st).error()};
        return accept(recon);
    };
    guess = std::clamp<std::uint64_t>(guess, 1, top);
    std::uint64_t lo = 0, hi = top + 1;  // lo accepted (0: none yet), hi refused
    auto first = ok(guess);
    if (!first.ok()) return support::Err<LaneError>{std::move(first).error()};
    if (*first) {
        lo = guess;
        for (std::uint64_t k = guess; k < top;) {
            k = std::min(top, 2 * k);
            auto r = ok(k);
            if (!r.ok()) return support::Err<LaneError>{std::move(r).error()};
            if (!*r) {
                hi = k;
                break;
            }
            lo = k;
        }
    } else {
        hi = guess;
        for (std::uint64_t k = guess / 2; k >= 1; k /= 2) {
            auto r = ok(k);
            if (!r.ok()) return support::Err<LaneError>{std::move(r).error()};
            if (*r) {
                lo = k;
                break;
            }
            hi = k;
        }
        if (lo == 0) return std::uint64_t{0};
    }
    // Bisect to within about 3 % of the bound.
    while (hi - lo > 1 && hi - lo > lo / 32) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        auto r = ok(mid);
        if (!r.ok()) return support::Err<LaneError>{std::move(r).error()};
        (*r ? lo : hi) = mid;
    }
    return lo;
}

}  // namespace

Status interp_search(std::span<const std::int64_t> levels, std::uint64_t k_guess, std::uint64_t k_top,
                     const InterpAccept& accept, InterpFound& found) {
    found = InterpFound{};
    k_top = std::min(k_top, kNearLosslessMaxBound);
    if (k_top == 0 || levels.empty()) return {};
    std::vector<std::int64_t> q(levels.size()), recon(levels.size());
    struct Candidate {
        std::vector<std::uint64_t> bounds;
        std::size_t estimate;
    };
    std::vector<Candidate> candidates;
    std::uint64_t guess = k_guess;
    for (const InterpTaper taper : {InterpTaper::Flat, InterpTaper::Tapered}) {
        // Tapered bounds reach further than flat ones: the flat answer is
        // the better guess for them.
        auto k = largest_accepted(levels, guess, k_top, taper, accept, q, recon);
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
            found.recon = recon;
        }
    }
    return {};
}

}  // namespace vantoresk::lanes
