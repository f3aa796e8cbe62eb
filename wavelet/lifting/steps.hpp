// One-level steps shared by the lifting executors: validation in the fixed
// order and temporaries, around a transform's kernels.
//
// A transform supplies its kernels as a LiftingKernels record per variant
// (portable, and AVX2/FMA where the CPU has it; shapes.hpp builds them from
// one body). All variants give bit-identical results; the portable one
// defines them. The executors use the dispatched record, whose entries
// resolve to the variant chosen for this CPU on their first call.
//
// Validation happens before any write, so a failed step leaves the caller's
// buffers untouched:
//   forward   n < min_length         -> InputTooShort (n, min_length)
//             approx len != ceil(n/2) -> ApproxSizeMismatch (given, required)
//             detail len != floor(n/2)-> DetailsSizeMismatch (given, required)
//   inverse   a + m != N             -> OutputSizeMismatch (N, a + m)
//             a != max(ceil(N/2), 2) -> ApproxSizeMismatch (a, required)
//             m != max(floor(N/2), min_details) -> DetailsSizeMismatch (m, required)
// The sum test comes first on purpose: with a = ceil(N/2) + 1 the caller's
// output, not the band, is what disagrees.
#pragma once

#include <cstddef>
#include <span>

#include "wavelet/contract/error.hpp"

namespace tremora::lifting {

struct LiftingKernels {
    // x (n samples, n >= the transform's minimum) -> s (ceil(n/2)), d (floor(n/2)).
    using Forward = void (*)(const float* x, std::size_t n, float* s, float* d);
    // s (a), d (m) -> x (a + m). e (a floats) and o (m floats) are scratch.
    // e may be s itself (each s[i] is read once, into e[i], before anything
    // else touches e), and x may be e itself (the interleave runs from the
    // end): the multi-level inverse passes one buffer for s, e and x and
    // needs only o besides. o and d must not overlap x, e or each other.
    using Inverse = void (*)(const float* s, std::size_t a, const float* d, std::size_t m, float* e, float* o,
                             float* x);

    const char* name;
    Forward forward;
    Inverse inverse;
};

[[nodiscard]] Status forward_step(const LiftingKernels& kernels, std::size_t min_length, std::span<const float> input,
                                  std::span<float> approximations, std::span<float> details);

// The inverse's length checks alone, in their order.
[[nodiscard]] Status validate_inverse(std::size_t a, std::size_t m, std::size_t n, std::size_t min_details);

[[nodiscard]] Status inverse_step(const LiftingKernels& kernels, std::size_t min_details,
                                  std::span<const float> approximations, std::span<const float> details,
                                  std::span<float> output);

}  // namespace tremora::lifting
