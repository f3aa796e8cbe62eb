// The arena writer: a padded copy of a signal for the generic N-tap kernel.
//
//   arena  [ x(-left) ... x(-1) | s0 s1 ... s(n-1) | x(n) ... x(n+right-1) ]
//           0        left-1      left     left+n-1  left+n       g-1
//
// The pads hold the extension of the border mode (border_mode.hpp), filled
// position by position from the outermost cell inwards on the left and from
// position n outwards on the right. Samples are moved bit for bit; only
// indices are computed (exact signed 64-bit, divisions by a precomputed
// reciprocal of n, or of n - 1 for Reflect).
//
// Contract traps:
//  - arena.size() must be exactly left + n + right. Anything else is a bug in
//    the caller's size arithmetic and is reported as ScratchSizeMismatch
//    (required, given) before anything is written.
//  - An empty signal has no sample to extend: with a non-empty pad in any
//    mode but Zeros it fails with ZeroSizedInput.
//  - Pads may be longer than the signal: Wrap repeats it as often as needed,
//    the mirror modes repeat their one mirror image.
#pragma once

#include <cstddef>
#include <span>

#include "wavelet/filter_bank/border_mode.hpp"
#include "wavelet/contract/error.hpp"

namespace tremora {

Status write_arena_1d(std::span<const float> source, std::span<float> arena, std::size_t left,
                           std::size_t right, BorderMode mode);

}  // namespace tremora
