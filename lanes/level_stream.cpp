// Bins of 2k + 1 levels, fixed-order differences, zigzag, shuffle, DEFLATE.
#include "lanes/level_stream.hpp"

#include <algorithm>
#include <bit>

#include "lanes/bytes.hpp"

namespace vantoresk::lanes {
namespace {

constexpr int kMaxOrder = 3;
constexpr std::size_t kHead = 10;

// floor(a / b) for b > 0.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

}  // namespace

Status encode_levels(std::span<const std::int64_t> levels, std::uint64_t k, std::vector<std::uint8_t>& body) {
    if (k > static_cast<std::uint64_t>(kMaxLevel)) return bad_argument("level bin half-width beyond 2^40");
    const auto width = static_cast<std::int64_t>(2 * k + 1);
    const std::size_t n = levels.size();
    std::vector<std::int64_t> q(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = levels[i];
        if (v < -kMaxLevel || v > kMaxLevel) return bad_argument("a level beyond 2^40");
        q[i] = floor_div(v + static_cast<std::int64_t>(k), width);
    }
    std::vector<std::int64_t> d[kMaxOrder];
    std::uint64_t best = ~std::uint64_t{0};
    int order = 1;
    for (int p = 0; p < kMaxOrder; ++p) {
        const std::vector<std::int64_t>& prev = p == 0 ? q : d[p - 1];
        d[p].resize(n);
        std::uint64_t cost = 0;
        std::int64_t last = 0;
        for (std::size_t i = 0; i < n; ++i) {
            d[p][i] = prev[i] - last;
            last = prev[i];
            cost += static_cast<std::uint64_t>(std::bit_width(zigzag(d[p][i])));
        }
        if (cost < best) {
            best = cost;
            order = p + 1;
        }
    }
    std::vector<std::uint64_t> zz(n);
    std::uint64_t top = 0;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, zz[i] = zigzag(d[order - 1][i]));
    const unsigned w = narrowest(top);
    put_u64(body, k);
    body.push_back(static_cast<std::uint8_t>(order));
    body.push_back(static_cast<std::uint8_t>(w));
    std::vector<std::uint8_t> planes;
    shuffle_append(zz, w, planes);
    return deflate_append(planes, body);
}

Status decode_levels(std::span<const std::uint8_t> body, std::span<std::int64_t> out) {
    const std::size_t n = out.size();
    if (body.size() < kHead) return bad_frame("near-lossless lane: truncated level stream");
    const std::uint64_t k = load_u64(body.data());
    const unsigned order = body[8], w = body[9];
    if (k > static_cast<std::uint64_t>(kMaxLevel) || order < 1 || order > kMaxOrder || !width_known(w))
        return bad_frame("near-lossless lane: bad level stream header");
    const auto stream = body.subspan(kHead);
    if (stream.size() * kMaxInflation < std::uint64_t{w} * n)
        return bad_frame("near-lossless lane: level stream too short for the lane");
    std::vector<std::uint8_t> planes(std::size_t{w} * n);
    if (auto s = inflate_exact(stream, planes, "near-lossless lane: level"); !s) return s;
    std::vector<std::uint64_t> q(n);
    unshuffle(planes, w, q);
    for (std::size_t i = 0; i < n; ++i) q[i] = static_cast<std::uint64_t>(unzigzag(q[i]));
    for (unsigned p = 0; p < order; ++p) {
        std::uint64_t acc = 0;
        for (std::size_t i = 0; i < n; ++i) q[i] = acc += q[i];  // wraps on forged input, never traps
    }
    const std::uint64_t width = 2 * k + 1;
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int64_t>(q[i] * width);
    return {};
}

}  // namespace vantoresk::lanes
