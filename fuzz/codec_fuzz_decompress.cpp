// libFuzzer target: any byte string handed to decompress must come back as
// samples (exactly sample_count of them) or as an error value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/decompressor.hpp"
#include "core/header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto decoded = vantoresk::decompress(bytes);
    if (decoded.ok()) {
        const auto header = vantoresk::VantoreskHeader::from_bytes(bytes);
        if (!header.ok() || decoded->size() != header->sample_count) std::abort();
    } else if (decoded.error().display().empty()) {
        std::abort();
    }
    return 0;
}
