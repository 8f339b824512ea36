// MACD: fast minus slow exponential average, its signal line and the histogram between them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "recent_samples.hpp"

namespace quillora {

// Writes every position of the three outputs. Requires 1 <= fast_period < slow_period,
// signal_period >= 1, all four runs of the same length and no two of them overlapping.
// A NaN input is missing: its position holds the marker in all three outputs and the averages
// carry over it unchanged.
void compute_macd(std::span<const double> data, std::uint64_t fast_period, std::uint64_t slow_period,
                  std::uint64_t signal_period, std::span<double> macd_output, std::span<double> signal_output,
                  std::span<double> hist_output) noexcept;

// MACD over a series that arrives in chunks: running it over consecutive chunks writes the same
// bits as compute_macd over their concatenation, which is a fresh state run over one chunk.
class MacdState {
public:
    // Requires 1 <= fast_period < slow_period and signal_period >= 1.
    MacdState(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period) noexcept;

    // Continues the series with `data`, writing one value per sample into each output (all four
    // runs of the same length, none overlapping another). Keeps the last slow_period - 1 samples,
    // which a seed window reads across the next chunk boundary; the store grows with the samples
    // seen, never beyond that. Growing it may throw std::bad_alloc, and then the state is unchanged.
    void run(std::span<const double> data, std::span<double> macd_output, std::span<double> signal_output,
             std::span<double> hist_output);

    std::uint64_t fast_period() const noexcept { return fast_period_; }
    std::uint64_t slow_period() const noexcept { return slow_period_; }
    std::uint64_t signal_period() const noexcept { return signal_period_; }
    // Samples consumed so far.
    std::uint64_t seen() const noexcept { return seen_; }
    // The three averages; NaN while one has not started.
    double fast_average() const noexcept { return fast_; }
    double slow_average() const noexcept { return slow_; }
    double signal_average() const noexcept { return signal_; }
    // The last min(seen, slow_period - 1) samples, oldest first.
    std::vector<double> recent_samples() const { return recent_.oldest_first(seen_); }

    // A state from the parts above; nothing when they do not fit together.
    static std::optional<MacdState> restore(std::uint64_t fast_period, std::uint64_t slow_period,
                                            std::uint64_t signal_period, std::uint64_t seen, double fast_average,
                                            double slow_average, double signal_average,
                                            std::span<const double> recent_samples);

private:
    template <bool keep_samples>
    void advance(std::span<const double> data, std::span<double> macd_output, std::span<double> signal_output,
                 std::span<double> hist_output);
    double trailing_mean(std::span<const double> data, std::size_t last, std::uint64_t period) const noexcept;

    friend void compute_macd(std::span<const double>, std::uint64_t, std::uint64_t, std::uint64_t, std::span<double>,
                             std::span<double>, std::span<double>) noexcept;

    std::uint64_t fast_period_;
    std::uint64_t slow_period_;
    std::uint64_t signal_period_;
    double fast_alpha_, fast_keep_;
    double slow_alpha_, slow_keep_;
    double signal_alpha_, signal_keep_;
    std::uint64_t seen_ = 0;
    // NaN marks an average that has not started (or has become NaN and must start again).
    double fast_;
    double slow_;
    double signal_;
    RecentSamples recent_;
};

}  // namespace quillora
