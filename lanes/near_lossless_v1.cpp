// Near-lossless body version 1: adaptive binary range coding of the
// residuals (format in near_lossless.hpp). Decode only: stored bodies stay
// readable; new bodies are version 2.
#include "lanes/near_lossless_parts.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <memory>

#include "lanes/bytes.hpp"
#include "lanes/lpc_fit.hpp"
#include "lanes/range_coder.hpp"

namespace vantoresk::lanes::near_lossless {
namespace {

constexpr unsigned kActivityClasses = 32;
constexpr unsigned kTreeBits = 4;  // mantissa bits below the leading one coded with models
constexpr unsigned kMaxClass = 45;  // nb of a residual is at most 43

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

Status decode_levels_v1(std::span<const std::uint8_t> body, std::span<std::int64_t> out) {
    std::size_t pos = 1;
    std::uint64_t k = 0, count = 0;
    if (!get_varint(body, pos, k) || k > kNearLosslessMaxBound) return damaged("has an invalid bound");
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

}  // namespace vantoresk::lanes::near_lossless
