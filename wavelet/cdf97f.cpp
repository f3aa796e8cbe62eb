#include "wavelet/cdf97f.hpp"

#include <algorithm>
#include <memory>

#include "wavelet/cdf97_f32.hpp"

namespace tremora {

DwtSize NeonCdf97F32::dwt_size(std::size_t n) const {
    return DwtSize{std::max<std::size_t>(n - n / 2, 2), std::max<std::size_t>(n / 2, 2)};
}

std::size_t NeonCdf97F32::idwt_size(DwtSize size) const {
    return std::max<std::size_t>(size.approx_length + size.details_length, 4);
}

const lifting::LiftingKernels& NeonCdf97F32::kernels() const noexcept {
    static const lifting::LiftingKernels& chosen = lifting::choose_kernels(lifting::cdf97_kernel_variants());
    return chosen;
}

DwtExecutorHandle Tremora::make_cdf97_f32() { return std::make_shared<const NeonCdf97F32>(); }

}  // namespace tremora
