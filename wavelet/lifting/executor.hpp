// Multi-level drivers of the lifting executors (CDF 5/3 and CDF 9/7).
//
// They differ from the adapter around convolution kernels (completed.cpp) on
// purpose:
//  * every pass, a single-level request included, first tests the input
//    against the transform's minimum length (3 or 4) and fails with
//    BufferTooSmallForLevel; the convolution adapter leaves a single level
//    to the kernel;
//  * band lengths are exactly ceil(n/2) and floor(n/2), and a reconstruction
//    has exactly a + m samples, so idwt accepts unequal bands (odd lengths)
//    and multi_idwt feeds each whole reconstruction to the next finer level
//    without trimming. multi_idwt checks every level's lengths first and
//    then reconstructs all levels in place in the one output vector, which
//    gives the same values and the same first error as a level-by-level
//    idwt chain without a fresh vector per level.
// Errors of the one-level steps pass through unchanged.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "wavelet/contract/factory.hpp"
#include "wavelet/lifting/steps.hpp"

namespace tremora {

namespace lifting {

TResult<Dwt> drive_dwt(const IncompleteDwtExecutor& step, std::size_t min_length, std::span<const float> input,
                       std::size_t level);
TResult<MultiDwt> drive_multi_dwt(const IncompleteDwtExecutor& step, std::size_t min_length,
                                  std::span<const float> input, std::size_t levels);
TResult<std::vector<float>> drive_idwt(const IncompleteDwtExecutor& step, const DwtRef& bands);
TResult<std::vector<float>> drive_multi_idwt(const LiftingKernels& kernels, std::size_t min_details,
                                             const MultiDwtRef& bands);

}  // namespace lifting

// Base of the lifting executors: the size rules, the one-level steps
// (validation, then the kernels the derived class hands out) and the four
// multi-level operations on top of them. No state of its own.
//
// Sizes answer for any length, clamped below to the transform's minimum:
// bands (max(ceil(n/2), 2), max(floor(n/2), MinDetails)), reconstruction
// max(a + m, MinLength). FilterLength is what the codec plans its levels
// with, not anything the lifting itself uses.
template <std::size_t MinLength, std::size_t MinDetails, std::size_t FilterLength>
class LiftingDwtExecutor : public DwtExecutor {
public:
    static constexpr std::size_t min_length = MinLength;

    DwtSize dwt_size(std::size_t n) const final {
        return DwtSize{std::max<std::size_t>(n - n / 2, 2), std::max<std::size_t>(n / 2, MinDetails)};
    }
    std::size_t idwt_size(DwtSize size) const final {
        return std::max<std::size_t>(size.approx_length + size.details_length, MinLength);
    }
    std::size_t filter_length() const final { return FilterLength; }

    Status execute_forward(std::span<const float> input, std::span<float> approximations,
                           std::span<float> details) const final {
        return lifting::forward_step(kernels(), MinLength, input, approximations, details);
    }
    // The lifting steps need no scratch; whatever is passed is ignored.
    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximations,
                                        std::span<float> details, std::span<float>) const final {
        return execute_forward(input, approximations, details);
    }
    std::size_t required_scratch_size(std::size_t) const final { return 0; }
    Status execute_inverse(std::span<const float> approximations, std::span<const float> details,
                           std::span<float> output) const final {
        return lifting::inverse_step(kernels(), MinDetails, approximations, details, output);
    }

    TResult<Dwt> dwt(std::span<const float> input, std::size_t level) const final {
        return lifting::drive_dwt(*this, MinLength, input, level);
    }
    TResult<MultiDwt> multi_dwt(std::span<const float> input, std::size_t levels) const final {
        return lifting::drive_multi_dwt(*this, MinLength, input, levels);
    }
    TResult<std::vector<float>> idwt(const DwtRef& bands) const final { return lifting::drive_idwt(*this, bands); }
    TResult<std::vector<float>> multi_idwt(const MultiDwtRef& bands) const final {
        return lifting::drive_multi_idwt(kernels(), MinDetails, bands);
    }

protected:
    // The transform's dispatched kernels.
    virtual const lifting::LiftingKernels& kernels() const noexcept = 0;
};

}  // namespace tremora
