#include "wavelet/cdf97f.hpp"

#include <algorithm>
#include <memory>

#include "wavelet/cdf97_f32.hpp"

namespace tremora {

namespace {

const lifting::LiftingKernels& kernels() noexcept {
    static const lifting::LiftingKernels& chosen = lifting::choose_kernels(lifting::cdf97_kernel_variants());
    return chosen;
}

}  // namespace

Status NeonCdf97F32::execute_forward(std::span<const float> input, std::span<float> approximations,
                                     std::span<float> details) const {
    return lifting::forward_step(kernels(), 4, input, approximations, details);
}

Status NeonCdf97F32::execute_forward_with_scratch(std::span<const float> input, std::span<float> approximations,
                                                  std::span<float> details, std::span<float>) const {
    return execute_forward(input, approximations, details);
}

DwtSize NeonCdf97F32::dwt_size(std::size_t n) const {
    return DwtSize{std::max<std::size_t>(n - n / 2, 2), std::max<std::size_t>(n / 2, 2)};
}

Status NeonCdf97F32::execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                     std::span<float> output) const {
    return lifting::inverse_step(kernels(), 2, approximations, details, output);
}

std::size_t NeonCdf97F32::idwt_size(DwtSize size) const {
    return std::max<std::size_t>(size.approx_length + size.details_length, 4);
}

DwtExecutorHandle Tremora::make_cdf97_f32() { return std::make_shared<const NeonCdf97F32>(); }

}  // namespace tremora
