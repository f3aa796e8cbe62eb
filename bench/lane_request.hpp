// One float32 lane and its target as a caller of the C interface describes
// them: what the lane benchmarks hand to encode_frame.
#pragma once

#include <cstddef>

#include "include/vantoresk.h"

namespace bench {

struct LaneRequest {
    vnt_layout layout{};
    vnt_options options{};
};

// `target` must outlive the request: the options point at it.
inline LaneRequest float32_lane(std::size_t n, vnt_target_kind kind, const double* target) {
    LaneRequest r;
    r.layout.dtype = VNT_FLOAT32;
    r.layout.order = 'C';
    r.layout.ndim = 1;
    r.layout.shape[0] = n;
    vnt_options_init(&r.options);
    r.options.target_kind = kind;
    r.options.targets = target;
    r.options.target_count = 1;
    return r;
}

}  // namespace bench
