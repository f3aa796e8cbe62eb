#include "core/arans/plane_encoder.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "core/arans/arans.hpp"
#include "core/arans/model.hpp"
#include "core/arans/reciprocal.hpp"

namespace vantoresk::arans {

namespace {

alignas(64) constexpr model::AdaptTable kAdapted = model::make_adapt_table();

// Forward model pass. Writes 8n records, one per decision in coding order:
// 2p + bit, the entry used and the bit taken, which is also the index of
// everything the coding pass needs (kSymbols below).
// Nodes are known from the input byte alone ((byte | 256) >> (k + 1) before
// bit k), so the only dependencies between decisions go through the table.
void model_pass(const std::uint8_t* src, std::size_t stride, std::size_t n, unsigned context_bits,
                std::uint16_t* records) {
    std::vector<std::uint16_t> table(model::table_size(context_bits), model::kInitialProb);
    std::uint16_t* const t = table.data();
    unsigned prev = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned byte = src[i * stride];
        std::uint16_t* const row = t + model::row_offset(prev, context_bits);
        const unsigned path = byte | 0x100u;
#pragma GCC unroll 8
        for (int k = 7; k >= 0; --k) {
            const unsigned node = path >> (k + 1);
            const std::uint32_t record = 2u * row[node] + ((byte >> k) & 1u);
            *records++ = static_cast<std::uint16_t>(record);
            row[node] = kAdapted[record];
        }
        prev = byte;
    }
}

// Everything the coding pass needs for one decision, by record (2p + bit),
// so that it costs one table lookup instead of a dozen operations to
// rebuild frequency, start and reciprocal from the record. Entries whose
// frequency would fall outside [15, 4081] are never used (see model.hpp).
struct EncodeSymbol {
    std::uint64_t reciprocal;  // of the frequency f, see reciprocal.hpp
    std::uint32_t limit;       // f << 20: emit a word first when x >= limit
    std::uint16_t complement;  // 4096 - f
    std::uint16_t start;       // 0 for bit 0, p for bit 1
};

using SymbolTable = std::array<EncodeSymbol, 2 * model::kProbScale>;

constexpr SymbolTable make_symbol_table() noexcept {
    SymbolTable t{};
    for (std::uint32_t p = model::kMinFreq; p <= model::kMaxFreq; ++p) {
        for (std::uint32_t bit = 0; bit < 2; ++bit) {
            const std::uint32_t freq = bit != 0 ? model::kProbScale - p : p;
            t[2 * p + bit] = EncodeSymbol{kReciprocals[freq], freq << model::kEncodeShift,
                                          static_cast<std::uint16_t>(model::kProbScale - freq),
                                          static_cast<std::uint16_t>(bit != 0 ? p : 0)};
        }
    }
    return t;
}

alignas(64) constexpr SymbolTable kSymbols = make_symbol_table();

struct EncodeLane {
    std::uint32_t x = model::kStateLow;
    std::uint8_t* w = nullptr;  // next word goes to w - 2 (words are written backwards)
};

// One decision, coded backwards:
//   x = (x div f) * 4096 + (x mod f) + start = x + start + (x div f) * (4096 - f).
// The state's chain is the emission test, one multiply for the division and
// one for the product; the symbol lookup is computed ahead, off the chain.
inline void encode_step(EncodeLane& lane, std::uint32_t record) {
    const EncodeSymbol& sym = kSymbols[record];
    std::uint32_t x = lane.x;
    // At most one word: x < 2^32 and (x >> 16) < 2^16 <= f << 20. Emission
    // is rare (one decision in 16 per bit of information), so a predicted
    // branch keeps the comparison off the chain.
    if (x >= sym.limit) {
        lane.w[-2] = static_cast<std::uint8_t>(x);
        lane.w[-1] = static_cast<std::uint8_t>(x >> 8);
        lane.w -= 2;
        x >>= model::kWordBits;
    }
    lane.x = (x + sym.start) + divide_by_reciprocal(x, sym.reciprocal) * sym.complement;
}

// The coded plane is built backwards from the end of a buffer sized for the
// worst case: 4 state bytes in front of 8 words per plane byte. Only the
// pages actually written are ever touched. The records are read backwards.
struct PlaneBuffer {
    std::unique_ptr<std::uint8_t[]> storage;
    std::uint8_t* end = nullptr;
    std::unique_ptr<std::uint16_t[]> records;

    explicit PlaneBuffer(std::size_t n)
        : storage(std::make_unique_for_overwrite<std::uint8_t[]>(4 + 16 * n)),
          end(storage.get() + 4 + 16 * n),
          records(std::make_unique_for_overwrite<std::uint16_t[]>(8 * n)) {}
};

CodedPlane finish(PlaneBuffer& buffer, const EncodeLane& lane) {
    std::uint8_t* const first = lane.w - 4;
    first[0] = static_cast<std::uint8_t>(lane.x);
    first[1] = static_cast<std::uint8_t>(lane.x >> 8);
    first[2] = static_cast<std::uint8_t>(lane.x >> 16);
    first[3] = static_cast<std::uint8_t>(lane.x >> 24);
    CodedPlane out;
    out.data = first;
    out.size = static_cast<std::size_t>(buffer.end - first);
    out.storage = std::move(buffer.storage);
    return out;
}

}  // namespace

CodedPlane encode_plane_strided(const std::uint8_t* src, std::size_t stride, std::size_t n, unsigned context_bits) {
    if (n == 0) return CodedPlane{};
    PlaneBuffer buffer(n);
    model_pass(src, stride, n, context_bits, buffer.records.get());
    EncodeLane lane;
    lane.w = buffer.end;
    const std::uint16_t* const records = buffer.records.get();
    for (std::size_t j = 8 * n; j-- > 0;) encode_step(lane, records[j]);
    return finish(buffer, lane);
}

void encode_plane_pair(const std::uint8_t* src_a, const std::uint8_t* src_b, std::size_t stride, std::size_t n,
                       unsigned context_bits, CodedPlane& a, CodedPlane& b) {
    if (n == 0) {
        a = CodedPlane{};
        b = CodedPlane{};
        return;
    }
    PlaneBuffer buffer_a(n);
    PlaneBuffer buffer_b(n);
    model_pass(src_a, stride, n, context_bits, buffer_a.records.get());
    model_pass(src_b, stride, n, context_bits, buffer_b.records.get());
    EncodeLane lane_a;
    EncodeLane lane_b;
    lane_a.w = buffer_a.end;
    lane_b.w = buffer_b.end;
    const std::uint16_t* const records_a = buffer_a.records.get();
    const std::uint16_t* const records_b = buffer_b.records.get();
    for (std::size_t j = 8 * n; j-- > 0;) {
        encode_step(lane_a, records_a[j]);
        encode_step(lane_b, records_b[j]);
    }
    a = finish(buffer_a, lane_a);
    b = finish(buffer_b, lane_b);
}

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits) {
    context_bits = std::min(context_bits, model::kMaxContextBits);
    const CodedPlane coded = encode_plane_strided(plane.data(), 1, plane.size(), context_bits);
    return std::vector<std::uint8_t>(coded.data, coded.data + coded.size);
}

}  // namespace vantoresk::arans
