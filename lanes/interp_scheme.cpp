// Prediction-centred scheme: predictions from reconstructed samples, bins
// centred on them, and the decoder's checks on untrusted bins (format and
// arithmetic bounds in the header).
#include "lanes/interp_scheme.hpp"

#include <algorithm>

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

}  // namespace

std::int64_t interp_level_limit(std::uint64_t k) {
    const std::int64_t w = bin_width(k);
    return w * ((kMaxLevel + w - 1) / w);
}

Status interp_encode(std::span<const std::int64_t> levels, std::uint64_t k, std::span<std::int64_t> q,
                     std::span<std::int64_t> recon) {
    const std::size_t n = levels.size();
    if (q.size() != n || recon.size() != n) return bad_argument("interpolation scheme: buffers of another length");
    const std::int64_t w = bin_width(k);
    const std::int64_t ik = (w - 1) / 2;
    const std::int64_t limit = interp_level_limit(k);
    for (const std::int64_t v : levels) {
        if (v < -limit || v > limit) return bad_argument("a level beyond 2^40");
    }
    const std::int64_t* v = levels.data();
    std::int64_t* r = recon.data();
    std::size_t j = 0;
    interp_visit(n, [&](InterpPoint pt) {
        const std::int64_t p = predict(r, n, pt.index, pt.half, limit);
        const std::int64_t b = w == 1 ? v[pt.index] - p : floor_div(v[pt.index] - p + ik, w);
        q[j++] = b;
        r[pt.index] = std::clamp(p + b * w, -limit, limit);
    });
    return {};
}

Status interp_decode(std::span<const std::int64_t> q, std::uint64_t k, std::span<std::int64_t> out) {
    const std::size_t n = out.size();
    if (q.size() != n) return bad_frame("interpolated lane holds another number of levels than the lane");
    const std::int64_t w = bin_width(k);
    const std::int64_t limit = interp_level_limit(k);
    const std::int64_t qmax = 2 * limit / w + 1;
    std::int64_t* r = out.data();
    std::size_t j = 0;
    bool ok = true;
    interp_visit(n, [&](InterpPoint pt) {
        const std::int64_t b = q[j++];
        if (b < -qmax || b > qmax) {
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
