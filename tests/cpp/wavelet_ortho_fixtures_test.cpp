// db4 and sym4 (8-tap kernel, Wrap) against the reference bands: every
// level's approximation and detail band of multi_dwt and the untrimmed
// multi_idwt reconstruction, compared bit for bit, through the factories and
// through adapters around each instruction-set variant of the kernel.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "wavelet/completed.hpp"
#include "wavelet/daubechies.hpp"
#include "wavelet/wavelet_taps_f32.hpp"

namespace tremora {
namespace {

const std::string kDir = std::string(VANTORESK_FIXTURES_DIR) + "/wavelet/ortho/";

struct Case {
    std::string name;
    std::size_t n = 0;
    std::size_t levels = 0;
};

std::vector<Case> load_cases() {
    std::vector<Case> cases;
    std::ifstream in(kDir + "cases.txt");
    Case c;
    while (in >> c.name >> c.n >> c.levels) cases.push_back(c);
    return cases;
}

std::vector<std::vector<float>> load_arrays(const std::string& name) {
    std::ifstream in(kDir + name + ".bin", std::ios::binary);
    std::vector<std::vector<float>> arrays;
    auto u32 = [&in]() {
        unsigned char b[4] = {};
        in.read(reinterpret_cast<char*>(b), 4);
        return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
    };
    const std::uint32_t count = u32();
    for (std::uint32_t i = 0; i < count && in; ++i) {
        std::vector<float> a(u32());
        for (float& v : a) v = std::bit_cast<float>(u32());
        arrays.push_back(std::move(a));
    }
    return arrays;
}

void expect_bits(std::span<const float> got, const std::vector<float>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want[i]))
            << what << " [" << i << "]: " << got[i] << " vs " << want[i];
    }
}

enum class Route { Factory, Portable, Avx2 };

DwtExecutorHandle executor_for(const std::string& method, Route route) {
    const bool db = method == "db4";
    if (route == Route::Factory) {
        return db ? Tremora::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap)
                  : Tremora::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap);
    }
    const std::vector<float> h = db ? get_wavelet(DaubechiesFamily::Db4) : get_wavelet(SymletFamily::Sym4);
    std::array<float, 8> taps{};
    std::copy(h.begin(), h.end(), taps.begin());
    auto kernel = std::make_shared<NeonWavelet8TapsF32>(
        BorderMode::Wrap, taps, route == Route::Portable ? KernelIsa::Portable : KernelIsa::Avx2Fma);
    return std::make_shared<CompletedDwtExecutor>(kernel, 8);
}

class ReferenceBands : public ::testing::TestWithParam<Route> {};

TEST_P(ReferenceBands, MultiLevelForwardAndInverseAreBitExact) {
    if (GetParam() == Route::Avx2 && !kernel_isa_avx2_available()) GTEST_SKIP() << "no AVX2/FMA on this CPU";
    const std::vector<Case> cases = load_cases();
    ASSERT_EQ(cases.size(), 14u) << "fixtures missing under " << kDir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto arrays = load_arrays(c.name);
        ASSERT_EQ(arrays.size(), 2 * c.levels + 2);
        const std::vector<float>& input = arrays[0];
        ASSERT_EQ(input.size(), c.n);
        const DwtExecutorHandle ex = executor_for(c.name.substr(0, c.name.find('_')), GetParam());
        auto bands = ex->multi_dwt(input, c.levels);
        ASSERT_TRUE(bands.ok()) << bands.error().display();
        ASSERT_EQ(bands->levels.size(), c.levels);
        MultiDwtRef ref;
        for (std::size_t l = 0; l < c.levels; ++l) {
            expect_bits(bands->levels[l].approximations, arrays[1 + 2 * l], "approximations " + std::to_string(l + 1));
            expect_bits(bands->levels[l].details, arrays[2 + 2 * l], "details " + std::to_string(l + 1));
            ref.details.push_back(arrays[2 + 2 * l]);
        }
        ref.approximation = arrays[2 * c.levels - 1];
        auto rec = ex->multi_idwt(ref);
        ASSERT_TRUE(rec.ok()) << rec.error().display();
        expect_bits(*rec, arrays.back(), "reconstruction");
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, ReferenceBands, ::testing::Values(Route::Factory, Route::Portable, Route::Avx2),
                         [](const auto& param_info) {
                             switch (param_info.param) {
                                 case Route::Factory: return std::string("Factory");
                                 case Route::Portable: return std::string("Portable");
                                 case Route::Avx2: return std::string("Avx2");
                             }
                             return std::string("?");
                         });

}  // namespace
}  // namespace tremora
