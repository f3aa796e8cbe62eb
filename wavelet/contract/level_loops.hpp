// The forward multi-level loops shared by every executor.
//
// A pass is supplied by the executor as
//     step(source, single) -> TResult<Dwt>
// which transforms `source` into fresh bands. `single` is true when the
// request is for one level only (0 counts as 1): the adapter leaves the
// length test of such a request to its kernel, the lifting executors test
// every pass alike. Each pass feeds its approximations to the next.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "wavelet/contract/bands.hpp"
#include "wavelet/contract/factory.hpp"

namespace tremora {

// The last pass's bands; the detail bands of earlier passes are dropped.
template <class Step>
[[nodiscard]] TResult<Dwt> run_dwt(std::span<const float> input, std::size_t level, Step&& step) {
    const std::size_t passes = std::max<std::size_t>(level, 1);
    std::span<const float> source = input;
    std::vector<float> current;
    for (std::size_t pass = 1;; ++pass) {
        auto out = step(source, passes == 1);
        if (!out || pass == passes) return out;
        current = std::move(out->approximations);
        source = current;
    }
}

// Every pass's bands, finest first. Each level's approximations are read in
// place by the next pass: moving a Dwt into the list moves its vectors'
// storage, so the span stays valid while the list grows.
template <class Step>
[[nodiscard]] TResult<MultiDwt> run_multi_dwt(std::span<const float> input, std::size_t levels, Step&& step) {
    const std::size_t passes = std::max<std::size_t>(levels, 1);
    MultiDwt result;
    if (auto st = reserve_levels(result.levels, passes); !st) return fail(st.error());
    std::span<const float> source = input;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        auto level = step(source, passes == 1);
        if (!level) return fail(level.error());
        if (auto st = push_level(result.levels, std::move(*level)); !st) return fail(st.error());
        source = result.levels.back().approximations;
    }
    return result;
}

}  // namespace tremora
