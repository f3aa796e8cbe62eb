// libFuzzer target: any byte string handed to the near-lossless level
// decoder (every body version), for a lane length taken from its first two
// bytes, must come back as levels or as an error with a message; and levels
// that decode must code again into a body that decodes to the same levels
// (through the scheme they came from: the lattice's bins move levels of the
// interpolating scheme), and through the interpolating scheme at the body's
// bound within it, to levels that code to themselves again.
// The same bytes go to the residual coder on its own: residuals that decode
// code again to the same residuals, and the unit ends where it said.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "lanes/interp_coder.hpp"
#include "lanes/interp_scheme.hpp"
#include "lanes/near_lossless.hpp"
#include "lanes/residual_coder.hpp"

namespace {

void levels(std::span<const std::uint8_t> body, std::size_t n) {
    std::vector<std::int64_t> out(n);
    const auto r = vantoresk::lanes::decode_levels(body, out);
    if (!r.ok()) {
        if (r.error().message.empty()) std::abort();
        return;
    }
    const auto k = vantoresk::lanes::near_lossless_bound(body);
    if (!k.ok()) std::abort();
    std::vector<std::int64_t> back(n);
    const bool interpolated = body.size() >= 2 && body[0] == 2 && body[1] == vantoresk::lanes::kSchemeInterp;
    if (!interpolated) {
        std::vector<std::uint8_t> again;
        if (!vantoresk::lanes::encode_levels(out, *k, again).ok()) std::abort();
        if (!vantoresk::lanes::decode_levels(again, back).ok() || back != out) std::abort();
    } else if (const auto own = vantoresk::lanes::interp_own_bounds(out); !own.empty()) {
        std::vector<std::uint8_t> again;
        std::vector<std::int64_t> same(n);
        if (!vantoresk::lanes::encode_interp(out, own, again, same).ok() || same != out) std::abort();
    }
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
}

void residuals(std::span<const std::uint8_t> unit, std::size_t n) {
    std::vector<std::int64_t> out(n);
    std::size_t pos = 0;
    const auto r = vantoresk::lanes::decode_residuals(unit, pos, out);
    if (!r.ok()) {
        if (r.error().message.empty() || pos != 0) std::abort();
        return;
    }
    if (pos == 0 || pos > unit.size()) std::abort();
    std::vector<std::uint8_t> again;
    if (!vantoresk::lanes::encode_residuals(out, again).ok()) std::abort();
    std::vector<std::int64_t> back(n);
    std::size_t at = 0;
    if (!vantoresk::lanes::decode_residuals(again, at, back).ok() || back != out || at != again.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t n = (std::size_t{data[0]} | std::size_t{data[1]} << 8) % 5000;
    const std::span<const std::uint8_t> body(data + 2, size - 2);
    levels(body, n);
    residuals(body, n);
    return 0;
}
