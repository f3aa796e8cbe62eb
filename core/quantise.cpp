#include "core/quantise.hpp"

#include <bit>
#include <cstring>

namespace vantoresk {
namespace {

constexpr std::size_t kBlock = 8;
constexpr float kCodeMax = 32767.0f;
constexpr float kCodeMin = -32768.0f;

// min/max as the format defines them: the comparison is false for NaN, so
// the bound wins. Written as selects so that blocks of them vectorise.
inline float clamp_code(float p) {
    p = (p < kCodeMax) ? p : kCodeMax;
    p = (p > kCodeMin) ? p : kCodeMin;
    return p;
}

inline bool out_of_code_range(float p) { return !(p >= kCodeMin && p <= kCodeMax); }

}  // namespace

float inverse_scale_factor(std::uint8_t scale) {
    return std::bit_cast<float>(0x3F800000u - (std::uint32_t{scale} << 23));
}

std::int16_t quantise_one(float w, float m) {
    return static_cast<std::int16_t>(static_cast<std::int32_t>(clamp_code(w * m)));
}

bool quantise_band(std::span<const float> band, float m, std::span<std::int16_t> codes) {
    const std::size_t n = band.size();
    const float* w = band.data();
    std::int16_t* c = codes.data();
    bool clamped = false;
    std::size_t i = 0;
    // Written so that it vectorises: the range test as bitwise ands of the
    // two comparisons (a short-circuit would be control flow), the codes
    // truncated to 32 bits before they are narrowed.
    for (; i + kBlock <= n; i += kBlock) {
        std::int32_t wide[kBlock];
        unsigned in_range[kBlock];
        for (std::size_t j = 0; j < kBlock; ++j) {
            const float p = w[i + j] * m;
            in_range[j] = static_cast<unsigned>(p >= kCodeMin) & static_cast<unsigned>(p <= kCodeMax);
            wide[j] = static_cast<std::int32_t>(clamp_code(p));
        }
        unsigned block_clamped = 0;
        for (std::size_t j = 0; j < kBlock; ++j) {
            c[i + j] = static_cast<std::int16_t>(wide[j]);
            block_clamped |= in_range[j] ^ 1u;
        }
        clamped |= block_clamped != 0;
    }
    for (; i < n; ++i) {
        const float p = w[i] * m;
        clamped |= out_of_code_range(p);
        c[i] = static_cast<std::int16_t>(static_cast<std::int32_t>(clamp_code(p)));
    }
    return clamped;
}

int dead_zone_threshold(std::uint8_t scale, CutoffLevel cutoff) {
    static constexpr int kBase[kMaxScale - kMinScale + 1] = {0, 0, 1, 1, 2, 2, 3};
    static constexpr int kMultiplier[3] = {1, 3, 7};
    if (!scale_supported(scale)) return 0;
    const auto k = static_cast<std::size_t>(cutoff);
    return kBase[scale - kMinScale] * (k < 3 ? kMultiplier[k] : 1);
}

void apply_dead_zone(std::span<std::int16_t> codes, int threshold) {
    if (threshold <= 1) return;  // |c| < 1 only holds for 0 itself
    const std::size_t n = codes.size();
    std::int16_t* c = codes.data();
    std::size_t i = 0;
    const auto one = [threshold](std::int16_t v) -> std::int16_t {
        const int a = v < 0 ? -static_cast<int>(v) : static_cast<int>(v);
        return a < threshold ? std::int16_t{0} : v;
    };
    for (; i + kBlock <= n; i += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) c[i + j] = one(c[i + j]);
    }
    for (; i < n; ++i) c[i] = one(c[i]);
}

void store_codes_le(std::span<const std::int16_t> codes, std::uint8_t* bytes) {
    const std::size_t n = codes.size();
    if constexpr (std::endian::native == std::endian::little) {
        if (n != 0) std::memcpy(bytes, codes.data(), 2 * n);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto u = static_cast<std::uint16_t>(codes[i]);
        bytes[2 * i] = static_cast<std::uint8_t>(u);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
}

void dequantise_le(const std::uint8_t* bytes, float inv, std::span<float> out) {
    const std::size_t n = out.size();
    float* o = out.data();
    const auto one = [inv](const std::uint8_t* b) {
        const auto code = static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] | (b[1] << 8)));
        return static_cast<float>(code) * inv;
    };
    std::size_t i = 0;
    // The decoder dequantises in place (`out` below `bytes` in one buffer),
    // which a vectoriser's overlap check sends to a scalar loop. Each block's
    // codes are read into a local array first, so the block reads end before
    // its stores begin and the compiler sees that they cannot meet.
    for (; i + kBlock <= n; i += kBlock) {
        std::int16_t block[kBlock];
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(block, bytes + 2 * i, sizeof block);
        } else {
            for (std::size_t j = 0; j < kBlock; ++j) {
                const std::uint8_t* const b = bytes + 2 * (i + j);
                block[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] | (b[1] << 8)));
            }
        }
        for (std::size_t j = 0; j < kBlock; ++j) o[i + j] = static_cast<float>(block[j]) * inv;
    }
    for (; i < n; ++i) o[i] = one(bytes + 2 * i);
}

}  // namespace vantoresk
