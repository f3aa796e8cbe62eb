// Adaptive multi-symbol models, an interleaved rANS coder and a plain bit
// stream: the pieces of the residual coder (residual_coder.hpp).
//
// Integer arithmetic only, so every machine codes and decodes the same bytes.
//  * An AdaptiveCdf of N symbols (N = 8 or 16) keeps a cumulative
//    distribution with a 15-bit total. After each symbol s every entry moves
//    a fraction 2^-rate of the way towards the distribution that gives s all
//    but one count and every other symbol one count (cdf[i] += (t[i] -
//    cdf[i]) >> rate, arithmetic shift, t[i] = i + (i > s ? 2^15 - N : 0));
//    the n-th update of a model (n = 0, 1, ...; a model started from a
//    prior of weight w counts from n = w) uses rate min(bit_width(n + 1), 8),
//    a running mean at first, then an exponential one. Every symbol keeps a frequency of at least 1, so anything can be
//    coded.
//  * The rANS coder has one 32-bit state, 16-bit renormalisation and a
//    lower bound of 2^16. The encoder runs backwards over the symbols'
//    (start, frequency) pairs; its output is the final state (u32) and then
//    16-bit words, in the order the decoder reads them. The decoder ends
//    exactly where the encoder started: the state 2^16 and every word read.
//    (Each symbol's model depends on the symbols before it, so a second
//    interleaved state measured no faster and cost 4 bytes a stream.)
//  * Raw bits are a separate stream, least significant bit first, the last
//    byte padded with zero bits.
// Readers never read outside their input: past its end they see zeros and
// remember that they overran.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VANTORESK_CDF_SSE2 1
#else
#define VANTORESK_CDF_SSE2 0
#endif

namespace vantoresk::lanes {

inline constexpr unsigned kCdfBits = 15;
inline constexpr std::uint32_t kCdfTotal = 1u << kCdfBits;
inline constexpr std::uint32_t kRansLow = 1u << 16;

template <unsigned N>
struct AdaptiveCdf {
    static_assert(N >= 2 && N <= 16);
    static constexpr unsigned kFinalRate = 8;

    // cdf[0] = 0; cdf[N] = 2^15 (stored as -2^15, read as unsigned) ends the
    // last symbol's interval without a special case
    alignas(16) std::array<std::int16_t, N + 1> cdf;
    std::uint8_t seen = 0;

    constexpr AdaptiveCdf() noexcept {
        for (unsigned i = 0; i < N; ++i) cdf[i] = static_cast<std::int16_t>(i * (kCdfTotal / N));
        cdf[N] = static_cast<std::int16_t>(-static_cast<int>(kCdfTotal));
    }

    // Starts from frequencies `freq` (each at least 1, summing to 2^15),
    // trusted as much as `weight` symbols seen (at most 127).
    constexpr AdaptiveCdf(const std::array<std::uint16_t, N>& freq, std::uint8_t weight) noexcept
        : cdf{}, seen(weight) {
        std::uint32_t c = 0;
        for (unsigned i = 0; i < N; ++i) {
            cdf[i] = static_cast<std::int16_t>(c);
            c += freq[i];
        }
        cdf[N] = static_cast<std::int16_t>(-static_cast<int>(kCdfTotal));
    }

    std::uint32_t start(unsigned s) const noexcept { return static_cast<std::uint16_t>(cdf[s]); }
    std::uint32_t end(unsigned s) const noexcept { return static_cast<std::uint16_t>(cdf[s + 1]); }

    // The symbol whose interval holds `slot` (< 2^15).
    unsigned find(std::uint32_t slot) const noexcept {
        unsigned n = 0;
        for (unsigned i = 1; i < N; ++i) n += static_cast<std::uint32_t>(static_cast<std::uint16_t>(cdf[i])) <= slot;
        return n;
    }

    void update(unsigned s) noexcept {
        const int rate = kRates[seen];
        if (seen < kRates.size() - 1) ++seen;
        for (unsigned i = 1; i < N; ++i) {
            const int target = static_cast<int>(i) + (i > s ? static_cast<int>(kCdfTotal - N) : 0);
            cdf[i] = static_cast<std::int16_t>(cdf[i] + ((target - cdf[i]) >> rate));
        }
    }

#if VANTORESK_CDF_SSE2
    // find and update on eight 16-bit lanes at a time (baseline x86-64);
    // the same results as the plain versions, bit for bit.
    unsigned find_sse2(std::uint32_t slot) const noexcept {
        static_assert(N == 8 || N == 16);
        const __m128i v = _mm_set1_epi16(static_cast<std::int16_t>(slot));
        __m128i above = _mm_cmpgt_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(cdf.data())), v);
        if constexpr (N == 16) {
            above = _mm_packs_epi16(
                above, _mm_cmpgt_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(cdf.data() + 8)), v));
        } else {
            above = _mm_packs_epi16(above, _mm_setzero_si128());
        }
        // A bit an entry, set where the entry lies above `slot`; the first
        // of them ends the symbol's interval (entry N, the total, always
        // does; cdf[0] = 0 never does).
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(above)) | (1u << N);
        return static_cast<unsigned>(__builtin_ctz(mask)) - 1;
    }

    void update_sse2(unsigned s) noexcept {
        static_assert(N == 8 || N == 16);
        const __m128i rate = _mm_cvtsi32_si128(kRates[seen]);
        if (seen < kRates.size() - 1) ++seen;
        const __m128i sym = _mm_set1_epi16(static_cast<std::int16_t>(s));
        const __m128i jump = _mm_set1_epi16(static_cast<std::int16_t>(kCdfTotal - N));
        for (unsigned h = 0; h < N; h += 8) {
            const __m128i idx = _mm_add_epi16(_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7),
                                              _mm_set1_epi16(static_cast<std::int16_t>(h)));
            const __m128i target = _mm_add_epi16(idx, _mm_and_si128(_mm_cmpgt_epi16(idx, sym), jump));
            auto* p = reinterpret_cast<__m128i*>(cdf.data() + h);
            const __m128i c = _mm_load_si128(p);
            _mm_store_si128(p, _mm_add_epi16(c, _mm_sra_epi16(_mm_sub_epi16(target, c), rate)));
        }
    }
#endif

private:
    static constexpr std::array<std::uint8_t, 255> kRates = [] {
        std::array<std::uint8_t, 255> r{};
        for (unsigned i = 0; i < 255; ++i) r[i] = static_cast<std::uint8_t>(std::min<unsigned>(std::bit_width(i + 1), kFinalRate));
        return r;
    }();
};

// One coded symbol: where its interval starts and how wide it is.
struct RansSymbol {
    std::uint16_t start;
    std::uint16_t freq;
};

// floor(x / f) for a frequency 1 <= f <= 2^15, without a division: the
// high half of x * m with m = floor((2^64 - 1) / f) + 1, which exceeds
// 2^64 / f by less than 1, so the product's excess over x / f stays below
// x / 2^64 < 2^-32 while the fraction of x / f is at most 1 - 2^-15: the
// floor is exact. The m of every frequency are worked out once a process
// (256 KiB; f = 1, which has none, leaves x as it is).
struct RansReciprocals {
    std::uint64_t m[kCdfTotal + 1];
    RansReciprocals() noexcept : m{} {
        for (std::uint32_t g = 2; g <= kCdfTotal; ++g) m[g] = ~std::uint64_t{0} / g + 1;
    }
};

inline std::uint32_t rans_quotient(std::uint32_t x, std::uint32_t f) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ using Wide = unsigned __int128;
    static const RansReciprocals reciprocal;  // built in place in static storage, once
    if (f <= 1) return x;
    return static_cast<std::uint32_t>((static_cast<Wide>(x) * reciprocal.m[f]) >> 64);
#else
    return x / f;  // no 128-bit products on this target
#endif
}

// Codes the symbols into `out` (appended): the final state, then the words.
// The encoder emits at most one word a symbol, last word first: they are
// written from the end of room for all of them, then moved behind the state.
inline void rans_encode(std::span<const RansSymbol> symbols, std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + 4 + 2 * symbols.size());
    std::uint8_t* const end = out.data() + out.size();
    std::uint8_t* w = end;
    std::uint32_t x = kRansLow;
    for (std::size_t i = symbols.size(); i-- > 0;) {
        const std::uint32_t f = symbols[i].freq;
        const std::uint32_t top = f << (32 - kCdfBits);  // ((kRansLow >> 15) << 16) * f
        if (x >= top) {
            w -= 2;
            w[0] = static_cast<std::uint8_t>(x);
            w[1] = static_cast<std::uint8_t>(x >> 8);
            x >>= 16;
        }
        const std::uint32_t q = rans_quotient(x, f);
        x = (q << kCdfBits) + (x - q * f) + symbols[i].start;
    }
    const auto words = static_cast<std::size_t>(end - w);
    std::uint8_t* const head = out.data() + at;
    for (int b = 0; b < 4; ++b) head[b] = static_cast<std::uint8_t>(x >> (8 * b));
    if (words) std::memmove(head + 4, w, words);
    out.resize(at + 4 + words);
}

class RansDecoder {
public:
    // False when `in` cannot be a stream (too short, odd length, a state
    // out of range).
    bool start(std::span<const std::uint8_t> in) noexcept {
        if (in.size() < 4 || in.size() % 2 != 0) return false;
        in_ = in;
        pos_ = 4;
        x_ = std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
        return x_ >= kRansLow;
    }

    template <bool Vector, unsigned N>
    unsigned decode(AdaptiveCdf<N>& m) noexcept {
        std::uint32_t& s = x_;
        const std::uint32_t slot = s & (kCdfTotal - 1);
        unsigned sym;
#if VANTORESK_CDF_SSE2
        if constexpr (Vector) {
            sym = m.find_sse2(slot);
        } else {
            sym = m.find(slot);
        }
#else
        sym = m.find(slot);
#endif
        const std::uint32_t lo = m.start(sym), hi = m.end(sym);
        s = (hi - lo) * (s >> kCdfBits) + slot - lo;
        // Renormalising is a coin toss for the branch predictor: the next
        // word is read either way (within the input) and taken or not
        // without a branch.
        std::uint32_t w = 0;
        if (pos_ + 2 <= in_.size()) [[likely]] {
            w = std::uint32_t{in_[pos_]} | std::uint32_t{in_[pos_ + 1]} << 8;
        }
        const std::uint32_t more = s < kRansLow;
        s = (s << (more << 4)) | (w & (0u - more));
        pos_ += more << 1;
#if VANTORESK_CDF_SSE2
        if constexpr (Vector) {
            m.update_sse2(sym);
        } else {
            m.update(sym);
        }
#else
        m.update(sym);
#endif
        return sym;
    }

    bool overran() const noexcept { return pos_ > in_.size(); }
    // Every word read, none beyond, and the state back where the encoder
    // started it.
    bool ended_exactly() const noexcept { return pos_ == in_.size() && x_ == kRansLow; }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    std::uint32_t x_ = 0;
};

class BitWriter {
public:
    // The low `count` bits of `value` (count <= 56).
    void put(std::uint64_t value, unsigned count) {
        if (count == 0) return;
        acc_ |= (value & ((std::uint64_t{1} << count) - 1)) << used_;
        used_ += count;
        while (used_ >= 8) {
            bytes_.push_back(static_cast<std::uint8_t>(acc_));
            acc_ >>= 8;
            used_ -= 8;
        }
    }
    // The bytes written, the last one padded with zero bits.
    std::vector<std::uint8_t>& finish() {
        if (used_ > 0) bytes_.push_back(static_cast<std::uint8_t>(acc_));
        acc_ = 0;
        used_ = 0;
        return bytes_;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t acc_ = 0;
    unsigned used_ = 0;
};

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> in) noexcept : in_(in) {}

    // The next `count` bits (count <= 56).
    std::uint64_t get(unsigned count) noexcept {
        if (used_ < count) refill();
        const std::uint64_t v = count == 0 ? 0 : acc_ & ((std::uint64_t{1} << count) - 1);
        acc_ >>= count;
        used_ -= count;
        return v;
    }

    // Have bits beyond the input been used?
    bool overran() const noexcept { return phantom_ > used_; }
    // Every byte read and the padding bits of the last one zero.
    bool ended_exactly() const noexcept {
        return !overran() && pos_ == in_.size() && used_ - phantom_ < 8 && acc_ == 0;
    }

private:
    void refill() noexcept {
        if (pos_ + 8 <= in_.size() && used_ <= 8) {
            std::uint64_t w = 0;
            for (int b = 0; b < 8; ++b) w |= std::uint64_t{in_[pos_ + b]} << (8 * b);
            const unsigned take = (64 - used_) / 8;
            acc_ |= (take == 8 ? w : w & ((std::uint64_t{1} << (8 * take)) - 1)) << used_;
            pos_ += take;
            used_ += 8 * take;
            return;
        }
        while (used_ <= 56) {
            if (pos_ < in_.size()) {
                acc_ |= std::uint64_t{in_[pos_++]} << used_;
            } else {
                phantom_ += 8;  // zero bits beyond the end, always the top ones
            }
            used_ += 8;
        }
    }

    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    std::uint64_t acc_ = 0;
    unsigned used_ = 0;
    std::uint64_t phantom_ = 0;
};

}  // namespace vantoresk::lanes
