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
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

constexpr unsigned kActivityClasses = 48;
constexpr unsigned kClasses = 16;  // A's symbols; the last one escapes
constexpr unsigned kEscape = kClasses - 1;
constexpr unsigned kEscapeBits = 5;
constexpr std::size_t kMostSymbols = 3;  // A, B and C: the symbols of one residual at most
constexpr unsigned kEscapeFrom = kEscape - 1;  // the bit length A = 15 starts at

// A for a residual of bit length e (0 for r = 0, 1 and 2 for +1 and -1).
constexpr unsigned class_symbol(unsigned e, bool negative) noexcept {
    return e <= 1 ? e + unsigned{e == 1 && negative} : std::min(e + 1, kEscape);
}
// The bit length A stands for (the escape's least).
constexpr unsigned symbol_length(unsigned s) noexcept { return s <= 2 ? (s + 1) / 2 : s - 1; }
constexpr std::uint64_t kLimit = std::uint64_t{1} << kResidualBits;
constexpr std::size_t kCheckEvery = 4096;  // residuals between overrun checks

// Where the class model of activity c starts: most weight near the class
// the activity suggests (e about c - 3), falling by a factor 4 a class.
constexpr std::array<std::uint16_t, kClasses> class_prior(unsigned c) {
    const int centre = c < 4 ? static_cast<int>(c) / 2 : (static_cast<int>(c) - 2) / 2 - 1;
    std::array<std::uint32_t, kClasses> w{};
    std::uint32_t total = 0;
    for (unsigned e = 0; e < kClasses; ++e) {
        const int d = static_cast<int>(symbol_length(e)) - centre;
        w[e] = (4096u >> std::min(12, 2 * (d < 0 ? -d : d))) >> (e == 1 || e == 2 ? 1 : 0);
        total += w[e];
    }
    std::array<std::uint16_t, kClasses> f{};
    std::uint32_t used = 0;
    for (unsigned e = 0; e < kClasses; ++e) {
        f[e] = static_cast<std::uint16_t>(1 + w[e] * (kCdfTotal - kClasses) / total);
        used += f[e];
    }
    f[class_symbol(static_cast<unsigned>(std::clamp(centre, 0, static_cast<int>(kEscapeFrom))), false)] +=
        static_cast<std::uint16_t>(kCdfTotal - used);
    return f;
}

// The priors count as two symbols seen: short sequences gain from them (2-3 %
// on lanes of 250 levels), and later symbols still move a model quickly.
constexpr std::uint8_t kPriorWeight = 2;

struct Models {
    std::array<AdaptiveCdf<kClasses>, kActivityClasses> cls;
    std::array<std::array<AdaptiveCdf<8>, 3>, kClasses> low;
    std::array<std::array<AdaptiveCdf<8>, 4>, kClasses> next;

    Models() noexcept : cls(kClassStart) {
        for (auto& per_e : low) per_e.fill(kLowStart);
        for (auto& per_e : next) per_e.fill(kNextStart);
    }

private:
    // Where the models start, worked out once by the compiler. Bits below a
    // leading one favour 0 a little (residuals fall off with their size);
    // signs are even.
    static constexpr AdaptiveCdf<8> kLowStart{
        std::array<std::uint16_t, 8>{5461, 5461, 4369, 4369, 3641, 3641, 2913, 2913}, kPriorWeight};
    static constexpr AdaptiveCdf<8> kNextStart{
        std::array<std::uint16_t, 8>{5120, 4800, 4400, 4100, 3900, 3700, 3500, 3248}, kPriorWeight};
    static constexpr std::array<AdaptiveCdf<kClasses>, kActivityClasses> kClassStart = [] {
        std::array<AdaptiveCdf<kClasses>, kActivityClasses> start{};
        for (unsigned c = 0; c < kActivityClasses; ++c) start[c] = AdaptiveCdf<kClasses>(class_prior(c), kPriorWeight);
        return start;
    }();
};

// Context carried from residual to residual.
struct History {
    std::uint64_t a1 = 0, a2 = 0, a3 = 0;
    unsigned sign = 0;  // of the last residual: 0 zero, 1 positive, 2 negative

    unsigned activity() const noexcept {
        const std::uint64_t s = 2 * a1 + a2 + a3;
        // Small activities are the common case and flip often: both sides
        // are worked out and one is picked, without a branch.
        const auto b = static_cast<unsigned>(std::bit_width(s | 2u));
        const unsigned large =
            std::min(2 * b - 2 + static_cast<unsigned>((s >> (b - 2)) & 1u), kActivityClasses - 1);
        return s < 4 ? static_cast<unsigned>(s) : large;
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

// The symbols of A, B and C (raw bits straight to `raw`); returns their number.
template <bool Vector>
std::size_t model_residuals(std::span<const std::int64_t> residuals, RansSymbol* symbols, BitWriter& raw) {
    auto m = std::make_unique<Models>();
    History h;
    std::size_t used = 0;
    for (const std::int64_t r : residuals) {
        const bool negative = r < 0;
        const std::uint64_t a = negative ? 0 - static_cast<std::uint64_t>(r) : static_cast<std::uint64_t>(r);
        const auto e = static_cast<unsigned>(std::bit_width(a));
        put<Vector>(symbols, used, m->cls[h.activity()], class_symbol(e, negative));
        if (e >= kEscapeFrom) raw.put(e - kEscapeFrom, kEscapeBits);
        if (e > 1) {
            const unsigned mb = std::min(e - 1, 2u);
            const unsigned n = e - 1 - mb;
            const auto top = static_cast<unsigned>((a >> n) & ((1u << mb) - 1));
            put<Vector>(symbols, used, m->low[std::min(e, kClasses - 1)][h.sign], (top << 1) | unsigned{negative});
            if (n > 0) {
                const unsigned cb = std::min(n, 3u);
                const auto more = static_cast<unsigned>((a >> (n - cb)) & ((1u << cb) - 1));
                put<Vector>(symbols, used, m->next[std::min(e, kClasses - 1)][top], more);
                raw.put(a, n - cb);
            }
        }
        h.push(a, r == 0 ? 0u : (negative ? 2u : 1u));
    }
    return used;
}

// Works on local copies of the readers, so that the residuals written cannot
// alias their state in the compiler's eyes; hands them back at the end.
template <bool Vector>
Status decode_run(RansDecoder& dec_io, BitReader& raw_io, std::span<std::int64_t> out_span) {
    RansDecoder dec = dec_io;
    BitReader raw = raw_io;
    std::int64_t* const out = out_span.data();
    Models m;
    History h;
    std::size_t t = 0;
    while (t < out_span.size()) {
        const std::size_t stop = std::min(out_span.size(), t + kCheckEvery);
        for (; t < stop; ++t) {
            const unsigned c = dec.decode<Vector>(m.cls[h.activity()]);
            if (c <= 2) {
                // 0, +1 or -1, without a branch between them
                out[t] = static_cast<std::int64_t>(c & 1u) - static_cast<std::int64_t>(c >> 1);
                h.push(c != 0, c);
                continue;
            }
            unsigned e = c - 1;
            if (c == kEscape) {
                e += static_cast<unsigned>(raw.get(kEscapeBits));
                if (e > kResidualBits) return damaged("hold a residual out of range");
            }
            const unsigned low = dec.decode<Vector>(m.low[std::min(e, kClasses - 1)][h.sign]);
            const unsigned mb = std::min(e - 1, 2u);
            const unsigned top = low >> 1;
            if (top >> mb) return damaged("hold an impossible residual");
            const unsigned n = e - 1 - mb;
            std::uint64_t a = (std::uint64_t{1} << (e - 1)) | (std::uint64_t{top} << n);
            if (n > 0) {
                const unsigned cb = std::min(n, 3u);
                const unsigned more = dec.decode<Vector>(m.next[std::min(e, kClasses - 1)][top]);
                if (more >> cb) return damaged("hold an impossible residual");
                a |= (std::uint64_t{more} << (n - cb)) | raw.get(n - cb);
            }
            const bool negative = (low & 1u) != 0;
            out[t] = negative ? -static_cast<std::int64_t>(a) : static_cast<std::int64_t>(a);
            h.push(a, negative ? 2u : 1u);
        }
        if (dec.overran() || raw.overran()) return damaged("are truncated");
    }
    dec_io = dec;
    raw_io = raw;
    return {};
}

}  // namespace

Status encode_residuals(std::span<const std::int64_t> residuals, std::vector<std::uint8_t>& out) {
    for (const std::int64_t r : residuals) {
        const std::uint64_t a = r < 0 ? 0 - static_cast<std::uint64_t>(r) : static_cast<std::uint64_t>(r);
        if (a >= kLimit) return bad_argument("a residual beyond 2^45");
    }
    try {
        // The symbols in the thread's pool: no fresh pages per call.
        auto symbol_memory = support::Scratch<RansSymbol>::take(kMostSymbols * residuals.size() + 1);
        if (!symbol_memory) return lane_fail(VNT_OUT_OF_MEMORY, "out of memory for coding residuals");
        BitWriter raw;
        const std::size_t used = vector_models() ? model_residuals<true>(residuals, symbol_memory.get(), raw)
                                                 : model_residuals<false>(residuals, symbol_memory.get(), raw);
        const std::span<const RansSymbol> symbols(symbol_memory.get(), used);
        std::vector<std::uint8_t> stream;
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
