// Simple moving average: the mean of the `period` most recent samples at each position.
#pragma once

#include <cstdint>
#include <span>

namespace quillora {

// Writes every position of `output` (same length as `data`): the missing-value marker where no
// full window ends yet, the running mean from position period - 1 on. A period of 0 or longer
// than the series leaves the whole output missing.
void compute_sma(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept;

}  // namespace quillora
