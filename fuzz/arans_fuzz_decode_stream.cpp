// libFuzzer target: decode_stream on arbitrary bytes. It must return a value
// or an error without touching memory outside the input, and agree with the
// plain decoder to the byte (or on the error kind).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/arans/arans.hpp"
#include "tests/reference/arans_reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace arans = vantoresk::arans;
    const std::span<const std::uint8_t> stream(data, size);
    auto fast = arans::decode_stream(stream);
    auto plain = arans::decode_stream_reference(stream);
    if (fast.ok() != plain.ok()) std::abort();
    if (fast.ok()) {
        if (fast.value() != plain.value()) std::abort();
        // A stream that decodes must survive a round trip of what it gave.
        auto again = arans::decode_stream(arans::encode_stream(fast.value()));
        if (!again.ok() || again.value() != fast.value()) std::abort();
    } else if (fast.error() != plain.error()) {
        std::abort();
    }
    return 0;
}
