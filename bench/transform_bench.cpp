// Throughput of the wavelet executors on a 1-million-sample signal:
// one forward and one inverse step (into caller buffers, as a kernel sees
// them), and multi_dwt / multi_idwt with 8 levels (allocations included).
// Then each lifting kernel variant alone, so the vector paths can be
// compared with the portable one.
//
// To add an executor, append a row to executors(); to add kernel variants,
// append to kernel_sets().
//
//   transform_bench [samples]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "wavelet/lifting/cdf53.hpp"
#include "wavelet/lifting/cdf97.hpp"
#include "wavelet/contract/factory.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Best-of-runs seconds per call of `fn`; each run repeats it for >= 50 ms.
double seconds_per_call(const std::function<void()>& fn) {
    fn();  // warm caches and page in buffers
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        std::size_t calls = 0;
        const auto start = Clock::now();
        double elapsed = 0;
        do {
            fn();
            ++calls;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < 0.05);
        best = std::min(best, elapsed / static_cast<double>(calls));
    }
    return best;
}

void report(const std::string& what, std::size_t samples, double seconds) {
    std::printf("  %-34s %9.1f Msamples/s  (%8.3f ms)\n", what.c_str(),
                static_cast<double>(samples) / seconds / 1e6, seconds * 1e3);
}

// A smooth-plus-noise trace in the unit range, like a normalised biosignal.
std::vector<float> signal(std::size_t n) {
    std::vector<float> x(n);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) * 0x1p-24f - 0.5f;
        const double t = static_cast<double>(i);
        x[i] = static_cast<float>(0.4 * std::sin(t * 0.01) + 0.2 * std::sin(t * 0.37)) + 0.05f * noise;
    }
    return x;
}

struct ExecutorRow {
    const char* name;
    std::function<tremora::DwtExecutorHandle()> make;
};

std::vector<ExecutorRow> executors() {
    return {
        {"cdf53", tremora::Tremora::make_cdf53_f32},
        {"cdf97", tremora::Tremora::make_cdf97_f32},
        {"db4 (8 taps, wrap)",
         [] { return tremora::Tremora::make_daubechies_f32(tremora::DaubechiesFamily::Db4, tremora::BorderMode::Wrap); }},
        {"sym4 (8 taps, wrap)",
         [] { return tremora::Tremora::make_symlet_f32(tremora::SymletFamily::Sym4, tremora::BorderMode::Wrap); }},
    };
}

struct KernelSet {
    const char* name;
    const tremora::lifting::LiftingKernels* (*variant)(vantoresk::simd::Isa);
};

std::vector<KernelSet> kernel_sets() {
    return {
        {"cdf53", tremora::lifting::cdf53_kernels},
        {"cdf97", tremora::lifting::cdf97_kernels},
    };
}

bool must(const tremora::Status& st) {
    if (!st.ok()) {
        std::fprintf(stderr, "failed: %s\n", st.error().display().c_str());
        std::exit(1);
    }
    return true;
}

void bench_executor(const ExecutorRow& row, const std::vector<float>& x) {
    const auto exec = row.make();
    const std::size_t n = x.size();
    std::printf("%s\n", row.name);

    const tremora::DwtSize size = exec->dwt_size(n);
    std::vector<float> s(size.approx_length), d(size.details_length);
    std::vector<float> scratch(exec->required_scratch_size(n));
    report("forward, 1 level", n, seconds_per_call([&] {
               must(scratch.empty() ? exec->execute_forward(x, s, d)
                                    : exec->execute_forward_with_scratch(x, s, d, scratch));
           }));
    std::vector<float> y(exec->idwt_size(size));
    report("inverse, 1 level", n, seconds_per_call([&] {
               std::fill(y.begin(), y.end(), 0.0f);  // convolution kernels accumulate
               must(exec->execute_inverse(s, d, y));
           }));

    auto levels = exec->multi_dwt(x, 8);
    if (!levels.ok()) {
        std::fprintf(stderr, "multi_dwt failed: %s\n", levels.error().display().c_str());
        std::exit(1);
    }
    report("multi_dwt, 8 levels", n, seconds_per_call([&] {
               auto r = exec->multi_dwt(x, 8);
               if (!r.ok()) std::exit(1);
           }));
    tremora::MultiDwtRef ref;
    for (const auto& level : levels->levels) ref.details.emplace_back(level.details);
    ref.approximation = levels->levels.back().approximations;
    report("multi_idwt, 8 levels", n, seconds_per_call([&] {
               auto r = exec->multi_idwt(ref);
               if (!r.ok()) std::exit(1);
           }));
}

void bench_kernels(const KernelSet& set, const std::vector<float>& x) {
    const std::size_t n = x.size();
    const std::size_t a = n - n / 2, m = n / 2;
    std::vector<float> s(a), d(m), e(a), o(m), y(n);
    std::printf("%s kernel variants\n", set.name);
    for (const auto isa : {vantoresk::simd::Isa::Portable, vantoresk::simd::Isa::Avx2Fma}) {
        if (!vantoresk::simd::enabled(isa) || set.variant(isa) == nullptr) continue;
        const auto& k = *set.variant(isa);
        report(std::string(k.name) + " forward", n, seconds_per_call([&] { k.forward(x.data(), n, s.data(), d.data()); }));
        report(std::string(k.name) + " inverse", n, seconds_per_call([&] {
                   k.inverse(s.data(), a, d.data(), m, e.data(), o.data(), y.data());
               }));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const auto x = signal(n);
    std::printf("%zu samples\n", n);
    for (const auto& row : executors()) bench_executor(row, x);
    for (const auto& set : kernel_sets()) bench_kernels(set, x);
    return 0;
}
