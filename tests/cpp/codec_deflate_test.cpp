// DEFLATE payloads: written by libdeflate, read by libdeflate with zlib's
// streaming inflate behind it. Only the inflated content is part of the
// format, so what libdeflate writes must inflate with the streaming inflate
// to the very codes, and on any payload, damaged or not, the combined reader
// must give what the streaming inflate alone gives: the same bytes, or the
// same error text.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "codec_support.hpp"
#include "core/arans/arans.hpp"
#include "core/compressor.hpp"
#include "core/deflate.hpp"
#include "core/header.hpp"

namespace {

using namespace vantoresk;
using Bytes = std::vector<std::uint8_t>;

// Small deterministic generator (the same draws on every platform).
struct Rng {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : next() % n; }
};

Bytes payload_of(const Bytes& container) { return Bytes(container.begin() + kHeaderSize, container.end()); }

// Raw DEFLATE as zlib writes it (the encoder of earlier containers).
Bytes zlib_deflate(const Bytes& data, int level) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

struct Signal {
    std::string name;
    std::vector<float> x;
};

std::vector<Signal> signals() {
    std::vector<Signal> out;
    out.push_back({"walk", codec_test::random_walk(20000, 5)});
    std::vector<float> sine(3001);
    for (std::size_t i = 0; i < sine.size(); ++i) sine[i] = std::sin(static_cast<float>(i) * 0.01f);
    out.push_back({"sine", sine});
    out.push_back({"flat", std::vector<float>(500, 2.5f)});
    out.push_back({"short", {1.0f, -2.0f, 3.0f}});
    return out;
}

// The coefficient stream of a compression, read back from its rANS twin.
Bytes stream_of(const std::vector<float>& x, CompressionOptions o) {
    o.coder = EntropyCoder::Arans;
    return arans::decode_stream(payload_of(compress(x, o).value())).value();
}

TEST(DeflatePayloads, NewEncoderInflatesToTheSameCodesWithTheStreamingInflate) {
    for (const auto& s : signals()) {
        for (const auto method : {CompressionMethod::Cdf53, CompressionMethod::Cdf97, CompressionMethod::Db4}) {
            for (const int scale : {6, 11, 12}) {
                CompressionOptions o{method, static_cast<std::uint8_t>(scale), CutoffLevel::Medium, EntropyCoder::Deflate};
                const Bytes stream = stream_of(s.x, o);
                const Bytes payload = payload_of(compress(s.x, o).value());
                const auto old_reader = inflate_raw(payload, stream.size());
                ASSERT_TRUE(old_reader.ok()) << s.name;
                EXPECT_EQ(old_reader.value(), stream) << s.name << " scale " << scale;
                Bytes room(stream.size());
                const auto new_reader = inflate_raw_into(payload, room);
                ASSERT_TRUE(new_reader.ok()) << s.name;
                EXPECT_EQ(new_reader.value(), stream.size());
                EXPECT_EQ(room, stream) << s.name;
            }
        }
    }
}

// The combined reader against the streaming inflate on one payload and one
// room size: same count and bytes, or the same error text.
void expect_same_as_streaming(const Bytes& payload, std::size_t room_size, const std::string& where) {
    Bytes fast_room(room_size, 0xAB);
    Bytes slow_room(room_size, 0xAB);
    const auto fast = inflate_raw_into(payload, fast_room);
    const auto slow = inflate_streaming_into(payload, slow_room);
    ASSERT_EQ(fast.ok(), slow.ok()) << where;
    if (!slow.ok()) {
        ASSERT_EQ(fast.error().display(), slow.error().display()) << where;
        return;
    }
    ASSERT_EQ(fast.value(), slow.value()) << where;
    ASSERT_TRUE(std::equal(fast_room.begin(), fast_room.begin() + static_cast<std::ptrdiff_t>(fast.value()),
                           slow_room.begin()))
        << where;
    // And the growing reader of earlier releases agrees too.
    const auto grown = inflate_raw(payload, room_size);
    ASSERT_TRUE(grown.ok()) << where;
    ASSERT_EQ(grown.value().size(), slow.value()) << where;
}

TEST(DeflatePayloads, DamagedPayloadsReadAsTheStreamingInflateReadsThem) {
    Rng rng{77};
    std::vector<Bytes> streams;
    for (const auto& s : signals()) streams.push_back(stream_of(s.x, {CompressionMethod::Cdf97, 11, CutoffLevel::Low, EntropyCoder::Arans}));
    int failures = 0;
    int cases = 0;
    for (const Bytes& stream : streams) {
        const Bytes writers[] = {deflate_raw(stream).value(), zlib_deflate(stream, 6), zlib_deflate(stream, 1),
                                 zlib_deflate(stream, 0)};
        for (const Bytes& payload : writers) {
            for (int i = 0; i < 400; ++i, ++cases) {
                Bytes damaged = payload;
                switch (i % 4) {
                    case 0:
                        damaged.resize(rng.below(static_cast<std::uint32_t>(payload.size()) + 1));
                        break;
                    case 1:
                        for (int f = 0; f < 1 + static_cast<int>(rng.below(3)); ++f) {
                            const std::size_t at = rng.below(static_cast<std::uint32_t>(damaged.size()));
                            damaged[at] = static_cast<std::uint8_t>(damaged[at] ^ (1u << rng.below(8)));
                        }
                        break;
                    case 2: {
                        const std::size_t at = rng.below(static_cast<std::uint32_t>(damaged.size()));
                        for (std::size_t k = at; k < damaged.size() && k < at + 4; ++k) {
                            damaged[k] = static_cast<std::uint8_t>(rng.next());
                        }
                        break;
                    }
                    default:
                        damaged.push_back(static_cast<std::uint8_t>(rng.next()));  // trailing garbage
                        break;
                }
                // Room for exactly the stream, less, and more.
                const std::size_t rooms[] = {stream.size(), stream.size() / 2 + 1, stream.size() + 100};
                const std::size_t room = rooms[rng.below(3)];
                expect_same_as_streaming(damaged, room, "case " + std::to_string(cases));
                if (HasFatalFailure()) return;
                Bytes probe(room);
                if (!inflate_streaming_into(damaged, probe).ok()) ++failures;
            }
        }
    }
    // Both outcomes must occur, or the damage exercises nothing.
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, cases);
}

}  // namespace
