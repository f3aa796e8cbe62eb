// Kind 5 bodies: the mapping, then the level coder's stream.
#include "lanes/level_lane.hpp"

#include <cmath>
#include <string>

#include "lanes/grid.hpp"
#include "lanes/near_lossless.hpp"

namespace vantoresk::lanes {

void level_lane_head(std::uint64_t k, const LevelMap& map, std::vector<std::uint8_t>& out,
                     const LevelCorrections& corrections) {
    out.push_back(map.mapping);
    put_u64(out, k);
    if (map.mapping == kOnGrid || map.mapping == kOnGridCorrected) {
        put_f64(out, map.a);
        put_f64(out, map.b);
        if (map.mapping == kOnGridCorrected) {
            out.push_back(static_cast<std::uint8_t>(corrections.width));
            put_u32(out, static_cast<std::uint32_t>(corrections.count));
            put_u32(out, static_cast<std::uint32_t>(corrections.stream.size()));
            out.insert(out.end(), corrections.stream.begin(), corrections.stream.end());
        }
    } else if (map.mapping == kBins) {
        put_f64(out, map.b);
    }
}

Status level_lane_body(std::span<const std::int64_t> levels, std::uint64_t k, const LevelMap& map,
                       std::vector<std::uint8_t>& out, const LevelCorrections& corrections) {
    level_lane_head(k, map, out, corrections);
    return encode_levels(levels, k, out);
}

LResult<LevelLaneInfo> read_level_lane(std::span<const std::uint8_t> body, vnt_dtype dtype) {
    if (body.size() < 9) return bad_frame("near-lossless lane: truncated header");
    LevelLaneInfo info;
    const std::uint8_t mapping = body[0];
    info.k = load_u64(body.data() + 1);
    std::size_t pos = 9;
    if (mapping > kOnGridCorrected) return bad_frame("near-lossless lane: unknown mapping " + std::to_string(mapping));
    if (mapping != kIdentity && !is_float(dtype))
        return bad_frame("near-lossless lane: an integer lane must map levels as they are");
    info.map.mapping = static_cast<LevelMapping>(mapping);
    if (mapping == kOnGrid || mapping == kOnGridCorrected) {
        if (body.size() < pos + 16) return bad_frame("near-lossless lane: truncated grid");
        info.map.a = load_f64(body.data() + pos);
        info.map.b = load_f64(body.data() + pos + 8);
        pos += 16;
        if (mapping == kOnGridCorrected) {
            if (body.size() < pos + 9) return bad_frame("near-lossless lane: truncated corrections");
            info.correction_width = body[pos];
            info.corrections = load_u32(body.data() + pos + 1);
            const std::uint64_t length = load_u32(body.data() + pos + 5);
            pos += 9;
            if (length > body.size() - pos) return bad_frame("near-lossless lane: truncated corrections");
            info.correction_stream = body.subspan(pos, length);
            pos += length;
        }
    } else if (mapping == kBins) {
        if (body.size() < pos + 8) return bad_frame("near-lossless lane: truncated step");
        info.map.b = load_f64(body.data() + pos);
        pos += 8;
    }
    info.head = pos;
    return info;
}

template <LaneValue T>
Status decode_level_lane(std::span<const std::uint8_t> body, vnt_dtype dtype, std::span<T> out,
                         std::span<std::int64_t> levels) {
    auto info = read_level_lane(body, dtype);
    if (!info) return support::Err<LaneError>{std::move(info).error()};
    if (levels.size() != out.size()) return bad_argument("near-lossless lane: working memory of another length");
    if (auto s = decode_levels(body.subspan(info->head), levels); !s) return s;
    const std::int64_t lo = int_min(dtype), hi = int_max(dtype);
    const LevelMap m = info->map;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = level_value<T>(m, levels[i], lo, hi);
    if constexpr (std::is_floating_point_v<T>) {
        if (m.mapping == kOnGridCorrected)
            return apply_corrections<T>(info->correction_stream, info->correction_width, info->corrections, out,
                                        "near-lossless lane: ");
    }
    return {};
}

template Status decode_level_lane<float>(std::span<const std::uint8_t>, vnt_dtype, std::span<float>,
                                         std::span<std::int64_t>);
template Status decode_level_lane<double>(std::span<const std::uint8_t>, vnt_dtype, std::span<double>,
                                          std::span<std::int64_t>);
template Status decode_level_lane<std::int64_t>(std::span<const std::uint8_t>, vnt_dtype, std::span<std::int64_t>,
                                                std::span<std::int64_t>);

}  // namespace vantoresk::lanes
