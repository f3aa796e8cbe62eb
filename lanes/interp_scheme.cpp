// Prediction-centred scheme: predictions from reconstructed samples, bins
// centred on them, and the decoder's checks on untrusted bins (format and
// arithmetic bounds in the header).
#include "lanes/interp_scheme.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <bit>
#include <cmath>

#include "lanes/near_lossless.hpp"

namespace vantoresk::lanes {
namespace {

// floor(a / w) for w > 0 and |a| < 2^52: the quotient through the
// reciprocal, truncated (off by at most two), then corrected exactly.
inline std::int64_t floor_div(std::int64_t a, std::int64_t w, double inv) {
    auto q = static_cast<std::int64_t>(static_cast<double>(a) * inv);
    std::int64_t rem = a - q * w;
    while (rem < 0) {
        --q;
        rem += w;
    }
    while (rem >= w) {
        ++q;
        rem -= w;
    }
    return q;
}

// The prediction of sample i at half-stride h from the reconstructed r
// (anchors: 0 for the first, r[0] for the second).
inline std::int64_t predict(const std::int64_t* r, std::size_t n, std::size_t i, std::size_t h, std::int64_t limit) {
    if (h == 0) return i == 0 ? 0 : r[0];
    const std::int64_t b = r[i - h];
    if (i + h >= n) return b;
    const std::int64_t c = r[i + h];
    std::int64_t p;
    if (i >= 3 * h && i + 3 * h < n) {
        p = (9 * (b + c) - r[i - 3 * h] - r[i + 3 * h] + 8) >> 4;
    } else {
        p = (b + c + 1) >> 1;
    }
    return std::clamp(p, -limit, limit);
}

std::int64_t bin_width(std::uint64_t k) { return static_cast<std::int64_t>(2 * std::min(k, kNearLosslessMaxBound) + 1); }

// Bin widths per stride: widths[l] for half-stride 2^l, the last for all
// coarser ones and the anchors (half-stride 0 here).
struct Widths {
    std::int64_t w[kInterpMaxBounds];
    std::int64_t qmax[kInterpMaxBounds];  // the largest bin an encoder writes
    double inv[kInterpMaxBounds];
    std::size_t count;
    std::int64_t limit;

    explicit Widths(std::span<const std::uint64_t> bounds) : count(bounds.size()) {
        std::uint64_t k = 0;
        for (std::size_t l = 0; l < count; ++l) {
            w[l] = bin_width(bounds[l]);
            k = std::max(k, bounds[l]);
        }
        limit = interp_level_limit(k);
        for (std::size_t l = 0; l < count; ++l) {
            qmax[l] = 2 * limit / w[l] + 1;
            inv[l] = 1.0 / static_cast<double>(w[l]);
        }
    }
    std::size_t slot(std::size_t half) const {
        if (half == 0) return count - 1;
        return std::min(static_cast<std::size_t>(std::countr_zero(half)), count - 1);
    }
};

// Every sample in coding order (as interp_visit), with its prediction:
// step(i, p, slot) returns the reconstructed sample i. Each stride runs in
// three parts (the cubic needs neighbours 3h away on both sides), so the
// middle one has no branch but the clamp.
template <class Step>
void walk(std::int64_t* r, std::size_t n, const Widths& widths, Step&& step) {
    if (n == 0) return;
    const std::int64_t limit = widths.limit;
    const std::size_t top_slot = widths.count - 1;
    r[0] = step(0, 0, top_slot);
    if (n == 1) return;
    std::size_t top = 1;
    while (top <= (n - 1) / 2) top *= 2;
    r[top] = step(top, r[0], top_slot);
    for (std::size_t s = top; s >= 2; s /= 2) {
        const std::size_t h = s / 2;
        const std::size_t l = widths.slot(h);
        const std::size_t middle_end = n > 3 * h ? n - 3 * h : 0;  // cubic while i < middle_end
        std::size_t i = h;
        for (; i < n && (i < 3 * h || i >= middle_end); i += s) r[i] = step(i, predict(r, n, i, h, limit), l);
        for (; i < middle_end; i += s) {
            const std::int64_t p = (9 * (r[i - h] + r[i + h]) - r[i - 3 * h] - r[i + 3 * h] + 8) >> 4;
            r[i] = step(i, std::clamp(p, -limit, limit), l);
        }
        for (; i < n; i += s) r[i] = step(i, predict(r, n, i, h, limit), l);
    }
}

}  // namespace

std::int64_t interp_level_limit(std::uint64_t k) {
    const std::int64_t w = bin_width(k);
    return w * ((kMaxLevel + w - 1) / w);
}

std::vector<std::uint64_t> interp_bounds(std::uint64_t k, InterpTaper taper) {
    k = std::min(k, kNearLosslessMaxBound);
    if (taper == InterpTaper::Flat) return {k};
    return {k, k * 2 / 3, k * 4 / 9, k * 8 / 27, k / 4};
}

bool interp_bounds_valid(std::span<const std::uint64_t> bounds) {
    if (bounds.empty() || bounds.size() > kInterpMaxBounds) return false;
    return std::all_of(bounds.begin(), bounds.end(), [](std::uint64_t b) { return b <= kNearLosslessMaxBound; });
}

namespace {

// The largest odd divisor of g (g > 0).
std::uint64_t odd_part(std::uint64_t g) { return g >> std::countr_zero(g); }

// Does every class's residual gcd take bins of these bounds (a gcd of 0:
// every residual of the class is 0, and any bins do)?
bool divides(const std::array<std::uint64_t, 5>& g, const std::vector<std::uint64_t>& bounds) {
    for (std::size_t l = 0; l < g.size(); ++l) {
        const std::uint64_t w = 2 * bounds[std::min(l, bounds.size() - 1)] + 1;
        if (g[l] % w != 0) return false;
    }
    return true;
}

}  // namespace

std::vector<std::uint64_t> interp_own_bounds(std::span<const std::int64_t> levels) {
    const std::size_t n = levels.size();
    if (n < 3) return {};
    for (const std::int64_t v : levels) {
        if (v < -kMaxLevel || v > kMaxLevel) return {};
    }
    // Residuals of each sample against the prediction from the lane itself
    // (what the predictions are when the lane is its own reconstruction),
    // their gcd per class of stride: h = 1, 2, 4, 8, and the rest with the
    // anchors. Bins of w fit a class when w divides its gcd.
    std::array<std::uint64_t, 5> g{};
    bool any = false;
    interp_visit(n, [&](InterpPoint pt) {
        const std::size_t l = pt.half == 0 ? 4 : std::min<std::size_t>(std::countr_zero(pt.half), 4);
        if (g[l] == 1) return;
        const std::int64_t p = predict(levels.data(), n, pt.index, pt.half, kMaxLevel);
        const std::int64_t e = levels[pt.index] - p;
        g[l] = std::gcd(g[l], static_cast<std::uint64_t>(e < 0 ? -e : e));
        any = any || e != 0;
    });
    if (!any) return {};
    std::vector<std::uint64_t> best;
    std::uint64_t all = 0;
    for (const std::uint64_t x : g) all = std::gcd(all, x);
    if (odd_part(all) >= 3) best = {(odd_part(all) - 1) / 2};
    // Tapered: a class with residuals (the finest such) fixes its bins to an
    // odd divisor of its gcd, widest first (divisors looked for up to 2^16,
    // beyond that only the widest); each such bound comes from at most four
    // lane bounds, the largest that every other class takes is kept.
    std::size_t first = 0;
    while (g[first] == 0) ++first;  // some class has residuals (any)
    const std::uint64_t top = odd_part(g[first]);
    auto bound_at = [&](std::uint64_t k) { return interp_bounds(k, InterpTaper::Tapered)[first]; };
    auto try_divisor = [&](std::uint64_t w) {
        const std::uint64_t b = (w - 1) / 2;
        // The largest lane bound whose bound in this class is at most b.
        std::uint64_t lo = 0, hi = kNearLosslessMaxBound;
        while (lo < hi) {
            const std::uint64_t mid = lo + (hi - lo + 1) / 2;
            if (bound_at(mid) <= b) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        for (std::uint64_t k = lo; k >= 1 && bound_at(k) == b; --k) {
            if (!best.empty() && k <= best[0]) return false;
            auto bounds = interp_bounds(k, InterpTaper::Tapered);
            if (divides(g, bounds)) {
                best = std::move(bounds);
                return true;
            }
        }
        return false;
    };
    if (top >= 3 && !try_divisor(top)) {
        for (std::uint64_t d = 3; d * d <= top && d < (1u << 16); d += 2) {
            if (top % d == 0 && top / d >= 3 && try_divisor(top / d)) break;
        }
    }
    if (best.empty()) return {};
    // The prediction clamps at the bound's range, which the pass above did
    // not: the bounds are kept only if the lane really codes to itself.
    std::vector<std::int64_t> q(n), recon(n);
    if (!interp_encode(levels, best, q, recon).ok() || !std::equal(recon.begin(), recon.end(), levels.begin())) return {};
    return best;
}

Status interp_encode(std::span<const std::int64_t> levels, std::span<const std::uint64_t> bounds,
                     std::span<std::int64_t> q, std::span<std::int64_t> recon) {
    const std::size_t n = levels.size();
    if (q.size() != n || recon.size() != n) return bad_argument("interpolation scheme: buffers of another length");
    if (!interp_bounds_valid(bounds)) return bad_argument("interpolation scheme: invalid bounds");
    const Widths widths(bounds);
    const std::int64_t limit = widths.limit;
    for (const std::int64_t v : levels) {
        if (v < -limit || v > limit) return bad_argument("a level beyond 2^40");
    }
    const std::int64_t* v = levels.data();
    std::int64_t* r = recon.data();
    std::int64_t* out = q.data();
    walk(r, n, widths, [&](std::size_t i, std::int64_t p, std::size_t l) {
        const std::int64_t w = widths.w[l];
        const std::int64_t b = w == 1 ? v[i] - p : floor_div(v[i] - p + (w - 1) / 2, w, widths.inv[l]);
        *out++ = b;
        return std::clamp(p + b * w, -limit, limit);
    });
    return {};
}

Status interp_decode(std::span<const std::int64_t> q, std::span<const std::uint64_t> bounds,
                     std::span<std::int64_t> out) {
    const std::size_t n = out.size();
    if (q.size() != n) return bad_frame("interpolated lane holds another number of levels than the lane");
    if (!interp_bounds_valid(bounds)) return bad_frame("interpolated lane has invalid bounds");
    const Widths widths(bounds);
    const std::int64_t limit = widths.limit;
    std::int64_t* r = out.data();
    const std::int64_t* in = q.data();
    bool ok = true;
    walk(r, n, widths, [&](std::size_t, std::int64_t p, std::size_t l) -> std::int64_t {
        const std::int64_t b = *in++;
        if (b < -widths.qmax[l] || b > widths.qmax[l]) {
            ok = false;
            return 0;  // keeps later predictions defined; the lane is refused
        }
        return std::clamp(p + b * widths.w[l], -limit, limit);
    });
    if (!ok) return bad_frame("interpolated lane has a bin beyond the level range");
    return {};
}

}  // namespace vantoresk::lanes
