// MACD kernel: the fast, slow and signal averages advance together in one pass.
#include "macd.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>

#include "missing_value.hpp"

namespace quillora {

MacdState::MacdState(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period) noexcept
    : fast_period_(fast_period),
      slow_period_(slow_period),
      signal_period_(signal_period),
      fast_alpha_(2.0 / (static_cast<double>(fast_period) + 1.0)),
      fast_keep_(1.0 - fast_alpha_),
      slow_alpha_(2.0 / (static_cast<double>(slow_period) + 1.0)),
      slow_keep_(1.0 - slow_alpha_),
      signal_alpha_(2.0 / (static_cast<double>(signal_period) + 1.0)),
      signal_keep_(1.0 - signal_alpha_),
      fast_(missing_value),
      slow_(missing_value),
      signal_(missing_value),
      recent_(slow_period - 1) {
    assert(1 <= fast_period && fast_period < slow_period && signal_period >= 1);
}

// Mean of the `period` samples ending at chunk index `last`, summed newest first from -0.0. The
// older ones may have come in earlier chunks; a seed never reaches back more than slow_period - 1.
double MacdState::trailing_mean(std::span<const double> data, std::size_t last, std::uint64_t period) const noexcept {
    double sum = -0.0;
    if (last + 1 >= period) {
        for (std::uint64_t back = 0; back < period; ++back) {
            sum = sum + data[last - back];
        }
    } else {
        for (std::size_t k = last + 1; k-- > 0;) {
            sum = sum + data[k];
        }
        const std::uint64_t earlier = period - (last + 1);
        for (std::uint64_t back = 1; back <= earlier; ++back) {
            sum = sum + recent_.at(seen_ - back);
        }
    }
    return sum / static_cast<double>(period);
}

template <bool keep_samples>
void MacdState::advance(std::span<const double> data, std::span<double> macd_output, std::span<double> signal_output,
                        std::span<double> hist_output) {
    assert(macd_output.size() == data.size() && signal_output.size() == data.size() &&
           hist_output.size() == data.size());
    const std::size_t n = data.size();
    if constexpr (keep_samples) {
        recent_.make_room(seen_ + n);  // the one step that can fail, before anything changes
    }

    // Warm-up: no slow window ends before sample slow_period - 1.
    const std::uint64_t warm_up = slow_period_ - 1;
    const std::uint64_t first = seen_;
    const std::size_t warm =
        first < warm_up ? static_cast<std::size_t>(std::min<std::uint64_t>(warm_up - first, n)) : 0;
    std::fill(macd_output.begin(), macd_output.begin() + warm, missing_value);
    std::fill(signal_output.begin(), signal_output.begin() + warm, missing_value);
    std::fill(hist_output.begin(), hist_output.begin() + warm, missing_value);

    const double fast_alpha = fast_alpha_, fast_keep = fast_keep_;
    const double slow_alpha = slow_alpha_, slow_keep = slow_keep_;
    const double signal_alpha = signal_alpha_, signal_keep = signal_keep_;
    // The signal line may start signal_period - 1 samples after the warm-up. Counting from the
    // warm-up rather than testing a sample number >= slow_period + signal_period - 2 keeps a huge
    // signal period from wrapping round and starting the line early.
    const std::uint64_t signal_delay = signal_period_ - 1;

    // The rounding of every step is part of the result: seeds sum newest first from -0.0 and
    // divide by the period; each update rounds both products before adding them.
    double fast = fast_;
    double slow = slow_;
    double signal = signal_;
    // Whether `signal` is a number: the histogram tests it anyway, and the next sample reuses that
    // test rather than repeating it.
    bool signal_running = !std::isnan(signal);
    for (std::size_t i = warm; i < n; ++i) {
        const double x = data[i];
        if (std::isnan(x)) {
            // A missing input has no value and leaves all three averages as they were.
            macd_output[i] = missing_value;
            signal_output[i] = missing_value;
            hist_output[i] = missing_value;
            continue;
        }

        double line;
        if (signal_running) {
            // Running: a signal that is a number came from a line that was one, so the fast and
            // slow averages are numbers too and all three only need their update.
            fast = fast * fast_keep + x * fast_alpha;
            slow = slow * slow_keep + x * slow_alpha;
            line = fast - slow;
            signal = signal * signal_keep + signal_alpha * line;
        } else {
            // Starting: seed both averages while the fast one is NaN (a slow average that comes out
            // NaN beside a fast one that does not is never seeded again); the signal starts at the
            // line itself once it is due.
            if (std::isnan(fast)) {
                fast = trailing_mean(data, i, fast_period_);
                slow = trailing_mean(data, i, slow_period_);
            } else {
                fast = fast * fast_keep + x * fast_alpha;
                slow = slow * slow_keep + x * slow_alpha;
            }
            line = fast - slow;
            if (first + i - warm_up >= signal_delay) {
                signal = line;
            }
        }
        signal_running = !std::isnan(signal);
        macd_output[i] = line;
        signal_output[i] = signal;
        hist_output[i] = signal_running ? line - signal : missing_value;
    }

    fast_ = fast;
    slow_ = slow;
    signal_ = signal;
    if constexpr (keep_samples) {
        recent_.record(first, data);
    }
    seen_ = first + n;
}

void MacdState::run(std::span<const double> data, std::span<double> macd_output, std::span<double> signal_output,
                    std::span<double> hist_output) {
    advance<true>(data, macd_output, signal_output, hist_output);
}

std::optional<MacdState> MacdState::restore(std::uint64_t fast_period, std::uint64_t slow_period,
                                            std::uint64_t signal_period, std::uint64_t seen, double fast_average,
                                            double slow_average, double signal_average,
                                            std::span<const double> recent_samples) {
    if (!(1 <= fast_period && fast_period < slow_period && signal_period >= 1)) {
        return std::nullopt;
    }
    std::optional<RecentSamples> recent = RecentSamples::restore(slow_period - 1, seen, recent_samples);
    if (!recent) {
        return std::nullopt;
    }
    MacdState state(fast_period, slow_period, signal_period);
    state.seen_ = seen;
    state.fast_ = fast_average;
    state.slow_ = slow_average;
    state.signal_ = signal_average;
    state.recent_ = std::move(*recent);
    return state;
}

// One pass over a whole series keeps no samples: nothing resumes after it.
void compute_macd(std::span<const double> data, std::uint64_t fast_period, std::uint64_t slow_period,
                  std::uint64_t signal_period, std::span<double> macd_output, std::span<double> signal_output,
                  std::span<double> hist_output) noexcept {
    MacdState state(fast_period, slow_period, signal_period);
    state.advance<false>(data, macd_output, signal_output, hist_output);
}

}  // namespace quillora
