#include "wavelet/lifting/executor.hpp"

#include <algorithm>
#include <utility>

#include "support/scratch.hpp"
#include "wavelet/contract/bands.hpp"
#include "wavelet/contract/level_loops.hpp"

namespace tremora::lifting {

namespace {

// One forward step of `input` into fresh bands of ceil(n/2) and floor(n/2);
// every pass, a single one included, is tested against the minimum length.
TResult<Dwt> pass(const IncompleteDwtExecutor& step, std::size_t min_length, std::span<const float> input) {
    const std::size_t n = input.size();
    if (n < min_length) return fail(TremoraError::buffer_too_small_for_level());
    Dwt level;
    if (auto st = resize_band(level.approximations, n - n / 2); !st) return fail(st.error());
    auto details = zeroed_band(n / 2);
    if (!details) return fail(details.error());
    level.details = std::move(*details);
    if (auto st = step.execute_forward(input, level.approximations, level.details); !st) return fail(st.error());
    return level;
}

}  // namespace

TResult<Dwt> drive_dwt(const IncompleteDwtExecutor& step, std::size_t min_length, std::span<const float> input,
                       std::size_t level) {
    return run_dwt(input, level, [&](std::span<const float> source, bool) { return pass(step, min_length, source); });
}

TResult<MultiDwt> drive_multi_dwt(const IncompleteDwtExecutor& step, std::size_t min_length,
                                  std::span<const float> input, std::size_t levels) {
    return run_multi_dwt(input, levels,
                         [&](std::span<const float> source, bool) { return pass(step, min_length, source); });
}

TResult<std::vector<float>> drive_idwt(const IncompleteDwtExecutor& step, const DwtRef& bands) {
    // No equality test: odd lengths legitimately give a = m + 1.
    auto output = zeroed_band(bands.approximations.size() + bands.details.size());
    if (!output) return output;
    if (auto st = step.execute_inverse(bands.approximations, bands.details, *output); !st) return fail(st.error());
    return output;
}

TResult<std::vector<float>> drive_multi_idwt(const LiftingKernels& kernels, std::size_t min_details,
                                             const MultiDwtRef& bands) {
    if (bands.details.empty() || bands.approximation.empty()) return fail(TremoraError::zero_sized_input());

    // Lengths first, coarsest level first: the errors a chain of idwt calls
    // would meet, in the order it would meet them.
    std::size_t n = bands.approximation.size();
    std::size_t max_m = 0;
    for (std::size_t k = bands.details.size(); k-- > 0;) {
        const std::size_t a = n;
        const std::size_t m = bands.details[k].size();
        if (auto st = validate_inverse(a, m, a + m, min_details); !st) return fail(st.error());
        max_m = std::max(max_m, m);
        n = a + m;
    }

    // One vector holds every level's reconstruction in turn, and is also
    // that level's even half while it is lifted: each level takes its
    // approximations from the front of it, lifts them there against the odd
    // half in the one temporary, and interleaves both back in place; the next
    // finer level then grows it within the reserved capacity. Besides the
    // output, the inverse holds only max_m (about half the output) floats.
    std::vector<float> out;
    if (!vantoresk::support::try_reserve(out, n)) return fail(TremoraError::allocation_failed(band_bytes(n)));
    out.assign(bands.approximation.begin(), bands.approximation.end());
    // The temporary is one of the thread's kept working blocks (see
    // support/scratch.hpp): it is needed again by the next call.
    const auto odd = vantoresk::support::Scratch<float>::take(max_m);
    if (!odd) return fail(TremoraError::allocation_failed(band_bytes(max_m)));
    for (std::size_t k = bands.details.size(); k-- > 0;) {
        const std::span<const float> details = bands.details[k];
        const std::size_t a = out.size();
        out.resize(a + details.size());  // within capacity: cannot throw
        kernels.inverse(out.data(), a, details.data(), details.size(), out.data(), odd.get(), out.data());
    }
    return out;
}

}  // namespace tremora::lifting
