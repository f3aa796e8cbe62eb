// Residual coder: residuals to (class, sign and top bits, raw bits) and
// back, with the contexts of the format in the header.
#include "lanes/residual_coder.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>

#include "lanes/adaptive_rans.hpp"
#include "lanes/bytes.hpp"
#include "support/cpu_dispatch.hpp"

namespace vantoresk::lanes {
namespace {

constexpr unsigned kActivityClasses = 32;
constexpr unsigned kClasses = 16;  // A's symbols; the last one escapes
constexpr unsigned kEscape = kClasses - 1;
constexpr unsigned kEscapeBits = 5;
constexpr std::uint64_t kLimit = std::uint64_t{1} << kResidualBits;
constexpr std::size_t kCheckEvery = 4096;  // residuals between overrun checks

struct Models {
    std::array<AdaptiveCdf<kClasses>, kActivityClasses> cls;
    std::array<std::array<AdaptiveCdf<8>, 3>, kClasses> low;
};

// Context carried from residual to residual.
struct History {
    std::uint64_t a1 = 0, a2 = 0, a3 = 0;
    unsigned sign = 0;  // of the last residual: 0 zero, 1 positive, 2 negative

    unsigned activity() const noexcept {
        const std::uint64_t s = 2 * a1 + a2 + a3;
        if (s < 4) return static_cast<unsigned>(s);
        return std::min(static_cast<unsigned>(std::bit_width(s)) + 1, kActivityClasses - 1);
    }
    void push(std::uint64_t a, unsigned sign_now) noexcept {
        a3 = a2;
        a2 = a1;
        a1 = a;
        sign = sign_now;
    }
};

support::Err<LaneError> damaged(const char* what) { return bad_frame(std::string("coded residuals ") + what); }

// The models' vector variant (SSE2, baseline x86-64) unless the portable
// one is asked for; both give the same bits.
bool vector_models() noexcept { return VANTORESK_CDF_SSE2 && simd::enabled(simd::Isa::X86Cmov); }

template <bool Vector, unsigned N>
void put(RansSymbol* symbols, std::size_t& used, AdaptiveCdf<N>& m, unsigned s) {
    const std::uint32_t lo = m.start(s);
    symbols[used++] = {static_cast<std::uint16_t>(lo), static_cast<std::uint16_t>(m.end(s) - lo)};
#if VANTORESK_CDF_SSE2
    if constexpr (Vector) {
        m.update_sse2(s);
        return;
    }
#endif
    m.update(s);
}

// The symbols of A and B (raw bits straight to `raw`); returns their number.
template <bool Vector>
std::size_t model_residuals(std::span<const std::int64_t> residuals, RansSymbol* symbols, BitWriter& raw) {
    auto m = std::make_unique<Models>();
    History h;
    std::size_t used = 0;
    for (const std::int64_t r : residuals) {
        const bool negative = r < 0;
        const std::uint64_t a = negative ? 0 - static_cast<std::uint64_t>(r) : static_cast<std::uint64_t>(r);
        const auto e = static_cast<unsigned>(std::bit_width(a));
        put<Vector>(symbols, used, m->cls[h.activity()], std::min(e, kEscape));
        if (e >= kEscape) raw.put(e - kEscape, kEscapeBits);
        if (e > 0) {
            const unsigned mb = std::min(e - 1, 2u);
            const unsigned n = e - 1 - mb;
            const auto top = static_cast<unsigned>((a >> n) & ((1u << mb) - 1));
            put<Vector>(symbols, used, m->low[std::min(e, kClasses - 1)][h.sign], (top << 1) | unsigned{negative});
            raw.put(a, n);
        }
        h.push(a, r == 0 ? 0u : (negative ? 2u : 1u));
    }
    return used;
}

template <bool Vector>
Status decode_run(RansDecoder& dec, BitReader& raw, std::span<std::int64_t> out) {
    Models m;
    History h;
    std::size_t t = 0;
    while (t < out.size()) {
        const std::size_t stop = std::min(out.size(), t + kCheckEvery);
        for (; t < stop; ++t) {
            const unsigned c = dec.decode<Vector>(m.cls[h.activity()]);
            if (c == 0) {
                out[t] = 0;
                h.push(0, 0);
                continue;
            }
            unsigned e = c;
            if (c == kEscape) {
                e += static_cast<unsigned>(raw.get(kEscapeBits));
                if (e > kResidualBits) return damaged("hold a residual out of range");
            }
            const unsigned low = dec.decode<Vector>(m.low[std::min(e, kClasses - 1)][h.sign]);
            const unsigned mb = std::min(e - 1, 2u);
            const unsigned top = low >> 1;
            if (top >> mb) return damaged("hold an impossible residual");
            const unsigned n = e - 1 - mb;
            const std::uint64_t a = (std::uint64_t{1} << (e - 1)) | (std::uint64_t{top} << n) | raw.get(n);
            const bool negative = (low & 1u) != 0;
            out[t] = negative ? -static_cast<std::int64_t>(a) : static_cast<std::int64_t>(a);
            h.push(a, negative ? 2u : 1u);
        }
        if (dec.overran() || raw.overran()) return damaged("are truncated");
    }
    return {};
}

}  // namespace

Status encode_residuals(std::span<const std::int64_t> residuals, std::vector<std::uint8_t>& out) {
    for (const std::int64_t r : residuals) {
        const std::uint64_t a = r < 0 ? 0 - static_cast<std::uint64_t>(r) : static_cast<std::uint64_t>(r);
        if (a >= kLimit) return bad_argument("a residual beyond 2^46");
    }
    try {
        std::vector<RansSymbol> symbols(2 * residuals.size());
        BitWriter raw;
        const std::size_t used = vector_models() ? model_residuals<true>(residuals, symbols.data(), raw)
                                                 : model_residuals<false>(residuals, symbols.data(), raw);
        symbols.resize(used);
        std::vector<std::uint8_t> stream;
        stream.reserve(symbols.size() + 16);
        rans_encode(symbols, stream);
        const std::vector<std::uint8_t>& bits = raw.finish();
        put_varint(out, stream.size());
        put_varint(out, bits.size());
        out.insert(out.end(), stream.begin(), stream.end());
        out.insert(out.end(), bits.begin(), bits.end());
    } catch (const std::bad_alloc&) {
        return lane_fail(VNT_OUT_OF_MEMORY, "out of memory for coding residuals");
    }
    return {};
}

Status decode_residuals(std::span<const std::uint8_t> in, std::size_t& pos, std::span<std::int64_t> out) {
    std::size_t at = pos;
    std::uint64_t stream_size = 0, raw_size = 0;
    if (!get_varint(in, at, stream_size) || !get_varint(in, at, raw_size)) return damaged("are truncated");
    if (stream_size > in.size() - at || raw_size > in.size() - at - stream_size) return damaged("are truncated");
    RansDecoder dec;
    if (!dec.start(in.subspan(at, stream_size))) return damaged("are damaged");
    BitReader raw(in.subspan(at + stream_size, raw_size));
    const Status run = vector_models() ? decode_run<true>(dec, raw, out) : decode_run<false>(dec, raw, out);
    if (!run) return run;
    if (!dec.ended_exactly() || !raw.ended_exactly()) return damaged("do not end where their stream ends");
    pos = at + stream_size + raw_size;
    return {};
}

}  // namespace vantoresk::lanes
