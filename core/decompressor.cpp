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
#include <memory>
#include <new>
#include <string>

#include "core/arans/arans.hpp"
#include "core/band_layout.hpp"
#include "core/deflate.hpp"
#include "core/denormalise.hpp"
#include "core/header.hpp"
#include "core/quantise.hpp"
#include "core/wavelet_choice.hpp"
#include "support/fallible.hpp"
#include "support/scratch.hpp"

namespace vantoresk {
namespace {

// What the decoder needs of each coder, indexed by the coder byte (from_bytes
// admits only the bytes listed here).
//   reach        most bytes the payload can decode to: a DEFLATE stream
//                expands at most 1032-fold (a 258-byte match in two bits),
//                an rANS stream to the length its framing states (0 when the
//                framing is refused: decoding then fails before producing
//                anything)
//   decode_into  the payload's first `bytes.size()` bytes into `bytes`;
//                returns how many it holds in all
//   decode       the whole payload, of which `usable_bytes` matter (the
//                DEFLATE reader stops there)
struct PayloadCoder {
    std::uint64_t (*reach)(std::span<const std::uint8_t> payload);
    VResult<std::uint64_t> (*decode_into)(std::span<const std::uint8_t> payload, std::span<std::uint8_t> bytes);
    VResult<std::vector<std::uint8_t>> (*decode)(std::span<const std::uint8_t> payload, std::size_t usable_bytes);
};

VantoreskError arans_failure(arans::AransError error) {
    return VantoreskError::decompression_failed(std::string(arans::message(error)));
}

constexpr PayloadCoder kDeflatePayload{
    [](std::span<const std::uint8_t> payload) { return 1040 * std::uint64_t{payload.size()} + 1024; },
    [](std::span<const std::uint8_t> payload, std::span<std::uint8_t> bytes) -> VResult<std::uint64_t> {
        auto produced = inflate_raw_into(payload, bytes);
        if (!produced) return fail(std::move(produced).error());
        return std::uint64_t{produced.value()};
    },
    [](std::span<const std::uint8_t> payload, std::size_t usable_bytes) { return inflate_raw(payload, usable_bytes); },
};

constexpr PayloadCoder kAransPayload{
    [](std::span<const std::uint8_t> payload) {
        auto length = arans::decoded_length(payload);
        return length ? length.value() : std::uint64_t{0};
    },
    [](std::span<const std::uint8_t> payload, std::span<std::uint8_t> bytes) -> VResult<std::uint64_t> {
        auto decoded = arans::decode_stream_prefix(payload, bytes);
        if (!decoded) return fail(arans_failure(decoded.error()));
        return decoded.value();
    },
    [](std::span<const std::uint8_t> payload, std::size_t) -> VResult<std::vector<std::uint8_t>> {
        auto decoded = arans::decode_stream(payload);
        if (!decoded) return fail(arans_failure(decoded.error()));
        return std::move(decoded).value();
    },
};

constexpr std::array<const PayloadCoder*, 2> kPayloadCoders = [] {
    std::array<const PayloadCoder*, 2> table{};
    table[kCoderDeflate] = &kDeflatePayload;
    table[kCoderArans] = &kAransPayload;
    return table;
}();

VantoreskError too_few_codes(std::uint64_t codes, std::size_t needed) {
    return VantoreskError::decompression_failed("Payload holds " + std::to_string(codes) +
                                                " coefficients but the band layout needs " + std::to_string(needed));
}

VantoreskError bad_scale(std::uint8_t scale) {
    return VantoreskError::decompression_failed("Supported scales only [" + std::to_string(kMinScale) + ", " +
                                                std::to_string(kMaxScale) + "] but it was " + std::to_string(scale));
}

// The band buffer comes from the thread's kept working blocks: fresh pages
// for it on every call cost about as much as inflating the payload.
using Bands = support::Scratch<float>;

// The bands, A_L, D_1, ..., D_L in one buffer, from the payload. The buffer
// is sized from the layout once and its pages are touched only as data
// fills them: the codes are decoded into its upper half and dequantised
// forwards in place (float i is written at bytes 4i..4i+3, below the code
// bytes 2c + 2i.. still to be read, for every i < c).
VResult<Bands> decode_bands(const VantoreskHeader& header, std::span<const std::uint8_t> payload, std::size_t codes) {
    const PayloadCoder& coder = *kPayloadCoders[header.coder];
    // A payload that cannot fill the layout fails for too few codes (or
    // earlier); it is decoded into what it can reach, never into the layout.
    if (const std::uint64_t reach = coder.reach(payload); reach < 2 * std::uint64_t{codes}) {
        std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[reach + 1]);
        if (bytes) {
            auto held = coder.decode_into(payload, std::span(bytes.get(), reach));
            if (!held) return fail(std::move(held).error());
            return fail(too_few_codes(held.value() / 2, codes));
        }
    }
    Bands storage = Bands::take(codes);
    if (!storage) {
        // Not even address space for the layout: decode as the payload
        // allows, so that a short payload is still reported as such.
        auto decoded = coder.decode(payload, 2 * codes);
        if (!decoded) return fail(std::move(decoded).error());
        if (decoded.value().size() / 2 < codes) return fail(too_few_codes(decoded.value().size() / 2, codes));
        if (!scale_supported(header.scale)) return fail(bad_scale(header.scale));
        decoded.value().resize(2 * codes);  // shrinks: cannot throw
        Bands bands = Bands::take(codes);
        if (!bands) return fail(VantoreskError::out_of_memory(codes));
        dequantise_le(decoded.value().data(), inverse_scale_factor(header.scale), std::span(bands.get(), codes));
        return bands;
    }
    auto* const code_bytes = reinterpret_cast<std::uint8_t*>(storage.get()) + 2 * codes;
    auto held = coder.decode_into(payload, std::span(code_bytes, 2 * codes));
    if (!held) return fail(std::move(held).error());
    // An odd final byte is no code; codes past the layout are ignored.
    if (held.value() / 2 < codes) return fail(too_few_codes(held.value() / 2, codes));
    if (!scale_supported(header.scale)) return fail(bad_scale(header.scale));
    dequantise_le(code_bytes, inverse_scale_factor(header.scale), std::span(storage.get(), codes));
    return storage;
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

    auto decoded = decode_bands(header, payload, layout.codes);
    if (!decoded) return fail(std::move(decoded).error());
    const std::span<const float> bands(decoded.value().get(), layout.codes);

    tremora::MultiDwtRef ref;
    const std::size_t approx_length = layout.approx_length();
    ref.approximation = bands.first(approx_length);
    std::size_t offset = approx_length;
    if (!support::try_reserve(ref.details, levels)) return fail(VantoreskError::out_of_memory(levels));
    for (std::size_t k = 0; k < levels; ++k) {
        const std::size_t len = layout.sizes[k].details_length;
        ref.details.push_back(bands.subspan(offset, len));
        offset += len;
    }

    auto reconstructed = executor->multi_idwt(ref);
    if (!reconstructed) return fail(VantoreskError::wavelet_failure(reconstructed.error().display()));
    std::vector<float> samples = std::move(reconstructed).value();
    decoded = Bands();

    // Surplus first, so that only kept samples are denormalised; a short
    // reconstruction is extended with plain zeros afterwards.
    const std::size_t produced = std::min<std::size_t>(samples.size(), n);
    samples.resize(produced);
    denormalise(samples, header.mean, header.maximum - header.minimum, header.minimum);
    if (!support::try_resize(samples, n)) return fail(VantoreskError::out_of_memory(n));
    return samples;
}

}  // namespace vantoresk
