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
//    without trimming.
// Errors of the one-level steps pass through unchanged.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "wavelet/factory.hpp"

namespace tremora {

namespace lifting {

TResult<Dwt> drive_dwt(const IncompleteDwtExecutor& step, std::size_t min_length, std::span<const float> input,
                       std::size_t level);
TResult<MultiDwt> drive_multi_dwt(const IncompleteDwtExecutor& step, std::size_t min_length,
                                  std::span<const float> input, std::size_t levels);
TResult<std::vector<float>> drive_idwt(const IncompleteDwtExecutor& step, const DwtRef& bands);
TResult<std::vector<float>> drive_multi_idwt(const IncompleteDwtExecutor& step, const MultiDwtRef& bands);

}  // namespace lifting

// Base of the lifting executors: supplies the four multi-level operations on
// top of the derived class's one-level steps. No state of its own.
template <std::size_t MinLength>
class LiftingDwtExecutor : public DwtExecutor {
public:
    static constexpr std::size_t min_length = MinLength;

    TResult<Dwt> dwt(std::span<const float> input, std::size_t level) const final {
        return lifting::drive_dwt(*this, MinLength, input, level);
    }
    TResult<MultiDwt> multi_dwt(std::span<const float> input, std::size_t levels) const final {
        return lifting::drive_multi_dwt(*this, MinLength, input, levels);
    }
    TResult<std::vector<float>> idwt(const DwtRef& bands) const final { return lifting::drive_idwt(*this, bands); }
    TResult<std::vector<float>> multi_idwt(const MultiDwtRef& bands) const final {
        return lifting::drive_multi_idwt(*this, bands);
    }
};

}  // namespace tremora
