// MACD: fast minus slow exponential average, its signal line and the histogram between them.
#pragma once

#include <cstdint>
#include <span>

namespace quillora {

// Writes every position of the three outputs. Requires 1 <= fast_period < slow_period,
// signal_period >= 1, all four runs of the same length and no two of them overlapping.
// A NaN input is missing: its position holds the marker in all three outputs and the averages
// carry over it unchanged.
void compute_macd(std::span<const double> data, std::uint64_t fast_period, std::uint64_t slow_period,
                  std::uint64_t signal_period, std::span<double> macd_output,
                  std::span<double> signal_output, std::span<double> hist_output) noexcept;

}  // namespace quillora
