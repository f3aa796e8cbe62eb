#include "core/compress_steps.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "core/arans/arans.hpp"
#include "core/band_layout.hpp"
#include "core/header.hpp"

namespace vantoresk {
namespace {

constexpr std::size_t kBlock = 8;

// Orders finite floats as integers with -0.0 below +0.0: negative patterns
// have their magnitude bits flipped, so the key rises with the value. The
// map is its own inverse.
inline std::int32_t order_key_of_bits(std::int32_t k) { return k ^ ((k >> 31) & 0x7FFFFFFF); }
inline std::int32_t order_key(float v) { return order_key_of_bits(std::bit_cast<std::int32_t>(v)); }
inline float from_order_key(std::int32_t k) { return std::bit_cast<float>(k ^ ((k >> 31) & 0x7FFFFFFF)); }

inline float sanitise_one(float v) {
    const auto b = std::bit_cast<std::uint32_t>(v);
    const bool finite = (b & 0x7FFFFFFFu) < 0x7F800000u;
    const float replacement = (b == 0x7F800000u) ? 1.0f : 0.0f;
    return finite ? v : replacement;
}

// sanitise_one on the bit pattern with masks instead of selects, so that a
// block of them vectorises: +inf -> 1.0f, other non-finite -> +0.0f.
inline std::uint32_t sanitise_bits(std::uint32_t b) {
    const std::uint32_t finite = 0u - static_cast<std::uint32_t>((b & 0x7FFFFFFFu) < 0x7F800000u);
    const std::uint32_t one = (0u - static_cast<std::uint32_t>(b == 0x7F800000u)) & 0x3F800000u;
    return (b & finite) | (one & ~finite);
}

}  // namespace

SampleRange sanitise_and_measure(std::span<const float> in, std::span<float> out) {
    const std::size_t n = in.size();
    const float* s = in.data();
    float* d = out.data();
    std::int32_t lo = order_key(sanitise_one(s[0]));
    std::int32_t hi = lo;
    std::size_t i = 0;
    // Lane-wise extremes over blocks, folded at the end: min and max are
    // exact, so the order of folding cannot show.
    std::int32_t lane_lo[kBlock];
    std::int32_t lane_hi[kBlock];
    for (std::size_t j = 0; j < kBlock; ++j) lane_lo[j] = lane_hi[j] = lo;
    for (; i + kBlock <= n; i += kBlock) {
        std::uint32_t block[kBlock];
        std::memcpy(block, s + i, sizeof block);
        for (std::size_t j = 0; j < kBlock; ++j) {
            block[j] = sanitise_bits(block[j]);
            const std::int32_t key = order_key_of_bits(static_cast<std::int32_t>(block[j]));
            lane_lo[j] = key < lane_lo[j] ? key : lane_lo[j];
            lane_hi[j] = key > lane_hi[j] ? key : lane_hi[j];
        }
        std::memcpy(d + i, block, sizeof block);
    }
    for (std::size_t j = 0; j < kBlock; ++j) {
        lo = std::min(lo, lane_lo[j]);
        hi = std::max(hi, lane_hi[j]);
    }
    for (; i < n; ++i) {
        const float v = sanitise_one(s[i]);
        d[i] = v;
        lo = std::min(lo, order_key(v));
        hi = std::max(hi, order_key(v));
    }
    return {from_order_key(lo), from_order_key(hi)};
}

float normalise(std::span<float> x, SampleRange r) {
    const std::size_t n = x.size();
    float* v = x.data();
    const float range = r.maximum - r.minimum;
    const float inv = 1.0f / range;
    if (!std::isfinite(inv)) {
        std::fill(x.begin(), x.end(), 0.0f);
        return 0.0f;
    }
    const float minimum = r.minimum;
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) v[i + j] = (v[i + j] - minimum) * inv;
    }
    for (; i < n; ++i) v[i] = (v[i] - minimum) * inv;

    // Deliberately one accumulator in index order (see the header).
    float sum = 0.0f;
    for (i = 0; i < n; ++i) sum += v[i];
    const float mean = sum / static_cast<float>(n);

    for (i = 0; i + kBlock <= n; i += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) v[i + j] -= mean;
    }
    for (; i < n; ++i) v[i] -= mean;
    return mean;
}

bool leaves_decoding_headroom(SampleRange r) {
    // In double, where neither the sum nor the difference can round or
    // overflow, so the bound holds exactly.
    const double minimum = r.minimum;
    const double maximum = r.maximum;
    const double peak = std::max(std::fabs(minimum), std::fabs(maximum));
    return peak + 0.5 * (maximum - minimum) <= static_cast<double>(std::numeric_limits<float>::max());
}

std::size_t compute_max_levels(std::size_t n, std::size_t filter_length) {
    if (n < filter_length) return 1;
    const auto divisor = static_cast<std::uint32_t>(filter_length);
    if (divisor == 0) return 1;
    const std::uint64_t q = static_cast<std::uint32_t>(n) / divisor;
    if (q == 1) return 1;
    if (q == 0) return 8;
    return std::min<std::size_t>(static_cast<std::size_t>(std::bit_width(q) - 1), 8);
}

std::size_t level_count_for(std::size_t n, std::size_t filter_length) {
    if (n < 20) return 1;
    if (n < 40) return 2;
    if (n < 60) return 3;
    if (n < 80) return 4;
    return compute_max_levels(n, filter_length);
}

VResult<std::uint8_t> coder_byte_for(EntropyCoder coder, std::size_t code_count) {
    const bool arans_can_read = code_count <= arans::kMaxPlaneLength;
    switch (coder) {
        case EntropyCoder::Deflate:
            return kCoderDeflate;
        case EntropyCoder::Auto:
            return arans_can_read ? kCoderArans : kCoderDeflate;
        case EntropyCoder::Arans:
            if (arans_can_read) return kCoderArans;
            return fail(VantoreskError::unsupported_configuration(
                "Can't code more than " + std::to_string(arans::kMaxPlaneLength) +
                " coefficients with arans, but there were " + std::to_string(code_count)));
    }
    return fail(VantoreskError::unsupported_configuration(
        "Unknown entropy coder option " + std::to_string(static_cast<unsigned>(coder))));
}

std::size_t code_count_for(const tremora::DwtExecutor& executor, std::size_t n, std::size_t levels) {
    return band_layout(executor, n, levels).codes;
}

std::optional<VResult<std::uint8_t>> coder_byte_before_transform(EntropyCoder coder,
                                                                 const tremora::DwtExecutor& executor,
                                                                 std::size_t n, std::size_t levels) {
    std::size_t fewest = SIZE_MAX;
    std::size_t most = 0;
    for (std::size_t depth = 1; depth <= levels; ++depth) {
        const std::size_t codes = code_count_for(executor, n, depth);
        fewest = std::min(fewest, codes);
        most = std::max(most, codes);
    }
    // coder_byte_for depends on the count only through one threshold, so
    // the two ends agreeing means every depth in between agrees too.
    auto at_fewest = coder_byte_for(coder, fewest);
    auto at_most = coder_byte_for(coder, most);
    if (at_fewest.ok() != at_most.ok()) return std::nullopt;
    if (at_fewest.ok() && at_fewest.value() != at_most.value()) return std::nullopt;
    if (at_fewest.ok()) return at_fewest;
    return coder_byte_for(coder, code_count_for(executor, n, levels));
}

VResult<std::uint32_t> payload_length_field(std::size_t size) {
    if (size > 0xFFFFFFFFu) {
        return fail(VantoreskError::unsupported_configuration(
            "Can't store a payload of more than 4294967295 bytes, but it was " + std::to_string(size)));
    }
    return static_cast<std::uint32_t>(size);
}

}  // namespace vantoresk
