#include "tests/reference/arans_reference.hpp"

#include <algorithm>

#include "core/arans/model.hpp"
#include "core/arans/stream_format.hpp"
#include "support/fallible.hpp"

namespace vantoresk::arans {

namespace {

using support::Err;

struct Decision {
    std::uint32_t freq;
    std::uint32_t start;
};

}  // namespace

std::vector<std::uint8_t> encode_plane_reference(std::span<const std::uint8_t> plane, unsigned context_bits) {
    if (plane.empty()) return {};
    context_bits = std::min(context_bits, model::kMaxContextBits);

    // Model pass, forwards: every decision's (frequency, start), in order.
    std::vector<std::uint16_t> table(model::table_size(context_bits), model::kInitialProb);
    std::vector<Decision> decisions;
    decisions.reserve(plane.size() * model::kBitsPerByte);
    unsigned prev = 0;
    for (const std::uint8_t byte : plane) {
        const std::size_t row = model::row_offset(prev, context_bits);
        unsigned node = 1;
        for (int k = 7; k >= 0; --k) {
            const unsigned bit = (byte >> k) & 1u;
            std::uint16_t& p = table[row + node];
            if (bit == 0) {
                decisions.push_back(Decision{p, 0});
            } else {
                decisions.push_back(Decision{model::kProbScale - p, p});
            }
            p = static_cast<std::uint16_t>(model::adapt(p, bit));
            node = 2 * node + bit;
        }
        prev = byte;
    }

    // Coding pass, backwards. Words go out high byte first and the whole
    // buffer is reversed at the end, which leaves the final state first and
    // every word little-endian, in the order the decoder reads them.
    std::vector<std::uint8_t> out;
    out.reserve(plane.size());
    std::uint32_t x = model::kStateLow;
    for (auto it = decisions.rbegin(); it != decisions.rend(); ++it) {
        const std::uint32_t freq = it->freq;
        while (x >= (freq << model::kEncodeShift)) {
            out.push_back(static_cast<std::uint8_t>(x >> 8));
            out.push_back(static_cast<std::uint8_t>(x));
            x >>= model::kWordBits;
        }
        x = (x / freq) * model::kProbScale + (x % freq) + it->start;
    }
    out.push_back(static_cast<std::uint8_t>(x >> 24));
    out.push_back(static_cast<std::uint8_t>(x >> 16));
    out.push_back(static_cast<std::uint8_t>(x >> 8));
    out.push_back(static_cast<std::uint8_t>(x));
    std::reverse(out.begin(), out.end());
    return out;
}

AResult<std::vector<std::uint8_t>> decode_plane_reference(std::span<const std::uint8_t> coded, std::uint64_t count,
                                                          unsigned context_bits) {
    std::vector<std::uint8_t> out;
    if (count == 0) return out;
    if (context_bits > model::kMaxContextBits) return Err<AransError>{AransError::InvalidLength};
    if (coded.size() < 4) return Err<AransError>{AransError::Truncated};
    std::uint32_t x = static_cast<std::uint32_t>(coded[0]) | static_cast<std::uint32_t>(coded[1]) << 8 |
                      static_cast<std::uint32_t>(coded[2]) << 16 | static_cast<std::uint32_t>(coded[3]) << 24;
    std::size_t pos = 4;
    if (count > SIZE_MAX || !support::try_reserve(out, static_cast<std::size_t>(count))) {
        return Err<AransError>{AransError::InvalidLength};
    }

    std::vector<std::uint16_t> table(model::table_size(context_bits), model::kInitialProb);
    unsigned prev = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t row = model::row_offset(prev, context_bits);
        unsigned node = 1;
        for (int k = 0; k < 8; ++k) {
            std::uint16_t& p = table[row + node];
            const std::uint32_t slot = x & (model::kProbScale - 1);
            const unsigned bit = slot >= p ? 1u : 0u;
            const std::uint32_t freq = bit != 0 ? model::kProbScale - p : p;
            const std::uint32_t start = bit != 0 ? p : 0;
            x = freq * (x >> model::kProbBits) + slot - start;
            while (x < model::kStateLow) {
                if (coded.size() - pos < 2) return Err<AransError>{AransError::Truncated};
                x = (x << 16) | static_cast<std::uint32_t>(coded[pos]) | static_cast<std::uint32_t>(coded[pos + 1]) << 8;
                pos += 2;
            }
            p = static_cast<std::uint16_t>(model::adapt(p, bit));
            node = 2 * node + bit;
        }
        prev = node & 0xFFu;
        out.push_back(static_cast<std::uint8_t>(prev));
    }
    return out;
}

std::vector<std::uint8_t> encode_stream_reference(std::span<const std::uint8_t> input) {
    const std::size_t length = input.size();
    if (length < kFramedMinLength) return std::vector<std::uint8_t>(input.begin(), input.end());

    const std::size_t n = length / 2;
    std::vector<std::uint8_t> even(n), odd(n);
    for (std::size_t i = 0; i < n; ++i) {
        even[i] = input[2 * i];
        odd[i] = input[2 * i + 1];
    }
    const unsigned context_bits = context_bits_for_length(length);
    std::vector<std::uint8_t> out;
    // The reference's own vectors throw on exhaustion anyway; so does this.
    if (!append_framed_stream(out, input, context_bits, encode_plane_reference(even, context_bits),
                              encode_plane_reference(odd, context_bits))) {
        throw std::bad_alloc();
    }
    return out;
}

AResult<std::vector<std::uint8_t>> decode_stream_reference(std::span<const std::uint8_t> stream) {
    if (stream.size() < kFramedMinLength) return std::vector<std::uint8_t>(stream.begin(), stream.end());
    auto header = read_stream_header(stream);
    if (!header) return Err<AransError>{header.error()};
    return decode_planes_in_turn(stream, header.value(), &decode_plane_reference);
}

}  // namespace vantoresk::arans
