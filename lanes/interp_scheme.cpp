// Prediction-centred scheme: predictions from reconstructed samples, bins
// centred on them, and the decoder's checks on untrusted bins (format and
// arithmetic bounds in the header).
#include "lanes/interp_scheme.hpp"

#include <algorithm>
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
