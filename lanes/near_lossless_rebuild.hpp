// Adding a block's predictions back to its residuals (the near-lossless
// decoder's closed loop), in place: y[t] = residual[t] + p(t), with p(t) as
// the body format defines it (near_lossless.hpp), each index checked against
// the range and fed to the check value; and the encoder's residuals.
//
// Two variants give the same bits. The plain one sums coef[j] * y[t-1-j]
// in 64-bit wrapping arithmetic. The AVX2 one (chosen at run time, see
// support/cpu_dispatch.hpp) takes the two newest terms as the plain one does
// and the rest four at a time with 32 x 32 -> 64-bit signed products, which
// are the exact products whenever both factors fit in 32 bits; it checks
// that per block (coefficients) and per sample (the history in the window)
// and falls back to the plain sum otherwise. Wrapping sums do not depend on
// their order, so the result is the plain one's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantoresk::lanes::near_lossless {

struct BlockPredictor {
    unsigned order = 0;
    unsigned shift = 0;
    const std::int64_t* coef = nullptr;  // `order` entries
};

// Rebuilds y[b, e) (the residuals there on entry; y[0, b) already rebuilt).
// False at the first index outside [-ytop, ytop]. `vector`: may the AVX2
// variant be used (the caller's dispatch decision).
bool rebuild_block(std::int64_t* y, std::size_t b, std::size_t e, const BlockPredictor& p, std::int64_t ymax,
                   std::int64_t ytop, std::uint64_t& hash, bool vector);

// The encoder's side: residual[t] = y[t] - p(t) for t in [b, e), all of y
// known. `narrow`: every level of the lane fits in 32 bits, so the AVX2
// products may be used where this build and CPU have them (same results).
void block_residuals(const std::int64_t* y, std::size_t b, std::size_t e, const BlockPredictor& p, std::int64_t ymax,
                     std::int64_t* residual, bool narrow);

// Whether this build and CPU run the AVX2 variant (and the mask allows it).
bool rebuild_vector_available() noexcept;

}  // namespace vantoresk::lanes::near_lossless
