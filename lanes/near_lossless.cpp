// Near-lossless level coder: binning, the block predictors' side
// information, residual binarisation and the check value (format in the
// header).
#include "lanes/near_lossless.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <memory>

#include "lanes/lpc_fit.hpp"
#include "lanes/range_coder.hpp"

namespace vantoresk::lanes {
namespace {

constexpr unsigned kBlockLog2 = 14;
constexpr unsigned kMinBlockLog2 = 8;
constexpr unsigned kMaxBlockLog2 = 20;
constexpr unsigned kActivityClasses = 32;
constexpr unsigned kTreeBits = 4;  // mantissa bits below the leading one coded with models
constexpr unsigned kMaxClass = 45;  // nb of a residual is at most 43
constexpr std::int64_t kIndexSpan = std::int64_t{1} << 42;

// The largest bin index an encoder can write for bins of `width` levels:
// ceil(2^40 / width), so that every level in [-2^40, 2^40] has its bin and
// every decoded level, at most width * that, is accepted again.
std::int64_t top_index(std::int64_t width) { return (kMaxLevel + width - 1) / width; }
constexpr std::uint64_t kHashStart = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kHashStep = 0xFF51AFD7ED558CCDull;

support::Err<LaneError> damaged(const char* what) { return bad_frame(std::string("near-lossless body ") + what); }

// The check value's start: the header's numbers go in first, so that a
// damaged bound, count or block size is caught as well as a damaged index.
std::uint64_t start_hash(std::uint64_t k, std::uint64_t count, unsigned block_log2) {
    std::uint64_t h = kHashStart;
    for (const std::uint64_t x : {k, count, std::uint64_t{block_log2}}) h = (h ^ x) * kHashStep;
    return h;
}

std::uint32_t finish_hash(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return static_cast<std::uint32_t>(h >> 32);
}

// Activity class of s = 2|r1| + |r2| + |r3|: s itself below 4, then two
// classes per octave.
unsigned activity_class(std::uint64_t s) {
    if (s < 4) return static_cast<unsigned>(s);
    const unsigned b = static_cast<unsigned>(std::bit_width(s));
    const unsigned c = b + 1;
    return std::min(c, kActivityClasses - 1);
}

// Every adaptive model of one lane.
struct Models {
    std::array<BitModel, kActivityClasses> zero;
    std::array<BitModel, 9> sign;
    std::array<std::array<BitModel, kMaxClass + 1>, kActivityClasses> unary;
    std::array<std::array<BitModel, 1u << kTreeBits>, kMaxClass + 1> mantissa;
};

// Residual context carried from sample to sample.
struct History {
    std::uint64_t a1 = 0, a2 = 0, a3 = 0;
    unsigned last_sign = 0;  // 0: zero, 1: positive, 2: negative

    unsigned activity() const { return activity_class(2 * a1 + a2 + a3); }
    void push(std::int64_t r) {
        const std::uint64_t a = r < 0 ? 0 - static_cast<std::uint64_t>(r) : static_cast<std::uint64_t>(r);
        a3 = a2;
        a2 = a1;
        a1 = std::min<std::uint64_t>(a, std::uint64_t{1} << 40);
        last_sign = (last_sign % 3) * 3 + (r == 0 ? 0u : (r > 0 ? 1u : 2u));
    }
};

std::uint64_t zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t unzigzag(std::uint64_t z) {
    return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1u);
}

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

// Minimal-length LEB128 of at most 10 bytes; false on anything else.
bool get_varint(std::span<const std::uint8_t> in, std::size_t& pos, std::uint64_t& v) {
    v = 0;
    for (unsigned i = 0; i < 10; ++i) {
        if (pos >= in.size()) return false;
        const std::uint8_t b = in[pos++];
        if (i == 9 && b > 1) return false;
        v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) return !(b == 0 && i > 0);
    }
    return false;
}

// The prediction for index t from the decoded indices before it.
inline std::int64_t predict(const std::int64_t* y, std::size_t t, unsigned order, unsigned shift,
                            const std::int64_t* coef, std::int64_t ymax) {
    if (t < order || order == 0) return t == 0 || order == 0 ? 0 : y[t - 1];
    std::uint64_t acc = shift > 0 ? std::uint64_t{1} << (shift - 1) : 0;
    acc += history_dot(y + t - 1, coef, order);
    const std::int64_t p = static_cast<std::int64_t>(acc) >> shift;
    return std::clamp(p, -ymax, ymax);
}

void encode_residual(RangeEncoder& enc, Models& m, History& hist, std::int64_t r) {
    const unsigned ctx = hist.activity();
    enc.bit(m.zero[ctx], r != 0);
    if (r != 0) {
        enc.bit(m.sign[hist.last_sign], r < 0);
        const std::uint64_t a = r < 0 ? 0 - static_cast<std::uint64_t>(r) : static_cast<std::uint64_t>(r);
        const unsigned nb = static_cast<unsigned>(std::bit_width(a)) - 1;
        auto& unary = m.unary[ctx];
        for (unsigned j = 0; j < nb; ++j) enc.bit(unary[j], 1);
        enc.bit(unary[nb], 0);
        if (nb > 0) {
            auto& tree = m.mantissa[nb];
            const unsigned modelled = std::min(nb, kTreeBits);
            unsigned node = 1;
            for (unsigned j = 1; j <= modelled; ++j) {
                const unsigned bit = static_cast<unsigned>((a >> (nb - j)) & 1u);
                enc.bit(tree[node], bit);
                node = 2 * node + bit;
            }
            enc.bypass(a, nb - modelled);
        }
    }
    hist.push(r);
}

// False when the stream asks for a residual class no encoder writes.
inline bool decode_residual(RangeDecoder& dec, Models& m, History& hist, std::int64_t& r) {
    const unsigned ctx = hist.activity();
    r = 0;
    if (dec.bit(m.zero[ctx]) != 0) {
        const unsigned negative = dec.bit(m.sign[hist.last_sign]);
        auto& unary = m.unary[ctx];
        unsigned nb = 0;
        while (dec.bit(unary[nb]) != 0) {
            if (++nb >= kMaxClass) return false;
        }
        std::uint64_t a = 1;
        if (nb > 0) {
            auto& tree = m.mantissa[nb];
            const unsigned modelled = std::min(nb, kTreeBits);
            unsigned node = 1;
            for (unsigned j = 1; j <= modelled; ++j) node = 2 * node + dec.bit(tree[node]);
            a = node;
            a = (a << (nb - modelled)) | dec.bypass(nb - modelled);
        }
        r = negative ? -static_cast<std::int64_t>(a) : static_cast<std::int64_t>(a);
    }
    hist.push(r);
    return true;
}

void encode_predictor(RangeEncoder& enc, const Predictor& p) {
    enc.bypass(p.order, 6);
    if (p.order == 0) return;
    enc.bypass(p.shift, 5);
    for (const std::int64_t c : p.coefficients) {
        const std::uint64_t z = zigzag(c);
        const unsigned len = static_cast<unsigned>(std::bit_width(z));
        enc.bypass(len, 6);
        if (len > 1) enc.bypass(z, len - 1);
    }
}

bool decode_predictor(RangeDecoder& dec, unsigned& order, unsigned& shift, std::int64_t* coef) {
    order = static_cast<unsigned>(dec.bypass(6));
    shift = 0;
    if (order > kMaxPredictorOrder) return false;
    if (order == 0) return true;
    shift = static_cast<unsigned>(dec.bypass(5));
    if (shift > kMaxCoefficientShift) return false;
    for (unsigned j = 0; j < order; ++j) {
        const unsigned len = static_cast<unsigned>(dec.bypass(6));
        if (len > 63) return false;
        std::uint64_t z = 0;
        if (len > 0) z = len > 1 ? (std::uint64_t{1} << (len - 1)) | dec.bypass(len - 1) : 1;
        coef[j] = unzigzag(z);
    }
    return true;
}

}  // namespace

Status encode_levels(std::span<const std::int64_t> levels, std::uint64_t k, std::vector<std::uint8_t>& body) {
    k = std::min(k, kNearLosslessMaxBound);
    const auto width = static_cast<std::int64_t>(2 * k + 1);
    const std::int64_t ymax = kIndexSpan / width;
    const std::int64_t limit = top_index(width) * width;
    std::unique_ptr<std::int64_t[]> y(new (std::nothrow) std::int64_t[levels.size() + 1]);
    if (!y) return lane_fail(VNT_OUT_OF_MEMORY, "out of memory for a near-lossless lane");
    std::uint64_t max_abs = 0;
    const auto ik = static_cast<std::int64_t>(k);
    for (std::size_t t = 0; t < levels.size(); ++t) {
        const std::int64_t v = levels[t];
        if (v < -limit || v > limit) {
            return bad_argument("a level beyond 2^40");
        }
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

    body.push_back(kNearLosslessVersion);
    put_varint(body, k);
    put_varint(body, levels.size());
    body.push_back(static_cast<std::uint8_t>(kBlockLog2));

    const std::span<const std::int64_t> ys(y.get(), levels.size());
    auto models = std::make_unique<Models>();
    History hist;
    RangeEncoder enc(body);
    std::uint64_t h = start_hash(k, levels.size(), kBlockLog2);
    const std::size_t block = std::size_t{1} << kBlockLog2;
    for (std::size_t b = 0; b < levels.size(); b += block) {
        const std::size_t e = std::min(levels.size(), b + block);
        const Predictor p = fit_predictor(ys, b, e, kMaxPredictorOrder, max_abs);
        encode_predictor(enc, p);
        for (std::size_t t = b; t < e; ++t) {
            const std::int64_t pred = predict(y.get(), t, p.order, p.shift, p.coefficients.data(), ymax);
            encode_residual(enc, *models, hist, y[t] - pred);
            h = (h ^ static_cast<std::uint64_t>(y[t])) * kHashStep;
        }
    }
    enc.flush();
    const std::uint32_t check = finish_hash(h);
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<std::uint8_t>(check >> (8 * i)));
    return {};
}

LResult<std::uint64_t> near_lossless_bound(std::span<const std::uint8_t> body) {
    if (body.empty()) return damaged("is empty");
    if (body[0] != kNearLosslessVersion) {
        return lane_fail(VNT_UNSUPPORTED, "near-lossless body version " + std::to_string(body[0]) +
                                              " is newer than this reader; upgrade vantoresk to read it");
    }
    std::size_t pos = 1;
    std::uint64_t k = 0;
    if (!get_varint(body, pos, k) || k > kNearLosslessMaxBound) return damaged("has an invalid bound");
    return k;
}

Status decode_levels(std::span<const std::uint8_t> body, std::span<std::int64_t> out) {
    auto bound = near_lossless_bound(body);
    if (!bound.ok()) return support::Err<LaneError>{std::move(bound).error()};
    const std::uint64_t k = *bound;
    std::size_t pos = 1;
    std::uint64_t skip = 0, count = 0;
    (void)get_varint(body, pos, skip);
    if (!get_varint(body, pos, count)) return damaged("is truncated");
    if (count != out.size()) return damaged("holds another number of levels than the lane");
    if (pos >= body.size()) return damaged("is truncated");
    const unsigned block_log2 = body[pos++];
    if (block_log2 < kMinBlockLog2 || block_log2 > kMaxBlockLog2) return damaged("has an invalid block size");
    if (body.size() - pos < 5 + 4) return damaged("is truncated");
    const std::span<const std::uint8_t> coded = body.subspan(pos, body.size() - pos - 4);
    const std::span<const std::uint8_t> trailer = body.subspan(body.size() - 4);

    const auto width = static_cast<std::int64_t>(2 * k + 1);
    const std::int64_t ymax = kIndexSpan / width;
    const std::int64_t ytop = top_index(width);
    RangeDecoder dec;
    if (!dec.start(coded)) return damaged("is damaged");
    auto models = std::make_unique<Models>();
    History hist;
    std::int64_t* y = out.data();
    std::uint64_t h = start_hash(k, count, block_log2);
    const std::size_t block = std::size_t{1} << block_log2;
    std::array<std::int64_t, kMaxPredictorOrder> coef{};
    for (std::size_t b = 0; b < out.size(); b += block) {
        const std::size_t e = std::min(out.size(), b + block);
        unsigned order = 0, shift = 0;
        if (!decode_predictor(dec, order, shift, coef.data())) return damaged("has an invalid predictor");
        for (std::size_t t = b; t < e; ++t) {
            const std::int64_t pred = predict(y, t, order, shift, coef.data(), ymax);
            std::int64_t r;
            if (!decode_residual(dec, *models, hist, r)) return damaged("has an invalid residual");
            const std::int64_t v = pred + r;  // |pred| <= 2^42, |r| < 2^45
            if (v < -ytop || v > ytop) return damaged("decodes to a level out of range");
            y[t] = v;
            h = (h ^ static_cast<std::uint64_t>(v)) * kHashStep;
        }
        if (dec.overran()) return damaged("is truncated");
    }
    if (!dec.exhausted_exactly()) return damaged("has a stream of the wrong length");
    std::uint32_t check = 0;
    for (int i = 0; i < 4; ++i) check |= static_cast<std::uint32_t>(trailer[i]) << (8 * i);
    if (check != finish_hash(h)) return damaged("fails its check");
    if (k > 0) {
        for (std::int64_t& v : out) v *= width;
    }
    return {};
}

}  // namespace vantoresk::lanes
