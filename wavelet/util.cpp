#include "wavelet/util.hpp"

namespace tremora {

std::vector<float> low_pass_to_high(std::span<const float> low_pass) {
    const std::size_t n = low_pass.size();
    std::vector<float> high(n);
    for (std::size_t j = 0; j < n; ++j) {
        const float v = low_pass[n - 1 - j];
        high[j] = (j % 2 == 1) ? flip_sign(v) : v;
    }
    return high;
}

}  // namespace tremora
