// Keltner channels (KC): an exponential average of the typical price, with bands nbdev average
// true ranges above and below it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "flows_parts.hpp"
#include "indicator.hpp"
#include "parts.hpp"

namespace quillora::indicators {

// Order of operations: typical = (high + low + close) / 3, left to right; middle = the ema
// of the typical prices (mean seed, then average * keep + typical * alpha); atr = WilderPart
// (atr_period) of the true ranges; width = nbdev * atr, upper = middle + width, lower = middle -
// width. Both averages are seeded to give their first value on the same bar, first = max(period
// - 1, atr_period) bars after the start: the mean seeds over that bar and the period - 1 (resp.
// atr_period - 1) before it, so each band starts from averages of the same recent bars. A missing
// bar before the first value starts everything afresh at the next present bar; after it, the bar
// is skipped (averages and previous close unchanged).
class KcState {
public:
    static constexpr const char* name = "kc";
    static constexpr const char* class_name = "KcState";
    static constexpr std::size_t inputs = 3, outputs = 3;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 2 && p.reals.size() == 1 && p.counts[0] >= 1 && p.counts[1] >= 1 &&
               present(p.reals[0]);
    }
    explicit KcState(const Parameters& p) noexcept
        : period_(p.counts[0]),
          first_(std::max(p.counts[0] - 1, p.counts[1])),
          middle_start_(first_ - (p.counts[0] - 1)),
          range_start_(first_ - p.counts[1] + 1),
          nbdev_(p.reals[0]),
          middle_(p.counts[0]),
          atr_(p.counts[1]) {}

    void step(const double* in, double* out) noexcept {
        if (!present_bar<3>(in)) {
            if (!middle_.seeded()) restart();
            missing_bar<3>(out);
            return;
        }
        const double high = in[0], low = in[1], close = in[2];
        const std::uint64_t bar = taken_;
        if (bar >= middle_start_) middle_.add((high + low + close) / 3.0);
        if (bar >= range_start_) atr_.add(true_range(high, low, previous_close_));
        previous_close_ = close;
        if (bar < first_) {
            ++taken_;
            missing_bar<3>(out);
            return;
        }
        const double middle = middle_.value();
        const double width = nbdev_ * atr_.value();
        out[0] = middle + width;
        out[1] = middle;
        out[2] = middle - width;
    }

    // Batch runs test for missing samples inside the loop (run_testing_inline): it waits on
    // Wilder's chain, a divide a bar, and has room for the test beside it.
    // Steps until both averages have their first value, then runs them on locals, with the
    // previous close carried. Two bars' typical prices are divided at once, which leaves the
    // divider to Wilder's chain.
    std::size_t run_present_from(const double* const* in, double* const* out, std::size_t i,
                                 std::size_t length) noexcept {
        for (; i < length && !atr_.seeded(); ++i) {
            if (!present_at<3>(in, i)) return i;
            step_bars(*this, in, out, i, i + 1);
        }
        if (i == length) return i;
        const std::size_t first = i;
        const double *high = in[0], *low = in[1], *close = in[2];
        double *upper = out[0], *middle = out[1], *lower = out[2];
        const double nbdev = nbdev_;
        const EmaPart ema = middle_;
        const WilderPart wilder = atr_;
        double average = middle_.value(), range = atr_.value(), previous = previous_close_;
        const auto take = [&](std::size_t bar, double typical) noexcept {
            average = ema.next(average, typical);
            range = wilder.next(range, true_range(high[bar], low[bar], previous));
            previous = close[bar];
            const double width = nbdev * range;
            upper[bar] = average + width;
            middle[bar] = average;
            lower[bar] = average - width;
        };
        for (; i + 2 <= length; i += 2) {
            using namespace flow_lanes;
            const Lanes h = lanes_at(high + i), l = lanes_at(low + i), c = lanes_at(close + i);
            if (!pairs_present(h, l, c)) break;
            const Lanes typical = (h + l + c) / 3.0;
            take(i, typical[0]);
            take(i + 1, typical[1]);
        }
        for (; i < length && samples_present(high[i], low[i], close[i]); ++i)
            take(i, (high[i] + low[i] + close[i]) / 3.0);
        middle_.resume(average);
        atr_.resume(range);
        // From the array, not from `previous`, which the compiler would pack beside an average.
        if (i > first) previous_close_ = close[i - 1];
        return i;
    }

    void save(StateWriter& w) const {
        w.count(taken_);
        w.real(previous_close_);
        middle_.save(w);
        atr_.save(w);
    }
    // Refuses counts the bars taken could not have left: the range average's run follows from
    // them, and both averages are seeded together on the first value's bar.
    [[nodiscard]] bool load(StateReader& r) noexcept {
        if (!r.count(taken_) || taken_ > first_ || !r.real(previous_close_) || !middle_.load(r) || !atr_.load(r))
            return false;
        if (middle_.seeded() != atr_.seeded()) return false;
        if (atr_.seeded()) return taken_ == first_;
        return atr_.run() == (taken_ > range_start_ ? taken_ - range_start_ : 0);
    }

private:
    void restart() noexcept {
        taken_ = 0;
        previous_close_ = missing_value;
        middle_ = EmaPart(period_);
        atr_.restart();
    }

    std::uint64_t period_;
    std::uint64_t first_;         // bars before the first value
    std::uint64_t middle_start_;  // the first bar the middle average takes
    std::uint64_t range_start_;   // the first bar whose true range the range average takes
    double nbdev_;
    EmaPart middle_;
    WilderPart atr_;
    std::uint64_t taken_ = 0;  // present bars taken since the start, up to `first_`
    double previous_close_ = missing_value;
};

}  // namespace quillora::indicators
