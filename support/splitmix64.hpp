// splitmix64: a tiny deterministic generator. Only tests and benchmarks
// include it (never the codec, the engine or the module); it gives the
// same numbers on every platform and standard library (unlike the
// distributions of <random>).
#pragma once

#include <cstdint>

namespace vantoresk::support {

struct SplitMix64 {
    std::uint64_t s;
    explicit SplitMix64(std::uint64_t seed) : s(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
    // Uniform in [0, 1), 53 bits.
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

}  // namespace vantoresk::support
