#include "core/wavelet_choice.hpp"

namespace vantoresk {

tremora::DwtExecutorHandle make_executor(CompressionMethod method) {
    using tremora::Tremora;
    switch (method) {
        case CompressionMethod::Cdf53:
            return Tremora::make_cdf53_f32();
        case CompressionMethod::Cdf97:
            return Tremora::make_cdf97_f32();
        case CompressionMethod::Db4:
            return Tremora::make_daubechies_f32(tremora::DaubechiesFamily::Db4, tremora::BorderMode::Wrap);
        case CompressionMethod::Sym4:
            return Tremora::make_symlet_f32(tremora::SymletFamily::Sym4, tremora::BorderMode::Wrap);
    }
    return nullptr;
}

}  // namespace vantoresk
