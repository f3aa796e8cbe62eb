// decompress: container -> exactly sample_count float32 samples.
//
//   header checks -> executor from the tag -> band layout from dwt_size
//   -> payload (inflate or arans) -> codes -> scale check -> dequantise
//   -> multi_idwt -> fma(mean + x, range, minimum) -> trim / zero-extend
//
// Nothing here trusts a size from the container before data backs it: the
// inflater stops at the bytes the layout can use, the codes are counted
// against the layout before any band is built, and every buffer is reserved
// with a reservation that reports failure as a value.
#include "core/decompressor.hpp"

#include <array>
#include <cmath>
#include <string>

#include "core/arans/arans.hpp"
#include "core/deflate.hpp"
#include "core/header.hpp"
#include "core/quantise.hpp"
#include "core/wavelet_choice.hpp"
#include "support/fallible.hpp"

namespace vantoresk {
namespace {

constexpr std::size_t kMaxLevels = 10;
constexpr std::size_t kBlock = 8;

struct BandLayout {
    std::size_t levels = 0;
    std::array<tremora::DwtSize, kMaxLevels> sizes{};  // level k at index k - 1
    std::size_t codes = 0;                             // A_L + D_1 + ... + D_L
};

BandLayout band_layout(const tremora::DwtExecutor& executor, std::size_t n, std::size_t levels) {
    BandLayout layout;
    layout.levels = levels;
    std::size_t input = std::max(n, executor.filter_length());
    for (std::size_t k = 0; k < levels; ++k) {
        layout.sizes[k] = executor.dwt_size(input);
        input = layout.sizes[k].approx_length;
        layout.codes += layout.sizes[k].details_length;
    }
    layout.codes += layout.sizes[levels - 1].approx_length;
    return layout;
}

VResult<std::vector<std::uint8_t>> decode_payload(std::uint8_t coder, std::span<const std::uint8_t> payload,
                                                  std::size_t usable_bytes) {
    if (coder == kCoderDeflate) return inflate_raw(payload, usable_bytes);
    auto decoded = arans::decode_stream(payload);
    if (!decoded) return fail(VantoreskError::decompression_failed(std::string(arans::message(decoded.error()))));
    return std::move(decoded).value();
}

void denormalise(std::span<float> x, float mean, float range, float minimum) {
    const std::size_t n = x.size();
    float* v = x.data();
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        for (std::size_t j = 0; j < kBlock; ++j) v[i + j] = std::fma(mean + v[i + j], range, minimum);
    }
    for (; i < n; ++i) v[i] = std::fma(mean + v[i], range, minimum);
}

}  // namespace

VResult<std::vector<float>> decompress(std::span<const std::uint8_t> container) {
    auto parsed = VantoreskHeader::from_bytes(container);
    if (!parsed) return fail(std::move(parsed).error());
    const VantoreskHeader& header = parsed.value();
    const std::uint32_t n = header.sample_count;
    const std::size_t levels = header.level_count;

    if (n > kMaxSampleCount) {
        return fail(VantoreskError::decompression_failed(
            "Can't decompress data bigger than " + std::to_string(kMaxSampleCount) + ", but data was " +
            std::to_string(n)));
    }
    if (levels > kMaxLevels) {
        return fail(VantoreskError::decompression_failed("Max supported level is 10 but it was " +
                                                         std::to_string(levels)));
    }
    if (levels == 0) return fail(VantoreskError::decompression_failed("Min supported level is 1 but it was 0"));

    // from_bytes has vouched for the tag.
    const tremora::DwtExecutorHandle executor = make_executor(*method_of_tag(header.wavelet_tag));
    const BandLayout layout = band_layout(*executor, n, levels);

    const std::size_t room = container.size() - kHeaderSize;
    if (room < header.payload_length) {
        return fail(VantoreskError::decompression_failed(
            "Minimum data size is " + std::to_string(std::uint64_t{header.payload_length} + kHeaderSize) +
            ", but it was " + std::to_string(container.size())));
    }
    const auto payload = container.subspan(kHeaderSize, header.payload_length);

    auto decoded = decode_payload(header.coder, payload, 2 * layout.codes);
    if (!decoded) return fail(std::move(decoded).error());
    const std::vector<std::uint8_t>& bytes = decoded.value();

    // An odd final byte is no code; codes past the layout are ignored.
    const std::size_t codes = bytes.size() / 2;
    if (codes < layout.codes) {
        return fail(VantoreskError::decompression_failed(
            "Payload holds " + std::to_string(codes) + " coefficients but the band layout needs " +
            std::to_string(layout.codes)));
    }
    if (!scale_supported(header.scale)) {
        return fail(VantoreskError::decompression_failed(
            "Supported scales only [" + std::to_string(kMinScale) + ", " + std::to_string(kMaxScale) +
            "] but it was " + std::to_string(header.scale)));
    }

    // All bands in one buffer, in stream order: A_L, D_1, ..., D_L.
    std::vector<float> bands;
    if (!support::try_resize(bands, layout.codes)) return fail(VantoreskError::out_of_memory(layout.codes));
    dequantise_le(bytes.data(), inverse_scale_factor(header.scale), bands);
    decoded = std::vector<std::uint8_t>{};

    tremora::MultiDwtRef ref;
    const std::size_t approx_length = layout.sizes[levels - 1].approx_length;
    ref.approximation = std::span<const float>(bands).first(approx_length);
    std::size_t offset = approx_length;
    if (!support::try_reserve(ref.details, levels)) return fail(VantoreskError::out_of_memory(levels));
    for (std::size_t k = 0; k < levels; ++k) {
        const std::size_t len = layout.sizes[k].details_length;
        ref.details.push_back(std::span<const float>(bands).subspan(offset, len));
        offset += len;
    }

    auto reconstructed = executor->multi_idwt(ref);
    if (!reconstructed) return fail(VantoreskError::wavelet_failure(reconstructed.error().display()));
    std::vector<float> samples = std::move(reconstructed).value();
    std::vector<float>().swap(bands);

    // Surplus first, so that only kept samples are denormalised; a short
    // reconstruction is extended with plain zeros afterwards.
    const std::size_t produced = std::min<std::size_t>(samples.size(), n);
    samples.resize(produced);
    denormalise(samples, header.mean, header.maximum - header.minimum, header.minimum);
    if (!support::try_resize(samples, n)) return fail(VantoreskError::out_of_memory(n));
    return samples;
}

}  // namespace vantoresk
