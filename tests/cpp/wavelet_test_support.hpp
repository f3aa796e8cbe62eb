// Helpers shared by the engine's tests: bit-for-bit comparison of float
// sequences, borrowing a decomposition for the inverse, checking an error for
// its exact kind and text, the border modes by name, and test signals.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "wavelet/filter_bank/border_mode.hpp"
#include "wavelet/contract/error.hpp"
#include "wavelet/contract/factory.hpp"

namespace wavelet_test {

inline std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Equal lengths and equal bit patterns (so -0.0 != +0.0 and NaNs compare
// by payload); the failure names the first differing index.
inline ::testing::AssertionResult same_bits(std::span<const float> got, std::span<const float> want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << "length " << got.size() << " != " << want.size();
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto g = bits(got[i]);
        const auto w = bits(want[i]);
        if (g != w) {
            char text[160];
            std::snprintf(text, sizeof text, "index %zu: %.9g (%08x) != %.9g (%08x)", i, static_cast<double>(got[i]),
                          static_cast<unsigned>(g), static_cast<double>(want[i]), static_cast<unsigned>(w));
            return ::testing::AssertionFailure() << text;
        }
    }
    return ::testing::AssertionSuccess();
}

// The borrowed form of a decomposition, as multi_idwt takes it.
inline tremora::MultiDwtRef as_ref(const tremora::MultiDwt& m) {
    tremora::MultiDwtRef r;
    for (const auto& level : m.levels) r.details.emplace_back(level.details);
    r.approximation = m.levels.back().approximations;
    return r;
}

inline void expect_error(const tremora::TremoraError& e, tremora::TremoraError::Kind kind, const std::string& text) {
    EXPECT_EQ(e.kind(), kind);
    EXPECT_EQ(e.display(), text);
}

// multi_idwt with no detail band or no approximation has nothing to rebuild.
inline void expect_missing_bands_refused(const tremora::DwtExecutor& exec, std::size_t band_length) {
    const std::vector<float> band(band_length, 1.0f);
    tremora::MultiDwtRef no_levels;
    no_levels.approximation = band;
    tremora::MultiDwtRef no_approximation;
    no_approximation.details = {band};
    for (const auto& ref : {no_levels, no_approximation}) {
        auto r = exec.multi_idwt(ref);
        ASSERT_FALSE(r.ok());
        expect_error(r.error(), tremora::TremoraError::Kind::ZeroSizedInput, "Zero sized input is not supported");
    }
}

inline constexpr tremora::BorderMode kModes[] = {tremora::BorderMode::Clamp, tremora::BorderMode::Wrap,
                                                 tremora::BorderMode::Symmetric, tremora::BorderMode::Reflect,
                                                 tremora::BorderMode::Zeros};

inline std::string mode_name(tremora::BorderMode m) {
    static const char* const names[] = {"Clamp", "Wrap", "Symmetric", "Reflect", "Zeros"};
    return names[static_cast<int>(m)];
}

// A member of the Daubechies (Db1..Db24) or Symlet (Sym2..Sym20) family.
struct Member {
    bool symlet;
    int value;  // the enumerator's value
};

inline std::vector<Member> all_members() {
    std::vector<Member> m;
    for (int v = 0; v < 24; ++v) m.push_back({false, v});
    for (int v = 0; v < 19; ++v) m.push_back({true, v});
    return m;
}

inline std::string member_name(const ::testing::TestParamInfo<Member>& p) {
    return std::string(p.param.symlet ? "Sym" : "Db") + std::to_string(p.param.value + (p.param.symlet ? 2 : 1));
}

// Uniform in [-1, 1). `spiced` plants a signed zero, a tiny value and a large
// one, which the bit-exact comparisons need to see rounding differences.
inline std::vector<float> uniform_signal(std::size_t n, std::uint32_t seed, bool spiced = false) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = dist(rng);
    if (spiced && n > 5) {
        x[1] = -0.0f;
        x[n / 2] = 1e-30f;
        x[n - 2] = 3.4e5f;
    }
    return x;
}

template <std::size_t L>
std::array<float, L> taps_of(std::span<const float> h) {
    std::array<float, L> a{};
    std::copy_n(h.begin(), std::min(L, h.size()), a.begin());
    return a;
}

}  // namespace wavelet_test
