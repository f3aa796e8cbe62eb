// Lifting executors on arbitrary lengths and values: multi_dwt/multi_idwt
// round trips of any signal and level count, and inverse requests whose band
// lengths need not fit together (the shape a damaged container produces).
// Every call must either succeed with the promised length or return an
// error; nothing may read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wavelet/lifting/cdf53.hpp"
#include "wavelet/lifting/cdf97.hpp"

namespace {

std::vector<float> floats(const std::uint8_t* data, std::size_t size) {
    std::vector<float> v(size / 4);
    if (!v.empty()) std::memcpy(v.data(), data, v.size() * 4);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const auto exec = data[0] & 1 ? tremora::Tremora::make_cdf97_f32() : tremora::Tremora::make_cdf53_f32();
    const std::size_t knob = data[1];
    data += 2;
    size -= 2;

    if ((knob & 0x80) == 0) {
        const auto x = floats(data, size);
        auto levels = exec->multi_dwt(x, knob % 12);
        if (!levels.ok()) return 0;
        tremora::MultiDwtRef ref;
        for (const auto& level : levels->levels) ref.details.emplace_back(level.details);
        ref.approximation = levels->levels.back().approximations;
        auto back = exec->multi_idwt(ref);
        if (!back.ok() || back->size() != x.size()) std::abort();
        return 0;
    }

    // Band lengths from the next bytes, values from the rest (reused cyclically).
    const std::size_t count = knob % 6 + 1;
    if (size < count + 1) return 0;
    std::vector<std::vector<float>> bands(count + 1);
    const auto values = floats(data + count + 1, size - count - 1);
    for (std::size_t k = 0; k <= count; ++k) {
        bands[k].resize(data[k]);
        for (std::size_t i = 0; i < bands[k].size(); ++i) bands[k][i] = values.empty() ? 1.0f : values[i % values.size()];
    }
    tremora::MultiDwtRef ref;
    for (std::size_t k = 1; k <= count; ++k) ref.details.emplace_back(bands[k]);
    ref.approximation = bands[0];
    auto back = exec->multi_idwt(ref);
    if (back.ok()) {
        std::size_t n = bands[0].size();
        for (std::size_t k = 1; k <= count; ++k) n += bands[k].size();
        if (back->size() != n) std::abort();
    }
    auto one = exec->idwt(tremora::DwtRef{bands[0], bands[1]});
    if (one.ok() && one->size() != bands[0].size() + bands[1].size()) std::abort();
    std::vector<float> out(data[0] / 2 + 1);
    (void)exec->execute_inverse(bands[0], bands[1], out);
    return 0;
}
