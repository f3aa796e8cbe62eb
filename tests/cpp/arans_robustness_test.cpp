// Damaged and random streams: the decoder must return a value or an error,
// never crash, hang or read outside its input (this runs under ASan/UBSan),
// and the fast decoder must give exactly what the plain one gives: the same
// bytes or the same error kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "arans_test_data.hpp"
#include "core/arans/arans.hpp"
#include "core/arans/reference.hpp"

namespace {

using namespace arans_test;
namespace arans = vantoresk::arans;

enum class Damage { Truncate, FlipBits, Overwrite, Random };

const char* damage_name(Damage d) {
    static const char* const names[] = {"Truncate", "FlipBits", "Overwrite", "Random"};
    return names[static_cast<int>(d)];
}

// Small valid streams of every kind, odd and even, both context widths'
// worth of content; mutations start from these.
std::vector<std::pair<Bytes, Bytes>> make_pool() {
    std::vector<std::pair<Bytes, Bytes>> pool;
    Rng rng(2024);
    const Kind kinds[] = {Kind::Random, Kind::Laplacian, Kind::Skewed, Kind::Constant,
                          Kind::Ramp,   Kind::LowZero,   Kind::HighZero};
    for (int i = 0; i < 140; ++i) {
        // Every tenth is long enough for near-constant planes to be decoded
        // with the branching shape.
        const std::size_t length = i % 10 == 0 ? 306 + rng.below(300) : 6 + rng.below(120);
        Bytes input = make_data(kinds[i % 7], length, rng.next());
        Bytes stream = arans::encode_stream(input);
        pool.emplace_back(std::move(input), std::move(stream));
    }
    return pool;
}

Bytes damage(Damage kind, const Bytes& stream, Rng& rng) {
    Bytes out = stream;
    switch (kind) {
        case Damage::Truncate:
            out.resize(rng.below(static_cast<std::uint32_t>(stream.size())));
            break;
        case Damage::FlipBits: {
            const std::uint32_t flips = 1 + rng.below(3);
            for (std::uint32_t f = 0; f < flips; ++f) {
                // Half the flips land in the first 8 bytes, where the header is.
                const std::size_t at = rng.below(2) == 0 ? rng.below(8) : rng.below(static_cast<std::uint32_t>(out.size()));
                out[at] = static_cast<std::uint8_t>(out[at] ^ (1u << rng.below(8)));
            }
            break;
        }
        case Damage::Overwrite: {
            const std::size_t at = rng.below(static_cast<std::uint32_t>(out.size()));
            const std::size_t run = 1 + rng.below(6);
            for (std::size_t i = at; i < out.size() && i < at + run; ++i) out[i] = static_cast<std::uint8_t>(rng.next());
            if (rng.below(4) == 0) out.resize(rng.below(static_cast<std::uint32_t>(out.size()) + 1));
            break;
        }
        case Damage::Random: {
            out.resize(rng.below(48));
            for (auto& b : out) b = static_cast<std::uint8_t>(rng.next());
            // Mostly a usable context width, so that the planes get decoded.
            if (out.size() > 1 && rng.below(8) != 0) out[1] = static_cast<std::uint8_t>(rng.below(9));
            break;
        }
    }
    return out;
}

class DamagedStreams : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedStreams, DecodeOrFailLikeThePlainDecoder) {
    static const auto pool = make_pool();
    Rng rng(0xA5A5 + static_cast<std::uint64_t>(GetParam()));
    constexpr int kCases = 25000;  // per kind of damage: 100,000 in all
    int decoded = 0;
    for (int i = 0; i < kCases; ++i) {
        const auto& [input, stream] = pool[rng.below(static_cast<std::uint32_t>(pool.size()))];
        const Bytes damaged = damage(GetParam(), stream, rng);
        auto fast = arans::decode_stream(damaged);
        expect_same_outcome(fast, arans::decode_stream_reference(damaged), "case " + std::to_string(i));
        // Keeping only a prefix changes nothing but what is kept.
        Bytes prefix(rng.below(static_cast<std::uint32_t>(2 * damaged.size() + 8)));
        auto kept = arans::decode_stream_prefix(damaged, prefix);
        ASSERT_EQ(kept.ok(), fast.ok()) << "case " << i;
        if (!fast.ok()) {
            ASSERT_EQ(kept.error(), fast.error()) << "case " << i;
        } else {
            ASSERT_EQ(kept.value(), fast.value().size()) << "case " << i;
            const std::size_t common = std::min(prefix.size(), fast.value().size());
            ASSERT_TRUE(std::equal(prefix.begin(), prefix.begin() + static_cast<std::ptrdiff_t>(common),
                                   fast.value().begin()))
                << "case " << i;
        }
        if (fast.ok()) {
            ++decoded;
            if (damaged == stream) {
                ASSERT_EQ(fast.value(), input) << "case " << i;
            }
        }
    }
    // Both outcomes must actually occur, or the damage is not exercising anything.
    EXPECT_GT(decoded, 0);
    EXPECT_LT(decoded, kCases);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedStreams,
                         ::testing::Values(Damage::Truncate, Damage::FlipBits, Damage::Overwrite, Damage::Random),
                         [](const auto& p) { return std::string(damage_name(p.param)); });

// The plane decoders alone: same bytes or same error, and never a read past
// the slice. A damaged plane may start below the normalised range, where one
// decision can need several words (a state of 0 keeps pulling words while
// they are 0): first hand-made starts of that kind, then random slices with
// zero runs.
TEST(DamagedPlanes, FastAndPlainAgree) {
    Rng rng(99);
    for (const char* start : {"00000000", "0000000000000000", "00000000000000000100", "01000000", "ffff0000",
                              "ffff000000000000", "00000100"}) {
        Bytes coded = from_hex(start);
        const Bytes tail = random_bytes(64, coded.size());
        coded.insert(coded.end(), tail.begin(), tail.end());
        for (unsigned cb : {0u, 3u, 8u}) {
            for (std::uint64_t count : {1u, 5u, 40u, 400u}) {
                expect_same_outcome(arans::decode_plane(coded, count, cb), arans::decode_plane_reference(coded, count, cb),
                                    std::string(start) + " cb " + std::to_string(cb) + " count " + std::to_string(count));
            }
        }
    }
    for (int i = 0; i < 20000; ++i) {
        Bytes coded(rng.below(40));
        const bool sparse = rng.below(3) == 0;
        for (auto& b : coded) b = sparse && rng.below(4) != 0 ? 0 : static_cast<std::uint8_t>(rng.next());
        const std::uint64_t count = rng.below(200);
        const unsigned cb = rng.below(9);
        expect_same_outcome(arans::decode_plane(coded, count, cb), arans::decode_plane_reference(coded, count, cb),
                            "case " + std::to_string(i));
    }
}

}  // namespace
