// Near-lossless level coder: binning, body version 2 (block predictors and
// the residual coder) and the dispatch on the body version (format in the
// header).
#include "lanes/near_lossless.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "lanes/adaptive_rans.hpp"
#include "lanes/interp_coder.hpp"
#include "lanes/bytes.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes/near_lossless_parts.hpp"
#include "lanes/near_lossless_rebuild.hpp"
#include "lanes/residual_coder.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

using namespace near_lossless;

constexpr unsigned kBlockLog2 = 14;
constexpr std::uint8_t kSchemeLattice = 0;

// floor((v + k) / (2k + 1)) for every level, and the largest |index|;
// false on a level beyond the range.
bool bin_indices(std::span<const std::int64_t> levels, std::uint64_t k, std::int64_t* y, std::uint64_t& max_abs) {
    const auto width = static_cast<std::int64_t>(2 * k + 1);
    const std::int64_t limit = top_index(width) * width;
    const auto ik = static_cast<std::int64_t>(k);
    max_abs = 0;
    for (std::size_t t = 0; t < levels.size(); ++t) {
        const std::int64_t v = levels[t];
        if (v < -limit || v > limit) return false;
        std::int64_t q = v;
        if (k > 0) {
            // floor(num / width): a double quotient (both exact below 2^53),
            // then an exact integer correction of its rounding.
            const std::int64_t num = v + ik;
            q = static_cast<std::int64_t>(std::floor(static_cast<double>(num) / static_cast<double>(width)));
            const std::int64_t rem = num - q * width;
            if (rem < 0) {
                --q;
            } else if (rem >= width) {
                ++q;
            }
        }
        y[t] = q;
        max_abs = std::max<std::uint64_t>(max_abs, q < 0 ? 0 - static_cast<std::uint64_t>(q) : static_cast<std::uint64_t>(q));
    }
    return true;
}

Status decode_v2(std::span<const std::uint8_t> body, std::span<std::int64_t> out) {
    std::size_t pos = 1;
    if (pos >= body.size()) return damaged("is truncated");
    const std::uint8_t scheme = body[pos++];
    if (scheme == kSchemeInterp) return decode_interp(body, out);
    if (scheme != kSchemeLattice) {
        return lane_fail(VNT_UNSUPPORTED, "near-lossless body scheme " + std::to_string(scheme) +
                                              " is not known to this reader; upgrade vantoresk to read it");
    }
    std::uint64_t k = 0, count = 0;
    if (!get_varint(body, pos, k) || k > kNearLosslessMaxBound) return damaged("has an invalid bound");
    if (!get_varint(body, pos, count)) return damaged("is truncated");
    if (count != out.size()) return damaged("holds another number of levels than the lane");
    if (pos >= body.size()) return damaged("is truncated");
    const unsigned block_log2 = body[pos++];
    if (block_log2 < kMinBlockLog2 || block_log2 > kMaxBlockLog2) return damaged("has an invalid block size");
    if (body.size() - pos < 4) return damaged("is truncated");
    const std::span<const std::uint8_t> coded = body.first(body.size() - 4);
    if (auto s = decode_residuals(coded, pos, out); !s) return s;
    // The predictors take the rest, up to the check value.
    BitReader predictors(coded.subspan(pos));

    const auto width = static_cast<std::int64_t>(2 * k + 1);
    const std::int64_t ymax = kIndexSpan / width;
    const std::int64_t ytop = top_index(width);
    std::uint64_t h = start_hash(k, count, block_log2);
    const std::size_t block = std::size_t{1} << block_log2;
    std::array<std::int64_t, kMaxPredictorOrder> coef{};
    const bool vector = rebuild_vector_available();
    for (std::size_t b = 0; b < out.size(); b += block) {
        const std::size_t e = std::min(out.size(), b + block);
        BlockPredictor p;
        p.coef = coef.data();
        if (!get_predictor(predictors, p.order, p.shift, coef.data()) || predictors.overran())
            return damaged("has an invalid predictor");
        if (!rebuild_block(out.data(), b, e, p, ymax, ytop, h, vector)) return damaged("decodes to a level out of range");
    }
    if (!predictors.ended_exactly()) return damaged("has predictors of the wrong length");
    const std::uint8_t* trailer = body.data() + body.size() - 4;
    std::uint32_t check = 0;
    for (int i = 0; i < 4; ++i) check |= static_cast<std::uint32_t>(trailer[i]) << (8 * i);
    if (check != finish_hash(h)) return damaged("fails its check");
    if (k > 0) {
        for (std::int64_t& v : out) v *= width;
    }
    return {};
}

}  // namespace

Status encode_levels(std::span<const std::int64_t> levels, std::uint64_t k, std::vector<std::uint8_t>& body) {
    k = std::min(k, kNearLosslessMaxBound);
    const auto width = static_cast<std::int64_t>(2 * k + 1);
    const std::int64_t ymax = kIndexSpan / width;
    const std::size_t n = levels.size();
    // Indices and residuals in the thread's pool: the chooser codes a lane's
    // levels several times, and fresh pages each time cost as much as coding.
    auto y = support::Scratch<std::int64_t>::take(n + 1);
    auto r = support::Scratch<std::int64_t>::take(n + 1);
    if (!y || !r) return lane_fail(VNT_OUT_OF_MEMORY, "out of memory for a near-lossless lane");
    std::uint64_t max_abs = 0;
    if (!bin_indices(levels, k, y.get(), max_abs)) return bad_argument("a level beyond 2^40");

    const std::span<const std::int64_t> ys(y.get(), n);
    const bool narrow = max_abs <= static_cast<std::uint64_t>(INT32_MAX);
    BitWriter side;
    std::uint64_t h = start_hash(k, n, kBlockLog2);
    const std::size_t block = std::size_t{1} << kBlockLog2;
    for (std::size_t b = 0; b < n; b += block) {
        const std::size_t e = std::min(n, b + block);
        const Predictor p = fit_predictor(ys, b, e, kMaxPredictorOrder, max_abs);
        put_predictor(side, p);
        block_residuals(y.get(), b, e, BlockPredictor{p.order, p.shift, p.coefficients.data()}, ymax, r.get(), narrow);
        for (std::size_t t = b; t < e; ++t) h = (h ^ static_cast<std::uint64_t>(y.get()[t])) * kHashStep;
    }
    const std::size_t start = body.size();
    try {
        body.push_back(kNearLosslessVersion);
        body.push_back(kSchemeLattice);
        put_varint(body, k);
        put_varint(body, n);
        body.push_back(static_cast<std::uint8_t>(kBlockLog2));
        if (auto s = encode_residuals({r.get(), n}, body); !s) {
            body.resize(start);
            return s;
        }
        const std::vector<std::uint8_t>& side_bytes = side.finish();
        body.insert(body.end(), side_bytes.begin(), side_bytes.end());
    } catch (const std::bad_alloc&) {
        body.resize(start);
        return lane_fail(VNT_OUT_OF_MEMORY, "out of memory for a near-lossless lane");
    }
    const std::uint32_t check = finish_hash(h);
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<std::uint8_t>(check >> (8 * i)));
    return {};
}

LResult<std::uint64_t> near_lossless_bound(std::span<const std::uint8_t> body) {
    if (body.empty()) return damaged("is empty");
    const std::uint8_t version = body[0];
    if (version == 0) return damaged("has an invalid version");
    if (version > kNearLosslessVersion) {
        return lane_fail(VNT_UNSUPPORTED, "near-lossless body version " + std::to_string(version) +
                                              " is newer than this reader; upgrade vantoresk to read it");
    }
    std::size_t pos = 1;
    if (version >= 2) {
        if (body.size() < 2) return damaged("is truncated");
        if (body[1] != kSchemeLattice && body[1] != kSchemeInterp) {
            return lane_fail(VNT_UNSUPPORTED, "near-lossless body scheme " + std::to_string(body[1]) +
                                                  " is not known to this reader; upgrade vantoresk to read it");
        }
        pos = 2;
    }
    std::uint64_t k = 0;
    if (!get_varint(body, pos, k) || k > kNearLosslessMaxBound) return damaged("has an invalid bound");
    return k;
}

Status decode_levels(std::span<const std::uint8_t> body, std::span<std::int64_t> out) {
    if (body.empty()) return damaged("is empty");
    switch (body[0]) {
        case 1: return decode_levels_v1(body, out);
        case 2: return decode_v2(body, out);
        default: break;
    }
    if (body[0] == 0) return damaged("has an invalid version");
    return lane_fail(VNT_UNSUPPORTED, "near-lossless body version " + std::to_string(body[0]) +
                                          " is newer than this reader; upgrade vantoresk to read it");
}

}  // namespace vantoresk::lanes
