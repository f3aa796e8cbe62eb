#include "core/arans/plane_decoder.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "core/arans/model.hpp"
#include "support/fallible.hpp"

namespace vantoresk::arans {

namespace {

alignas(64) constexpr model::AdaptTable kAdapted = model::make_adapt_table();

using support::Err;

// Coded bytes one plane byte can consume at most from a normalised state:
// one word per decision.
constexpr std::ptrdiff_t kMaxBytesPerByte = 2 * model::kBitsPerByte;
constexpr std::size_t kStageBytes = 4096;

inline std::uint32_t load_word(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

struct DecodeLane {
    std::uint32_t x = 0;
    const std::uint8_t* pos = nullptr;
    const std::uint8_t* end = nullptr;
    std::uint16_t* table = nullptr;
    unsigned prev = 0;
    std::uint32_t first_p = model::kInitialProb;  // entry of node 1 for the next byte

    std::size_t odd_row_step = 0;  // row distance between a byte and byte | 1: 256 with 8 context bits, else 0

    // Bytes the unchecked path may decode from here: each takes at most 16
    // coded bytes from a normalised state. A damaged plane can start from a
    // state below 2^16 (even 0), and then one decision can need more than
    // one word, so it is not run until the state is normalised; once it is,
    // it stays so.
    std::size_t unchecked_bytes() const noexcept {
        if (x < model::kStateLow) return 0;
        return static_cast<std::size_t>((end - pos) / kMaxBytesPerByte);
    }
};

// Position inside one byte's decision tree.
struct Walk {
    std::uint16_t* row;
    std::size_t node;  // pointer-sized, so that row[2 * node] folds into one address
    std::uint32_t p;  // entry at row[node]
};

// The selects that sit on the state's path, all keyed on slot >= p: the
// next state, the next decision's entry, and the bit itself. Left to itself
// GCC turns them into a branch on the bit (duplicating the rest of the
// decision on both sides), which mispredicts about every other time on busy
// data; mask arithmetic costs extra steps on the path. Conditional moves cost
// one step. Returns the bit.
inline std::uint32_t select_by_bit(std::uint32_t slot, std::uint32_t p, std::uint32_t& x, std::uint32_t x_if_one,
                                   std::uint32_t& next, std::uint32_t next_if_one) noexcept {
#if defined(__GNUC__) && defined(__x86_64__) && !defined(VANTORESK_NO_INLINE_ASM)
    std::uint32_t bit;
    asm("xorl %k[bit], %k[bit]\n\t"
        "cmpl %[p], %[slot]\n\t"
        "setae %b[bit]\n\t"
        "cmovael %[x1], %[x]\n\t"
        "cmovael %[n1], %[n]"
        : [x] "+r"(x), [n] "+r"(next), [bit] "=&q"(bit)
        : [slot] "r"(slot), [p] "r"(p), [x1] "r"(x_if_one), [n1] "r"(next_if_one)
        : "cc");
    return bit;
#else
    if (slot >= p) {
        x = x_if_one;
        next = next_if_one;
        return 1;
    }
    return 0;
#endif
}

// One decision, in one of two shapes chosen per plane (see PlaneShape).
// The state is the critical path: x -> x >> 12 -> multiply -> add -> select.
//  * Both successors' entries are loaded before the bit is known (the
//    children of this node, or on the eighth decision node 1 of the two rows
//    the next byte can use) and the bit picks one afterwards.
//  * The state after the decision is computed for both bits from one
//    product: with x = 4096 q + slot,
//        bit 0: p q + slot,     bit 1: (4096 - p) q + slot - p = x - p q - p.
//  * kPredictable: the bit picks by branching. On planes that code to a
//    fraction of a bit per decision the branch is nearly always predicted and
//    the comparison drops off the path altogether.
//  * otherwise: conditional moves for the state, the next entry and the
//    bit; a branch there would mispredict about every other decision of
//    busy data.
// The adaptation store never aliases the successors loaded: they are other
// nodes (children) or node 1, which this byte updated at its first decision.
template <bool kChecked, bool kLast, bool kPredictable>
inline bool decide(DecodeLane& lane, Walk& walk, unsigned context_bits) {
    std::uint32_t next0;
    std::uint32_t next1;
    if constexpr (!kLast) {
        next0 = walk.row[2 * walk.node];
        next1 = walk.row[2 * walk.node + 1];
    } else {
        const auto byte0 = static_cast<unsigned>(2 * walk.node) & 0xFFu;
        const std::uint16_t* const row0 = lane.table + model::row_offset(byte0, context_bits);
        next0 = row0[1];
        next1 = row0[lane.odd_row_step + 1];
    }
    const std::uint32_t p = walk.p;
    const std::uint32_t x = lane.x;
    const std::uint32_t slot = x & (model::kProbScale - 1);
    const std::uint32_t pq = p * (x >> model::kProbBits);
    std::uint32_t xn;
    if constexpr (kPredictable) {
        if (slot >= p) {
            xn = x - pq - p;
            walk.row[walk.node] = kAdapted[2 * p + 1];
            walk.node = 2 * walk.node + 1;
            walk.p = next1;
        } else {
            xn = pq + slot;
            walk.row[walk.node] = kAdapted[2 * p];
            walk.node = 2 * walk.node;
            walk.p = next0;
        }
    } else {
        std::uint32_t pn = next0;
        xn = pq + slot;
        const std::uint32_t bit = select_by_bit(slot, p, xn, x - pq - p, pn, next1);
        walk.row[walk.node] = kAdapted[2 * p + bit];
        walk.node = 2 * walk.node + bit;
        walk.p = pn;
    }
    // Renormalisation is rare (one decision in 16 per bit of information),
    // so a predicted branch beats a branch-free select here.
    if constexpr (kChecked) {
        while (xn < model::kStateLow) {
            if (lane.end - lane.pos < 2) return false;
            xn = (xn << model::kWordBits) | load_word(lane.pos);
            lane.pos += 2;
        }
    } else if (xn < model::kStateLow) {
        xn = (xn << model::kWordBits) | load_word(lane.pos);
        lane.pos += 2;
    }
    lane.x = xn;
    return true;
}

inline Walk begin_byte(const DecodeLane& lane, unsigned context_bits) {
    return Walk{lane.table + model::row_offset(lane.prev, context_bits), 1u, lane.first_p};
}

inline void end_byte(DecodeLane& lane, const Walk& walk) {
    lane.prev = static_cast<unsigned>(walk.node) & 0xFFu;
    lane.first_p = walk.p;
}

template <bool kChecked, bool kPredictable>
inline bool decode_byte(DecodeLane& lane, unsigned context_bits) {
    Walk walk = begin_byte(lane, context_bits);
#pragma GCC unroll 7
    for (int k = 0; k < 7; ++k) {
        if (!decide<kChecked, false, kPredictable>(lane, walk, context_bits)) return false;
    }
    if (!decide<kChecked, true, kPredictable>(lane, walk, context_bits)) return false;
    end_byte(lane, walk);
    return true;
}

template <bool kChecked, bool kPredictableA, bool kPredictableB>
inline bool decode_byte_pair(DecodeLane& a, DecodeLane& b, unsigned context_bits) {
    Walk wa = begin_byte(a, context_bits);
    Walk wb = begin_byte(b, context_bits);
#pragma GCC unroll 7
    for (int k = 0; k < 7; ++k) {
        if (!decide<kChecked, false, kPredictableA>(a, wa, context_bits)) return false;
        if (!decide<kChecked, false, kPredictableB>(b, wb, context_bits)) return false;
    }
    if (!decide<kChecked, true, kPredictableA>(a, wa, context_bits)) return false;
    if (!decide<kChecked, true, kPredictableB>(b, wb, context_bits)) return false;
    end_byte(a, wa);
    end_byte(b, wb);
    return true;
}

// Which decision shape suits a plane, judged from its coded size: below
// `max_bits` coded bits per plane byte the bits are predictable enough for
// branches. Either shape gives the same bytes. Measured: a plane decoded
// alone profits from branches up to about 4 bits per byte; in a pair, where
// a misprediction also stalls the other plane, only below about 1 bit.
inline bool predictable(std::span<const std::uint8_t> coded, std::uint64_t count, unsigned max_bits) noexcept {
    return coded.size() < count * max_bits / 8;
}

constexpr unsigned kPredictableAlone = 4;
constexpr unsigned kPredictableInPair = 1;

template <bool kPredictable>
bool run_plane(DecodeLane lane, std::uint64_t count, unsigned context_bits, std::vector<std::uint8_t>& out) {
    std::array<std::uint8_t, kStageBytes> stage;
    std::uint64_t remaining = count;
    while (remaining != 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kStageBytes));
        for (std::size_t i = 0; i < chunk;) {
            const std::size_t run = std::min(chunk - i, lane.unchecked_bytes());
            for (const std::size_t stop = i + run; i < stop; ++i) {
                decode_byte<false, kPredictable>(lane, context_bits);
                stage[i] = static_cast<std::uint8_t>(lane.prev);
            }
            if (run == 0) {
                if (!decode_byte<true, kPredictable>(lane, context_bits)) return false;
                stage[i++] = static_cast<std::uint8_t>(lane.prev);
            }
        }
        out.insert(out.end(), stage.begin(), stage.begin() + static_cast<std::ptrdiff_t>(chunk));
        remaining -= chunk;
    }
    return true;
}

template <bool kPredictableA, bool kPredictableB>
bool run_pair(DecodeLane a, DecodeLane b, std::uint64_t count, unsigned context_bits, const PairSink& out) {
    std::array<std::uint8_t, kStageBytes> stage;
    std::uint64_t remaining = count;
    while (remaining != 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kStageBytes / 2));
        for (std::size_t i = 0; i < chunk;) {
            const std::size_t run = std::min({chunk - i, a.unchecked_bytes(), b.unchecked_bytes()});
            for (const std::size_t stop = i + run; i < stop; ++i) {
                decode_byte_pair<false, kPredictableA, kPredictableB>(a, b, context_bits);
                stage[2 * i] = static_cast<std::uint8_t>(a.prev);
                stage[2 * i + 1] = static_cast<std::uint8_t>(b.prev);
            }
            if (run == 0) {
                if (!decode_byte_pair<true, kPredictableA, kPredictableB>(a, b, context_bits)) return false;
                stage[2 * i] = static_cast<std::uint8_t>(a.prev);
                stage[2 * i + 1] = static_cast<std::uint8_t>(b.prev);
                ++i;
            }
        }
        out(stage.data(), 2 * chunk);
        remaining -= chunk;
    }
    return true;
}

// Sets up a lane on a coded slice; false if the slice cannot hold the state.
bool open_lane(DecodeLane& lane, std::span<const std::uint8_t> coded, std::uint16_t* table, unsigned context_bits) {
    if (coded.size() < 4) return false;
    const std::uint8_t* const p = coded.data();
    lane.x = load_word(p) | load_word(p + 2) << 16;
    lane.pos = p + 4;
    lane.end = p + coded.size();
    lane.table = table;
    lane.prev = 0;
    lane.first_p = model::kInitialProb;
    lane.odd_row_step = model::row_offset(1, context_bits);
    return true;
}

// The model tables of `lanes` planes, each filled with the initial entry.
bool make_tables(std::vector<std::uint16_t>& tables, std::size_t lanes, unsigned context_bits) {
    if (!support::try_resize(tables, lanes * model::table_size(context_bits))) return false;
    std::fill(tables.begin(), tables.end(), model::kInitialProb);
    return true;
}

}  // namespace

AResult<std::vector<std::uint8_t>> decode_plane(std::span<const std::uint8_t> coded, std::uint64_t count,
                                                unsigned context_bits) {
    std::vector<std::uint8_t> out;
    if (count == 0) return out;
    if (context_bits > model::kMaxContextBits) return Err<AransError>{AransError::InvalidLength};
    if (coded.size() < 4) return Err<AransError>{AransError::Truncated};
    if (count > SIZE_MAX || !support::try_reserve(out, static_cast<std::size_t>(count))) {
        return Err<AransError>{AransError::InvalidLength};
    }
    std::vector<std::uint16_t> tables;
    if (!make_tables(tables, 1, context_bits)) return Err<AransError>{AransError::InvalidLength};
    DecodeLane lane;
    (void)open_lane(lane, coded, tables.data(), context_bits);
    const bool ok = predictable(coded, count, kPredictableAlone) ? run_plane<true>(lane, count, context_bits, out)
                                              : run_plane<false>(lane, count, context_bits, out);
    if (!ok) return Err<AransError>{AransError::Truncated};
    return out;
}

support::Result<void, AransError> decode_plane_pair(std::span<const std::uint8_t> coded_a,
                                                     std::span<const std::uint8_t> coded_b, std::uint64_t count,
                                                     unsigned context_bits, const PairSink& out) {
    if (count == 0) return {};
    std::vector<std::uint16_t> tables;
    DecodeLane a;
    DecodeLane b;
    if (coded_a.size() < 4 || coded_b.size() < 4) return Err<AransError>{AransError::Truncated};
    if (!make_tables(tables, 2, context_bits)) return Err<AransError>{AransError::InvalidLength};
    (void)open_lane(a, coded_a, tables.data(), context_bits);
    (void)open_lane(b, coded_b, tables.data() + model::table_size(context_bits), context_bits);

    const bool pa = predictable(coded_a, count, kPredictableInPair);
    const bool pb = predictable(coded_b, count, kPredictableInPair);
    bool ok;
    if (pa) {
        ok = pb ? run_pair<true, true>(a, b, count, context_bits, out) : run_pair<true, false>(a, b, count, context_bits, out);
    } else {
        ok = pb ? run_pair<false, true>(a, b, count, context_bits, out) : run_pair<false, false>(a, b, count, context_bits, out);
    }
    if (!ok) return Err<AransError>{AransError::Truncated};
    return {};
}

}  // namespace vantoresk::arans
