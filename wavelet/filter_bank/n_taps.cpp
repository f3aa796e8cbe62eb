#include "wavelet/filter_bank/n_taps.hpp"

#include <cmath>
#include <limits>

#include "wavelet/contract/bands.hpp"
#include "wavelet/filter_bank/arena.hpp"
#include "wavelet/filter_bank/mirror.hpp"

namespace tremora {

namespace {

float dot(const float* f, const float* w, std::size_t taps) noexcept {
    const std::size_t whole = taps / 4 * 4;
    float acc = 0.0f;
    if (whole > 0) {
        float t[4];
        for (std::size_t l = 0; l < 4; ++l) t[l] = f[l] * w[l];
        for (std::size_t i = 4; i < whole; i += 4) {
            for (std::size_t l = 0; l < 4; ++l) t[l] = std::fma(f[i + l], w[i + l], t[l]);
        }
        acc = (t[0] + t[1]) + (t[2] + t[3]);
    }
    for (std::size_t i = whole; i < taps; ++i) acc = std::fma(f[i], w[i], acc);
    return acc;
}

}  // namespace

// g = 2a + (L - 2), exact whenever it fits and SIZE_MAX only when it does
// not (the real request then fails to allocate). L - 2 is added last: the
// sum L + 2a overflows one step before g itself does.
std::size_t NeonWaveletNTapsF32::required_scratch_size(std::size_t input_length) const {
    if (!valid_filter()) return 0;
    const std::size_t a = conv_band_length(input_length, taps_);
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    if (a > max / 2 || 2 * a > max - (taps_ - 2)) return max;
    return 2 * a + (taps_ - 2);
}

Status NeonWaveletNTapsF32::execute_forward(std::span<const float> input, std::span<float> approximations,
                                            std::span<float> details) const {
    if (!valid_filter()) return fail(TremoraError::zero_or_odd_wavelet());
    if (input.size() < taps_) return fail(TremoraError::input_too_short(input.size(), taps_));
    auto scratch = zeroed_band(required_scratch_size(input.size()));
    if (!scratch) return fail(scratch.error());
    return execute_forward_with_scratch(input, approximations, details, *scratch);
}

Status NeonWaveletNTapsF32::execute_forward_with_scratch(std::span<const float> input,
                                                         std::span<float> approximations, std::span<float> details,
                                                         std::span<float> scratch) const {
    if (!valid_filter()) return fail(TremoraError::zero_or_odd_wavelet());
    const std::size_t n = input.size();
    const std::size_t L = taps_;
    if (n < L) return fail(TremoraError::input_too_short(n, L));
    const std::size_t a = conv_band_length(n, L);
    if (approximations.size() != a) return fail(TremoraError::unexpected_band_length(approximations.size()));
    if (details.size() != a) return fail(TremoraError::unexpected_band_length(details.size()));
    const std::size_t g = required_scratch_size(n);
    if (scratch.size() < g) return fail(TremoraError::scratch_size_mismatch(g, scratch.size()));

    const std::size_t left = (g - n) / 2;  // L - 2
    const std::size_t right = g - n - left;
    const std::span<float> arena = scratch.first(g);
    if (auto st = write_arena_1d(input, arena, left, right, mode()); !st) return st;

    const float* low = low_.data();
    const float* high = high_.data();
    for (std::size_t k = 0; k < a; ++k) {
        const float* w = arena.data() + 2 * k;
        approximations[k] = dot(low, w, L);
        details[k] = dot(high, w, L);
    }
    return {};
}

Status NeonWaveletNTapsF32::execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                            std::span<float> output) const {
    if (!valid_filter()) return fail(TremoraError::zero_or_odd_wavelet());
    if (approximations.size() != details.size()) {
        return fail(TremoraError::band_length_mismatch(approximations.size(), details.size()));
    }
    const std::size_t a = approximations.size();
    const std::size_t L = taps_;
    const std::size_t required = conv_output_length(a, L);
    if (output.size() != required) return fail(TremoraError::output_size_mismatch(output.size(), required));
    // y[j], j = 2m + r, receives coefficients k = m + p with tap L - 2 + r - 2p,
    // p = 0 .. L/2 - 1, all inside 0..a-1 since j <= 2a - L + 1.
    for (std::size_t j = 0; j < required; ++j) {
        const std::size_t m = j / 2;
        const std::size_t r = j % 2;
        float acc = output[j];
        for (std::size_t p = 0; p < L / 2; ++p) {
            const std::size_t k = m + p;
            const std::size_t i = L - 2 + r - 2 * p;
            acc = std::fma(low_[i], approximations[k], acc);
            acc = std::fma(high_[i], details[k], acc);
        }
        output[j] = acc;
    }
    return {};
}

IncompleteDwtExecutorHandle DwtFactory::wavelet_n_taps(BorderMode mode, std::span<const float> low_pass) {
    std::vector<float> low(low_pass.begin(), low_pass.end());
    std::vector<float> high = low_pass_to_high(low);
    return std::make_shared<NeonWaveletNTapsF32>(mode, std::move(low), std::move(high));
}

}  // namespace tremora
