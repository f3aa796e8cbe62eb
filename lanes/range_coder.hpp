// Binary range coder with adaptive bit models, as near-lossless bodies of
// version 1 use it (the encoder stays beside the decoder as its definition).
//
// Integer arithmetic only: every machine codes and decodes the same bytes.
//  * The coder keeps a 32-bit range and a carry-propagating low end; the
//    encoder's first output byte is always 0 and its flush writes 5 bytes, so
//    the decoder reads exactly as many bytes as the encoder wrote. The
//    decoder uses that to refuse truncated or extended inputs: a read past
//    the end yields zero bytes and is counted, and `exhausted_exactly` says
//    whether the input was consumed to its last byte and no further and
//    ends as the flush ends it.
//  * A BitModel holds two estimates of P(bit = 0) in 1/65536 units, a fast
//    one (adaptation shift 4) and a slow one (shift 7); a decision uses their
//    mean. Each stays within [15, 65521] (fast) or [127, 65409] (slow) from
//    the start value 32768, so both bits always own part of the range.
//  * Bypass bits halve the range: equiprobable bits cost no model.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantoresk::lanes {

struct BitModel {
    std::uint16_t fast = 32768;
    std::uint16_t slow = 32768;
    std::uint8_t seen = 0;  // decisions coded with this model, up to 127

    std::uint32_t p0() const noexcept { return (std::uint32_t{fast} + slow) >> 1; }
    void update(unsigned bit) noexcept {
        // A new model learns at rate 1/(seen + 2) until that is slower than
        // its own rate: a running mean first, then an exponential one.
        const std::int32_t target = bit == 0 ? 65535 : 0;
        const std::int32_t rate = kLearnRate[seen];  // 65536 / (seen + 2)
        const std::int32_t f = fast, s = slow;
        const std::int32_t df = seen < 14 ? ((target - f) * rate) >> 16 : (target - f) / 16;
        const std::int32_t ds = ((target - s) * std::max<std::int32_t>(rate, 512)) >> 16;
        fast = static_cast<std::uint16_t>(std::clamp(f + df, 32, 65504));
        slow = static_cast<std::uint16_t>(std::clamp(s + ds, 32, 65504));
        if (seen < 127) ++seen;
    }

private:
    static constexpr std::array<std::int32_t, 128> kLearnRate = [] {
        std::array<std::int32_t, 128> t{};
        for (int i = 0; i < 128; ++i) t[static_cast<std::size_t>(i)] = 65536 / (i + 2);
        return t;
    }();
};

inline constexpr std::uint32_t kRangeTop = 1u << 24;

class RangeEncoder {
public:
    explicit RangeEncoder(std::vector<std::uint8_t>& out) : out_(out) {}

    void bit(BitModel& m, unsigned b) {
        const std::uint32_t bound = (range_ >> 16) * m.p0();
        if (b == 0) {
            range_ = bound;
        } else {
            low_ += bound;
            range_ -= bound;
        }
        m.update(b);
        normalise();
    }

    // The low `count` bits of `value`, most significant first, equiprobable.
    void bypass(std::uint64_t value, unsigned count) {
        while (count-- > 0) {
            range_ >>= 1;
            if ((value >> count) & 1u) low_ += range_;
            normalise();
        }
    }

    void flush() {
        for (int i = 0; i < 5; ++i) shift_low();
    }

private:
    void normalise() {
        while (range_ < kRangeTop) {
            range_ <<= 8;
            shift_low();
        }
    }

    void shift_low() {
        if (static_cast<std::uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            const auto carry = static_cast<std::uint8_t>(low_ >> 32);
            std::uint8_t byte = cache_;
            do {
                out_.push_back(static_cast<std::uint8_t>(byte + carry));
                byte = 0xFF;
            } while (--pending_ != 0);
            cache_ = static_cast<std::uint8_t>(low_ >> 24);
        }
        ++pending_;
        low_ = (low_ & 0x00FFFFFFu) << 8;
    }

    std::vector<std::uint8_t>& out_;
    std::uint64_t low_ = 0;
    std::uint32_t range_ = 0xFFFFFFFFu;
    std::uint8_t cache_ = 0;
    std::uint64_t pending_ = 1;
};

class RangeDecoder {
public:
    // False when the input cannot be a coded stream (shorter than the flush,
    // or a first byte other than 0).
    bool start(std::span<const std::uint8_t> in) {
        in_ = in;
        pos_ = 0;
        if (in.size() < 5 || in[0] != 0) return false;
        for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | next();
        return true;
    }

    unsigned bit(BitModel& m) {
        const std::uint32_t bound = (range_ >> 16) * m.p0();
        unsigned b;
        if (code_ < bound) {
            range_ = bound;
            b = 0;
        } else {
            code_ -= bound;
            range_ -= bound;
            b = 1;
        }
        m.update(b);
        normalise();
        return b;
    }

    std::uint64_t bypass(unsigned count) {
        std::uint64_t value = 0;
        while (count-- > 0) {
            range_ >>= 1;
            unsigned b = 0;
            if (code_ >= range_) {
                code_ -= range_;
                b = 1;
            }
            value = (value << 1) | b;
            normalise();
        }
        return value;
    }

    // Were the input's bytes all read, and none beyond, and do they end as
    // the encoder's flush ends them? The flush writes the low end in full,
    // so after the last decision the code equals it exactly: a change to any
    // of the final bytes shows here even where no decision reads it.
    bool exhausted_exactly() const noexcept { return pos_ == in_.size() && code_ == 0; }
    // Has the decoder already asked for bytes the input does not have?
    bool overran() const noexcept { return pos_ > in_.size(); }

private:
    std::uint32_t next() noexcept {
        const std::size_t at = pos_++;
        return at < in_.size() ? in_[at] : 0u;
    }

    void normalise() {
        while (range_ < kRangeTop) {
            range_ <<= 8;
            code_ = (code_ << 8) | next();
        }
    }

    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    std::uint32_t code_ = 0;
    std::uint32_t range_ = 0xFFFFFFFFu;
};

}  // namespace vantoresk::lanes
