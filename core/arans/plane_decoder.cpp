#include "core/arans/plane_decoder.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "core/arans/model.hpp"
#include "support/fallible.hpp"

namespace vantoresk::arans {

namespace {

using support::Err;

// Coded bytes one plane byte can consume at most: one word per decision.
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

    bool roomy() const noexcept { return end - pos >= kMaxBytesPerByte; }
};

// Position inside one byte's decision tree.
struct Walk {
    std::uint16_t* row;
    std::uint32_t node;
    std::uint32_t p;  // entry at row[node]
};

template <bool kChecked, bool kLast>
inline bool decide(DecodeLane& lane, Walk& walk) {
    std::uint32_t p0 = 0;
    std::uint32_t p1 = 0;
    if constexpr (!kLast) {
        p0 = walk.row[2 * walk.node];
        p1 = walk.row[2 * walk.node + 1];
    }
    const std::uint32_t p = walk.p;
    const std::uint32_t slot = lane.x & (model::kProbScale - 1);
    const std::uint32_t bit = slot >= p ? 1u : 0u;
    const std::uint32_t freq = bit != 0 ? model::kProbScale - p : p;
    const std::uint32_t start = bit != 0 ? p : 0u;
    std::uint32_t x = freq * (lane.x >> model::kProbBits) + slot - start;
    if constexpr (kChecked) {
        if (x < model::kStateLow) {
            if (lane.end - lane.pos < 2) return false;
            x = (x << model::kWordBits) | load_word(lane.pos);
            lane.pos += 2;
        }
    } else {
        // At most one word is ever needed (see model.hpp).
        const std::uint32_t word = load_word(lane.pos);
        const bool need = x < model::kStateLow;
        x = need ? (x << model::kWordBits) | word : x;
        lane.pos += need ? 2 : 0;
    }
    lane.x = x;
    walk.row[walk.node] = static_cast<std::uint16_t>(model::adapt(p, bit));
    walk.node = 2 * walk.node + bit;
    if constexpr (!kLast) walk.p = bit != 0 ? p1 : p0;
    return true;
}

inline Walk begin_byte(const DecodeLane& lane, unsigned context_bits) {
    std::uint16_t* const row = lane.table + model::row_offset(lane.prev, context_bits);
    return Walk{row, 1u, row[1]};
}

template <bool kChecked>
inline bool decode_byte(DecodeLane& lane, unsigned context_bits) {
    Walk walk = begin_byte(lane, context_bits);
#pragma GCC unroll 7
    for (int k = 0; k < 7; ++k) {
        if (!decide<kChecked, false>(lane, walk)) return false;
    }
    if (!decide<kChecked, true>(lane, walk)) return false;
    lane.prev = walk.node & 0xFFu;
    return true;
}

template <bool kChecked>
inline bool decode_byte_pair(DecodeLane& a, DecodeLane& b, unsigned context_bits) {
    Walk wa = begin_byte(a, context_bits);
    Walk wb = begin_byte(b, context_bits);
#pragma GCC unroll 7
    for (int k = 0; k < 7; ++k) {
        if (!decide<kChecked, false>(a, wa)) return false;
        if (!decide<kChecked, false>(b, wb)) return false;
    }
    if (!decide<kChecked, true>(a, wa)) return false;
    if (!decide<kChecked, true>(b, wb)) return false;
    a.prev = wa.node & 0xFFu;
    b.prev = wb.node & 0xFFu;
    return true;
}

// Sets up a lane on a coded slice; false if the slice cannot hold the state.
bool open_lane(DecodeLane& lane, std::span<const std::uint8_t> coded, std::uint16_t* table) {
    if (coded.size() < 4) return false;
    const std::uint8_t* const p = coded.data();
    lane.x = load_word(p) | load_word(p + 2) << 16;
    lane.pos = p + 4;
    lane.end = p + coded.size();
    lane.table = table;
    lane.prev = 0;
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
    if (coded.size() < 4) return Err<AransError>{AransError::Truncated};
    if (count > SIZE_MAX || !support::try_reserve(out, static_cast<std::size_t>(count))) {
        return Err<AransError>{AransError::InvalidLength};
    }
    std::vector<std::uint16_t> tables;
    if (!make_tables(tables, 1, context_bits)) return Err<AransError>{AransError::InvalidLength};
    DecodeLane lane;
    (void)open_lane(lane, coded, tables.data());

    std::array<std::uint8_t, kStageBytes> stage;
    std::uint64_t remaining = count;
    while (remaining != 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kStageBytes));
        for (std::size_t i = 0; i < chunk; ++i) {
            if (lane.roomy()) {
                decode_byte<false>(lane, context_bits);
            } else if (!decode_byte<true>(lane, context_bits)) {
                return Err<AransError>{AransError::Truncated};
            }
            stage[i] = static_cast<std::uint8_t>(lane.prev);
        }
        out.insert(out.end(), stage.begin(), stage.begin() + static_cast<std::ptrdiff_t>(chunk));
        remaining -= chunk;
    }
    return out;
}

support::Result<void, AransError> decode_plane_pair(std::span<const std::uint8_t> coded_a,
                                                     std::span<const std::uint8_t> coded_b, std::uint64_t count,
                                                     unsigned context_bits, std::vector<std::uint8_t>& out) {
    if (count == 0) return {};
    std::vector<std::uint16_t> tables;
    DecodeLane a;
    DecodeLane b;
    if (coded_a.size() < 4 || coded_b.size() < 4) return Err<AransError>{AransError::Truncated};
    if (!make_tables(tables, 2, context_bits)) return Err<AransError>{AransError::InvalidLength};
    (void)open_lane(a, coded_a, tables.data());
    (void)open_lane(b, coded_b, tables.data() + model::table_size(context_bits));

    std::array<std::uint8_t, kStageBytes> stage;
    std::uint64_t remaining = count;
    while (remaining != 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kStageBytes / 2));
        for (std::size_t i = 0; i < chunk; ++i) {
            if (a.roomy() && b.roomy()) {
                decode_byte_pair<false>(a, b, context_bits);
            } else if (!decode_byte_pair<true>(a, b, context_bits)) {
                return Err<AransError>{AransError::Truncated};
            }
            stage[2 * i] = static_cast<std::uint8_t>(a.prev);
            stage[2 * i + 1] = static_cast<std::uint8_t>(b.prev);
        }
        out.insert(out.end(), stage.begin(), stage.begin() + static_cast<std::ptrdiff_t>(2 * chunk));
        remaining -= chunk;
    }
    return {};
}

}  // namespace vantoresk::arans
