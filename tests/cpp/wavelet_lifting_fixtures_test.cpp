// CDF 5/3 and CDF 9/7 against the reference bands in
// tests/fixtures/wavelet/lifting (format: tools/export_wavelet_fixtures.py):
// every band of every level of multi_dwt and the untrimmed multi_idwt, bit for
// bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "wavelet/cdf53f.hpp"
#include "wavelet/cdf97f.hpp"

#include "wavelet_test_support.hpp"

namespace {

using wavelet_test::same_bits;

const std::string kDir = std::string(VANTORESK_FIXTURES_DIR) + "/wavelet/lifting/";

struct Case {
    std::string name, method;
    std::size_t n = 0, levels = 0;
};

std::vector<Case> load_cases() {
    std::vector<Case> cases;
    std::ifstream in(kDir + "cases.txt");
    Case c;
    while (in >> c.name >> c.method >> c.n >> c.levels) cases.push_back(c);
    return cases;
}

bool read_u32(std::istream& in, std::uint32_t& v) {
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
    v = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return true;
}

std::vector<std::vector<float>> load_arrays(const std::string& name) {
    std::ifstream in(kDir + name + ".bin", std::ios::binary);
    std::vector<std::vector<float>> arrays;
    std::uint32_t count = 0;
    if (!read_u32(in, count)) return arrays;
    for (std::uint32_t k = 0; k < count; ++k) {
        std::uint32_t len = 0;
        if (!read_u32(in, len)) return {};
        std::vector<float> a(len);
        for (auto& v : a) {
            std::uint32_t bits = 0;
            if (!read_u32(in, bits)) return {};
            v = std::bit_cast<float>(bits);
        }
        arrays.push_back(std::move(a));
    }
    return arrays;
}

TEST(LiftingFixtures, AllCasesPresent) { EXPECT_EQ(load_cases().size(), 16u); }

class LiftingFixture : public ::testing::TestWithParam<Case> {};

TEST_P(LiftingFixture, BandsAndReconstructionBitForBit) {
    const Case& c = GetParam();
    const auto arrays = load_arrays(c.name);
    ASSERT_EQ(arrays.size(), 2 * c.levels + 2) << "unreadable fixture " << c.name;
    const auto& input = arrays.front();
    ASSERT_EQ(input.size(), c.n);
    const auto exec =
        c.method == "cdf53" ? tremora::Tremora::make_cdf53_f32() : tremora::Tremora::make_cdf97_f32();
    auto fwd = exec->multi_dwt(input, c.levels);
    ASSERT_TRUE(fwd.ok()) << fwd.error().display();
    ASSERT_EQ(fwd->levels.size(), c.levels);
    for (std::size_t k = 0; k < c.levels; ++k) {
        EXPECT_TRUE(same_bits(fwd->levels[k].approximations, arrays[1 + 2 * k])) << "level " << k + 1 << " approx";
        EXPECT_TRUE(same_bits(fwd->levels[k].details, arrays[2 + 2 * k])) << "level " << k + 1 << " details";
    }
    // Reconstruct from the stored bands, not from ours.
    tremora::MultiDwtRef ref;
    for (std::size_t k = 0; k < c.levels; ++k) ref.details.emplace_back(arrays[2 + 2 * k]);
    ref.approximation = arrays[2 * c.levels - 1];
    auto back = exec->multi_idwt(ref);
    ASSERT_TRUE(back.ok()) << back.error().display();
    EXPECT_TRUE(same_bits(*back, arrays.back()));
}

INSTANTIATE_TEST_SUITE_P(Reference, LiftingFixture, ::testing::ValuesIn(load_cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
