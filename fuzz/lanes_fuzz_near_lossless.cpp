// libFuzzer target: any byte string handed to the near-lossless level
// decoder, for a lane length taken from its first two bytes, must come back
// as levels or as an error with a message; and levels that decode must code
// again into a body that decodes to the same levels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

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
    return 0;
}
