#include "wavelet/filter_bank/arena.hpp"

#include <algorithm>
#include <cstdint>

namespace tremora {

namespace {

// One pass over a pad, one source index per cell. The record holds the
// reciprocal of n (and of n - 1 for Reflect), so no cell divides in hardware.
void fill_pad(std::span<const float> source, float* cells, std::size_t count, std::int64_t first_position,
              const BorderInterpolation& ext) noexcept {
    const BorderMode mode = ext.mode;
    if (mode == BorderMode::Zeros) {
        std::fill(cells, cells + count, 0.0f);
        return;
    }
    if (mode == BorderMode::Reflect && source.size() == 1) {
        std::fill(cells, cells + count, source[0]);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t x = first_position + static_cast<std::int64_t>(i);
        const std::int64_t from = ext.source(x);  // -1 only for a mode value outside the enum
        cells[i] = from < 0 ? 0.0f : source[static_cast<std::size_t>(from)];
    }
}

}  // namespace

Status write_arena_1d(std::span<const float> source, std::span<float> arena, std::size_t left,
                           std::size_t right, BorderMode mode) {
    const std::size_t n = source.size();
    // Overflow-safe form of arena.size() == left + n + right.
    if (left > arena.size() || right > arena.size() - left || n != arena.size() - left - right) {
        const std::size_t required = left + n + right;  // only for the message; may wrap on absurd input
        return fail(TremoraError::scratch_size_mismatch(required, arena.size()));
    }
    if (n == 0) {
        if (mode != BorderMode::Zeros && left + right > 0) return fail(TremoraError::zero_sized_input());
        std::fill(arena.begin(), arena.end(), 0.0f);
        return {};
    }
    std::copy(source.begin(), source.end(), arena.begin() + static_cast<std::ptrdiff_t>(left));
    const auto sn = static_cast<std::int64_t>(n);
    const BorderInterpolation ext = BorderInterpolation::make(mode, 0, sn);
    fill_pad(source, arena.data(), left, -static_cast<std::int64_t>(left), ext);
    fill_pad(source, arena.data() + left + n, right, sn, ext);
    return {};
}

}  // namespace tremora
