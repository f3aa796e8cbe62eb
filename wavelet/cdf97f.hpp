// NeonCdf97F32: the CDF 9/7 wavelet by lifting in single precision, the
// codec's default method 'cdf97'. Same band layout, drivers and validation
// order as Cdf53 (cdf53f.hpp); the steps and constants are in cdf97_f32.hpp.
//
// Traps of the contract:
//  * The minimum length is 4 (two predicts need two even and two odd
//    samples), and dwt_size/idwt_size clamp to (2, 2) / 4 for shorter ones.
//  * filter_length reports 10, the length the codec plans its levels with,
//    not anything the lifting itself uses.
//  * A forward then inverse step reproduces its input only to within a few
//    ulps: the scalings by K and 1/K round.
#pragma once

#include <cstddef>
#include <span>

#include "wavelet/lifting_driver.hpp"

namespace tremora {

class NeonCdf97F32 final : public LiftingDwtExecutor<4, 2> {
public:
    DwtSize dwt_size(std::size_t input_length) const override;
    std::size_t idwt_size(DwtSize size) const override;
    std::size_t filter_length() const override { return 10; }

private:
    const lifting::LiftingKernels& kernels() const noexcept override;
};

}  // namespace tremora
