// decompress on 100,000+ damaged containers: truncated, bit-flipped, with
// forged header fields, with random payloads, and random bytes behind a
// plausible header. Each must decode to exactly sample_count samples or fail
// with an error value; the sanitiser build checks for out-of-bounds access
// and leaks. The seed is fixed so that every run sees the same containers.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec_support.hpp"
#include "core/compressor.hpp"
#include "core/decompressor.hpp"
#include "core/header.hpp"

namespace {

using namespace vantoresk;

std::vector<std::vector<std::uint8_t>> seed_containers() {
    std::vector<std::vector<std::uint8_t>> seeds;
    std::mt19937 rng(20261207);
    std::normal_distribution<float> step(0.0f, 1.0f);
    const CompressionMethod methods[] = {CompressionMethod::Cdf53, CompressionMethod::Cdf97, CompressionMethod::Db4,
                                         CompressionMethod::Sym4};
    for (std::size_t n : {1u, 7u, 20u, 65u, 80u, 160u, 300u}) {
        std::vector<float> x(n);
        float v = 0.0f;
        for (auto& s : x) s = v += step(rng);
        for (auto method : methods) {
            for (auto coder : {EntropyCoder::Deflate, EntropyCoder::Arans}) {
                auto c = compress(x, {method, static_cast<std::uint8_t>(6 + n % 7), CutoffLevel::Medium, coder});
                if (c.ok()) seeds.push_back(std::move(c).value());
            }
        }
    }
    return seeds;
}

struct Tally {
    std::size_t decoded = 0;
    std::size_t failed = 0;
};

void run(const std::vector<std::uint8_t>& c, Tally& t) {
    const auto d = decompress(c);
    if (!d.ok()) {
        ++t.failed;
        ASSERT_FALSE(d.error().display().empty());
        return;
    }
    ++t.decoded;
    const auto h = VantoreskHeader::from_bytes(c);
    ASSERT_TRUE(h.ok());
    ASSERT_EQ(d->size(), h->sample_count);
}

using codec_test::put_u32;

TEST(CodecRobustness, HundredThousandDamagedContainersNeverCrash) {
    const auto seeds = seed_containers();
    ASSERT_EQ(seeds.size(), 56u);
    std::mt19937_64 rng(0x5EED0BAD);
    const auto pick = [&](std::size_t bound) { return static_cast<std::size_t>(rng() % bound); };
    Tally t;
    constexpr std::size_t kRounds = 100000;
    for (std::size_t round = 0; round < kRounds; ++round) {
        std::vector<std::uint8_t> c = seeds[pick(seeds.size())];
        switch (round % 6) {
            case 0:  // truncated anywhere, payload length left as it was
                c.resize(pick(c.size() + 1));
                break;
            case 1: {  // a few bit flips anywhere
                const std::size_t flips = 1 + pick(4);
                for (std::size_t i = 0; i < flips; ++i) c[pick(c.size())] ^= static_cast<std::uint8_t>(1u << pick(8));
                break;
            }
            case 2: {  // bit flips confined to the payload, header intact
                if (c.size() <= kHeaderSize) break;
                const std::size_t flips = 1 + pick(8);
                for (std::size_t i = 0; i < flips; ++i) {
                    c[kHeaderSize + pick(c.size() - kHeaderSize)] ^= static_cast<std::uint8_t>(1u << pick(8));
                }
                break;
            }
            case 3: {  // forged level, scale and small sample counts
                c[12] = static_cast<std::uint8_t>(pick(12));
                if (pick(2)) c[13] = static_cast<std::uint8_t>(5 + pick(9));
                if (pick(2)) put_u32(c, 16, static_cast<std::uint32_t>(pick(5000)));
                break;
            }
            case 4: {  // random payload of random length behind the header
                c.resize(kHeaderSize + pick(200));
                for (std::size_t i = kHeaderSize; i < c.size(); ++i) c[i] = static_cast<std::uint8_t>(rng());
                put_u32(c, 32, static_cast<std::uint32_t>(c.size() - kHeaderSize - pick(3)));
                break;
            }
            default: {  // random bytes; now and then with a valid magic
                c.resize(pick(120));
                for (auto& b : c) b = static_cast<std::uint8_t>(rng());
                if (c.size() >= kHeaderSize && pick(2)) {
                    const std::uint8_t head[] = {'V', 'N', 'T', 'R', 1, 0, 'f', '3'};
                    std::copy(std::begin(head), std::end(head), c.begin());
                    c[14] = static_cast<std::uint8_t>(pick(2));
                }
                break;
            }
        }
        run(c, t);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
    }
    EXPECT_EQ(t.decoded + t.failed, kRounds);
    // Both outcomes occur in quantity, so both paths are exercised.
    EXPECT_GT(t.decoded, kRounds / 20);
    EXPECT_GT(t.failed, kRounds / 5);
}

}  // namespace
