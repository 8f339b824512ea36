// MACD kernel: the fast, slow and signal averages advance together in one pass.
#include "macd.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>

#include "missing_value.hpp"

namespace quillora {

namespace {

// Mean of the `period` values ending at index `last`, summed newest first from -0.0.
double trailing_mean(std::span<const double> data, std::size_t last, std::uint64_t period) noexcept {
    double sum = -0.0;
    for (std::uint64_t back = 0; back < period; ++back) {
        sum = sum + data[last - back];
    }
    return sum / static_cast<double>(period);
}

}  // namespace

void compute_macd(std::span<const double> data, std::uint64_t fast_period, std::uint64_t slow_period,
                  std::uint64_t signal_period, std::span<double> macd_output,
                  std::span<double> signal_output, std::span<double> hist_output) noexcept {
    assert(1 <= fast_period && fast_period < slow_period && signal_period >= 1);
    assert(macd_output.size() == data.size() && signal_output.size() == data.size() &&
           hist_output.size() == data.size());
    const std::size_t n = data.size();

    // Warm-up: no slow window ends before index slow_period - 1.
    const std::size_t warm_up = static_cast<std::size_t>(std::min<std::uint64_t>(slow_period - 1, n));
    std::fill(macd_output.begin(), macd_output.begin() + warm_up, missing_value);
    std::fill(signal_output.begin(), signal_output.begin() + warm_up, missing_value);
    std::fill(hist_output.begin(), hist_output.begin() + warm_up, missing_value);

    const double fast_alpha = 2.0 / (static_cast<double>(fast_period) + 1.0);
    const double slow_alpha = 2.0 / (static_cast<double>(slow_period) + 1.0);
    const double signal_alpha = 2.0 / (static_cast<double>(signal_period) + 1.0);
    const double fast_keep = 1.0 - fast_alpha;
    const double slow_keep = 1.0 - slow_alpha;
    const double signal_keep = 1.0 - signal_alpha;
    // The signal line may start signal_period - 1 indices after the warm-up. Counting from the
    // warm-up rather than testing i >= slow_period + signal_period - 2 keeps a huge signal period
    // from wrapping round and starting the line early.
    const std::uint64_t signal_delay = signal_period - 1;

    // NaN marks an average that has not started (or has become NaN and must start again).
    // The rounding of every step is part of the result: seeds sum newest first from -0.0 and
    // divide by the period; each update rounds both products before adding them.
    double fast = missing_value;
    double slow = missing_value;
    double signal = missing_value;
    // Whether `signal` is a number: the histogram tests it anyway, and the next index reuses that
    // test rather than repeating it.
    bool signal_running = false;
    for (std::size_t i = warm_up; i < n; ++i) {
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
                fast = trailing_mean(data, i, fast_period);
                slow = trailing_mean(data, i, slow_period);
            } else {
                fast = fast * fast_keep + x * fast_alpha;
                slow = slow * slow_keep + x * slow_alpha;
            }
            line = fast - slow;
            if (i - warm_up >= signal_delay) {
                signal = line;
            }
        }
        signal_running = !std::isnan(signal);
        macd_output[i] = line;
        signal_output[i] = signal;
        hist_output[i] = signal_running ? line - signal : missing_value;
    }
}

}  // namespace quillora
