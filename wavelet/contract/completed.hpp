// CompletedDwtExecutor: the multi-level adapter around a one-level kernel.
//
// The seven one-level operations forward to the kernel (filter_length is
// cached); dwt, multi_dwt, idwt and multi_idwt are built on top of them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "wavelet/contract/factory.hpp"

namespace tremora {

class CompletedDwtExecutor final : public DwtExecutor {
public:
    CompletedDwtExecutor(IncompleteDwtExecutorHandle kernel, std::size_t filter_length)
        : kernel_(std::move(kernel)), filter_length_(filter_length) {}

    Status execute_forward(std::span<const float> input, std::span<float> approximations,
                           std::span<float> details) const override;
    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximations,
                                        std::span<float> details, std::span<float> scratch) const override;
    std::size_t required_scratch_size(std::size_t input_length) const override;
    DwtSize dwt_size(std::size_t input_length) const override;
    Status execute_inverse(std::span<const float> approximations, std::span<const float> details,
                           std::span<float> output) const override;
    std::size_t idwt_size(DwtSize size) const override;
    std::size_t filter_length() const override { return filter_length_; }

    TResult<Dwt> dwt(std::span<const float> input, std::size_t level) const override;
    TResult<MultiDwt> multi_dwt(std::span<const float> input, std::size_t levels) const override;
    TResult<std::vector<float>> idwt(const DwtRef& bands) const override;
    TResult<std::vector<float>> multi_idwt(const MultiDwtRef& bands) const override;

private:
    TResult<Dwt> pass(std::span<const float> source, bool single) const;

    IncompleteDwtExecutorHandle kernel_;
    std::size_t filter_length_;
};

}  // namespace tremora
