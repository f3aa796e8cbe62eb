// Reading and writing the frame's fixed part, lane table and lane records.
#include "lanes/frame.hpp"

#include <cstring>
#include <string>

#include "lanes/bytes.hpp"

namespace vantoresk::lanes {
namespace {

struct DtypeName {
    const char code[4];
    vnt_dtype dtype;
    bool big_endian;
    int since;  // the first version that holds it
};
constexpr DtypeName kDtypes[] = {
    {"<f4", VNT_FLOAT32, false, 1}, {">f4", VNT_FLOAT32, true, 1}, {"<f8", VNT_FLOAT64, false, 1},
    {">f8", VNT_FLOAT64, true, 1},  {"|i1", VNT_INT8, false, 2},   {"|u1", VNT_UINT8, false, 2},
    {"<i2", VNT_INT16, false, 2},   {">i2", VNT_INT16, true, 2},   {"<u2", VNT_UINT16, false, 2},
    {">u2", VNT_UINT16, true, 2},   {"<i4", VNT_INT32, false, 2},  {">i4", VNT_INT32, true, 2},
};

std::string printable(std::span<const std::uint8_t> bytes) {
    std::string out = "b'";
    for (std::uint8_t c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out + "'";
}

}  // namespace

std::uint64_t FrameHeader::lane_count() const noexcept {
    std::uint64_t n = 1;
    for (int i = 0; i < ndim; ++i)
        if (i != axis) n *= shape[i];  // bounded by kMaxElements once read_header has passed
    return n;
}

std::uint64_t FrameHeader::element_count() const noexcept { return lane_count() * lane_length(); }

bool dtype_code(vnt_dtype dtype, bool big_endian, std::array<char, 3>& code) {
    if (itemsize(dtype) == 1) big_endian = false;
    for (const DtypeName& d : kDtypes) {
        if (d.dtype == dtype && d.big_endian == big_endian) {
            std::memcpy(code.data(), d.code, 3);
            return true;
        }
    }
    return false;
}

LResult<FrameHeader> read_header(std::span<const std::uint8_t> frame, std::size_t& table) {
    const std::size_t size = frame.size();
    if (size < 16) return bad_frame(std::to_string(size) + " bytes is too short");
    if (std::memcmp(frame.data(), kMagic, 4) != 0)
        return bad_frame("magic should be b'VNLF' but it was " + printable(frame.first(4)));
    FrameHeader head;
    head.version = frame[4];
    if (head.version < 1 || head.version > kNewestVersion)
        return lane_fail(VNT_UNSUPPORTED, "not a valid vantoresk frame: version " + std::to_string(head.version) +
                                              " is not supported by this release (it reads versions 1 and 2)");
    if (crc32_of(frame.first(size - 4)) != load_u32(frame.data() + size - 4))
        return bad_frame("checksum mismatch (the frame is damaged or truncated)");
    const DtypeName* found = nullptr;
    for (const DtypeName& d : kDtypes)
        if (std::memcmp(frame.data() + 5, d.code, 3) == 0 && d.since <= head.version) found = &d;
    if (found == nullptr) return bad_frame("unknown dtype " + printable(frame.subspan(5, 3)));
    head.dtype = found->dtype;
    head.big_endian = found->big_endian;
    if (frame[8] != 'C' && frame[8] != 'F') return bad_frame("unknown memory order " + printable(frame.subspan(8, 1)));
    head.order = static_cast<char>(frame[8]);
    head.ndim = frame[9];
    head.axis = frame[10];
    if (head.ndim < 1 || head.ndim > kMaxNdim || head.axis >= head.ndim || frame[11] != 0)
        return bad_frame("bad layout (ndim " + std::to_string(head.ndim) + ", axis " + std::to_string(head.axis) + ")");
    const std::size_t end = 12 + 8 * static_cast<std::size_t>(head.ndim);
    if (end > size - 4) return bad_frame("truncated shape");
    std::uint64_t product = 1;
    bool too_big = false;
    std::string shape_text = "(";
    for (int i = 0; i < head.ndim; ++i) {
        const std::uint64_t d = load_u64(frame.data() + 12 + 8 * i);
        head.shape[i] = d;
        shape_text += std::to_string(d) + (head.ndim == 1 ? "," : (i + 1 < head.ndim ? ", " : ""));
        if (d != 0) {
            if (d > kMaxElements || product > kMaxElements / d) too_big = true;
            else product *= d;
        }
    }
    shape_text += ")";
    if (too_big) return bad_frame("shape " + shape_text + " is out of range");
    if (head.lane_length() > kMaxLaneLength)
        return bad_frame("lane length " + std::to_string(head.lane_length()) + " is out of range");
    table = end;
    return head;
}

LResult<std::vector<std::span<const std::uint8_t>>> split_lanes(std::span<const std::uint8_t> frame,
                                                                const FrameHeader& head, std::size_t table) {
    const std::uint64_t count = head.lane_count();
    const std::size_t room = frame.size() - 4 - table;
    if (count > room / 4) {
        std::string shape = "(";
        for (int i = 0; i < head.ndim; ++i)
            shape += std::to_string(head.shape[i]) + (head.ndim == 1 ? "," : (i + 1 < head.ndim ? ", " : ""));
        return bad_frame("shape " + shape + ") needs " + std::to_string(count) + " lanes, more than the frame can hold");
    }
    std::vector<std::span<const std::uint8_t>> out;
    out.reserve(count);
    std::uint64_t pos = table + 4 * count;
    const std::uint64_t end = frame.size() - 4;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t len = load_u32(frame.data() + table + 4 * i);
        if (pos + len > end) return bad_frame("lane lengths do not add up to the frame's size");
        out.push_back(frame.subspan(pos, len));
        pos += len;
    }
    if (pos != end) return bad_frame("lane lengths do not add up to the frame's size");
    return out;
}

LResult<LaneRecord> read_lane(std::span<const std::uint8_t> record, const FrameHeader& head) {
    if (record.size() < 8) return bad_frame("truncated lane record");
    LaneRecord lane;
    lane.kind = record[0];
    const int newest_kind = head.version >= 2 ? kNearLossless : kGrid;
    if (lane.kind > newest_kind || record[1] != 0 || record[2] != 0 || record[3] != 0)
        return bad_frame("unknown lane kind " + std::to_string(lane.kind));
    const std::uint64_t nruns = load_u32(record.data() + 4);
    const std::size_t size = itemsize(head.dtype);
    const std::size_t step = 8 + size;
    std::size_t pos = 8;
    if (nruns > (record.size() - pos) / step) return bad_frame("truncated non-finite runs");
    if (nruns != 0 && !is_float(head.dtype)) return bad_frame("non-finite runs in an integer lane");
    lane.runs.reserve(nruns);
    std::uint64_t last_end = 0;
    const std::uint64_t length = head.lane_length();
    for (std::uint64_t r = 0; r < nruns; ++r) {
        const std::uint32_t start = load_u32(record.data() + pos);
        const std::uint32_t len = load_u32(record.data() + pos + 4);
        const std::uint64_t bits = size == 4 ? load_u32(record.data() + pos + 8) : load_u64(record.data() + pos + 8);
        if (len == 0 || start < last_end || std::uint64_t{start} + len > length)
            return bad_frame("non-finite run out of place");
        last_end = std::uint64_t{start} + len;
        lane.runs.push_back(Run{start, len, bits});
        pos += step;
    }
    lane.body = record.subspan(pos);
    return lane;
}

void append_lane_head(std::uint8_t kind, std::span<const Run> runs, std::size_t itemsize_bytes,
                      std::vector<std::uint8_t>& out) {
    out.push_back(kind);
    out.push_back(0);
    out.push_back(0);
    out.push_back(0);
    put_u32(out, static_cast<std::uint32_t>(runs.size()));
    for (const Run& r : runs) {
        put_u32(out, r.start);
        put_u32(out, r.length);
        for (std::size_t b = 0; b < itemsize_bytes; ++b) out.push_back(static_cast<std::uint8_t>(r.bits >> (8 * b)));
    }
}

LResult<std::vector<std::uint8_t>> pack_frame(const FrameHeader& head,
                                              std::span<const std::vector<std::uint8_t>> records) {
    std::array<char, 3> code{};
    if (!dtype_code(head.dtype, head.big_endian, code)) return bad_argument("unknown dtype");
    std::uint64_t total = 12 + 8 * static_cast<std::uint64_t>(head.ndim) + 4 * records.size() + 4;
    for (const auto& r : records) {
        if (r.size() > 0xFFFFFFFFULL)
            return bad_argument("a lane record larger than 4 GiB does not fit in a frame; use smaller chunks");
        total += r.size();
    }
    std::vector<std::uint8_t> out;
    out.reserve(total);
    out.insert(out.end(), kMagic, kMagic + 4);
    out.push_back(static_cast<std::uint8_t>(head.version));
    out.insert(out.end(), code.begin(), code.end());
    out.push_back(static_cast<std::uint8_t>(head.order));
    out.push_back(static_cast<std::uint8_t>(head.ndim));
    out.push_back(static_cast<std::uint8_t>(head.axis));
    out.push_back(0);
    for (int i = 0; i < head.ndim; ++i) put_u64(out, head.shape[i]);
    for (const auto& r : records) put_u32(out, static_cast<std::uint32_t>(r.size()));
    for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
    put_u32(out, crc32_of(out));
    return out;
}

}  // namespace vantoresk::lanes
