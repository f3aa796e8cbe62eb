// Speed of the 8-tap convolution kernel (db4 and sym4, Wrap extension), one
// level forward and inverse on 1,000,000 samples, for the portable loops and
// the AVX2/FMA variant in the same run; plus the codec's 4-level multi_dwt
// and multi_idwt through the factory. Figures are input samples (10^6) per
// second of the thread's CPU time, best of several repetitions. A random
// signal is used: the kernel's speed does not depend on the values.
#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "wavelet/filter_bank/filters.hpp"
#include "wavelet/filter_bank/fixed_taps.hpp"

namespace {

using namespace tremora;
using vantoresk::simd::Isa;

constexpr std::size_t kSamples = 1000000;
constexpr int kRepeats = 15;

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double best_msamples_per_s(const std::function<void()>& run, std::size_t samples) {
    run();  // warm caches and the dispatch
    double best = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        const double t0 = thread_seconds();
        run();
        best = std::min(best, thread_seconds() - t0);
    }
    return static_cast<double>(samples) / best / 1e6;
}

void bench_filter(const char* name, const std::vector<float>& h, const std::vector<float>& x) {
    std::array<float, 8> taps{};
    std::copy(h.begin(), h.end(), taps.begin());
    const std::size_t a = (x.size() + 7) / 2;
    std::vector<float> A(a), D(a), y(2 * a - 6);
    for (const Isa isa : {Isa::Portable, Isa::Avx2Fma}) {
        if (!vantoresk::simd::enabled(isa)) continue;
        const NeonWavelet8TapsF32 k(BorderMode::Wrap, taps, isa);
        const double fwd = best_msamples_per_s([&] { (void)k.execute_forward(x, A, D); }, x.size());
        const double inv = best_msamples_per_s(
            [&] {
                std::fill(y.begin(), y.end(), 0.0f);
                (void)k.execute_inverse(A, D, y);
            },
            x.size());
        std::printf("%-5s %-9s forward %8.1f Msamples/s   inverse %8.1f Msamples/s\n", name,
                    vantoresk::simd::name(isa), fwd, inv);
    }
}

void bench_multilevel(const char* name, const DwtExecutorHandle& ex, const std::vector<float>& x) {
    auto bands = ex->multi_dwt(x, 4);
    if (!bands) return;
    MultiDwtRef ref;
    for (const Dwt& level : bands->levels) ref.details.push_back(level.details);
    ref.approximation = bands->levels.back().approximations;
    const double fwd = best_msamples_per_s([&] { (void)ex->multi_dwt(x, 4); }, x.size());
    const double inv = best_msamples_per_s([&] { (void)ex->multi_idwt(ref); }, x.size());
    std::printf("%-5s 4 levels  multi_dwt %6.1f Msamples/s   multi_idwt %6.1f Msamples/s\n", name, fwd, inv);
}

}  // namespace

int main() {
    std::mt19937 rng(1);
    std::normal_distribution<float> dist(0.0f, 0.3f);
    std::vector<float> x(kSamples);
    for (float& v : x) v = dist(rng);
    std::printf("8-tap kernel, Wrap, %zu samples (AVX2/FMA %s)\n", kSamples,
                vantoresk::simd::enabled(Isa::Avx2Fma) ? "in use" : vantoresk::simd::unavailable_reason(Isa::Avx2Fma).data());
    bench_filter("db4", get_wavelet(DaubechiesFamily::Db4), x);
    bench_filter("sym4", get_wavelet(SymletFamily::Sym4), x);
    bench_multilevel("db4", Tremora::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap), x);
    bench_multilevel("sym4", Tremora::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap), x);
    return 0;
}
