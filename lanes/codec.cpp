// Chunks to frames and back: lane extraction in either memory order and
// byte order, the per-lane choice, and frame-wide checks before decoding.
#include "lanes/codec.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "lanes/bytes.hpp"
#include "lanes/container_lane.hpp"
#include "lanes/exact.hpp"
#include "lanes/grid.hpp"
#include "lanes/level_lane.hpp"
#include "lanes/nonfinite.hpp"
#include "lanes/targets.hpp"
#include "support/scratch.hpp"

namespace vantoresk::lanes {
namespace {

template <class U>
U byteswap(U v) noexcept {
    if constexpr (sizeof(U) == 1) return v;
    else if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(v));
    else if constexpr (sizeof(U) == 4) return __builtin_bswap32(v);
    else return __builtin_bswap64(v);
}

template <class S>
using UnsignedOf = std::conditional_t<sizeof(S) == 1, std::uint8_t,
                   std::conditional_t<sizeof(S) == 2, std::uint16_t,
                   std::conditional_t<sizeof(S) == 4, std::uint32_t, std::uint64_t>>>;

// Element offsets of each lane's first sample and the step along the lane.
struct LaneWalk {
    std::array<std::uint64_t, VNT_MAX_NDIM> stride{};
    std::uint64_t along = 1;

    LaneWalk(const FrameHeader& h) {
        std::uint64_t s = 1;
        if (h.order == 'C') {
            for (int d = h.ndim - 1; d >= 0; --d) { stride[d] = s; s *= h.shape[d]; }
        } else {
            for (int d = 0; d < h.ndim; ++d) { stride[d] = s; s *= h.shape[d]; }
        }
        along = stride[h.axis];
    }
};

// Calls f(lane, base offset) for every lane in C order over the other dimensions.
template <class F>
void for_each_lane(const FrameHeader& h, const LaneWalk& w, F&& f) {
    const std::uint64_t count = h.lane_count();
    std::array<std::uint64_t, VNT_MAX_NDIM> idx{};
    std::uint64_t base = 0;
    for (std::uint64_t lane = 0; lane < count; ++lane) {
        f(lane, base);
        for (int d = h.ndim - 1; d >= 0; --d) {  // odometer over the non-axis dimensions
            if (d == h.axis) continue;
            if (++idx[d] < h.shape[d]) { base += w.stride[d]; break; }
            base -= w.stride[d] * (idx[d] - 1);
            idx[d] = 0;
        }
    }
}

template <class S, LaneValue W>
void gather(const std::uint8_t* data, std::uint64_t base, std::uint64_t step, bool swap, std::span<W> out) {
    using U = UnsignedOf<S>;
    for (std::size_t i = 0; i < out.size(); ++i) {
        U u;
        std::memcpy(&u, data + (base + i * step) * sizeof(S), sizeof(S));
        if (swap) u = byteswap(u);
        out[i] = static_cast<W>(std::bit_cast<S>(u));
    }
}

template <class S, LaneValue W>
void scatter(std::span<const W> in, std::uint64_t base, std::uint64_t step, bool swap, std::uint8_t* data) {
    using U = UnsignedOf<S>;
    for (std::size_t i = 0; i < in.size(); ++i) {
        U u = std::bit_cast<U>(static_cast<S>(in[i]));
        if (swap) u = byteswap(u);
        std::memcpy(data + (base + i * step) * sizeof(S), &u, sizeof(S));
    }
}

CompressionOptions core_options(const vnt_options& o) {
    CompressionOptions c;
    static constexpr CompressionMethod methods[] = {CompressionMethod::Cdf97, CompressionMethod::Cdf53,
                                                    CompressionMethod::Db4, CompressionMethod::Sym4};
    static constexpr EntropyCoder coders[] = {EntropyCoder::Auto, EntropyCoder::Arans, EntropyCoder::Deflate};
    c.method = methods[o.method];
    c.scale = static_cast<std::uint8_t>(o.scale);
    c.cutoff = static_cast<CutoffLevel>(o.cutoff);
    c.coder = coders[o.coder];
    return c;
}

Status check_options(const vnt_options& o, std::uint64_t lanes) {
    if (o.method < VNT_CDF97 || o.method > VNT_SYM4) return bad_argument("unknown method " + std::to_string(o.method));
    if (o.scale < kMinScale || o.scale > kMaxScale)
        return bad_argument("scale must be an integer from 6 to 12, not " + std::to_string(o.scale));
    if (o.cutoff < VNT_CUTOFF_LOW || o.cutoff > VNT_CUTOFF_HIGH) return bad_argument("unknown cutoff");
    if (o.coder < VNT_CODER_AUTO || o.coder > VNT_CODER_DEFLATE) return bad_argument("unknown coder");
    if (o.target_kind < VNT_TARGET_NONE || o.target_kind > VNT_TARGET_GRID_STEPS)
        return bad_argument("unknown target kind");
    if (o.target_kind == VNT_TARGET_NONE) return {};
    if (o.targets == nullptr || o.target_count == 0) return bad_argument("a target needs at least one value");
    if (o.target_count != 1 && o.target_count != lanes)
        return bad_argument("the targets list " + std::to_string(o.target_count) + " values but the chunk has " +
                            std::to_string(lanes) + " lane" + (lanes == 1 ? "" : "s") +
                            " (one per 1-D slice along the axis, in C order over the other dimensions)");
    for (std::size_t i = 0; i < o.target_count; ++i)
        if (!(std::isfinite(o.targets[i]) && o.targets[i] >= 0.0))
            return bad_argument("targets must be finite numbers of at least 0");
    return {};
}

template <class S, LaneValue W>
Status encode_typed(std::span<const std::uint8_t> data, const FrameHeader& h, const vnt_options& o,
                    std::vector<std::vector<std::uint8_t>>& records, bool& newer) {
    const LaneWalk walk(h);
    const std::uint64_t n = h.lane_length();
    const std::size_t size = itemsize(h.dtype);
    std::vector<W> lane(n);
    LaneSettings settings;
    settings.options = core_options(o);
    settings.target = o.target_kind;
    ChosenBody chosen;
    Status status;
    records.resize(h.lane_count());
    for_each_lane(h, walk, [&](std::uint64_t i, std::uint64_t base) {
        if (!status) return;
        gather<S, W>(data.data(), base, walk.along, h.big_endian, lane);
        std::vector<std::uint8_t>& rec = records[i];
        if (n == 0) {
            append_lane_head(kRaw, {}, size, rec);
            return;
        }
        const std::vector<Run> runs = find_runs<W>(lane);
        std::vector<std::uint8_t> mask;
        if (!runs.empty()) {
            bridge<W>(lane);
            mask = finite_mask(runs, n);
        }
        if (o.target_kind != VNT_TARGET_NONE) settings.limit = o.targets[o.target_count == 1 ? 0 : i];
        status = choose_body<W>(lane, mask, h.dtype, settings, chosen);
        if (!status) return;
        if (chosen.kind == kNearLossless) newer = true;
        rec.reserve(8 + runs.size() * (8 + size) + chosen.body.size());
        append_lane_head(chosen.kind, runs, size, rec);
        rec.insert(rec.end(), chosen.body.begin(), chosen.body.end());
    });
    return status;
}

Status check_body(const LaneRecord& lane, const FrameHeader& h, std::uint64_t index) {
    const std::uint64_t n = h.lane_length();
    const std::uint64_t need = n * itemsize(h.dtype);
    const std::size_t size = lane.body.size();
    bool ok = true;
    switch (lane.kind) {
        case kContainer: ok = n == 0 ? size == 0 : container_plausible(lane.body, n); break;
        case kRaw: ok = size == need; break;
        case kShuffled:
        case kDeflate: ok = (n == 0 && size == 0) || (size > 0 && size * kMaxInflation >= need); break;
        case kGrid:
            if (!is_float(h.dtype)) return bad_frame("lane " + std::to_string(index) + ": a grid lane in an integer frame");
            ok = grid_plausible(lane.body, n);
            break;
        case kNearLossless: ok = size >= 9 && size * kMaxInflation * 8 >= n; break;
        default: ok = false;
    }
    if (!ok) return bad_frame("lane " + std::to_string(index) + " does not hold " + std::to_string(n) + " samples");
    return {};
}

template <LaneValue W>
Status decode_lane(const LaneRecord& lane, vnt_dtype dtype, std::span<W> out, std::span<std::int64_t> levels) {
    if (out.empty()) return {};
    switch (lane.kind) {
        case kContainer:
            if (auto s = decode_container<W>(lane.body, dtype, out); !s) return s;
            break;
        case kRaw:
        case kShuffled:
        case kDeflate:
            if (auto s = decode_plain<W>(lane.kind, lane.body, dtype, out); !s) return s;
            break;
        case kGrid:
            if constexpr (std::is_floating_point_v<W>) {
                if (auto s = decode_grid<W>(lane.body, out); !s) return s;
            } else {
                return bad_frame("a grid lane in an integer frame");
            }
            break;
        case kNearLossless:
            if (auto s = decode_level_lane<W>(lane.body, dtype, out, levels); !s) return s;
            break;
        default: return bad_frame("unknown lane kind " + std::to_string(lane.kind));
    }
    restore<W>(out, lane.runs);
    return {};
}

template <class S, LaneValue W>
Status decode_typed(const FrameView& v, std::span<std::uint8_t> out) {
    const FrameHeader& h = v.head;
    const LaneWalk walk(h);
    // One lane's values and levels at a time, from the thread's pool: a frame
    // decode takes no fresh memory of the lane's size once the thread has
    // decoded one like it.
    const std::size_t n = h.lane_length();
    bool leveled = false;
    for (const auto& r : v.records) leveled = leveled || (!r.empty() && r[0] == kNearLossless);
    auto values = support::Scratch<W>::take(n);
    auto level_memory = support::Scratch<std::int64_t>::take(leveled ? n : 0);
    if (!values || !level_memory) return out_of_memory("decoding a lane");
    const std::span<W> lane(values.get(), n);
    const std::span<std::int64_t> levels(level_memory.get(), leveled ? n : 0);
    Status status;
    for_each_lane(h, walk, [&](std::uint64_t i, std::uint64_t base) {
        if (!status) return;
        auto rec = read_lane(v.records[i], h);
        if (!rec) { status = support::Err<LaneError>{std::move(rec).error()}; return; }
        status = decode_lane<W>(*rec, h.dtype, lane, levels);
        if (status) scatter<S, W>(lane, base, walk.along, h.big_endian, out.data());
    });
    return status;
}

// Calls f.template operator()<S, W>() for the dtype's storage and working types.
template <class F>
auto by_dtype(vnt_dtype dtype, F&& f) {
    switch (dtype) {
        case VNT_FLOAT32: return f.template operator()<float, float>();
        case VNT_FLOAT64: return f.template operator()<double, double>();
        case VNT_INT8: return f.template operator()<std::int8_t, std::int64_t>();
        case VNT_INT16: return f.template operator()<std::int16_t, std::int64_t>();
        case VNT_INT32: return f.template operator()<std::int32_t, std::int64_t>();
        case VNT_UINT8: return f.template operator()<std::uint8_t, std::int64_t>();
        case VNT_UINT16: break;
    }
    return f.template operator()<std::uint16_t, std::int64_t>();
}

}  // namespace

LResult<std::vector<std::uint8_t>> encode_frame(std::span<const std::uint8_t> data, const vnt_layout& layout,
                                                const vnt_options& options) {
    if (!dtype_known(layout.dtype)) return bad_argument("unknown dtype " + std::to_string(layout.dtype));
    if (layout.ndim < 1 || layout.ndim > kMaxNdim)
        return bad_argument("frames hold 1 to " + std::to_string(kMaxNdim) + " dimensions, not " +
                            std::to_string(layout.ndim));
    if (layout.order != 'C' && layout.order != 'F') return bad_argument("memory order must be 'C' or 'F'");
    FrameHeader h;
    h.dtype = layout.dtype;
    h.big_endian = layout.big_endian != 0 && itemsize(layout.dtype) > 1;
    h.order = layout.order;
    h.ndim = layout.ndim;
    if (options.axis < -layout.ndim || options.axis >= layout.ndim)
        return bad_argument("axis " + std::to_string(options.axis) + " is out of range for an array of " +
                            std::to_string(layout.ndim) + " dimension" + (layout.ndim > 1 ? "s" : ""));
    h.axis = options.axis < 0 ? options.axis + layout.ndim : options.axis;
    std::uint64_t elements = 1;
    bool empty = false;
    for (int d = 0; d < h.ndim; ++d) {
        h.shape[d] = layout.shape[d];
        if (layout.shape[d] == 0) { empty = true; continue; }
        if (layout.shape[d] > kMaxElements || elements > kMaxElements / layout.shape[d])
            return bad_argument("the chunk is too large for one frame");
        elements *= layout.shape[d];
    }
    if (empty) elements = 0;
    if (h.lane_length() > kMaxLaneLength)
        return bad_argument("lanes of " + std::to_string(h.lane_length()) +
                            " samples are too long; use chunks below 2^31 samples along the axis");
    if (data.size() != elements * itemsize(h.dtype))
        return bad_argument("the buffer holds " + std::to_string(data.size()) + " bytes, the layout needs " +
                            std::to_string(elements * itemsize(h.dtype)));
    if (auto s = check_options(options, h.lane_count()); !s) return support::Err<LaneError>{std::move(s).error()};
    std::vector<std::vector<std::uint8_t>> records;
    bool newer = !is_float(h.dtype);
    Status st = by_dtype(h.dtype, [&]<class S, class W>() { return encode_typed<S, W>(data, h, options, records, newer); });
    if (!st) return support::Err<LaneError>{std::move(st).error()};
    h.version = newer ? 2 : 1;
    return pack_frame(h, records);
}

LResult<FrameView> open_frame(std::span<const std::uint8_t> frame) {
    FrameView v;
    std::size_t table = 0;
    auto head = read_header(frame, table);
    if (!head) return support::Err<LaneError>{std::move(head).error()};
    v.head = *head;
    auto records = split_lanes(frame, v.head, table);
    if (!records) return support::Err<LaneError>{std::move(records).error()};
    v.records = std::move(records).value();
    for (std::uint64_t i = 0; i < v.records.size(); ++i) {
        auto lane = read_lane(v.records[i], v.head);
        if (!lane) return support::Err<LaneError>{std::move(lane).error()};
        if (auto s = check_body(*lane, v.head, i); !s) return support::Err<LaneError>{std::move(s).error()};
    }
    return v;
}

std::uint64_t decoded_bytes(const FrameHeader& head) noexcept { return head.element_count() * itemsize(head.dtype); }

Status decode_frame(std::span<const std::uint8_t> frame, std::span<std::uint8_t> out) {
    auto v = open_frame(frame);
    if (!v) return support::Err<LaneError>{std::move(v).error()};
    const std::uint64_t need = decoded_bytes(v->head);
    if (out.size() < need)
        return lane_fail(VNT_BUFFER_TOO_SMALL, "the output holds " + std::to_string(out.size()) +
                                                   " bytes, the frame decodes to " + std::to_string(need));
    const FrameView& view = *v;
    return by_dtype(view.head.dtype, [&]<class S, class W>() { return decode_typed<S, W>(view, out); });
}

namespace {

LResult<struct vnt_lane_info> describe_lane(const FrameView& v, std::uint64_t index) {
    auto lane = read_lane(v.records[index], v.head);
    if (!lane) return support::Err<LaneError>{std::move(lane).error()};
    struct vnt_lane_info info{};
    info.kind = static_cast<vnt_lane_kind>(lane->kind);
    info.record_bytes = v.records[index].size();
    for (const Run& r : lane->runs) info.nonfinite_samples += r.length;
    info.method = info.scale = info.cutoff = info.coder = -1;
    info.exact = lane->kind >= kRaw && lane->kind <= kGrid;
    info.step = 0.0;
    const std::span<const std::uint8_t> body = lane->body;
    if (lane->kind == kContainer && body.size() >= kContainerHeader) {
        static const char* tags[] = {"cf97", "cf53", "db04", "sym4"};
        for (int m = 0; m < 4; ++m)
            if (std::memcmp(body.data() + 8, tags[m], 4) == 0) info.method = m;
        info.scale = body[13];
        info.coder = body[14] == 0 ? VNT_CODER_DEFLATE : (body[14] == 1 ? VNT_CODER_ARANS : -1);
        if (info.method < 0 || info.coder < 0)
            return bad_frame("lane " + std::to_string(index) + " holds no valid container header");
    } else if (lane->kind == kNearLossless) {
        auto nl = read_level_lane(body, v.head.dtype);
        if (!nl) return support::Err<LaneError>{std::move(nl).error()};
        info.steps = nl->k;
        info.step = nl->map.mapping == kIdentity ? 1.0 : nl->map.b;
        // Bins round; levels kept exactly (k = 0) on the identity or a grid (with
        // its corrections) are the values encoded.
        info.exact = nl->k == 0 && nl->map.mapping != kBins;
    }
    return info;
}

}  // namespace

LResult<struct vnt_lane_info> lane_info(std::span<const std::uint8_t> frame, std::uint64_t index) {
    // One lane's record checked, not every lane's: asking for each lane in
    // turn stays linear in the frame's size per call.
    std::size_t table = 0;
    auto head = read_header(frame, table);
    if (!head) return support::Err<LaneError>{std::move(head).error()};
    auto records = split_lanes(frame, *head, table);
    if (!records) return support::Err<LaneError>{std::move(records).error()};
    if (index >= records->size())
        return bad_argument("lane " + std::to_string(index) + " is beyond the frame's " +
                            std::to_string(records->size()) + " lanes");
    auto lane = read_lane((*records)[index], *head);
    if (!lane) return support::Err<LaneError>{std::move(lane).error()};
    if (auto s = check_body(*lane, *head, index); !s) return support::Err<LaneError>{std::move(s).error()};
    FrameView v;
    v.head = *head;
    v.records = std::move(records).value();
    return describe_lane(v, index);
}

LResult<std::vector<struct vnt_lane_info>> lane_infos(std::span<const std::uint8_t> frame) {
    auto v = open_frame(frame);
    if (!v) return support::Err<LaneError>{std::move(v).error()};
    std::vector<struct vnt_lane_info> out;
    out.reserve(v->records.size());
    for (std::uint64_t i = 0; i < v->records.size(); ++i) {
        auto info = describe_lane(*v, i);
        if (!info) return support::Err<LaneError>{std::move(info).error()};
        out.push_back(*info);
    }
    return out;
}

}  // namespace vantoresk::lanes
