// Exponential moving average over the finite samples of a series, seeded with a plain mean.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace quillora {

// Writes every position of `output` (same length as `data`). The average starts at the mean of
// the first `period` consecutive finite samples and then blends in each later finite sample with
// the factor 2 / (period + 1); positions before the seed and positions whose sample is not
// finite hold the missing-value marker. A period of 0 or longer than the series, or a series
// without `period` consecutive finite samples, leaves the whole output missing.
void compute_ema(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept;

// The average over a series that arrives in chunks: running it over consecutive chunks writes the
// same bits as compute_ema over their concatenation, which is a fresh state run over one chunk.
class EmaState {
public:
    explicit EmaState(std::uint64_t period) noexcept;

    // Continues the series with `data`, writing one value per sample into `output` (same length).
    void run(std::span<const double> data, std::span<double> output) noexcept;

    std::uint64_t period() const noexcept { return period_; }
    // Consecutive finite samples summed so far for the seed; equal to the period once seeded.
    std::uint64_t finite_run() const noexcept { return finite_run_; }
    double seed_sum() const noexcept { return seed_sum_; }
    double average() const noexcept { return average_; }

    // A state from the parts above; nothing when they do not fit together.
    static std::optional<EmaState> restore(std::uint64_t period, std::uint64_t finite_run, double seed_sum,
                                           double average) noexcept;

private:
    std::uint64_t period_;
    double alpha_;
    double keep_;
    std::uint64_t finite_run_ = 0;
    double seed_sum_ = -0.0;
    double average_;
};

}  // namespace quillora
