// Any bytes as a lane frame: inspected, then decoded into a buffer of the
// size the frame claims when its checks pass. Must never read or write out
// of bounds, leak or abort.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lanes/codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> frame(data, size);
    auto v = vantoresk::lanes::open_frame(frame);
    if (!v) return 0;
    const std::uint64_t need = vantoresk::lanes::decoded_bytes(v->head);
    if (need > (std::uint64_t{1} << 28)) return 0;
    std::vector<std::uint8_t> out(need);
    (void)vantoresk::lanes::decode_frame(frame, out);
    (void)vantoresk::lanes::lane_infos(frame);
    return 0;
}
