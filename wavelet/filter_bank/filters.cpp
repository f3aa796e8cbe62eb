#include "wavelet/filter_bank/filters.hpp"

namespace tremora {

namespace {

// static_cast<float>(double) is IEEE round-to-nearest-even under the default
// rounding mode, which the engine never changes.
std::vector<float> to_floats(std::span<const double> table) {
    std::vector<float> out(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) out[i] = static_cast<float>(table[i]);
    return out;
}

}  // namespace

std::vector<float> WaveletFilterProvider<DaubechiesFamily>::get_wavelet(DaubechiesFamily member) {
    return to_floats(daubechies_coefficients(member));
}

std::vector<float> WaveletFilterProvider<SymletFamily>::get_wavelet(SymletFamily member) {
    return to_floats(symlet_coefficients(member));
}

}  // namespace tremora
