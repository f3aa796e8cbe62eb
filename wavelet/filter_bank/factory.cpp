// Factories of the orthogonal filter banks: the member's low-pass filter
// (converted to float once, here) picks the kernel by its length, and the
// kernel is wrapped into the multi-level adapter.
//
//   taps   2  4  6  8  10  12  16   other
//   kernel 2  4  6  8  10  12  16   NeonWaveletNTapsF32
//
// The codec reaches exactly two of these: Db4 and Sym4 with Wrap, both the
// 8-tap kernel.
#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "wavelet/contract/completed.hpp"
#include "wavelet/filter_bank/filters.hpp"
#include "wavelet/filter_bank/two_taps.hpp"
#include "wavelet/filter_bank/n_taps.hpp"
#include "wavelet/filter_bank/fixed_taps.hpp"

namespace tremora {

namespace {

template <class Kernel, std::size_t L>
IncompleteDwtExecutorHandle fixed(BorderMode mode, const std::vector<float>& h) {
    std::array<float, L> taps{};
    std::copy(h.begin(), h.end(), taps.begin());
    return std::make_shared<Kernel>(mode, taps);
}

IncompleteDwtExecutorHandle kernel_for(BorderMode mode, const std::vector<float>& h) {
    switch (h.size()) {
        case 2: return fixed<NeonWavelet2TapsF32, 2>(mode, h);
        case 4: return fixed<NeonWavelet4TapsF32, 4>(mode, h);
        case 6: return fixed<NeonWavelet6TapsF32, 6>(mode, h);
        case 8: return fixed<NeonWavelet8TapsF32, 8>(mode, h);
        case 10: return fixed<NeonWavelet10TapsF32, 10>(mode, h);
        case 12: return fixed<NeonWavelet12TapsF32, 12>(mode, h);
        case 16: return fixed<NeonWavelet16TapsF32, 16>(mode, h);
        default: return DwtFactory::wavelet_n_taps(mode, h);
    }
}

DwtExecutorHandle complete(IncompleteDwtExecutorHandle kernel) {
    const std::size_t taps = kernel->filter_length();
    return std::make_shared<CompletedDwtExecutor>(std::move(kernel), taps);
}

}  // namespace

DwtExecutorHandle Tremora::make_daubechies_f32(DaubechiesFamily member, BorderMode mode) {
    return complete(kernel_for(mode, get_wavelet(member)));
}

DwtExecutorHandle Tremora::make_symlet_f32(SymletFamily member, BorderMode mode) {
    return complete(kernel_for(mode, get_wavelet(member)));
}

}  // namespace tremora
