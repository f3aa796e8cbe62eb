// The engine's contract: result records, executor interfaces and factories.
//
// An executor is an immutable object reached through a shared handle (the
// count is atomic, so a handle may cross threads). All working memory is
// allocated per call; every operation returns a value or a TremoraError.
//
//   DwtForwardExecutor      execute_forward, execute_forward_with_scratch,
//                           required_scratch_size, dwt_size
//   DwtInverseExecutor      execute_inverse, idwt_size
//   IncompleteDwtExecutor   both of the above + filter_length   (one level)
//   DwtExecutor             + dwt, multi_dwt, idwt, multi_idwt  (any levels)
//
// CompletedDwtExecutor (completed.hpp) turns an IncompleteDwtExecutor into a
// DwtExecutor.
//
// Where things are (under wavelet/):
//   contract/      this index, the border modes and filter families callers
//                  name, errors, band storage, the multi-level loops, the
//                  adapter; it includes nothing from the folders below
//   lifting/       CDF 5/3 and CDF 9/7 by lifting (their own executors)
//   filter_bank/   the orthogonal filters and their convolution kernels
//
// Several executors carry "Neon" in their class names (NeonCdf97F32,
// NeonWavelet8TapsF32, ...) on every target, x86 included. Those are the
// engine's established class names, which callers and tests use; the prefix
// names no instruction set. What runs is chosen at run time, per CPU
// (support/cpu_dispatch.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "wavelet/contract/border_mode.hpp"
#include "wavelet/contract/error.hpp"
#include "wavelet/contract/families.hpp"

namespace tremora {

// Band lengths of one forward step for a given input length.
struct DwtSize {
    std::size_t approx_length = 0;
    std::size_t details_length = 0;
    friend bool operator==(const DwtSize&, const DwtSize&) = default;
};

// One decomposition level, owning its bands.
struct Dwt {
    std::vector<float> approximations;
    std::vector<float> details;
};

// levels[0] is the finest level (the transform of the input itself).
struct MultiDwt {
    std::vector<Dwt> levels;
};

// Borrowed input of one inverse step.
struct DwtRef {
    std::span<const float> approximations;
    std::span<const float> details;
};

// Borrowed input of a multi-level inverse: detail bands finest first, and
// the coarsest approximation band.
struct MultiDwtRef {
    std::vector<std::span<const float>> details;
    std::span<const float> approximation;
};

class DwtForwardExecutor {
public:
    virtual ~DwtForwardExecutor() = default;
    virtual Status execute_forward(std::span<const float> input, std::span<float> approximations,
                                   std::span<float> details) const = 0;
    virtual Status execute_forward_with_scratch(std::span<const float> input,
                                                std::span<float> approximations,
                                                std::span<float> details,
                                                std::span<float> scratch) const = 0;
    virtual std::size_t required_scratch_size(std::size_t input_length) const = 0;
    virtual DwtSize dwt_size(std::size_t input_length) const = 0;
};

class DwtInverseExecutor {
public:
    virtual ~DwtInverseExecutor() = default;
    // Convolution kernels accumulate into `output`, which must be zero-filled.
    virtual Status execute_inverse(std::span<const float> approximations,
                                   std::span<const float> details,
                                   std::span<float> output) const = 0;
    virtual std::size_t idwt_size(DwtSize size) const = 0;
};

class IncompleteDwtExecutor : public DwtForwardExecutor, public DwtInverseExecutor {
public:
    virtual std::size_t filter_length() const = 0;
};

class DwtExecutor : public IncompleteDwtExecutor {
public:
    virtual TResult<Dwt> dwt(std::span<const float> input, std::size_t level) const = 0;
    virtual TResult<MultiDwt> multi_dwt(std::span<const float> input, std::size_t levels) const = 0;
    virtual TResult<std::vector<float>> idwt(const DwtRef& bands) const = 0;
    virtual TResult<std::vector<float>> multi_idwt(const MultiDwtRef& bands) const = 0;
};

using DwtExecutorHandle = std::shared_ptr<const DwtExecutor>;
using IncompleteDwtExecutorHandle = std::shared_ptr<const IncompleteDwtExecutor>;

// Factory index. Each function is defined beside the executor it builds.
struct Tremora {
    static DwtExecutorHandle make_cdf53_f32();                                     // lifting/cdf53.cpp
    static DwtExecutorHandle make_cdf97_f32();                                     // lifting/cdf97.cpp
    static DwtExecutorHandle make_daubechies_f32(DaubechiesFamily member, BorderMode mode);  // filter_bank/factory.cpp
    static DwtExecutorHandle make_symlet_f32(SymletFamily member, BorderMode mode);          // filter_bank/factory.cpp
};

struct DwtFactory {
    // Generic N-tap convolution kernel for any filter length (filter_bank/n_taps.cpp).
    static IncompleteDwtExecutorHandle wavelet_n_taps(BorderMode mode, std::span<const float> low_pass);
};

}  // namespace tremora
