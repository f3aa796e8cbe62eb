#include "wavelet/filter_bank/two_taps.hpp"

#include <cmath>
#include <cstdint>

#include "wavelet/filter_bank/border_mode.hpp"
#include "wavelet/filter_bank/mirror.hpp"

namespace tremora {

NeonWavelet2TapsF32::NeonWavelet2TapsF32(BorderMode mode, const std::array<float, 2>& low_pass)
    : ConvolutionKernel(mode, 2) {
    std::array<float, 2> g{};
    mirror_filter(low_pass, g);
    low_ = {low_pass[0], low_pass[1], low_pass[0], low_pass[1]};
    high_ = {g[0], g[1], g[0], g[1]};
}

Status NeonWavelet2TapsF32::execute_forward_with_scratch(std::span<const float> input,
                                                         std::span<float> approximations, std::span<float> details,
                                                         std::span<float>) const {
    const std::size_t n = input.size();
    if (n < 2) return fail(TremoraError::input_too_short(n, 2));
    const std::size_t a = conv_band_length(n, 2);
    if (approximations.size() != a) return fail(TremoraError::unexpected_band_length(approximations.size()));
    if (details.size() != a) return fail(TremoraError::unexpected_band_length(details.size()));

    const float l0 = low_[0], l1 = low_[1], h0 = high_[0], h1 = high_[1];
    const std::size_t whole = n / 2;
    for (std::size_t k = 0; k < whole; ++k) {
        const float x0 = input[2 * k], x1 = input[2 * k + 1];
        approximations[k] = l0 * x0 + l1 * x1;
        details[k] = h0 * x0 + h1 * x1;
    }
    if (n % 2 == 1) {
        const BorderInterpolation ext = BorderInterpolation::make(mode(), 0, static_cast<std::int64_t>(n));
        const float last = input[n - 1];
        const float beyond = ext.sample(input.data(), static_cast<std::int64_t>(n));
        approximations[whole] = std::fma(l1, beyond, std::fma(l0, last, 0.0f));
        details[whole] = std::fma(h1, beyond, std::fma(h0, last, 0.0f));
    }
    return {};
}

Status NeonWavelet2TapsF32::execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                            std::span<float> output) const {
    if (approximations.size() != details.size()) {
        return fail(TremoraError::band_length_mismatch(approximations.size(), details.size()));
    }
    const std::size_t a = approximations.size();
    const std::size_t required = conv_output_length(a, 2);
    if (output.size() != required) return fail(TremoraError::output_size_mismatch(output.size(), required));
    for (std::size_t k = 0; k < a; ++k) {
        const float ak = approximations[k], dk = details[k];
        output[2 * k] = std::fma(high_[0], dk, std::fma(low_[0], ak, output[2 * k]));
        output[2 * k + 1] = std::fma(high_[1], dk, std::fma(low_[1], ak, output[2 * k + 1]));
    }
    return {};
}

}  // namespace tremora
