#include "core/header.hpp"

#include <bit>
#include <cstring>

namespace vantoresk {
namespace {

constexpr std::uint32_t kMagic = 0x52544E56;         // "VNTR"
constexpr std::uint16_t kVersion = 1;
constexpr std::uint16_t kSampleFormat = 0x3366;      // "f3"
constexpr char kTagTable[] = "cf53cf97db04sym4";

std::uint16_t load_u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t load_u32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
void store_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void store_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
template <std::size_t N>
std::array<std::uint8_t, N> load_bytes(const std::uint8_t* p) {
    std::array<std::uint8_t, N> out{};
    std::memcpy(out.data(), p, N);
    return out;
}

// Judged on the bit pattern, so NaN payloads and the sign play no part.
bool finite_bits(std::uint32_t bits) { return (bits & 0x7FFFFFFFu) < 0x7F800000u; }

}  // namespace

std::array<std::uint8_t, 4> wavelet_tag_of(CompressionMethod method) {
    const std::size_t at = 4 * static_cast<std::size_t>(method);
    std::array<std::uint8_t, 4> tag{};
    for (std::size_t i = 0; i < 4; ++i) tag[i] = static_cast<std::uint8_t>(kTagTable[at + i]);
    return tag;
}

std::optional<CompressionMethod> method_of_tag(std::array<std::uint8_t, 4> tag) {
    for (std::uint8_t m = 0; m < 4; ++m) {
        const auto method = static_cast<CompressionMethod>(m);
        if (wavelet_tag_of(method) == tag) return method;
    }
    return std::nullopt;
}

VResult<VantoreskHeader> VantoreskHeader::from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return fail(VantoreskError::invalid_header());
    const std::uint8_t* p = bytes.data();

    VantoreskHeader h;
    h.magic = load_bytes<4>(p);
    if (load_u32(p) != kMagic) return fail(VantoreskError::invalid_magic(h.magic));
    h.version = load_u16(p + 4);
    if (h.version != kVersion) return fail(VantoreskError::invalid_version(load_bytes<2>(p + 4)));
    h.sample_format = load_bytes<2>(p + 6);
    if (load_u16(p + 6) != kSampleFormat) return fail(VantoreskError::invalid_sample_format(h.sample_format));
    h.wavelet_tag = load_bytes<4>(p + 8);
    if (!method_of_tag(h.wavelet_tag)) return fail(VantoreskError::invalid_method(h.wavelet_tag));
    h.level_count = p[12];
    h.scale = p[13];
    h.coder = p[14];
    if (h.coder != kCoderDeflate && h.coder != kCoderArans) return fail(VantoreskError::unknown_entropy_coder(h.coder));
    h.reserved = p[15];
    h.sample_count = load_u32(p + 16);
    const std::uint32_t min_bits = load_u32(p + 20);
    const std::uint32_t max_bits = load_u32(p + 24);
    const std::uint32_t mean_bits = load_u32(p + 28);
    if (!finite_bits(min_bits) || !finite_bits(max_bits) || !finite_bits(mean_bits)) {
        return fail(VantoreskError::invalid_header());
    }
    h.minimum = std::bit_cast<float>(min_bits);
    h.maximum = std::bit_cast<float>(max_bits);
    h.mean = std::bit_cast<float>(mean_bits);
    h.payload_length = load_u32(p + 32);
    h.reserved_tail = load_bytes<16>(p + 36);
    return h;
}

std::array<std::uint8_t, kHeaderSize> VantoreskHeader::to_bytes() const {
    std::array<std::uint8_t, kHeaderSize> out{};
    std::uint8_t* p = out.data();
    std::memcpy(p, magic.data(), 4);
    store_u16(p + 4, version);
    std::memcpy(p + 6, sample_format.data(), 2);
    std::memcpy(p + 8, wavelet_tag.data(), 4);
    p[12] = level_count;
    p[13] = scale;
    p[14] = coder;
    p[15] = reserved;
    store_u32(p + 16, sample_count);
    store_u32(p + 20, std::bit_cast<std::uint32_t>(minimum));
    store_u32(p + 24, std::bit_cast<std::uint32_t>(maximum));
    store_u32(p + 28, std::bit_cast<std::uint32_t>(mean));
    store_u32(p + 32, payload_length);
    std::memcpy(p + 36, reserved_tail.data(), 16);
    return out;
}

VantoreskHeader make_header(CompressionMethod method, std::uint8_t level_count, std::uint8_t scale,
                            std::uint8_t coder, std::uint32_t sample_count, float minimum, float maximum,
                            float mean, std::uint32_t payload_length) {
    VantoreskHeader h;
    h.magic = {'V', 'N', 'T', 'R'};
    h.version = kVersion;
    h.sample_format = {'f', '3'};
    h.wavelet_tag = wavelet_tag_of(method);
    h.level_count = level_count;
    h.scale = scale;
    h.coder = coder;
    h.reserved = 0;
    h.sample_count = sample_count;
    h.minimum = minimum;
    h.maximum = maximum;
    h.mean = mean;
    h.payload_length = payload_length;
    return h;
}

}  // namespace vantoresk
