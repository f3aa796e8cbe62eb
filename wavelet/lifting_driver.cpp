#include "wavelet/lifting_driver.hpp"

#include <utility>

#include "wavelet/bands.hpp"

namespace tremora::lifting {

namespace {

// One forward step of `input` into `approximations` (resized to ceil(n/2))
// and fresh zero-filled details of floor(n/2).
TResult<std::vector<float>> pass(const IncompleteDwtExecutor& step, std::size_t min_length,
                                 std::span<const float> input, std::vector<float>& approximations) {
    const std::size_t n = input.size();
    if (n < min_length) return fail(TremoraError::buffer_too_small_for_level());
    if (auto st = resize_band(approximations, n - n / 2); !st) return fail(st.error());
    auto details = zeroed_band(n / 2);
    if (!details) return details;
    if (auto st = step.execute_forward(input, approximations, *details); !st) return fail(st.error());
    return details;
}

}  // namespace

TResult<Dwt> drive_dwt(const IncompleteDwtExecutor& step, std::size_t min_length, std::span<const float> input,
                       std::size_t level) {
    std::vector<float> approximations;
    if (level <= 1) {
        auto details = pass(step, min_length, input, approximations);
        if (!details) return fail(details.error());
        return Dwt{std::move(approximations), std::move(*details)};
    }
    std::span<const float> source = input;
    std::vector<float> current;
    for (std::size_t done = 1;; ++done) {
        auto details = pass(step, min_length, source, approximations);
        if (!details) return fail(details.error());
        if (done == level) return Dwt{std::move(approximations), std::move(*details)};
        // Only the approximations travel on; this pass's details are dropped.
        std::swap(current, approximations);
        source = current;
    }
}

TResult<MultiDwt> drive_multi_dwt(const IncompleteDwtExecutor& step, std::size_t min_length,
                                  std::span<const float> input, std::size_t levels) {
    MultiDwt result;
    if (levels <= 1) {
        auto level = drive_dwt(step, min_length, input, 1);
        if (!level) return fail(level.error());
        if (auto st = push_level(result.levels, std::move(*level)); !st) return fail(st.error());
        return result;
    }
    if (auto st = reserve_levels(result.levels, levels); !st) return fail(st.error());
    // Each pass writes straight into the level it appends, and the next pass
    // reads that level's approximations in place: no work buffer and no copy.
    // Moving a Dwt into the list moves its vectors' storage, so the span taken
    // afterwards stays valid while the list grows.
    std::span<const float> source = input;
    for (std::size_t done = 0; done < levels; ++done) {
        Dwt level;
        auto details = pass(step, min_length, source, level.approximations);
        if (!details) return fail(details.error());
        level.details = std::move(*details);
        if (auto st = push_level(result.levels, std::move(level)); !st) return fail(st.error());
        source = result.levels.back().approximations;
    }
    return result;
}

TResult<std::vector<float>> drive_idwt(const IncompleteDwtExecutor& step, const DwtRef& bands) {
    // No equality test: odd lengths legitimately give a = m + 1.
    auto output = zeroed_band(bands.approximations.size() + bands.details.size());
    if (!output) return output;
    if (auto st = step.execute_inverse(bands.approximations, bands.details, *output); !st) return fail(st.error());
    return output;
}

TResult<std::vector<float>> drive_multi_idwt(const IncompleteDwtExecutor& step, const MultiDwtRef& bands) {
    if (bands.details.empty() || bands.approximation.empty()) return fail(TremoraError::zero_sized_input());
    auto current = drive_idwt(step, DwtRef{bands.approximation, bands.details.back()});
    if (!current) return current;
    for (std::size_t k = bands.details.size() - 1; k-- > 0;) {
        auto finer = drive_idwt(step, DwtRef{*current, bands.details[k]});
        if (!finer) return finer;
        current = std::move(finer);
    }
    return current;
}

}  // namespace tremora::lifting
