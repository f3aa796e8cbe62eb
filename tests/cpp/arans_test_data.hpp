// Test data for the coder tests: hex, fixture files, deterministic inputs
// shaped like what the codec feeds the coder, and the fast-versus-plain check.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/npy.hpp"
#include "support/splitmix64.hpp"

namespace arans_test {

using Bytes = std::vector<std::uint8_t>;

// Pairs of hex digits; anything else (spaces, a lone "-") is skipped.
inline Bytes from_hex(const std::string& hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline std::string fixture_path(const std::string& name) {
    return std::string(VANTORESK_FIXTURES_DIR) + "/arans/" + name;
}

// The whole file, or false when it cannot be read.
inline bool read_file(const std::string& path, Bytes& out) {
    auto bytes = vantoresk::support::read_file(path);
    if (!bytes) return false;
    out = std::move(*bytes);
    return true;
}
// The fast and the plain decoder must give the same bytes or the same error.
template <class R>
void expect_same_outcome(const R& fast, const R& plain, const std::string& where = "") {
    ASSERT_EQ(fast.ok(), plain.ok()) << where;
    if (fast.ok()) {
        ASSERT_EQ(fast.value(), plain.value()) << where;
    } else {
        ASSERT_EQ(fast.error(), plain.error()) << where;
    }
}

using Rng = vantoresk::support::SplitMix64;

inline Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    Rng rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng.next() >> 56);
    return out;
}

// Little-endian int16 codes from a Laplacian of the given spread, like the
// quantised wavelet detail bands: mostly near zero, so the high bytes are
// nearly all 0x00 or 0xFF. An odd `n` leaves half a code at the end.
inline Bytes laplacian_codes(std::size_t n, double spread, std::uint64_t seed) {
    Rng rng(seed);
    Bytes out(n);
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        const double u = rng.unit() - 0.5;
        const double mag = -spread * std::log(1.0 - 2.0 * std::fabs(u));
        const double v = std::fmax(-32768.0, std::fmin(32767.0, u < 0 ? -mag : mag));
        const auto code = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
        out[i] = static_cast<std::uint8_t>(code);
        out[i + 1] = static_cast<std::uint8_t>(code >> 8);
    }
    if (n % 2 == 1) out[n - 1] = static_cast<std::uint8_t>(rng.next());
    return out;
}

// LowZero / HighZero: one byte plane constant, the other random, so that the
// stream decoder meets a predictable plane beside a busy one, either way round.
enum class Kind { Random, Laplacian, Skewed, Constant, Ramp, LowZero, HighZero };

inline const char* kind_name(Kind k) {
    static const char* const names[] = {"Random", "Laplacian", "Skewed", "Constant", "Ramp", "LowZero", "HighZero"};
    return names[static_cast<int>(k)];
}

inline Bytes make_data(Kind kind, std::size_t n, std::uint64_t seed) {
    switch (kind) {
        case Kind::Random: return random_bytes(n, seed);
        case Kind::Laplacian: return laplacian_codes(n, 40.0, seed);
        case Kind::Skewed: return laplacian_codes(n, 0.7, seed);  // nearly all zero: probabilities hit their bounds
        case Kind::Constant: return Bytes(n, 0xA5);
        case Kind::Ramp: {
            Bytes out(n);
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + (i >> 5));
            return out;
        }
        case Kind::LowZero:
        case Kind::HighZero: {
            Bytes out = random_bytes(n, seed);
            for (std::size_t i = kind == Kind::LowZero ? 0 : 1; i < n; i += 2) out[i] = 0;
            return out;
        }
    }
    return {};
}

}  // namespace arans_test
