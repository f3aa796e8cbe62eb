// libFuzzer target: any byte string handed to the near-lossless level
// decoder, for a lane length taken from its first two bytes, must come back
// as levels or as an error with a message; and levels that decode must code
// again into a body that decodes to the same levels, with either scheme (the
// interpolating one, at the bound read from the body, gives back levels
// within it that code to themselves again).
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>
#include <vector>

#include "lanes/interp_coder.hpp"
#include "lanes/near_lossless.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t n = (std::size_t{data[0]} | std::size_t{data[1]} << 8) % 5000;
    const std::span<const std::uint8_t> body(data + 2, size - 2);
    std::vector<std::int64_t> out(n);
    const auto r = vantoresk::lanes::decode_levels(body, out);
    if (!r.ok()) {
        if (r.error().message.empty()) std::abort();
        return 0;
    }
    const auto k = vantoresk::lanes::near_lossless_bound(body);
    if (!k.ok()) std::abort();
    std::vector<std::uint8_t> again;
    if (!vantoresk::lanes::encode_levels(out, *k, again).ok()) std::abort();
    std::vector<std::int64_t> back(n);
    if (!vantoresk::lanes::decode_levels(again, back).ok() || back != out) std::abort();
    // Scheme 1 at the same bound: within it, and idempotent.
    const std::uint64_t bound[] = {*k};
    std::vector<std::uint8_t> interp;
    std::vector<std::int64_t> first(n), second(n);
    if (!vantoresk::lanes::encode_interp(out, bound, interp, first).ok()) std::abort();
    if (!vantoresk::lanes::decode_levels(interp, back).ok() || back != first) std::abort();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t d = out[i] > first[i] ? static_cast<std::uint64_t>(out[i] - first[i])
                                                  : static_cast<std::uint64_t>(first[i] - out[i]);
        if (d > std::min<std::uint64_t>(*k, std::uint64_t{1} << 41)) std::abort();
    }
    interp.clear();
    if (!vantoresk::lanes::encode_interp(first, bound, interp, second).ok() || second != first) std::abort();
    return 0;
}
