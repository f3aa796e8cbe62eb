// Helpers shared by the codec tests: files, .npy arrays, hex, SHA-256,
// little-endian patches, test signals and error measures.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "arans_test_data.hpp"
#include "core/quantise.hpp"
#include "support/npy.hpp"

namespace codec_test {

inline std::string fixtures_dir() { return std::string(VANTORESK_FIXTURES_DIR) + "/codec/"; }

using arans_test::from_hex;
using vantoresk::support::read_file;
using vantoresk::support::read_npy;

inline std::vector<float> excerpt(const std::string& name) {
    auto x = read_npy(fixtures_dir() + "excerpts/" + name);
    return x ? *x : std::vector<float>{};
}

inline void put_u32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::vector<float> random_walk(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> step(0.0f, 1.0f);
    std::vector<float> x(n);
    float v = 0.0f;
    for (auto& s : x) s = v += step(rng);
    return x;
}

inline float max_abs_error(const std::vector<float>& a, const std::vector<float>& b) {
    float e = 0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) e = std::max(e, std::fabs(a[i] - b[i]));
    return e;
}

// Reconstruction bound in units of the signal's range: a quantisation step
// of 2^-scale, widened by the dead zone, summed over the levels' filters.
inline float error_bound(std::uint8_t scale, vantoresk::CutoffLevel cutoff) {
    const int threshold = vantoresk::dead_zone_threshold(scale, cutoff);
    return 12.0f * static_cast<float>(threshold + 1) * std::ldexp(1.0f, -scale);
}

inline float range_of(const std::vector<float>& x) {
    const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    return *hi - *lo;
}

// SHA-256 (FIPS 180-4), hex digest.
inline std::string sha256_hex(const std::uint8_t* data, std::size_t len) {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<std::uint8_t> msg(data, data + len);
    msg.push_back(0x80);
    while (msg.size() % 64 != 56) msg.push_back(0);
    const std::uint64_t bits = std::uint64_t{len} * 8;
    for (int i = 7; i >= 0; --i) msg.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    for (std::size_t off = 0; off < msg.size(); off += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const std::uint8_t* p = &msg[off + 4 * static_cast<std::size_t>(i)];
            w[i] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = hh + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const std::uint32_t t2 = (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
    std::ostringstream out;
    for (std::uint32_t v : h) {
        char buf[9];
        std::snprintf(buf, sizeof buf, "%08x", v);
        out << buf;
    }
    return out.str();
}

template <class T>
std::string sha256_hex(const std::vector<T>& v) {
    return sha256_hex(reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(T));
}

// Bit-exact comparison of two float vectors; index of the first difference.
inline std::optional<std::size_t> first_bit_difference(const std::vector<float>& a, const std::vector<float>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return i;
    }
    if (a.size() != b.size()) return n;
    return std::nullopt;
}

}  // namespace codec_test
