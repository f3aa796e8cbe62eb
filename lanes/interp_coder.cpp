// Range coding of the prediction-centred scheme's bins with contexts from
// the hierarchy (format in the header).
#include "lanes/interp_coder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <type_traits>

#include "lanes/bytes.hpp"
#include "lanes/interp_scheme.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/range_coder.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

constexpr unsigned kStrideClasses = 4;
constexpr unsigned kActivityClasses = 32;
constexpr unsigned kTreeBits = 4;
constexpr unsigned kMaxClass = 45;  // nb of a bin is at most 43
constexpr std::uint32_t kCap = 1u << 20;
constexpr std::uint64_t kHashStart = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kHashStep = 0xFF51AFD7ED558CCDull;

support::Err<LaneError> damaged(const char* what) { return bad_frame(std::string("near-lossless body ") + what); }

std::uint32_t finish_hash(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return static_cast<std::uint32_t>(h >> 32);
}

std::uint32_t check_of(std::span<const std::uint64_t> bounds, std::span<const std::int64_t> levels) {
    std::uint64_t h = kHashStart;
    h = (h ^ kSchemeInterp) * kHashStep;
    for (const std::uint64_t b : bounds) h = (h ^ b) * kHashStep;
    h = (h ^ levels.size()) * kHashStep;
    for (const std::int64_t v : levels) h = (h ^ static_cast<std::uint64_t>(v)) * kHashStep;
    return finish_hash(h);
}

struct Models {
    std::array<std::array<BitModel, kActivityClasses>, kStrideClasses> zero;
    std::array<BitModel, 9> sign;
    std::array<std::array<std::array<BitModel, kMaxClass + 1>, kActivityClasses>, kStrideClasses> unary;
    std::array<std::array<BitModel, 1u << kTreeBits>, kMaxClass + 1> mantissa;
};

unsigned activity_class(std::uint64_t s) {
    if (s < 4) return static_cast<unsigned>(s);
    return std::min(static_cast<unsigned>(std::bit_width(s)) + 1, kActivityClasses - 1);
}

unsigned stride_class(std::size_t h) {
    switch (h) {
        case 1: return 0;
        case 2: return 1;
        case 4: return 2;
        default: return 3;
    }
}

inline unsigned sign_of(std::int64_t q) { return q == 0 ? 0u : (q > 0 ? 1u : 2u); }

// Context of sample i at half-stride h from the bins already coded; `mag`
// and `sgn` are indexed by sample and hold only those.
struct Context {
    unsigned stride, activity, sign;
};
inline Context context_at(const std::uint32_t* mag, const std::int8_t* sgn, std::size_t n, InterpPoint pt) {
    if (pt.half == 0) return {3, 0, 0};
    const std::size_t i = pt.index, h = pt.half;
    std::uint64_t s = mag[i - h];
    if (i + h < n) s += mag[i + h];
    unsigned sc = 0;
    if (i >= 3 * h) {
        s += 2 * std::uint64_t{mag[i - 2 * h]};
        sc = static_cast<unsigned>(sgn[i - 2 * h]) * 3;
    }
    if (i >= 5 * h) s += mag[i - 4 * h];
    sc += static_cast<unsigned>(sgn[i - h]);
    return {stride_class(h), activity_class(s), sc};
}

inline void note(std::uint32_t* mag, std::int8_t* sgn, std::size_t i, std::int64_t q) {
    const std::uint64_t a = q < 0 ? 0 - static_cast<std::uint64_t>(q) : static_cast<std::uint64_t>(q);
    mag[i] = static_cast<std::uint32_t>(std::min<std::uint64_t>(a, kCap));
    sgn[i] = static_cast<std::int8_t>(sign_of(q));
}

// Reads the bounds; false on anything an encoder does not write.
bool read_bounds(std::span<const std::uint8_t> body, std::size_t& pos, std::uint64_t* bounds, std::size_t& m) {
    if (pos >= body.size()) return false;
    m = body[pos++];
    if (m == 0 || m > kInterpMaxBounds) return false;
    for (std::size_t l = 0; l < m; ++l) {
        if (!get_varint(body, pos, bounds[l]) || bounds[l] > kNearLosslessMaxBound) return false;
    }
    return true;
}

}  // namespace

std::size_t interp_estimate_bytes(std::span<const std::int64_t> q) {
    // Symbols: 0, or 1 + 2 * nb + sign; classes by stride as the coder's.
    constexpr unsigned kSymbols = 2 * (kMaxClass + 1) + 1;
    std::array<std::array<std::uint32_t, kSymbols>, kStrideClasses> counts{};
    std::array<std::uint64_t, kStrideClasses> totals{};
    double raw_bits = 0.0;
    std::size_t j = 0;
    interp_visit(q.size(), [&](InterpPoint pt) {
        const std::int64_t b = q[j++];
        const unsigned c = pt.half == 0 ? 3 : stride_class(pt.half);
        unsigned sym = 0;
        if (b != 0) {
            const std::uint64_t a = b < 0 ? 0 - static_cast<std::uint64_t>(b) : static_cast<std::uint64_t>(b);
            const unsigned nb = static_cast<unsigned>(std::bit_width(a)) - 1;
            sym = 1 + 2 * std::min(nb, kMaxClass) + (b < 0 ? 1u : 0u);
            raw_bits += nb;
        }
        ++counts[c][sym];
        ++totals[c];
    });
    double bits = raw_bits;
    for (unsigned c = 0; c < kStrideClasses; ++c) {
        const double total = static_cast<double>(totals[c]);
        for (const std::uint32_t k : counts[c]) {
            if (k > 0) bits -= k * std::log2(static_cast<double>(k) / total);
        }
    }
    return static_cast<std::size_t>(bits / 8.0) + 16;
}

Status encode_interp(std::span<const std::int64_t> levels, std::span<const std::uint64_t> bounds,
                     std::vector<std::uint8_t>& body, std::span<std::int64_t> recon) {
    const std::size_t n = levels.size();
    if (!recon.empty() && recon.size() != n) return bad_argument("interpolated lane: output of another length");
    // Bins (and the reconstruction when the caller wants none) from the
    // thread's pool.
    auto bins = support::Scratch<std::int64_t>::take(recon.empty() ? 2 * n : n);
    if (!bins) return out_of_memory("an interpolated lane");
    const std::span<std::int64_t> q(bins.get(), n);
    if (recon.empty()) recon = {bins.get() + n, n};
    if (auto st = interp_encode(levels, bounds, q, recon); !st) return st;
    return encode_interp_bins(q, recon, bounds, body);
}

Status encode_interp_bins(std::span<const std::int64_t> q, std::span<const std::int64_t> recon,
                          std::span<const std::uint64_t> bounds, std::vector<std::uint8_t>& body) {
    const std::size_t n = q.size();
    if (recon.size() != n || !interp_bounds_valid(bounds))
        return bad_argument("interpolated lane: bins, reconstruction or bounds that do not go together");
    // The coder's models reach bins of up to 44 bits (interp_encode writes no larger).
    constexpr std::int64_t kBinTop = std::int64_t{1} << 44;
    if (!std::all_of(q.begin(), q.end(), [](std::int64_t b) { return b > -kBinTop && b < kBinTop; }))
        return bad_argument("interpolated lane: a bin beyond 2^44");
    // Models and context planes as the decoder takes them: from the
    // thread's pool, read only where written.
    static_assert(std::is_trivially_destructible_v<Models> && alignof(Models) <= alignof(std::uint32_t));
    constexpr std::size_t model_words = (sizeof(Models) + 3) / 4;
    auto planes = support::Scratch<std::uint32_t>::take(model_words + n + (n + 3) / 4);
    if (!planes) return out_of_memory("an interpolated lane");
    body.push_back(kNearLosslessVersion);
    body.push_back(kSchemeInterp);
    put_varint(body, *std::max_element(bounds.begin(), bounds.end()));
    put_varint(body, n);
    body.push_back(static_cast<std::uint8_t>(bounds.size()));
    for (const std::uint64_t b : bounds) put_varint(body, b);
    Models* const models = new (planes.get()) Models;
    std::uint32_t* const mag = planes.get() + model_words;
    auto* const sgn = reinterpret_cast<std::int8_t*>(mag + n);
    RangeEncoder enc(body);
    std::size_t j = 0;
    interp_visit(n, [&](InterpPoint pt) {
        const std::int64_t b = q[j++];
        const Context c = context_at(mag, sgn, n, pt);
        enc.bit(models->zero[c.stride][c.activity], b != 0);
        if (b != 0) {
            enc.bit(models->sign[c.sign], b < 0);
            const std::uint64_t a = b < 0 ? 0 - static_cast<std::uint64_t>(b) : static_cast<std::uint64_t>(b);
            const unsigned nb = static_cast<unsigned>(std::bit_width(a)) - 1;
            auto& unary = models->unary[c.stride][c.activity];
            for (unsigned u = 0; u < nb; ++u) enc.bit(unary[u], 1);
            enc.bit(unary[nb], 0);
            if (nb > 0) {
                auto& tree = models->mantissa[nb];
                const unsigned modelled = std::min(nb, kTreeBits);
                unsigned node = 1;
                for (unsigned u = 1; u <= modelled; ++u) {
                    const unsigned bit = static_cast<unsigned>((a >> (nb - u)) & 1u);
                    enc.bit(tree[node], bit);
                    node = 2 * node + bit;
                }
                enc.bypass(a, nb - modelled);
            }
        }
        note(mag, sgn, pt.index, b);
    });
    enc.flush();
    put_u32(body, check_of(bounds, recon));
    return {};
}

Status decode_interp(std::span<const std::uint8_t> body, std::span<std::int64_t> out) {
    if (body.size() < 2 || body[0] != kNearLosslessVersion || body[1] != kSchemeInterp)
        return damaged("is not of the interpolating scheme");
    std::size_t pos = 2, m = 0;
    std::uint64_t k = 0, count = 0;
    if (!get_varint(body, pos, k) || k > kNearLosslessMaxBound) return damaged("has an invalid bound");
    if (!get_varint(body, pos, count)) return damaged("is truncated");
    if (count != out.size()) return damaged("holds another number of levels than the lane");
    std::uint64_t bounds_at[kInterpMaxBounds];
    if (!read_bounds(body, pos, bounds_at, m)) return damaged("has invalid bounds");
    const std::span<const std::uint64_t> bounds(bounds_at, m);
    if (*std::max_element(bounds.begin(), bounds.end()) != k) return damaged("has bounds above or below its bound");
    if (body.size() - pos < 5 + 4) return damaged("is truncated");
    const std::span<const std::uint8_t> coded = body.subspan(pos, body.size() - pos - 4);
    const std::uint32_t check = load_u32(body.data() + body.size() - 4);

    // The bins, the models and the context planes from the thread's pool, in
    // two blocks: no fresh memory per call once the thread has decoded a lane
    // as long. The contexts read only samples already decoded, so the planes
    // need no clearing.
    static_assert(std::is_trivially_destructible_v<Models> && alignof(Models) <= alignof(std::uint32_t));
    constexpr std::size_t model_words = (sizeof(Models) + 3) / 4;
    const std::size_t n = out.size();
    auto bins = support::Scratch<std::int64_t>::take(n);
    auto planes = support::Scratch<std::uint32_t>::take(model_words + n + (n + 3) / 4);
    if (!bins || !planes) return out_of_memory("an interpolated lane");
    const std::span<std::int64_t> q(bins.get(), n);
    Models* const models = new (planes.get()) Models;
    std::uint32_t* const mag = planes.get() + model_words;
    auto* const sgn = reinterpret_cast<std::int8_t*>(mag + n);
    RangeDecoder dec;
    if (!dec.start(coded)) return damaged("is damaged");
    std::size_t j = 0;
    bool ok = true;
    interp_visit(n, [&](InterpPoint pt) {
        if (!ok) return;
        const Context c = context_at(mag, sgn, n, pt);
        std::int64_t b = 0;
        if (dec.bit(models->zero[c.stride][c.activity]) != 0) {
            const unsigned negative = dec.bit(models->sign[c.sign]);
            auto& unary = models->unary[c.stride][c.activity];
            unsigned nb = 0;
            while (dec.bit(unary[nb]) != 0) {
                if (++nb >= kMaxClass) {
                    ok = false;
                    return;
                }
            }
            std::uint64_t a = 1;
            if (nb > 0) {
                auto& tree = models->mantissa[nb];
                const unsigned modelled = std::min(nb, kTreeBits);
                unsigned node = 1;
                for (unsigned u = 1; u <= modelled; ++u) node = 2 * node + dec.bit(tree[node]);
                a = (std::uint64_t{node} << (nb - modelled)) | dec.bypass(nb - modelled);
            }
            b = negative ? -static_cast<std::int64_t>(a) : static_cast<std::int64_t>(a);
        }
        q[j++] = b;
        note(mag, sgn, pt.index, b);
        if (dec.overran()) ok = false;
    });
    if (!ok) return damaged("has an invalid or truncated bin stream");
    if (!dec.exhausted_exactly()) return damaged("has a stream of the wrong length");
    if (auto st = interp_decode(q, bounds, out); !st) return st;
    if (check != check_of(bounds, out)) return damaged("fails its check");
    return {};
}

}  // namespace vantoresk::lanes
