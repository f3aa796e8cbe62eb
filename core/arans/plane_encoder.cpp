#include "core/arans/plane_encoder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "core/arans/arans.hpp"
#include "core/arans/model.hpp"
#include "core/arans/reciprocal.hpp"

namespace vantoresk::arans {

namespace {

alignas(64) constexpr model::AdaptTable kAdapted = model::make_adapt_table();

// Forward model pass over n bytes. Writes 8n records, one per decision in coding order:
// 2p + bit, the entry used and the bit taken, which is also the index of
// everything the coding pass needs (kSymbols below).
// Nodes are known from the input byte alone ((byte | 256) >> (k + 1) before
// bit k), so the only dependencies between decisions go through the table.
// `table` is the model as it stands before src[0]; `prev` the byte before it.
// The eight decisions of one byte: records out, entries adapted.
inline void model_byte(unsigned byte, std::uint16_t* __restrict row, std::uint16_t* __restrict records) {
    const unsigned path = byte | 0x100u;
#pragma GCC unroll 8
    for (int k = 7; k >= 0; --k) {
        const unsigned node = path >> (k + 1);
        const std::uint32_t record = 2u * row[node] + ((byte >> k) & 1u);
        records[7 - k] = static_cast<std::uint16_t>(record);
        row[node] = kAdapted[record];
    }
}

void model_pass(const std::uint8_t* src, std::size_t stride, std::size_t n, unsigned context_bits,
                std::uint16_t* __restrict t, unsigned prev, std::uint16_t* __restrict records) {
    for (std::size_t i = 0; i < n; ++i, records += model::kBitsPerByte) {
        const unsigned byte = src[i * stride];
        model_byte(byte, t + model::row_offset(prev, context_bits), records);
        prev = byte;
    }
}

// Two planes in one loop. Each plane's decisions depend on each other only
// through its table (an entry is read right after the previous byte wrote
// it, whenever a context repeats), so a single plane waits on those
// round trips; two interleaved planes fill each other's waits.
void model_pass_pair(const std::uint8_t* src_a, const std::uint8_t* src_b, std::size_t stride, std::size_t n,
                     unsigned context_bits, std::uint16_t* __restrict ta, std::uint16_t* __restrict tb,
                     unsigned prev_a, unsigned prev_b, std::uint16_t* __restrict records_a,
                     std::uint16_t* __restrict records_b) {
    for (std::size_t i = 0; i < n; ++i, records_a += model::kBitsPerByte, records_b += model::kBitsPerByte) {
        const unsigned byte_a = src_a[i * stride];
        const unsigned byte_b = src_b[i * stride];
        model_byte(byte_a, ta + model::row_offset(prev_a, context_bits), records_a);
        model_byte(byte_b, tb + model::row_offset(prev_b, context_bits), records_b);
        prev_a = byte_a;
        prev_b = byte_b;
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

template <class T>
std::unique_ptr<T[]> allocate(std::size_t count) noexcept {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// The coded plane, written backwards from the end of a buffer that grows at
// its front. The space the next chunk can need at most (4 state bytes and one
// word per decision) is made before the chunk is coded, so the coding loop
// itself never checks.
class BackwardWriter {
public:
    [[nodiscard]] bool make_room(std::size_t bytes) noexcept {
        if (static_cast<std::size_t>(w_ - begin_) >= bytes) return true;
        const std::size_t used = used_bytes();
        const std::size_t capacity = std::max(2 * capacity_, used + bytes);
        auto grown = allocate<std::uint8_t>(capacity);
        if (!grown) return false;
        std::uint8_t* const end = grown.get() + capacity;
        if (used != 0) std::memcpy(end - used, w_, used);
        storage_ = std::move(grown);
        capacity_ = capacity;
        begin_ = storage_.get();
        w_ = end - used;
        return true;
    }
    std::uint8_t*& cursor() noexcept { return w_; }

    CodedPlane finish(std::uint32_t state) noexcept {
        std::uint8_t* const first = w_ - 4;
        first[0] = static_cast<std::uint8_t>(state);
        first[1] = static_cast<std::uint8_t>(state >> 8);
        first[2] = static_cast<std::uint8_t>(state >> 16);
        first[3] = static_cast<std::uint8_t>(state >> 24);
        CodedPlane out;
        out.data = first;
        out.size = used_bytes() + 4;
        out.storage = std::move(storage_);
        return out;
    }

private:
    std::size_t used_bytes() const noexcept {
        return capacity_ == 0 ? 0 : static_cast<std::size_t>(begin_ + capacity_ - w_);
    }

    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::uint8_t* begin_ = nullptr;
    std::uint8_t* w_ = nullptr;
};

// One plane's model, run forwards once and then replayed chunk by chunk,
// last chunk first (see plane_encoder.hpp).
class ChunkedModel {
public:
    ChunkedModel(const std::uint8_t* src, std::size_t stride, std::size_t n, unsigned context_bits,
                 std::size_t chunk_bytes) noexcept
        : src_(src), stride_(stride), n_(n), context_bits_(context_bits), chunk_(chunk_bytes),
          chunks_((n + chunk_bytes - 1) / chunk_bytes), table_size_(model::table_size(context_bits)) {}

    std::size_t chunks() const noexcept { return chunks_; }
    std::size_t chunk_bytes(std::size_t k) const noexcept { return std::min(chunk_, n_ - k * chunk_); }
    const std::uint16_t* records() const noexcept { return records_.get(); }

    // Allocates the table, the copies and the records; the table starts out
    // with every entry at its initial value.
    [[nodiscard]] bool prepare() noexcept {
        const std::size_t copies = chunks_ > 2 ? chunks_ - 2 : 0;
        table_ = allocate<std::uint16_t>(table_size_);
        records_ = allocate<std::uint16_t>(model::kBitsPerByte * std::min(chunk_, n_));
        if (copies != 0) copies_ = allocate<std::uint16_t>(copies * table_size_);
        if (!table_ || !records_ || (copies != 0 && !copies_)) return false;
        std::fill_n(table_.get(), table_size_, model::kInitialProb);
        return true;
    }

    // Keeps the table as it stands at the start of chunk k, where needed.
    void save(std::size_t k) noexcept {
        if (k != 0 && k + 1 != chunks_) std::copy_n(table_.get(), table_size_, copies_.get() + (k - 1) * table_size_);
    }

    // Puts the table back as it stood at the start of chunk k (below the last).
    void restore(std::size_t k) noexcept {
        if (k == 0) {
            std::fill_n(table_.get(), table_size_, model::kInitialProb);
        } else {
            std::copy_n(copies_.get() + (k - 1) * table_size_, table_size_, table_.get());
        }
    }

    // Runs the model over chunk k into the records.
    void run(std::size_t k) noexcept {
        model_pass(chunk_source(k), stride_, chunk_bytes(k), context_bits_, table_.get(), previous(k), records_.get());
    }

    // Chunk k of two planes of the same length in one loop.
    static void run_pair(ChunkedModel& a, ChunkedModel& b, std::size_t k) noexcept {
        model_pass_pair(a.chunk_source(k), b.chunk_source(k), a.stride_, a.chunk_bytes(k), a.context_bits_,
                        a.table_.get(), b.table_.get(), a.previous(k), b.previous(k), a.records_.get(),
                        b.records_.get());
    }

private:
    const std::uint8_t* chunk_source(std::size_t k) const noexcept { return src_ + k * chunk_ * stride_; }
    unsigned previous(std::size_t k) const noexcept { return k == 0 ? 0u : src_[(k * chunk_ - 1) * stride_]; }

    const std::uint8_t* src_;
    std::size_t stride_;
    std::size_t n_;
    unsigned context_bits_;
    std::size_t chunk_;
    std::size_t chunks_;
    std::size_t table_size_;
    std::unique_ptr<std::uint16_t[]> table_;
    std::unique_ptr<std::uint16_t[]> copies_;
    std::unique_ptr<std::uint16_t[]> records_;
};

// Most coded bytes one chunk of `bytes` plane bytes can add: a word per decision.
constexpr std::size_t chunk_room(std::size_t bytes) noexcept { return 4 + 2 * model::kBitsPerByte * bytes; }

}  // namespace

bool encode_plane_strided(const std::uint8_t* src, std::size_t stride, std::size_t n, unsigned context_bits,
                          CodedPlane& out, std::size_t chunk_bytes) {
    out = CodedPlane{};
    if (n == 0) return true;
    ChunkedModel plane(src, stride, n, context_bits, chunk_bytes == 0 ? encode_chunk_bytes(n) : chunk_bytes);
    if (!plane.prepare()) return false;
    for (std::size_t k = 0; k < plane.chunks(); ++k) {
        plane.save(k);
        plane.run(k);
    }
    BackwardWriter writer;
    EncodeLane lane;
    for (std::size_t k = plane.chunks(); k-- > 0;) {
        if (k + 1 != plane.chunks()) {
            plane.restore(k);
            plane.run(k);
        }
        const std::size_t bytes = plane.chunk_bytes(k);
        if (!writer.make_room(chunk_room(bytes))) return false;
        lane.w = writer.cursor();
        const std::uint16_t* const records = plane.records();
        for (std::size_t j = model::kBitsPerByte * bytes; j-- > 0;) encode_step(lane, records[j]);
        writer.cursor() = lane.w;
    }
    out = writer.finish(lane.x);
    return true;
}

bool encode_plane_pair(const std::uint8_t* src_a, const std::uint8_t* src_b, std::size_t stride, std::size_t n,
                       unsigned context_bits, CodedPlane& a, CodedPlane& b, std::size_t chunk_bytes) {
    a = CodedPlane{};
    b = CodedPlane{};
    if (n == 0) return true;
    if (chunk_bytes == 0) chunk_bytes = encode_chunk_bytes(n);
    ChunkedModel plane_a(src_a, stride, n, context_bits, chunk_bytes);
    ChunkedModel plane_b(src_b, stride, n, context_bits, chunk_bytes);
    if (!plane_a.prepare() || !plane_b.prepare()) return false;
    for (std::size_t k = 0; k < plane_a.chunks(); ++k) {
        plane_a.save(k);
        plane_b.save(k);
        ChunkedModel::run_pair(plane_a, plane_b, k);
    }
    BackwardWriter writer_a;
    BackwardWriter writer_b;
    EncodeLane lane_a;
    EncodeLane lane_b;
    for (std::size_t k = plane_a.chunks(); k-- > 0;) {
        if (k + 1 != plane_a.chunks()) {
            plane_a.restore(k);
            plane_b.restore(k);
            ChunkedModel::run_pair(plane_a, plane_b, k);
        }
        const std::size_t bytes = plane_a.chunk_bytes(k);
        if (!writer_a.make_room(chunk_room(bytes)) || !writer_b.make_room(chunk_room(bytes))) return false;
        lane_a.w = writer_a.cursor();
        lane_b.w = writer_b.cursor();
        const std::uint16_t* const records_a = plane_a.records();
        const std::uint16_t* const records_b = plane_b.records();
        for (std::size_t j = model::kBitsPerByte * bytes; j-- > 0;) {
            encode_step(lane_a, records_a[j]);
            encode_step(lane_b, records_b[j]);
        }
        writer_a.cursor() = lane_a.w;
        writer_b.cursor() = lane_b.w;
    }
    a = writer_a.finish(lane_a.x);
    b = writer_b.finish(lane_b.x);
    return true;
}

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits) {
    context_bits = std::min(context_bits, model::kMaxContextBits);
    CodedPlane coded;
    if (!encode_plane_strided(plane.data(), 1, plane.size(), context_bits, coded)) throw std::bad_alloc();
    return std::vector<std::uint8_t>(coded.data, coded.data + coded.size);
}

}  // namespace vantoresk::arans
