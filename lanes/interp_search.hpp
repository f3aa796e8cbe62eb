// Bounds for the prediction-centred scheme under a target that is checked
// on the reconstruction (a PRDN): the largest lane bound the target still
// accepts, for each taper of the bounds per stride, and the smallest body.
//
// The measure sees the levels a body decodes to and gives the value held
// to the limit (a PRDN; accepted when at most the limit, NaN never); it is
// taken to grow with the bound, about in proportion (nearly so for a PRDN),
// which the search relies on only for speed: whatever it returns was
// accepted.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "lanes/common.hpp"
#include "lanes/interp_scheme.hpp"

namespace vantoresk::lanes {

using InterpMeasure = std::function<double(std::span<const std::int64_t> recon)>;

struct InterpFound {
    bool found = false;               // a bound of at least 1 was accepted
    std::vector<std::uint64_t> bounds;
    std::vector<std::uint8_t> body;   // interp_coder.hpp
    std::vector<std::int64_t> recon;  // what the body decodes to
};

// Searches from the first guess `k_guess` (at least 1) up to `k_top`, for
// each taper, to within about 3 % of the largest bound accepted; the two answers are estimated (interp_estimate_bytes), the
// more promising one coded, both when their estimates are within 5 %, and
// the smaller body kept. Reconstructions are worked out without coding
// while searching.
Status interp_search(std::span<const std::int64_t> levels, std::uint64_t k_guess, std::uint64_t k_top,
                     const InterpMeasure& measure, double limit, InterpFound& found);

}  // namespace vantoresk::lanes
