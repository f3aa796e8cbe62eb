// Kind 0 through the codec's own compressor and decompressor.
#include "lanes/container_lane.hpp"

#include <cmath>

#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "lanes/bytes.hpp"

namespace vantoresk::lanes {

template <LaneValue T>
bool container_can_hold(std::span<const T> values) noexcept {
    if (values.empty()) return false;
    if constexpr (std::is_floating_point_v<T>) {
        for (T v : values)
            if (!(std::fabs(static_cast<double>(v)) <= kContainerLargest)) return false;
    }
    return true;
}

template <LaneValue T>
Status container_body(std::span<const T> values, CompressionOptions options, std::vector<std::uint8_t>& out) {
    VResult<std::vector<std::uint8_t>> made = [&]() -> VResult<std::vector<std::uint8_t>> {
        if constexpr (std::is_same_v<T, float>) {
            return compress(values, options);
        } else if constexpr (std::is_same_v<T, double>) {
            auto taken = take_samples(values, options);
            if (!taken) return fail(std::move(taken).error());
            return compress_taken(std::move(taken).value());
        } else {
            std::vector<float> f(values.size());
            for (std::size_t i = 0; i < values.size(); ++i) f[i] = static_cast<float>(values[i]);
            return compress(f, options);
        }
    }();
    if (!made) {
        const auto& e = made.error();
        return lane_fail(e.kind() == VantoreskError::Kind::OutOfMemory ? VNT_OUT_OF_MEMORY : VNT_INTERNAL,
                         e.display());
    }
    out.insert(out.end(), made->begin(), made->end());
    return {};
}

bool container_plausible(std::span<const std::uint8_t> body, std::uint64_t length) noexcept {
    // A container codes at least one 16-bit code per sample, and neither of
    // its coders gives back more than kMaxInflation bytes per byte (DEFLATE's
    // limit; the binary coder's is lower): a header that claims more samples
    // than kMaxInflation per payload byte (twice what any container reaches)
    // is refused before anything of the lane's size is allocated.
    return body.size() > kContainerHeader && load_u32(body.data() + 16) == length &&
           static_cast<std::uint64_t>(body.size() - kContainerHeader) * kMaxInflation >= length;
}

template <LaneValue T>
Status decode_container(std::span<const std::uint8_t> body, vnt_dtype dtype, std::span<T> out) {
    auto samples = decompress(body);
    if (!samples) return bad_frame(samples.error().display());
    const std::vector<float>& f = samples.value();
    if (f.size() != out.size()) return bad_frame("container does not hold the lane's length");
    if constexpr (std::is_floating_point_v<T>) {
        for (std::size_t i = 0; i < f.size(); ++i) out[i] = static_cast<T>(f[i]);
    } else {
        const auto lo = static_cast<double>(int_min(dtype)), hi = static_cast<double>(int_max(dtype));
        for (std::size_t i = 0; i < f.size(); ++i) {
            double v = std::nearbyint(static_cast<double>(f[i]));
            v = v < lo ? lo : (v > hi ? hi : v);  // NaN stays NaN here
            out[i] = v == v ? static_cast<std::int64_t>(v) : 0;
        }
    }
    return {};
}

#define VANTORESK_CONTAINER(T)                                                                            \
    template bool container_can_hold<T>(std::span<const T>) noexcept;                                    \
    template Status container_body<T>(std::span<const T>, CompressionOptions, std::vector<std::uint8_t>&); \
    template Status decode_container<T>(std::span<const std::uint8_t>, vnt_dtype, std::span<T>);
VANTORESK_CONTAINER(float)
VANTORESK_CONTAINER(double)
VANTORESK_CONTAINER(std::int64_t)
#undef VANTORESK_CONTAINER

}  // namespace vantoresk::lanes
