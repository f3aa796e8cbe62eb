// The engine against reference vectors committed under tests/fixtures/wavelet.
//
// lifting/ and ortho/ (format: tools/export_wavelet_fixtures.py): every band
// of every level of multi_dwt and the untrimmed multi_idwt of the stored
// bands, bit for bit. CDF 5/3 and CDF 9/7 go through the factories; db4 and
// sym4 (8-tap kernel, Wrap) through the factories and through adapters around
// each instruction-set variant of the kernel.
//
// ortho/pywt_periodic.bin (tools/gen_pywt_crosscheck.py): one level of db4 and
// sym4 computed in double precision with PyWavelets' 'periodic' mode, which
// uses our window convention exactly: its output k is
// sum_i rec_lo[i] * x[(2k - 6 + i) mod n], for odd and even n, and its idwt
// has our length 2a - 6. (Its 'periodization' mode samples a different phase,
// windows starting at 2k - 3, and is not comparable.) Agreement there is to
// float32 rounding, not bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "wavelet/contract/completed.hpp"
#include "wavelet/filter_bank/filters.hpp"
#include "wavelet/filter_bank/fixed_taps.hpp"

#include "fixture_manifest.hpp"
#include "simd_test_support.hpp"
#include "wavelet_test_support.hpp"

namespace tremora {
namespace {

using vantoresk::simd::Isa;
using wavelet_test::same_bits;
using wavelet_test::taps_of;

const std::string kDir = std::string(VANTORESK_FIXTURES_DIR) + "/wavelet/";

// Little-endian reader; a short file leaves the stream failed and the arrays
// short, which the size assertions report.
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
        std::vector<T> v(ok() ? u32() : 0);
        in_.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(T)));
        return v;
    }

private:
    std::ifstream in_;
};

enum class Route { Factory, Portable, Avx2 };

struct Case {
    std::string dir, name, method;
    std::size_t n = 0, levels = 0;
    Route route = Route::Factory;
};

std::vector<Case> load_cases() {
    using fixture_manifest::load_records;
    std::vector<Case> cases = load_records<Case>(kDir + "lifting/cases.txt", [](std::istream& in, Case& c) {
        c.dir = "lifting/";
        in >> c.name >> c.method >> c.n >> c.levels;
    });
    const auto ortho = load_records<Case>(kDir + "ortho/cases.txt", [](std::istream& in, Case& c) {
        c.dir = "ortho/";
        in >> c.name >> c.n >> c.levels;
        c.method = c.name.substr(0, c.name.find('_'));
    });
    for (Case c : ortho) {
        for (Route r : {Route::Factory, Route::Portable, Route::Avx2}) {
            c.route = r;
            cases.push_back(c);
        }
    }
    return cases;
}

TEST(WaveletFixtures, AllCasesPresent) {
    const auto cases = load_cases();
    EXPECT_EQ(std::count_if(cases.begin(), cases.end(), [](const Case& c) { return c.dir == "lifting/"; }), 16);
    EXPECT_EQ(std::count_if(cases.begin(), cases.end(), [](const Case& c) { return c.dir == "ortho/"; }), 3 * 14);
}

DwtExecutorHandle executor_for(const Case& c) {
    if (c.method == "cdf53") return Tremora::make_cdf53_f32();
    if (c.method == "cdf97") return Tremora::make_cdf97_f32();
    const bool db = c.method == "db4";
    if (c.route == Route::Factory) {
        return db ? Tremora::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap)
                  : Tremora::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap);
    }
    const std::vector<float> h = db ? get_wavelet(DaubechiesFamily::Db4) : get_wavelet(SymletFamily::Sym4);
    auto kernel = std::make_shared<NeonWavelet8TapsF32>(
        BorderMode::Wrap, taps_of<8>(h), c.route == Route::Portable ? Isa::Portable : Isa::Avx2Fma);
    return std::make_shared<CompletedDwtExecutor>(kernel, 8);
}

class ReferenceBands : public ::testing::TestWithParam<Case> {};

TEST_P(ReferenceBands, MultiLevelForwardAndInverseAreBitExact) {
    const Case& c = GetParam();
    if (c.route == Route::Avx2) VANTORESK_SKIP_UNLESS_ENABLED(Isa::Avx2Fma);
    Reader in(kDir + c.dir + c.name + ".bin");
    std::vector<std::vector<float>> arrays(in.u32());
    for (auto& a : arrays) a = in.array<float>();
    ASSERT_TRUE(in.ok()) << "unreadable fixture " << c.name;
    ASSERT_EQ(arrays.size(), 2 * c.levels + 2) << "unreadable fixture " << c.name;
    const std::vector<float>& input = arrays.front();
    ASSERT_EQ(input.size(), c.n);
    const DwtExecutorHandle ex = executor_for(c);
    auto bands = ex->multi_dwt(input, c.levels);
    ASSERT_TRUE(bands.ok()) << bands.error().display();
    ASSERT_EQ(bands->levels.size(), c.levels);
    MultiDwtRef ref;  // reconstruct from the stored bands, not from ours
    for (std::size_t l = 0; l < c.levels; ++l) {
        EXPECT_TRUE(same_bits(bands->levels[l].approximations, arrays[1 + 2 * l])) << "level " << l + 1 << " approx";
        EXPECT_TRUE(same_bits(bands->levels[l].details, arrays[2 + 2 * l])) << "level " << l + 1 << " details";
        ref.details.emplace_back(arrays[2 + 2 * l]);
    }
    ref.approximation = arrays[2 * c.levels - 1];
    auto rec = ex->multi_idwt(ref);
    ASSERT_TRUE(rec.ok()) << rec.error().display();
    EXPECT_TRUE(same_bits(*rec, arrays.back())) << "reconstruction";
}

std::string case_name(const ::testing::TestParamInfo<Case>& p) {
    static const char* const routes[] = {"", "_Portable", "_Avx2"};
    return p.param.name + routes[static_cast<int>(p.param.route)];
}

INSTANTIATE_TEST_SUITE_P(Reference, ReferenceBands, ::testing::ValuesIn(load_cases()), case_name);

// ------------------------------------------------------------------ PyWavelets

class PywtPeriodic : public ::testing::TestWithParam<Isa> {};

TEST_P(PywtPeriodic, ForwardAndInverseAgreeWithinFloatRounding) {
    VANTORESK_SKIP_UNLESS_ENABLED(GetParam());
    Reader in(kDir + "ortho/pywt_periodic.bin");
    const std::uint32_t count = in.ok() ? in.u32() : 0;
    ASSERT_EQ(count, 16u);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t filter = in.u32();
        const auto input = in.array<float>();
        const auto ca = in.array<double>(), cd = in.array<double>();
        const auto band_a = in.array<float>(), band_d = in.array<float>();
        const auto rec = in.array<double>();
        ASSERT_TRUE(in.ok()) << "case " << i;
        const std::vector<float> h = filter == 0 ? get_wavelet(DaubechiesFamily::Db4) : get_wavelet(SymletFamily::Sym4);
        const NeonWavelet8TapsF32 kernel(BorderMode::Wrap, taps_of<8>(h), GetParam());
        const std::size_t n = input.size();
        SCOPED_TRACE((filter == 0 ? "db4 n = " : "sym4 n = ") + std::to_string(n));

        const std::size_t a = kernel.dwt_size(n).approx_length;
        ASSERT_EQ(a, ca.size());
        std::vector<float> A(a), D(a);
        ASSERT_TRUE(kernel.execute_forward(input, A, D).ok());
        float peak = 0;
        for (float v : input) peak = std::max(peak, std::fabs(v));
        // Our filter taps are the floats of the table, the reference uses the
        // doubles: a relative tap error of 2^-24 plus eight roundings.
        const double tol = 3e-6 * peak;
        for (std::size_t k = 0; k < a; ++k) {
            ASSERT_NEAR(A[k], ca[k], tol) << "approximation " << k;
            ASSERT_NEAR(D[k], cd[k], tol) << "detail " << k;
        }

        ASSERT_EQ(kernel.idwt_size({a, a}), rec.size());
        std::vector<float> y(rec.size(), 0.0f);
        ASSERT_TRUE(kernel.execute_inverse(band_a, band_d, y).ok());
        for (std::size_t j = 0; j < y.size(); ++j) ASSERT_NEAR(y[j], rec[j], 6e-6) << "sample " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, PywtPeriodic, ::testing::Values(Isa::Portable, Isa::Avx2Fma),
                         [](const auto& param_info) {
                             return std::string(param_info.param == Isa::Portable ? "Portable" : "Avx2");
                         });

}  // namespace
}  // namespace tremora
