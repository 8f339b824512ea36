// Average true range of a series of high/low/close bars.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace quillora {

// Writes every position of `output`: the marker at positions 0 to period - 1, the mean of the
// true ranges of bars 1 to period at position `period`, the smoothed average after it. A period
// of 0 or not below the series length leaves the whole output missing. Requires all four runs
// of the same length and `output` overlapping no input.
void compute_atr(std::uint64_t period, std::span<const double> high, std::span<const double> low,
                 std::span<const double> close, std::span<double> output) noexcept;

// The average true range over bars that arrive in chunks: running it over consecutive chunks
// writes the same bits as compute_atr over their concatenation, which is a fresh state run over
// one chunk.
class AtrState {
public:
    explicit AtrState(std::uint64_t period) noexcept;

    // Continues the bars with a chunk (all four runs of the same length, `output` overlapping no
    // input), writing one value per bar.
    void run(std::span<const double> high, std::span<const double> low, std::span<const double> close,
             std::span<double> output) noexcept;

    std::uint64_t period() const noexcept { return period_; }
    // Bars consumed so far.
    std::uint64_t seen() const noexcept { return seen_; }
    // The sum of the true ranges of the bars up to the first average.
    double sum() const noexcept { return sum_; }
    // The running average from bar `period` on.
    double average() const noexcept { return average_; }
    // The close of the last bar, the previous close of the next one.
    double previous_close() const noexcept { return previous_close_; }

    static AtrState restore(std::uint64_t period, std::uint64_t seen, double sum, double average,
                            double previous_close) noexcept;

private:
    std::uint64_t period_;
    double weight_;
    std::uint64_t seen_ = 0;
    double sum_ = 0.0;
    double average_;
    double previous_close_;
};

}  // namespace quillora
