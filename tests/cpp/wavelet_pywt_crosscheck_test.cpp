// The 8-tap kernel with Wrap extension against an outside reference: DWT and
// IDWT values computed once in double precision with PyWavelets' 'periodic'
// mode (tools/gen_pywt_crosscheck.py), which uses our window convention
// exactly: its output k is sum_i rec_lo[i] * x[(2k - 6 + i) mod n], for odd
// and even n, and its idwt has our length 2a - 6. (Its 'periodization' mode
// samples a different phase, windows starting at 2k - 3, and is not
// comparable.) Agreement is to float32 rounding, not bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "wavelet/daubechies.hpp"
#include "wavelet/wavelet_taps_f32.hpp"

namespace tremora {
namespace {

struct CrossCase {
    std::uint32_t filter = 0;
    std::vector<float> input;
    std::vector<double> ca, cd;
    std::vector<float> band_a, band_d;
    std::vector<double> rec;
};

class Reader {
public:
    explicit Reader(const std::string& path) : in_(path, std::ios::binary) {}
    bool ok() const { return static_cast<bool>(in_); }
    std::uint32_t u32() {
        unsigned char b[4] = {};
        in_.read(reinterpret_cast<char*>(b), 4);
        return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
    }
    template <class T>
    std::vector<T> array() {  // the files are little-endian, like every target we build for
        std::vector<T> v(u32());
        in_.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(T)));
        return v;
    }

private:
    std::ifstream in_;
};

std::vector<CrossCase> load() {
    Reader r(std::string(VANTORESK_FIXTURES_DIR) + "/wavelet/ortho/pywt_periodic.bin");
    std::vector<CrossCase> cases;
    if (!r.ok()) return cases;
    const std::uint32_t count = r.u32();
    for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
        CrossCase c;
        c.filter = r.u32();
        c.input = r.array<float>();
        c.ca = r.array<double>();
        c.cd = r.array<double>();
        c.band_a = r.array<float>();
        c.band_d = r.array<float>();
        c.rec = r.array<double>();
        cases.push_back(std::move(c));
    }
    return cases;
}

class PywtPeriodic : public ::testing::TestWithParam<KernelIsa> {};

TEST_P(PywtPeriodic, ForwardAndInverseAgreeWithinFloatRounding) {
    if (GetParam() == KernelIsa::Avx2Fma && !kernel_isa_avx2_available()) GTEST_SKIP() << "no AVX2/FMA";
    const std::vector<CrossCase> cases = load();
    ASSERT_EQ(cases.size(), 16u);
    for (const CrossCase& c : cases) {
        const std::vector<float> h =
            c.filter == 0 ? get_wavelet(DaubechiesFamily::Db4) : get_wavelet(SymletFamily::Sym4);
        std::array<float, 8> taps{};
        std::copy(h.begin(), h.end(), taps.begin());
        const NeonWavelet8TapsF32 kernel(BorderMode::Wrap, taps, GetParam());
        const std::size_t n = c.input.size();
        SCOPED_TRACE((c.filter == 0 ? "db4 n = " : "sym4 n = ") + std::to_string(n));

        const std::size_t a = kernel.dwt_size(n).approx_length;
        ASSERT_EQ(a, c.ca.size());
        std::vector<float> A(a), D(a);
        ASSERT_TRUE(kernel.execute_forward(c.input, A, D).ok());
        float peak = 0;
        for (float v : c.input) peak = std::max(peak, std::fabs(v));
        // Our filter taps are the floats of the table, the reference uses the
        // doubles: a relative tap error of 2^-24 plus eight roundings.
        const double tol = 3e-6 * peak;
        for (std::size_t k = 0; k < a; ++k) {
            ASSERT_NEAR(A[k], c.ca[k], tol) << "approximation " << k;
            ASSERT_NEAR(D[k], c.cd[k], tol) << "detail " << k;
        }

        ASSERT_EQ(kernel.idwt_size({a, a}), c.rec.size());
        std::vector<float> y(c.rec.size(), 0.0f);
        ASSERT_TRUE(kernel.execute_inverse(c.band_a, c.band_d, y).ok());
        for (std::size_t j = 0; j < y.size(); ++j) ASSERT_NEAR(y[j], c.rec[j], 6e-6) << "sample " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, PywtPeriodic, ::testing::Values(KernelIsa::Portable, KernelIsa::Avx2Fma),
                         [](const auto& param_info) {
                             return std::string(param_info.param == KernelIsa::Portable ? "Portable" : "Avx2");
                         });

}  // namespace
}  // namespace tremora
