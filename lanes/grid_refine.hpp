// Refining a fitted ADC grid so that every float32 value on it is
// reproduced exactly.
//
// A grid fitted by least squares to float32 values is off the true one by
// a little, so a + b * k rounds to a neighbouring float for a few levels
// (corrections). Each value on the grid confines the exact a + b * k to the
// interval that rounds to it; refine_grid looks for the (a, b) deepest
// inside all those intervals (a concave problem in b, solved by golden-section
// search), leaving out values that are off the grid anyway. The caller
// keeps the refined grid only when it needs fewer corrections.
#pragma once

#include <optional>
#include <span>

#include "lanes/grid.hpp"

namespace vantoresk::lanes {

// `fitted_corrections`: how many values the fitted grid does not reproduce.
Grid refine_grid(std::span<const float> values, const Grid& fitted, std::size_t fitted_corrections);

// What fit_grid(values, refine_grid(values, fitted.grid, fitted.corrections))
// gives when that needs fewer corrections than `fitted` (fit_grid's fit of the
// same values), else nothing; `fitted`'s levels stand in for the ones the
// refinement starts from and each candidate is fitted as it is counted.
std::optional<GridFit> refine_fit(std::span<const float> values, const GridFit& fitted);

}  // namespace vantoresk::lanes
