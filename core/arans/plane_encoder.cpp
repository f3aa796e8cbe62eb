#include "core/arans/plane_encoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "core/arans/arans.hpp"
#include "core/arans/model.hpp"
#include "core/arans/reciprocal.hpp"
#include "support/scratch.hpp"

namespace vantoresk::arans {

namespace {

alignas(64) constexpr model::AdaptTable kAdapted = model::make_adapt_table();

// The model, forwards. A decision's record is 2p + bit: the entry used and
// the bit taken, which is also the index of everything the coding pass needs
// (kSymbols below). Nodes are known from the input byte alone
// ((byte | 256) >> (k + 1) before bit k), so the only dependencies between
// decisions go through the table.
//
// The eight decisions of one byte: entries adapted and, with kRecords, the
// records written in decision order. The records are gathered into two
// 8-byte words and stored as such: eight 2-byte stores per byte were the
// model's bottleneck (about 1.3 cycles per decision, measured).
template <bool kRecords>
inline void model_byte(unsigned byte, std::uint16_t* __restrict row, std::uint16_t* __restrict records) {
    const unsigned path = byte | 0x100u;
    std::uint64_t packed[2] = {0, 0};
#pragma GCC unroll 8
    for (int k = 7; k >= 0; --k) {
        // The node after this decision: the node before it and the bit in one.
        const unsigned next = path >> k;
        const std::uint32_t record = 2u * row[next >> 1] + (next & 1u);
        packed[(7 - k) / 4] |= std::uint64_t{record} << (16 * ((7 - k) % 4));
        row[next >> 1] = kAdapted[record];
    }
    if constexpr (!kRecords) return;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(records, packed, sizeof packed);
    } else {
        for (unsigned d = 0; d < model::kBitsPerByte; ++d) {
            records[d] = static_cast<std::uint16_t>(packed[d / 4] >> (16 * (d % 4)));
        }
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

// Most coded bytes one chunk of `bytes` plane bytes can add: a word per decision.
constexpr std::size_t chunk_room(std::size_t bytes) noexcept { return 4 + 2 * model::kBitsPerByte * bytes; }

// A plane of n bytes cut into chunks of at most `chunk` bytes: every chunk
// but the first is full, the first takes what is left (1 to chunk bytes).
struct ChunkGeometry {
    std::size_t n;
    std::size_t chunk;
    std::size_t count;

    ChunkGeometry(std::size_t n_, std::size_t chunk_) noexcept
        : n(n_), chunk(std::min(chunk_, n_)), count((n + chunk - 1) / chunk) {}
    std::size_t begin(std::size_t k) const noexcept { return k == 0 ? 0 : n - (count - k) * chunk; }
    std::size_t bytes(std::size_t k) const noexcept { return k == 0 ? n - (count - 1) * chunk : chunk; }
};

// One plane: where it is read, its model (the table and its copies at chunk
// starts), one chunk of records, and the coder's state and output.
struct Plane {
    const std::uint8_t* src = nullptr;
    std::uint16_t* table = nullptr;
    std::uint16_t* copies = nullptr;
    std::uint16_t* records = nullptr;
    std::uint32_t state = model::kStateLow;
    BackwardWriter writer;
};

// L planes of the same length coded side by side (L = 1 or 2): the model
// runs forwards once, then the coder takes the chunks last to first, each
// chunk's model replayed from its table copy just before it is coded.
//
// Measured, and left alone: replaying chunk k - 1's model inside the loop
// that codes chunk k (so that the model's work fills the coding chains'
// latency) came out slower than the two loops one after the other, whether
// the model ran a byte or a decision at a time between the coder's steps.
template <std::size_t L>
class PlaneSet {
public:
    PlaneSet(const std::array<const std::uint8_t*, L>& src, std::size_t stride, std::size_t n,
             unsigned context_bits, std::size_t chunk) noexcept
        : stride_(stride), context_bits_(context_bits), chunks_(n, chunk),
          table_size_(model::table_size(context_bits)) {
        for (std::size_t l = 0; l < L; ++l) planes_[l].src = src[l];
    }

    // Takes tables, copies and records in one block; the tables start out
    // with every entry at its initial value. The block comes from the
    // thread's scratch pool: fresh from the kernel, its pages cost a fault
    // each on first touch (about 1,300 per call at 650,000 samples, a few
    // per cent of the encoder's time), and the next call needs it again.
    [[nodiscard]] bool prepare() noexcept {
        // Sizes no plane in memory can have, or a tiny chunk asked for on a
        // huge plane, would overflow the sums below (at the default chunk
        // size the copies take at most 4n entries).
        constexpr std::size_t kMaxEntries = SIZE_MAX / (L * sizeof(std::uint16_t));
        const std::size_t copies = chunks_.count > 2 ? chunks_.count - 2 : 0;
        if (chunks_.chunk > kMaxEntries / model::kBitsPerByte) return false;
        const std::size_t records = model::kBitsPerByte * chunks_.chunk;
        if (copies + 1 > (kMaxEntries - records) / table_size_) return false;
        const std::size_t per_plane = table_size_ * (1 + copies) + records;
        block_ = support::Scratch<std::uint16_t>::take(L * per_plane);
        if (!block_) return false;
        std::uint16_t* next = block_.get();
        for (Plane& p : planes_) {
            p.table = next;
            p.copies = next + table_size_;
            p.records = p.copies + copies * table_size_;
            next = p.records + records;
            std::fill_n(p.table, table_size_, model::kInitialProb);
        }
        return true;
    }

    // The model over every chunk, keeping a copy of the table at the start of
    // each chunk but the first and the last; only the last chunk's records
    // are kept (the others are replayed later).
    void forward() noexcept {
        const std::size_t last = chunks_.count - 1;
        for (std::size_t k = 0; k < last; ++k) {
            save(k);
            model_span<false>(chunks_.begin(k), chunks_.bytes(k));
        }
        save(last);
        model_span<true>(chunks_.begin(last), chunks_.bytes(last));
    }

    // The coding pass, last chunk first; false when the output cannot grow.
    [[nodiscard]] bool code() noexcept {
        for (std::size_t k = chunks_.count; k-- > 0;) {
            const std::size_t bytes = chunks_.bytes(k);
            for (Plane& p : planes_) {
                if (!p.writer.make_room(chunk_room(bytes))) return false;
            }
            code_span(bytes);
            if (k != 0) {
                restore(k - 1);
                model_span<true>(chunks_.begin(k - 1), chunks_.bytes(k - 1));
            }
        }
        return true;
    }

    // The model's share of code() alone: every chunk's replay but the last's.
    void replay_only() noexcept {
        for (std::size_t k = chunks_.count - 1; k-- > 0;) {
            restore(k);
            model_span<true>(chunks_.begin(k), chunks_.bytes(k));
        }
    }

    void finish(const std::array<CodedPlane*, L>& out) noexcept {
        for (std::size_t l = 0; l < L; ++l) *out[l] = planes_[l].writer.finish(planes_[l].state);
    }

private:
    // Keeps the table as it stands at the start of chunk k, where needed.
    void save(std::size_t k) noexcept {
        if (k == 0 || k + 1 == chunks_.count) return;
        for (Plane& p : planes_) std::copy_n(p.table, table_size_, p.copies + (k - 1) * table_size_);
    }

    // Puts the table back as it stood at the start of chunk k (below the last).
    void restore(std::size_t k) noexcept {
        for (Plane& p : planes_) {
            if (k == 0) {
                std::fill_n(p.table, table_size_, model::kInitialProb);
            } else {
                std::copy_n(p.copies + (k - 1) * table_size_, table_size_, p.table);
            }
        }
    }

    unsigned previous(const Plane& p, std::size_t begin) const noexcept {
        return begin == 0 ? 0u : p.src[(begin - 1) * stride_];
    }

    // The model over bytes [begin, begin + count), byte i's records (with
    // kRecords) at slot 8i. The planes take turns byte by byte.
    template <bool kRecords>
    void model_span(std::size_t begin, std::size_t count) noexcept {
        const std::uint8_t* src[L];
        std::uint16_t* table[L];
        std::uint16_t* records[L];
        unsigned prev[L];
        for (std::size_t l = 0; l < L; ++l) {
            src[l] = planes_[l].src + begin * stride_;
            table[l] = planes_[l].table;
            records[l] = planes_[l].records;
            prev[l] = previous(planes_[l], begin);
        }
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t l = 0; l < L; ++l) {
                const unsigned byte = src[l][i * stride_];
                model_byte<kRecords>(byte, table[l] + model::row_offset(prev[l], context_bits_),
                                     records[l] + model::kBitsPerByte * i);
                prev[l] = byte;
            }
        }
    }

    // Codes the `bytes` bytes whose records are in the buffers, last decision
    // first, the lanes taking turns decision by decision so that their state
    // chains overlap.
    void code_span(std::size_t bytes) noexcept {
        const std::uint16_t* records[L];
        EncodeLane lane[L];
        for (std::size_t l = 0; l < L; ++l) {
            records[l] = planes_[l].records;
            lane[l] = EncodeLane{planes_[l].state, planes_[l].writer.cursor()};
        }
        for (std::size_t j = model::kBitsPerByte * bytes; j-- > 0;) {
            for (std::size_t l = 0; l < L; ++l) encode_step(lane[l], records[l][j]);
        }
        for (std::size_t l = 0; l < L; ++l) {
            planes_[l].state = lane[l].x;
            planes_[l].writer.cursor() = lane[l].w;
        }
    }

    std::size_t stride_;
    unsigned context_bits_;
    ChunkGeometry chunks_;
    std::size_t table_size_;
    support::Scratch<std::uint16_t> block_;
    std::array<Plane, L> planes_;
};

template <std::size_t L>
bool encode_planes(const std::array<const std::uint8_t*, L>& src, std::size_t stride, std::size_t n,
                   unsigned context_bits, const std::array<CodedPlane*, L>& out, std::size_t chunk_bytes) {
    for (CodedPlane* p : out) *p = CodedPlane{};
    if (n == 0) return true;
    PlaneSet<L> planes(src, stride, n, context_bits, chunk_bytes == 0 ? encode_chunk_bytes(n) : chunk_bytes);
    if (!planes.prepare()) return false;
    planes.forward();
    if (!planes.code()) return false;
    planes.finish(out);
    return true;
}

}  // namespace

bool encode_plane_strided(const std::uint8_t* src, std::size_t stride, std::size_t n, unsigned context_bits,
                          CodedPlane& out, std::size_t chunk_bytes) {
    return encode_planes<1>({src}, stride, n, context_bits, {&out}, chunk_bytes);
}

bool encode_plane_pair(const std::uint8_t* src_a, const std::uint8_t* src_b, std::size_t stride, std::size_t n,
                       unsigned context_bits, CodedPlane& a, CodedPlane& b, std::size_t chunk_bytes) {
    return encode_planes<2>({src_a, src_b}, stride, n, context_bits, {&a, &b}, chunk_bytes);
}

bool run_plane_pair_model(const std::uint8_t* src_a, const std::uint8_t* src_b, std::size_t stride, std::size_t n,
                          unsigned context_bits, std::size_t chunk_bytes) {
    if (n == 0) return true;
    PlaneSet<2> planes({src_a, src_b}, stride, n, context_bits, chunk_bytes == 0 ? encode_chunk_bytes(n) : chunk_bytes);
    if (!planes.prepare()) return false;
    planes.forward();
    planes.replay_only();
    return true;
}

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits) {
    context_bits = std::min(context_bits, model::kMaxContextBits);
    CodedPlane coded;
    if (!encode_plane_strided(plane.data(), 1, plane.size(), context_bits, coded)) throw std::bad_alloc();
    return std::vector<std::uint8_t>(coded.data, coded.data + coded.size);
}

}  // namespace vantoresk::arans
