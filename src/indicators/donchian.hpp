// Donchian channels: the highest high and the lowest low of the last `period` bars, and their
// midpoint.
#pragma once

#include <algorithm>
#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"

namespace quillora::indicators {

// Order of operations: upper = the window's highest high, lower = its lowest low (exact:
// comparisons only), middle = (upper + lower) / 2. A missing bar empties the window: its position
// and the next period - 1 hold the missing marker.
class DonchianState {
public:
    static constexpr const char* name = "donchian";
    static constexpr const char* class_name = "DonchianState";
    static constexpr std::size_t inputs = 2, outputs = 3;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit DonchianState(const Parameters& p) noexcept : highest_(p.counts[0]), lowest_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<2>(in)) {
            highest_.clear();
            lowest_.clear();
            missing_bar<3>(out);
            return;
        }
        highest_.reserve();
        lowest_.reserve();
        highest_.push(in[0]);
        lowest_.push(in[1]);
        if (!highest_.full()) {
            missing_bar<3>(out);
            return;
        }
        const double upper = highest_.value(), lower = lowest_.value();
        out[0] = upper;
        out[1] = (upper + lower) / 2.0;
        out[2] = lower;
    }

    // Once the first period - 1 bars are stepped, every window lies in the run. The run is cut
    // into groups of `period` window ends around a pivot bar c: the window ending at i in
    // [c, c + period) is the bars from i - period + 1 to c - 1, whose extremes are suffix extremes
    // taken backwards from c - 1, and the bars from c to i, prefix extremes taken forwards. The
    // suffix extremes wait in the upper and lower outputs at the positions of the windows that
    // use them. Three comparisons a bar and no branch on the data, where the queues pop at
    // random; the tie rule is the queues' (`prevailing`), and the queues are refilled from the
    // last window at the end. A run shorter than two periods is stepped.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        using Highest = WindowExtreme<true>;
        using Lowest = WindowExtreme<false>;
        const std::uint64_t period = highest_.period();
        if (length / 2 < period) {
            step_bars(*this, in, out, 0, length);
            return;
        }
        const std::size_t p = static_cast<std::size_t>(period);
        const double *high = in[0], *low = in[1];
        double *upper = out[0], *middle = out[1], *lower = out[2];
        if (p == 1) {
            for (std::size_t i = 0; i < length; ++i) {
                upper[i] = high[i];
                middle[i] = (high[i] + low[i]) / 2.0;
                lower[i] = low[i];
            }
            highest_.refill(high + (length - 1), 1);
            lowest_.refill(low + (length - 1), 1);
            return;
        }
        step_bars(*this, in, out, 0, p - 1);
        for (std::size_t c = p - 1; c < length; c += p) {
            const std::size_t last = std::min(c + p - 1, length - 1);  // the group's last window end
            // Suffix extremes of the bars s in [c - p + 1, c - 1], kept where window s + p - 1
            // exists.
            const std::size_t lowest_start = c - p + 1, stored_from = last + 1 - p;
            double suffix_high = high[c - 1], suffix_low = low[c - 1];
            for (std::size_t s = c - 1;; --s) {
                if (s < c - 1) {
                    suffix_high = Highest::prevailing(high[s], suffix_high);
                    suffix_low = Lowest::prevailing(low[s], suffix_low);
                }
                if (s <= stored_from) {
                    upper[s + p - 1] = suffix_high;
                    lower[s + p - 1] = suffix_low;
                }
                if (s == lowest_start) break;
            }
            double prefix_high = high[c], prefix_low = low[c];
            const std::size_t joined_last = std::min(last, c + p - 2);
            for (std::size_t i = c; i <= joined_last; ++i) {
                if (i > c) {
                    prefix_high = Highest::prevailing(prefix_high, high[i]);
                    prefix_low = Lowest::prevailing(prefix_low, low[i]);
                }
                const double up = Highest::prevailing(upper[i], prefix_high);
                const double down = Lowest::prevailing(lower[i], prefix_low);
                upper[i] = up;
                middle[i] = (up + down) / 2.0;
                lower[i] = down;
            }
            if (last == c + p - 1) {
                prefix_high = Highest::prevailing(prefix_high, high[last]);
                prefix_low = Lowest::prevailing(prefix_low, low[last]);
                upper[last] = prefix_high;
                middle[last] = (prefix_high + prefix_low) / 2.0;
                lower[last] = prefix_low;
            }
        }
        highest_.refill(high + (length - p), p);
        lowest_.refill(low + (length - p), p);
    }

    void save(StateWriter& w) const {
        highest_.save(w);
        lowest_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        return highest_.load(r) && lowest_.load(r) && highest_.filled() == lowest_.filled();
    }

private:
    WindowExtreme<true> highest_;
    WindowExtreme<false> lowest_;
};

}  // namespace quillora::indicators
