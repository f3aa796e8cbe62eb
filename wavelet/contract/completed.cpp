// The multi-level adapter.
//
// Traps worth knowing before touching this file:
//  * A request for 0 or 1 level is a plain kernel call: no length test of our
//    own, so a too-short input fails with the kernel's error (InputTooShort),
//    not with BufferTooSmallForLevel. Only passes of a multi-pass request are
//    tested against the filter length.
//  * Convolution kernels accumulate into the inverse output and into nothing
//    else, so every band and output handed to the kernel is zero-filled.
//  * A convolution reconstruction is padded at its end (idwt_size is 2a - L + 2,
//    an even count), so multi_idwt cuts each coarser reconstruction down to
//    the next finer band's length before using it as approximations.
#include "wavelet/contract/completed.hpp"

#include <utility>

#include "wavelet/contract/bands.hpp"
#include "wavelet/contract/level_loops.hpp"

namespace tremora {

Status CompletedDwtExecutor::execute_forward(std::span<const float> input, std::span<float> approximations,
                                             std::span<float> details) const {
    return kernel_->execute_forward(input, approximations, details);
}

Status CompletedDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximations,
                                                          std::span<float> details,
                                                          std::span<float> scratch) const {
    return kernel_->execute_forward_with_scratch(input, approximations, details, scratch);
}

std::size_t CompletedDwtExecutor::required_scratch_size(std::size_t input_length) const {
    return kernel_->required_scratch_size(input_length);
}

DwtSize CompletedDwtExecutor::dwt_size(std::size_t input_length) const { return kernel_->dwt_size(input_length); }

Status CompletedDwtExecutor::execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                             std::span<float> output) const {
    return kernel_->execute_inverse(approximations, details, output);
}

std::size_t CompletedDwtExecutor::idwt_size(DwtSize size) const { return kernel_->idwt_size(size); }

namespace {

// One kernel pass into fresh zero-filled bands sized by the kernel.
TResult<Dwt> one_pass(const IncompleteDwtExecutor& kernel, std::span<const float> input) {
    const DwtSize size = kernel.dwt_size(input.size());
    auto approximations = zeroed_band(size.approx_length);
    if (!approximations) return fail(approximations.error());
    auto details = zeroed_band(size.details_length);
    if (!details) return fail(details.error());
    Dwt level{std::move(*approximations), std::move(*details)};
    if (auto st = kernel.execute_forward(input, level.approximations, level.details); !st) return fail(st.error());
    return level;
}

}  // namespace

// Only the passes of a multi-pass request are tested against the filter
// length; a single level is the kernel's to judge.
TResult<Dwt> CompletedDwtExecutor::pass(std::span<const float> source, bool single) const {
    if (!single && source.size() < filter_length_) return fail(TremoraError::buffer_too_small_for_level());
    return one_pass(*kernel_, source);
}

TResult<Dwt> CompletedDwtExecutor::dwt(std::span<const float> input, std::size_t level) const {
    return run_dwt(input, level, [this](std::span<const float> source, bool single) { return pass(source, single); });
}

TResult<MultiDwt> CompletedDwtExecutor::multi_dwt(std::span<const float> input, std::size_t levels) const {
    return run_multi_dwt(input, levels,
                         [this](std::span<const float> source, bool single) { return pass(source, single); });
}

TResult<std::vector<float>> CompletedDwtExecutor::idwt(const DwtRef& bands) const {
    const std::size_t a = bands.approximations.size();
    const std::size_t d = bands.details.size();
    if (a != d) return fail(TremoraError::band_length_mismatch(a, d));
    auto output = zeroed_band(kernel_->idwt_size(DwtSize{a, d}));
    if (!output) return output;
    if (auto st = kernel_->execute_inverse(bands.approximations, bands.details, *output); !st) return fail(st.error());
    return output;
}

TResult<std::vector<float>> CompletedDwtExecutor::multi_idwt(const MultiDwtRef& bands) const {
    if (bands.details.empty() || bands.approximation.empty()) return fail(TremoraError::zero_sized_input());
    auto current = idwt(DwtRef{bands.approximation, bands.details.back()});
    if (!current) return current;
    for (std::size_t k = bands.details.size() - 1; k-- > 0;) {
        const std::span<const float> band = bands.details[k];
        if (current->size() < band.size()) return fail(TremoraError::band_length_mismatch(current->size(), band.size()));
        // Drop the padding surplus at the end of the coarser reconstruction.
        auto finer = idwt(DwtRef{std::span<const float>(*current).first(band.size()), band});
        if (!finer) return finer;
        current = std::move(finer);
    }
    return current;
}

}  // namespace tremora
