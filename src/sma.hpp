// Simple moving average: the mean of the `period` most recent samples at each position.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "recent_samples.hpp"

namespace quillora {

// Writes every position of `output` (same length as `data`): the missing-value marker where no
// full window ends yet, the running mean from position period - 1 on. A period of 0 or longer
// than the series leaves the whole output missing.
void compute_sma(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept;

// The average over a series that arrives in chunks: running it over consecutive chunks writes the
// same bits as compute_sma over their concatenation, which is a fresh state run over one chunk.
class SmaState {
public:
    explicit SmaState(std::uint64_t period) noexcept;

    // Continues the series with `data`, writing one value per sample into `output` (same length).
    // Keeps the last `period` samples, which the slide reads across the next chunk boundary; the
    // store grows with the samples seen, never beyond the period. Growing it may throw
    // std::bad_alloc, and then the state is unchanged.
    void run(std::span<const double> data, std::span<double> output);

    std::uint64_t period() const noexcept { return period_; }
    // Samples consumed so far.
    std::uint64_t seen() const noexcept { return seen_; }
    double sum() const noexcept { return sum_; }
    // The last min(seen, period) samples, oldest first.
    std::vector<double> recent_samples() const;

    // A state from the parts above; nothing when they do not fit together.
    static std::optional<SmaState> restore(std::uint64_t period, std::uint64_t seen, double sum,
                                           std::span<const double> recent_samples);

private:
    template <bool keep_samples>
    void advance(std::span<const double> data, std::span<double> output);

    friend void compute_sma(std::uint64_t, std::span<const double>, std::span<double>) noexcept;

    std::uint64_t period_;
    double reciprocal_;
    std::uint64_t seen_ = 0;
    double sum_ = -0.0;
    RecentSamples recent_;
};

}  // namespace quillora
