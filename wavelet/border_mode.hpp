// Border modes: what a convolution reads beyond either end of its input.
//
//   signal      s0 s1 s2 s3 s4            (n = 5)
//   Clamp    s0 s0 | s0 s1 s2 s3 s4 | s4 s4
//   Wrap     s3 s4 | s0 s1 s2 s3 s4 | s0 s1
//   Symmetric s1 s0 | s0 s1 s2 s3 s4 | s4 s3     (mirror about the half sample)
//   Reflect  s2 s1 | s0 s1 s2 s3 s4 | s3 s2     (mirror about the end sample)
//   Zeros     0  0 | s0 s1 s2 s3 s4 |  0  0
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
