// Helpers shared by the engine's tests: bit-for-bit comparison of float
// sequences, borrowing a decomposition for the inverse, and checking an
// error for its exact kind and text.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "wavelet/err.hpp"
#include "wavelet/factory.hpp"

namespace wavelet_test {

// Equal lengths and equal bit patterns (so -0.0 != +0.0 and NaNs compare
// by payload); the failure names the first differing index.
inline ::testing::AssertionResult same_bits(std::span<const float> got, std::span<const float> want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << "length " << got.size() << " != " << want.size();
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto g = std::bit_cast<std::uint32_t>(got[i]);
        const auto w = std::bit_cast<std::uint32_t>(want[i]);
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

}  // namespace wavelet_test
