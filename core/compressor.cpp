// compress: samples -> container.
//
//   sanitise + measure -> normalise, centre -> pad to F -> multi_dwt(L)
//   -> quantise (deepest approximation, every detail band) -> dead zone
//   -> coefficient stream (LE i16) -> DEFLATE or arans -> header + payload
//
// Level fallback: each level of the smoother wavelets raises the deepest
// approximation by about 1.4, so a long excursion from the mean can push a
// deep code past the 16-bit range, where it would be clamped and decode
// wrongly without anyone noticing. When any code of the deepest
// approximation or of a detail band would be clamped, one level fewer is
// used (down to one) and the header records the level count actually used.
// Containers that never clamp are unchanged by this rule. Level k's bands do
// not depend on how many levels follow, so fewer levels are read off the same
// decomposition instead of transforming again.
#include "core/compressor.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/arans/arans.hpp"
#include "core/compress_steps.hpp"
#include "core/deflate.hpp"
#include "core/header.hpp"
#include "core/quantise.hpp"
#include "core/wavelet_choice.hpp"
#include "support/fallible.hpp"

namespace vantoresk {
namespace {

bool options_in_range(const CompressionOptions& o) {
    return static_cast<unsigned>(o.method) <= 3 && static_cast<unsigned>(o.cutoff) <= 2 &&
           static_cast<unsigned>(o.coder) <= 2;
}

// Codes of the chosen levels, ready to serialise: the deepest approximation
// band, then the detail bands finest first.
struct QuantisedBands {
    std::size_t levels = 0;
    std::vector<std::int16_t> approximation;
    std::vector<std::int16_t> details;  // levels 1..levels, contiguous
};

VResult<QuantisedBands> quantise_levels(const tremora::MultiDwt& dwt, std::size_t levels, float m) {
    QuantisedBands q;
    std::size_t detail_total = 0;
    for (std::size_t k = 0; k < levels; ++k) detail_total += dwt.levels[k].details.size();
    if (!support::try_resize(q.details, detail_total)) return fail(VantoreskError::out_of_memory(detail_total));

    // Detail bands of every level; the first level with a clamped code caps
    // the usable depth below it.
    std::size_t usable = levels;
    std::size_t offset = 0;
    for (std::size_t k = 0; k < levels; ++k) {
        const auto& band = dwt.levels[k].details;
        const bool clamped = quantise_band(band, m, std::span(q.details).subspan(offset, band.size()));
        offset += band.size();
        if (clamped && usable == levels) usable = k;  // levels 1..k are clean
    }
    if (usable == 0) usable = 1;

    // The deepest approximation band of the candidate depth must fit too.
    for (;; --usable) {
        const auto& band = dwt.levels[usable - 1].approximations;
        if (!support::try_resize(q.approximation, band.size())) {
            return fail(VantoreskError::out_of_memory(band.size()));
        }
        const bool clamped = quantise_band(band, m, q.approximation);
        if (!clamped || usable == 1) break;
    }
    q.levels = usable;

    std::size_t kept = 0;
    for (std::size_t k = 0; k < usable; ++k) kept += dwt.levels[k].details.size();
    q.details.resize(kept);
    return q;
}

// Checks that need only the count and the options, in a fixed order (the
// first failing one decides the error); then the working buffer with room
// for the padding.
VResult<TakenSamples> reserve_signal(std::size_t n, CompressionOptions options) {
    if (n == 0) return fail(VantoreskError::unsupported_configuration("Can't compress empty data"));
    if (n > kMaxSampleCount) {
        return fail(VantoreskError::unsupported_configuration(
            "Can't compress data bigger than " + std::to_string(kMaxSampleCount) + ", but data was " +
            std::to_string(n)));
    }
    // The options record normally comes checked from the caller; a value
    // outside its range would index past the tables or shift past 32 bits.
    if (!scale_supported(options.scale)) return fail(VantoreskError::unsupported_scale(options.scale));
    if (!options_in_range(options)) {
        return fail(VantoreskError::unsupported_configuration("Unknown method, cutoff or coder option"));
    }
    const std::size_t padded = std::max(n, make_executor(options.method)->filter_length());
    TakenSamples taken{{}, options};
    if (!support::try_reserve(taken.signal, padded)) return fail(VantoreskError::out_of_memory(padded));
    return taken;
}

// The container with room for its header in front; the coder appends the
// payload behind it, so the payload is never copied.
VResult<std::vector<std::uint8_t>> code_container(std::span<const std::uint8_t> stream, std::uint8_t coder) {
    std::vector<std::uint8_t> container;
    if (!support::try_resize(container, kHeaderSize)) return fail(VantoreskError::out_of_memory(kHeaderSize));
    if (coder == kCoderDeflate) {
        auto deflated = deflate_raw_append(stream, container);
        if (!deflated) return fail(std::move(deflated).error());
    } else if (!arans::encode_stream_append(stream, container)) {
        return fail(VantoreskError::out_of_memory(stream.size()));
    }
    return container;
}

}  // namespace

VResult<TakenSamples> take_samples(std::span<const float> samples, CompressionOptions options) {
    auto taken = reserve_signal(samples.size(), options);
    if (!taken) return taken;
    taken.value().signal.assign(samples.begin(), samples.end());  // within capacity: cannot throw
    return taken;
}

VResult<TakenSamples> take_samples(std::span<const double> samples, CompressionOptions options) {
    auto taken = reserve_signal(samples.size(), options);
    if (!taken) return taken;
    // A C cast of double to float rounds to nearest even under the default
    // rounding mode, overflows to a signed infinity and keeps NaN a NaN:
    // exactly what NumPy's astype(float32) does.
    std::vector<float>& signal = taken.value().signal;
    for (const double v : samples) signal.push_back(static_cast<float>(v));  // within capacity: cannot throw
    return taken;
}

VResult<std::vector<std::uint8_t>> compress(std::span<const float> samples, CompressionOptions options) {
    auto taken = take_samples(samples, options);
    if (!taken) return fail(std::move(taken).error());
    return compress_taken(std::move(taken).value());
}

VResult<std::vector<std::uint8_t>> compress_taken(TakenSamples&& taken) {
    std::vector<float> signal = std::move(taken.signal);
    const CompressionOptions options = taken.options;
    const std::size_t n = signal.size();
    const tremora::DwtExecutorHandle executor = make_executor(options.method);
    const std::size_t filter_length = executor->filter_length();
    const std::size_t padded = std::max(n, filter_length);

    // Sanitised in place: the working buffer is the compressor's own copy.
    const SampleRange range = sanitise_and_measure(signal, signal);
    // A range beyond float32 would normalise to non-finite samples and store
    // a non-finite mean, and the reader rejects such a header: refuse here so
    // that nothing undecodable is ever written.
    if (!std::isfinite(range.maximum - range.minimum)) {
        return fail(VantoreskError::unsupported_configuration(
            "Can't compress samples whose range (maximum - minimum) is not finite in float32"));
    }
    // Samples within half a range of the float32 limit could decode, coding
    // error added, to infinity: finite input must come back finite.
    if (!leaves_decoding_headroom(range)) {
        return fail(VantoreskError::unsupported_configuration(
            "Can't compress samples within half their range (maximum - minimum) of the float32 limit, "
            "where decoded values could overflow"));
    }
    const float mean = normalise(signal, range);

    // Signals shorter than the filter are padded with periodic copies
    // (within the capacity reserved for them: cannot throw).
    for (std::size_t i = 0; signal.size() < padded; ++i) signal.push_back(signal[i % n]);

    const std::size_t planned_levels = level_count_for(n, filter_length);
    // Most streams are far from the arans limit either way: then the coder
    // (or the refusal) is known before the transform does any work.
    auto early_coder = coder_byte_before_transform(options.coder, *executor, n, planned_levels);
    if (early_coder && !early_coder->ok()) return fail(std::move(*early_coder).error());
    auto decomposed = executor->multi_dwt(signal, planned_levels);
    std::vector<float>().swap(signal);
    if (!decomposed) return fail(VantoreskError::wavelet_failure(decomposed.error().display()));
    tremora::MultiDwt dwt = std::move(decomposed).value();
    if (dwt.levels.empty()) {
        return fail(VantoreskError::wavelet_failure("Internal DWT returned zero levels, what shouldn't happen"));
    }

    const std::size_t available = std::min(planned_levels, dwt.levels.size());
    auto quantised = quantise_levels(dwt, available, scale_factor(options.scale));
    tremora::MultiDwt().levels.swap(dwt.levels);  // the bands are no longer needed
    if (!quantised) return fail(std::move(quantised).error());
    QuantisedBands& q = quantised.value();
    apply_dead_zone(q.details, dead_zone_threshold(options.scale, options.cutoff));

    const std::size_t code_count = q.approximation.size() + q.details.size();
    std::vector<std::uint8_t> stream;
    // The stream grows by the detail codes in one reservation; its failure
    // reports that count of codes (callers compare it with the band sizes).
    if (!support::try_resize(stream, 2 * code_count)) {
        return fail(VantoreskError::out_of_memory(q.details.size()));
    }
    store_codes_le(q.approximation, stream.data());
    store_codes_le(q.details, stream.data() + 2 * q.approximation.size());
    const std::size_t levels = q.levels;
    q = QuantisedBands{};

    auto coder = early_coder ? std::move(*early_coder) : coder_byte_for(options.coder, code_count);
    if (!coder) return fail(std::move(coder).error());
    auto coded = code_container(stream, coder.value());
    std::vector<std::uint8_t>().swap(stream);
    if (!coded) return fail(std::move(coded).error());
    std::vector<std::uint8_t> container = std::move(coded).value();
    auto payload_length = payload_length_field(container.size() - kHeaderSize);
    if (!payload_length) return fail(std::move(payload_length).error());

    const VantoreskHeader header = make_header(
        options.method, static_cast<std::uint8_t>(levels), options.scale, coder.value(),
        static_cast<std::uint32_t>(n), range.minimum, range.maximum, mean, payload_length.value());
    const auto head = header.to_bytes();
    std::copy(head.begin(), head.end(), container.begin());
    return container;
}

}  // namespace vantoresk
