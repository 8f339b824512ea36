// Simple moving average kernel: the first window is summed once, then slid one sample at a time.
#include "sma.hpp"

#include <algorithm>
#include <cassert>
#include <cstddef>

#include "missing_value.hpp"

namespace quillora {

SmaState::SmaState(std::uint64_t period) noexcept
    : period_(period), reciprocal_(1.0 / static_cast<double>(period)), recent_(period) {}

template <bool keep_samples>
void SmaState::advance(std::span<const double> data, std::span<double> output) {
    assert(output.size() == data.size());
    const std::size_t n = data.size();
    const std::uint64_t p = period_;
    if (p == 0) {
        std::fill(output.begin(), output.end(), missing_value);
        seen_ += n;
        return;
    }
    if constexpr (keep_samples) {
        recent_.make_room(seen_ + n);  // the one step that can fail, before anything changes
    }

    // The rounding of every step is part of the result: the sum starts at -0.0 and takes the
    // samples in order, each slide rounds the difference before adding it, the sum is carried to
    // the end and never recomputed, and the mean is the sum times the rounded reciprocal.
    double sum = sum_;
    const double reciprocal = reciprocal_;
    std::size_t i = 0;

    // Warm-up: no full window ends before sample p - 1.
    if (seen_ < p) {
        const std::uint64_t still_needed = p - seen_;
        const std::size_t warm = still_needed < n ? still_needed : n;
        std::fill(output.begin(), output.begin() + warm, missing_value);
        for (; i < warm; ++i) {
            sum = sum + data[i];
        }
        if (warm == still_needed) {
            output[warm - 1] = sum * reciprocal;
        }
    }

    // Slide while the sample leaving the window came in an earlier chunk (never in one pass over
    // a whole series, which reaches here only past sample p - 1).
    const std::size_t boundary = p < n ? p : n;
    if (i < boundary) {
        RecentSamples::Reader leaving = recent_.read_from(seen_ + i - p);
        for (; i < boundary; ++i) {
            const double change = data[i] - leaving.next();
            sum = sum + change;
            output[i] = sum * reciprocal;
        }
    }

    // Slide within the chunk.
    for (; i < n; ++i) {
        const double change = data[i] - data[i - p];
        sum = sum + change;
        output[i] = sum * reciprocal;
    }

    sum_ = sum;
    if constexpr (keep_samples) {
        recent_.record(seen_, data);
    }
    seen_ += n;
}

void SmaState::run(std::span<const double> data, std::span<double> output) { advance<true>(data, output); }

std::vector<double> SmaState::recent_samples() const {
    return period_ == 0 ? std::vector<double>{} : recent_.oldest_first(seen_);
}

std::optional<SmaState> SmaState::restore(std::uint64_t period, std::uint64_t seen, double sum,
                                          std::span<const double> recent_samples) {
    SmaState state(period);
    state.seen_ = seen;
    state.sum_ = sum;
    if (period == 0) {
        return recent_samples.empty() ? std::optional<SmaState>(std::move(state)) : std::nullopt;
    }
    std::optional<RecentSamples> recent = RecentSamples::restore(period, seen, recent_samples);
    if (!recent) {
        return std::nullopt;
    }
    state.recent_ = std::move(*recent);
    return state;
}

// One pass over a whole series keeps no samples: nothing resumes after it.
void compute_sma(std::uint64_t period, std::span<const double> data, std::span<double> output) noexcept {
    SmaState state(period);
    state.advance<false>(data, output);
}

}  // namespace quillora
