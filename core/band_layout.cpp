#include "core/band_layout.hpp"

#include <algorithm>

namespace vantoresk {

BandLayout band_layout(const tremora::DwtExecutor& executor, std::size_t n, std::size_t levels) {
    BandLayout layout;
    layout.levels = levels;
    std::size_t input = std::max(n, executor.filter_length());
    for (std::size_t k = 0; k < levels; ++k) {
        layout.sizes[k] = executor.dwt_size(input);
        input = layout.sizes[k].approx_length;
        layout.codes += layout.sizes[k].details_length;
    }
    layout.codes += input;
    return layout;
}

}  // namespace vantoresk
