// Border modes: what a convolution reads beyond either end of its input.
//
//   signal      s0 s1 s2 s3 s4            (n = 5)
//   Clamp    s0 s0 | s0 s1 s2 s3 s4 | s4 s4
//   Wrap     s3 s4 | s0 s1 s2 s3 s4 | s0 s1
//   Symmetric s1 s0 | s0 s1 s2 s3 s4 | s4 s3     (mirror about the half sample)
//   Reflect  s2 s1 | s0 s1 s2 s3 s4 | s3 s2     (mirror about the end sample)
//   Zeros     0  0 | s0 s1 s2 s3 s4 |  0  0
//
// Far from the signal the mirror modes do not keep mirroring: they take one
// mirror image and then repeat it periodically,
//
//   Symmetric  x -> s[(-x - 1) mod n]
//   Reflect    x < 0  -> s[1 + ((-x - 1) mod (n - 1))]
//              x >= n -> s[(n - 1) - (x mod (n - 1))]      (n = 1: s[0])
//
// (mod is the Euclidean remainder). Kernels never reach that far, because
// they reject inputs shorter than their filter, so a pad is at most n - 1
// positions; the rule matters for the arena writer's tests and nothing else.
#pragma once

#include <cstdint>

namespace tremora {

enum class BorderMode : std::uint32_t {
    Clamp = 0,
    Wrap = 1,
    Symmetric = 2,
    Reflect = 3,
    Zeros = 4,
};

}  // namespace tremora
