// Exponential moving average over the finite samples of a series, seeded with a plain mean.
#pragma once

#include <cstdint>
#include <span>

namespace quillora {

// Writes every position of `output` (same length as `data`). The average starts at the mean of
// the first `period` consecutive finite samples and then blends in each later finite sample with
// the factor 2 / (period + 1); positions before the seed and positions whose sample is not
// finite hold the missing-value marker. A period of 0 or longer than the series, or a series
// without `period` consecutive finite samples, leaves the whole output missing.
void compute_ema(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept;

}  // namespace quillora
