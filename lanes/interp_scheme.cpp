// Prediction-centred scheme: predictions from reconstructed samples, bins
// centred on them, and the decoder's checks on untrusted bins (format and
// arithmetic bounds in the header).
#include "lanes/interp_scheme.hpp"

#include <algorithm>
#include <bit>

#include "lanes/near_lossless.hpp"

namespace vantoresk::lanes {
namespace {

// floor(a / b) for b > 0.
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if (a % b != 0 && a < 0) --q;
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
    std::size_t count;
    std::int64_t limit;

    explicit Widths(std::span<const std::uint64_t> bounds) : count(bounds.size()) {
        std::uint64_t k = 0;
        for (std::size_t l = 0; l < count; ++l) {
            w[l] = bin_width(bounds[l]);
            k = std::max(k, bounds[l]);
        }
        limit = interp_level_limit(k);
        for (std::size_t l = 0; l < count; ++l) qmax[l] = 2 * limit / w[l] + 1;
    }
    std::size_t slot(std::size_t half) const {
        if (half == 0) return count - 1;
        return std::min(static_cast<std::size_t>(std::countr_zero(half)), count - 1);
    }
};

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
    std::size_t j = 0;
    interp_visit(n, [&](InterpPoint pt) {
        const std::int64_t p = predict(r, n, pt.index, pt.half, limit);
        const std::int64_t w = widths.w[widths.slot(pt.half)];
        const std::int64_t b = w == 1 ? v[pt.index] - p : floor_div(v[pt.index] - p + (w - 1) / 2, w);
        q[j++] = b;
        r[pt.index] = std::clamp(p + b * w, -limit, limit);
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
    std::size_t j = 0;
    bool ok = true;
    interp_visit(n, [&](InterpPoint pt) {
        const std::int64_t b = q[j++];
        const std::size_t l = widths.slot(pt.half);
        const std::int64_t w = widths.w[l];
        if (b < -widths.qmax[l] || b > widths.qmax[l]) {
            ok = false;
            r[pt.index] = 0;  // keeps later predictions defined; the lane is refused
            return;
        }
        const std::int64_t p = predict(r, n, pt.index, pt.half, limit);
        r[pt.index] = std::clamp(p + b * w, -limit, limit);
    });
    if (!ok) return bad_frame("interpolated lane has a bin beyond the level range");
    return {};
}

}  // namespace vantoresk::lanes
