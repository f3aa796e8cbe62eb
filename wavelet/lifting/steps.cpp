#include "wavelet/lifting/steps.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include "wavelet/contract/bands.hpp"

namespace tremora::lifting {

Status forward_step(const LiftingKernels& kernels, std::size_t min_length, std::span<const float> input,
                    std::span<float> approximations, std::span<float> details) {
    const std::size_t n = input.size();
    if (n < min_length) return fail(TremoraError::input_too_short(n, min_length));
    const std::size_t a = n - n / 2;
    const std::size_t m = n / 2;
    if (approximations.size() != a) return fail(TremoraError::approx_size_mismatch(approximations.size(), a));
    if (details.size() != m) return fail(TremoraError::details_size_mismatch(details.size(), m));
    kernels.forward(input.data(), n, approximations.data(), details.data());
    return {};
}

Status validate_inverse(std::size_t a, std::size_t m, std::size_t n, std::size_t min_details) {
    if (a + m != n) return fail(TremoraError::output_size_mismatch(n, a + m));
    const std::size_t want_a = std::max<std::size_t>(n - n / 2, 2);
    if (a != want_a) return fail(TremoraError::approx_size_mismatch(a, want_a));
    const std::size_t want_m = std::max<std::size_t>(n / 2, min_details);
    if (m != want_m) return fail(TremoraError::details_size_mismatch(m, want_m));
    return {};
}

Status inverse_step(const LiftingKernels& kernels, std::size_t min_details, std::span<const float> approximations,
                    std::span<const float> details, std::span<float> output) {
    const std::size_t a = approximations.size();
    const std::size_t m = details.size();
    if (auto st = validate_inverse(a, m, output.size(), min_details); !st) return st;

    // Both temporaries are fully written by the kernel before being read.
    const std::unique_ptr<float[]> even(new (std::nothrow) float[a]);
    if (!even) return fail(TremoraError::allocation_failed(band_bytes(a)));
    const std::unique_ptr<float[]> odd(new (std::nothrow) float[m]);
    if (!odd) return fail(TremoraError::allocation_failed(band_bytes(m)));
    kernels.inverse(approximations.data(), a, details.data(), m, even.get(), odd.get(), output.data());
    return {};
}

}  // namespace tremora::lifting
