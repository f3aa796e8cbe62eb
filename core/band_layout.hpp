// Where the bands sit in a container's coefficient stream.
//
//   A_L | D_1 | D_2 | ... | D_L          (one 16-bit code per coefficient)
//
// The sizes follow from the sample count, the executor and the level count
// alone: the input is padded to at least the filter length, and each level
// transforms the previous level's approximation band (dwt_size). The writer
// counts its codes and the reader cuts the decoded codes into bands with this
// one walk, so the two can never disagree about a container.
#pragma once

#include <array>
#include <cstddef>

#include "wavelet/contract/factory.hpp"

namespace vantoresk {

// The most levels a reader accepts (the writer uses at most 8).
inline constexpr std::size_t kMaxLevels = 10;

struct BandLayout {
    std::size_t levels = 0;
    std::array<tremora::DwtSize, kMaxLevels> sizes{};  // level k at index k - 1
    std::size_t codes = 0;                             // A_L + D_1 + ... + D_L

    std::size_t approx_length() const noexcept { return sizes[levels - 1].approx_length; }
};

// The layout of `n` samples decomposed to `levels` levels, 1 <= levels <=
// kMaxLevels.
BandLayout band_layout(const tremora::DwtExecutor& executor, std::size_t n, std::size_t levels);

}  // namespace vantoresk
