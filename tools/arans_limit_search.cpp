// Searches for a plane whose coding lands the encoder's state exactly on its
// renormalisation limit (x == f << 20) for some decision. Such a plane tells
// `x >= limit` from `x > limit`: at equality the first emits a word, the
// second overflows the state. Planes are 64 KiB of splitmix64 bytes from a
// seed (arans_test::random_bytes), coded with eight context bits; a hit
// comes about once in 2^31 decisions, so a few thousand planes.
//
// Build and run (from the repository root):
//   g++ -std=c++20 -O2 -I. -Itests/cpp -DVANTORESK_FIXTURES_DIR=\"\" \
//       tools/arans_limit_search.cpp -o build/arans_limit_search
//   nice -n 19 build/arans_limit_search [first_seed] [last_seed]
// Prints "hit seed S decision D" for the first hit and exits 0; exits 1
// when no seed in the range hits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "arans_test_data.hpp"
#include "core/arans/model.hpp"

namespace model = vantoresk::arans::model;

namespace {

// Index (in coding order from the plane's start) of the first decision coded
// with the state on its limit, or -1.
long long first_hit(const std::vector<std::uint8_t>& plane, unsigned context_bits) {
    std::vector<std::uint16_t> table(model::table_size(context_bits), model::kInitialProb);
    std::vector<std::uint16_t> records;
    records.reserve(8 * plane.size());
    unsigned prev = 0;
    for (const std::uint8_t byte : plane) {
        std::uint16_t* row = table.data() + model::row_offset(prev, context_bits);
        const unsigned path = byte | 0x100u;
        for (int k = 7; k >= 0; --k) {
            const unsigned node = path >> (k + 1);
            const unsigned bit = (byte >> k) & 1u;
            records.push_back(static_cast<std::uint16_t>(2u * row[node] + bit));
            row[node] = static_cast<std::uint16_t>(model::adapt(row[node], bit));
        }
        prev = byte;
    }
    // Coded backwards, exactly as the encoders do.
    std::uint32_t x = model::kStateLow;
    long long hit = -1;
    for (std::size_t j = records.size(); j-- > 0;) {
        const std::uint32_t p = records[j] >> 1;
        const std::uint32_t bit = records[j] & 1u;
        const std::uint32_t f = bit != 0 ? model::kProbScale - p : p;
        const std::uint32_t limit = f << model::kEncodeShift;
        if (x == limit) hit = static_cast<long long>(j);
        if (x >= limit) x >>= model::kWordBits;
        x = (x / f) * model::kProbScale + x % f + (bit != 0 ? p : 0);
    }
    return hit;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t first = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    const std::uint64_t last = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : first + 100000;
    for (std::uint64_t seed = first; seed <= last; ++seed) {
        const auto plane = arans_test::random_bytes(std::size_t{1} << 16, seed);
        const long long hit = first_hit(plane, 8);
        if (hit >= 0) {
            std::printf("hit seed %llu decision %lld\n", static_cast<unsigned long long>(seed), hit);
            return 0;
        }
        if (seed % 256 == 0) {
            std::fprintf(stderr, "seed %llu, no hit yet\n", static_cast<unsigned long long>(seed));
        }
    }
    return 1;
}
