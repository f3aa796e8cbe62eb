#include "core/arans/plane_decoder.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "core/arans/model.hpp"
#include "support/cpu_dispatch.hpp"
#include "support/fallible.hpp"

namespace vantoresk::arans {

namespace {

// The model table as this decoder keeps it (private to one call, so any
// layout that gives the same probabilities will do): node and row numbers
// are stored with their path bits complemented.
//  * A node of depth k (2^k + path) lives at 2^k + (~path & (2^k - 1)): the
//    child for bit 0 of entry c is 2c + 1, for bit 1 it is 2c. The walk then
//    advances by c = 2c + (bit == 0), which x86 does in one add-with-carry
//    straight from the comparison slot < p (its carry is "bit is 0").
//  * The row of the byte after `prev` is (~prev & 0xFF) >> (8 - context_bits),
//    which is (c & 0xFF) >> (8 - context_bits) for the c a byte ends on.
// Every entry starts at 2048, so the complemented numbering needs no
// translation at the start; the bytes decoded are the low 8 bits of ~c.
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
    std::uint16_t* row = nullptr;                  // row of the next byte
    std::uint32_t first_p = model::kInitialProb;  // its entry of node 1
    unsigned row_shift = 0;                        // 8 - context_bits

    // Bytes the unchecked path may decode from here: each takes at most 16
    // coded bytes from a normalised state. A damaged plane can start from a
    // state below 2^16 (even 0), and then one decision can need more than
    // one word, so it is not run until the state is normalised; once it is,
    // it stays so.
    std::size_t unchecked_bytes() const noexcept {
        if (x < model::kStateLow) return 0;
        return static_cast<std::size_t>((end - pos) / kMaxBytesPerByte);
    }

    std::uint16_t* row_of(std::size_t c) const noexcept {
        return table + (static_cast<std::size_t>((static_cast<unsigned>(c) & 0xFFu) >> row_shift) << 8);
    }
};

// Position inside one byte's decision tree.
struct Walk {
    std::uint16_t* row;
    std::size_t c;  // complemented node (see the layout above)
    std::size_t p;  // entry at row[c]
};

// The selects that sit on the state's path, all keyed on slot < p (the bit
// is 0): the next state, the next decision's entry and the adapted entry
// (both candidates of each are at hand before the comparison); then the
// store of the adapted entry and the walk c = 2c + (bit == 0). Left to itself
// GCC turns the selects into a branch on the bit (duplicating the rest of the
// decision on both sides), which mispredicts about every other time on busy
// data; mask arithmetic costs extra steps on the path. Conditional moves cost
// one step, and the carry of the comparison is the walk's next bit (moves
// keep it for the adc). kCmov selects the x86-64 inline assembly; the plain
// C++ form is the portable variant (same bits, whatever the compiler makes of
// it).
template <bool kCmov>
inline void select_by_bit(std::uint32_t slot, std::size_t p, std::uint32_t& x, std::uint32_t x_if_one,
                          std::size_t& next, std::size_t next_if_one, std::uint16_t& entry, std::size_t& c) noexcept {
#if VANTORESK_SIMD_X86
    if constexpr (kCmov) {
        std::size_t a = kAdapted[2 * p];
        const std::size_t a1 = kAdapted[2 * p + 1];
        asm("cmpl %k[p], %[slot]\n\t"
            "cmovael %[x1], %[x]\n\t"
            "cmovaeq %[n1], %[n]\n\t"
            "cmovaeq %[a1], %[a]\n\t"
            "movw %w[a], %[e]\n\t"
            "adcq %[c], %[c]"
            : [x] "+r"(x), [n] "+r"(next), [c] "+r"(c), [a] "+r"(a), [e] "=m"(entry)
            : [slot] "r"(slot), [p] "r"(p), [x1] "r"(x_if_one), [n1] "r"(next_if_one), [a1] "r"(a1)
            : "cc");
        return;
    }
#endif
    const std::size_t zero = slot < p ? 1 : 0;
    entry = kAdapted[2 * p + 1 - zero];
    x = zero ? x : x_if_one;
    next = zero ? next : next_if_one;
    c = 2 * c + zero;
}

// One decision, in one of two shapes chosen per plane (see `predictable`).
// The state is the critical path: x -> x >> 12 -> multiply -> add -> select.
//  * Both successors' entries are loaded before the bit is known (the
//    children of this node, or on the eighth decision node 1 of the rows the
//    next byte can use) and the bit picks one afterwards.
//  * The state after the decision is computed for both bits from one
//    product: with x = 4096 q + slot,
//        bit 0: p q + slot,     bit 1: (4096 - p) q + slot - p = x - p q - p.
//  * kPredictable: the bit picks by branching. On planes that code to a
//    fraction of a bit per decision the branch is nearly always predicted and
//    the comparison drops off the path altogether.
//  * otherwise: conditional moves for the state and the next entry; a
//    branch there would mispredict about every other decision of busy data.
//  * On the eighth decision the walk also moves to the next byte's row. With
//    fewer than 8 context bits (kWide false) the last bit does not reach the
//    context, so that row is known before the bit and there is one entry to
//    load; with 8 (kWide) the two candidates are rows 2c & 0xFF and its
//    neighbour, and the row follows from c once the bit is known.
// The adaptation store never aliases the successors loaded: they are other
// nodes (children) or node 1, which this byte updated at its first decision.
template <bool kChecked, bool kLast, bool kWide, bool kPredictable, bool kCmov>
inline bool decide(DecodeLane& lane, Walk& walk) {
    std::size_t next0;
    std::size_t next1;
    std::uint16_t* next_row = nullptr;
    if constexpr (!kLast) {
        next0 = walk.row[2 * walk.c + 1];
        next1 = walk.row[2 * walk.c];
    } else if constexpr (kWide) {
        const std::uint16_t* const pair = lane.table + ((walk.c & 0x7Fu) << 9);  // rows 2c & 0xFF and 2c + 1
        next0 = pair[model::kRowSize + 1];
        next1 = pair[1];
    } else {
        next_row = lane.row_of(2 * walk.c);
        next0 = next1 = next_row[1];
    }
    const std::size_t p = walk.p;
    const std::uint32_t x = lane.x;
    const std::uint32_t slot = x & (model::kProbScale - 1);
    const std::uint32_t pq = static_cast<std::uint32_t>(p) * (x >> model::kProbBits);
    std::uint32_t xn = pq + slot;
    const std::uint32_t x_if_one = x - pq - static_cast<std::uint32_t>(p);
    if constexpr (kPredictable) {
        if (slot >= p) {
            walk.row[walk.c] = kAdapted[2 * p + 1];
            walk.c = 2 * walk.c;
            xn = x_if_one;
            next0 = next1;
        } else {
            walk.row[walk.c] = kAdapted[2 * p];
            walk.c = 2 * walk.c + 1;
        }
    } else {
        // Locals for the selects: a struct member bound to an asm operand
        // keeps GCC from holding the walk in registers.
        std::size_t c = walk.c;
        select_by_bit<kCmov>(slot, p, xn, x_if_one, next0, next1, walk.row[c], c);
        walk.c = c;
    }
    walk.p = next0;
    if constexpr (kLast) walk.row = kWide ? lane.table + ((walk.c & 0xFFu) << 8) : next_row;
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

inline Walk begin_byte(const DecodeLane& lane) { return Walk{lane.row, 1u, lane.first_p}; }

// Stores the next byte's row and entry; returns the byte decoded.
inline std::uint8_t end_byte(DecodeLane& lane, const Walk& walk) {
    lane.row = walk.row;
    lane.first_p = static_cast<std::uint32_t>(walk.p);
    return static_cast<std::uint8_t>(~walk.c);
}

template <bool kChecked, bool kWide, bool kPredictable, bool kCmov>
inline bool decode_byte(DecodeLane& lane, std::uint8_t& byte) {
    Walk walk = begin_byte(lane);
#pragma GCC unroll 7
    for (int k = 0; k < 7; ++k) {
        if (!decide<kChecked, false, kWide, kPredictable, kCmov>(lane, walk)) return false;
    }
    if (!decide<kChecked, true, kWide, kPredictable, kCmov>(lane, walk)) return false;
    byte = end_byte(lane, walk);
    return true;
}

template <bool kChecked, bool kWide, bool kPredictableA, bool kPredictableB, bool kCmov>
inline bool decode_byte_pair(DecodeLane& a, DecodeLane& b, std::uint8_t* bytes) {
    Walk wa = begin_byte(a);
    Walk wb = begin_byte(b);
#pragma GCC unroll 7
    for (int k = 0; k < 7; ++k) {
        if (!decide<kChecked, false, kWide, kPredictableA, kCmov>(a, wa)) return false;
        if (!decide<kChecked, false, kWide, kPredictableB, kCmov>(b, wb)) return false;
    }
    if (!decide<kChecked, true, kWide, kPredictableA, kCmov>(a, wa)) return false;
    if (!decide<kChecked, true, kWide, kPredictableB, kCmov>(b, wb)) return false;
    bytes[0] = end_byte(a, wa);
    bytes[1] = end_byte(b, wb);
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

template <bool kWide, bool kPredictable, bool kCmov>
bool run_plane(DecodeLane lane, std::uint64_t count, std::vector<std::uint8_t>& out) {
    std::array<std::uint8_t, kStageBytes> stage;
    std::uint64_t remaining = count;
    while (remaining != 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kStageBytes));
        for (std::size_t i = 0; i < chunk;) {
            const std::size_t run = std::min(chunk - i, lane.unchecked_bytes());
            for (const std::size_t stop = i + run; i < stop; ++i) {
                decode_byte<false, kWide, kPredictable, kCmov>(lane, stage[i]);
            }
            if (run == 0) {
                if (!decode_byte<true, kWide, kPredictable, kCmov>(lane, stage[i])) return false;
                ++i;
            }
        }
        out.insert(out.end(), stage.begin(), stage.begin() + static_cast<std::ptrdiff_t>(chunk));
        remaining -= chunk;
    }
    return true;
}

template <bool kWide, bool kPredictableA, bool kPredictableB, bool kCmov>
bool run_pair(DecodeLane a, DecodeLane b, std::uint64_t count, const PairSink& out) {
    std::array<std::uint8_t, kStageBytes> stage;
    std::uint64_t remaining = count;
    while (remaining != 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kStageBytes / 2));
        for (std::size_t i = 0; i < chunk;) {
            const std::size_t run = std::min({chunk - i, a.unchecked_bytes(), b.unchecked_bytes()});
            for (const std::size_t stop = i + run; i < stop; ++i) {
                decode_byte_pair<false, kWide, kPredictableA, kPredictableB, kCmov>(a, b, &stage[2 * i]);
            }
            if (run == 0) {
                if (!decode_byte_pair<true, kWide, kPredictableA, kPredictableB, kCmov>(a, b, &stage[2 * i])) {
                    return false;
                }
                ++i;
            }
        }
        out(stage.data(), 2 * chunk);
        remaining -= chunk;
    }
    return true;
}

// One plane, in the shape its coded size asks for; `wide`: 8 context bits.
template <bool kCmov>
bool run_plane_shaped(DecodeLane lane, std::uint64_t count, std::vector<std::uint8_t>& out, bool wide,
                      bool predictable_plane) {
    if (wide) {
        return predictable_plane ? run_plane<true, true, kCmov>(lane, count, out)
                                 : run_plane<true, false, kCmov>(lane, count, out);
    }
    return predictable_plane ? run_plane<false, true, kCmov>(lane, count, out)
                             : run_plane<false, false, kCmov>(lane, count, out);
}

// Two planes, each in the shape its coded size asks for.
template <bool kCmov, bool kWide>
bool run_pair_in_shapes(DecodeLane a, DecodeLane b, std::uint64_t count, const PairSink& out, bool pa, bool pb) {
    if (pa) {
        return pb ? run_pair<kWide, true, true, kCmov>(a, b, count, out)
                  : run_pair<kWide, true, false, kCmov>(a, b, count, out);
    }
    return pb ? run_pair<kWide, false, true, kCmov>(a, b, count, out)
              : run_pair<kWide, false, false, kCmov>(a, b, count, out);
}

template <bool kCmov>
bool run_pair_shaped(DecodeLane a, DecodeLane b, std::uint64_t count, const PairSink& out, bool wide, bool pa,
                     bool pb) {
    return wide ? run_pair_in_shapes<kCmov, true>(a, b, count, out, pa, pb)
                : run_pair_in_shapes<kCmov, false>(a, b, count, out, pa, pb);
}

using PlaneRunner = bool (*)(DecodeLane, std::uint64_t, std::vector<std::uint8_t>&, bool, bool);
using PairRunner = bool (*)(DecodeLane, DecodeLane, std::uint64_t, const PairSink&, bool, bool, bool);

// The runners built for `isa`; the portable ones for any other request.
constexpr bool kHaveCmov = VANTORESK_SIMD_X86;

PlaneRunner plane_runner(simd::Isa isa) noexcept {
    return kHaveCmov && isa == simd::Isa::X86Cmov ? &run_plane_shaped<true> : &run_plane_shaped<false>;
}

PairRunner pair_runner(simd::Isa isa) noexcept {
    return kHaveCmov && isa == simd::Isa::X86Cmov ? &run_pair_shaped<true> : &run_pair_shaped<false>;
}

PlaneRunner choose_plane_runner() noexcept { return plane_runner(simd::best_of({simd::Isa::X86Cmov})); }
PairRunner choose_pair_runner() noexcept { return pair_runner(simd::best_of({simd::Isa::X86Cmov})); }

using DispatchedPlane = simd::Dispatched<PlaneRunner, &choose_plane_runner>;
using DispatchedPair = simd::Dispatched<PairRunner, &choose_pair_runner>;

// Sets up a lane on a coded slice; false if the slice cannot hold the state.
bool open_lane(DecodeLane& lane, std::span<const std::uint8_t> coded, std::uint16_t* table, unsigned context_bits) {
    if (coded.size() < 4) return false;
    const std::uint8_t* const p = coded.data();
    lane.x = load_word(p) | load_word(p + 2) << 16;
    lane.pos = p + 4;
    lane.end = p + coded.size();
    lane.table = table;
    lane.row_shift = model::kBitsPerByte - context_bits;
    lane.row = lane.row_of(0xFF);  // the row after a 0 byte
    lane.first_p = model::kInitialProb;
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
    const bool wide = context_bits == model::kBitsPerByte;
    const bool ok = DispatchedPlane::call(lane, count, out, wide, predictable(coded, count, kPredictableAlone));
    if (!ok) return Err<AransError>{AransError::Truncated};
    return out;
}

namespace {

support::Result<void, AransError> decode_pair_with(PairRunner run, std::span<const std::uint8_t> coded_a,
                                                   std::span<const std::uint8_t> coded_b, std::uint64_t count,
                                                   unsigned context_bits, const PairSink& out) {
    if (count == 0) return {};
    if (context_bits > model::kMaxContextBits) return Err<AransError>{AransError::InvalidLength};
    std::vector<std::uint16_t> tables;
    DecodeLane a;
    DecodeLane b;
    if (coded_a.size() < 4 || coded_b.size() < 4) return Err<AransError>{AransError::Truncated};
    if (!make_tables(tables, 2, context_bits)) return Err<AransError>{AransError::InvalidLength};
    (void)open_lane(a, coded_a, tables.data(), context_bits);
    (void)open_lane(b, coded_b, tables.data() + model::table_size(context_bits), context_bits);

    const bool pa = predictable(coded_a, count, kPredictableInPair);
    const bool pb = predictable(coded_b, count, kPredictableInPair);
    const bool wide = context_bits == model::kBitsPerByte;
    if (!run(a, b, count, out, wide, pa, pb)) return Err<AransError>{AransError::Truncated};
    return {};
}

}  // namespace

support::Result<void, AransError> decode_plane_pair(std::span<const std::uint8_t> coded_a,
                                                     std::span<const std::uint8_t> coded_b, std::uint64_t count,
                                                     unsigned context_bits, const PairSink& out) {
    return decode_pair_with(&DispatchedPair::call, coded_a, coded_b, count, context_bits, out);
}

support::Result<void, AransError> decode_plane_pair_pinned(simd::Isa isa, std::span<const std::uint8_t> coded_a,
                                                           std::span<const std::uint8_t> coded_b,
                                                           std::uint64_t count, unsigned context_bits,
                                                           const PairSink& out) {
    return decode_pair_with(pair_runner(simd::hardware_has(isa) ? isa : simd::Isa::Portable), coded_a, coded_b,
                            count, context_bits, out);
}

}  // namespace vantoresk::arans
