// Average true range of a series of high/low/close bars.
#pragma once

#include <cstdint>
#include <span>

namespace quillora {

// Writes every position of `output`: the marker at positions 0 to period - 1, the mean of the
// true ranges of bars 1 to period at position `period`, the smoothed average after it. A period
// of 0 or not below the series length leaves the whole output missing. Requires all four runs
// of the same length and `output` overlapping no input.
void compute_atr(std::uint64_t period, std::span<const double> high, std::span<const double> low,
                 std::span<const double> close, std::span<double> output) noexcept;

}  // namespace quillora
