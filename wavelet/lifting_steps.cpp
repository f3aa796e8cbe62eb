#include "wavelet/lifting_steps.hpp"

namespace tremora::lifting {

bool cpu_has_avx2_fma() noexcept {
#if TREMORA_HAVE_AVX2_VARIANT
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return has;
#else
    return false;
#endif
}

}  // namespace tremora::lifting
