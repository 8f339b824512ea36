// Stochastic oscillators: where the close sits in the range of the last highs and lows, raw
// (STOCHF's fast %K) and smoothed by simple averages (fast %D; STOCH's slow %K and %D).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "indicator.hpp"
#include "parts.hpp"
#include "vector_pair.hpp"
#include "window.hpp"
#include "window_extremes.hpp"

namespace quillora::indicators {

namespace stochastic_detail {

using vector_pair::load;
using vector_pair::Pair;
using vector_pair::PairMask;
using vector_pair::store;

// `value`, or `flat` where `none` holds; the vector form selects lane by lane.
inline double unless(bool none, double flat, double value) noexcept { return none ? flat : value; }
inline Pair unless(PairMask none, double flat, Pair value) noexcept {
    const Pair flats = {flat, flat};
    return none ? flats : value;
}

// Bars a batch run takes at a time through the stack scratch of its intermediate series.
inline constexpr std::size_t block = 256;

}  // namespace stochastic_detail

// The highest high and the lowest low of the last `period` bars.
class RangePart {
public:
    explicit RangePart(std::uint64_t period) noexcept : period_(period), highest_(period), lowest_(period) {}

    // Takes a present bar; true once the range covers `period` bars.
    bool add(double high, double low) {
        highest_.reserve();
        lowest_.reserve();
        highest_.push(high);
        lowest_.push(low);
        return highest_.full();
    }
    double highest() const noexcept { return highest_.value(); }
    double lowest() const noexcept { return lowest_.value(); }
    // Whether the range covers `period` bars.
    bool full() const noexcept { return highest_.full(); }

    void clear() noexcept {
        highest_.clear();
        lowest_.clear();
    }

    // Batch runs over arrays of present bars, as ExtremeWindow's: where `runs_over(count)`, the
    // caller reserves, steps bars [0, period - 1), takes the ranges of the rest from a `Run`
    // and ends with `finish_run` (at the count of bars it ran), given `filled()` as it was after
    // the steps.
    bool runs_over(std::size_t count) const noexcept { return highest_.runs_over(count); }
    void reserve_run() {
        highest_.reserve_run();
        lowest_.reserve_run();
    }
    std::uint64_t filled() const noexcept { return highest_.filled(); }
    std::uint64_t period() const noexcept { return period_; }

    // The highest highs and lowest lows of the windows ending at positions period - 1, period,
    // ... of the arrays, in order, both windows in one pass: for each block of `period`
    // positions the suffix extremes of the previous block (one backward pass), then the block's
    // prefix extremes, each window the better of its older part's suffix and its newer part's
    // prefix, the newer on ties. Slot j of each window's store holds the previous block's suffix
    // from offset j + 1, the last slot an infinity no present sample loses to (the window ending
    // a block has no older part), and the prefix starts from the other infinity, so that every
    // position takes the same steps.
    class Run {
    public:
        Run(RangePart& range, const double* high, const double* low) noexcept
            : high_(high),
              low_(low),
              high_older_(range.highest_.run_store()),
              low_older_(range.lowest_.run_store()),
              period_(static_cast<std::size_t>(range.period_)),
              next_(period_ - 1) {
            high_older_[period_ - 1] = -infinity;
            low_older_[period_ - 1] = infinity;
            for (std::size_t i = 0; i < next_; ++i) {
                high_prefix_ = HighestWindow::better(high_prefix_, high[i]);
                low_prefix_ = LowestWindow::better(low_prefix_, low[i]);
            }
        }

        // Writes the next `count` windows' extremes to highest[0, count) and lowest[0, count).
        void values(std::size_t count, double* highest, double* lowest) noexcept {
            const std::size_t start = next_, end = next_ + count;
            const double *high_older = high_older_, *low_older = low_older_;
            double high = high_prefix_, low = low_prefix_;
            std::size_t i = start;
            while (i < end) {
                if (i == block_ + period_) {
                    block_ = i;
                    suffixes(i - period_);
                    high = -infinity;
                    low = infinity;
                }
                const std::size_t stop = std::min(end, block_ + period_), block = block_;
                for (; i < stop; ++i) {
                    high = HighestWindow::better(high, high_[i]);
                    low = LowestWindow::better(low, low_[i]);
                    highest[i - start] = HighestWindow::better(high_older[i - block], high);
                    lowest[i - start] = LowestWindow::better(low_older[i - block], low);
                }
            }
            high_prefix_ = high;
            low_prefix_ = low;
            next_ = end;
        }

    private:
        static constexpr double infinity = std::numeric_limits<double>::infinity();

        // The suffix extremes of the block at `first`, from offsets 1 to period - 1.
        void suffixes(std::size_t first) noexcept {
            if (period_ == 1) return;
            const double *high = high_ + first, *low = low_ + first;
            double best_high = high[period_ - 1], best_low = low[period_ - 1];
            high_older_[period_ - 2] = best_high;
            low_older_[period_ - 2] = best_low;
            for (std::size_t j = period_ - 2; j > 0; --j) {
                best_high = HighestWindow::better(high[j], best_high);
                best_low = LowestWindow::better(low[j], best_low);
                high_older_[j - 1] = best_high;
                low_older_[j - 1] = best_low;
            }
        }

        const double *high_, *low_;
        double *high_older_, *low_older_;
        std::size_t period_;
        std::size_t next_;                                        // the position the next window ends at
        std::size_t block_ = 0;                                   // the first position of the block holding next_ - 1
        double high_prefix_ = -infinity, low_prefix_ = infinity;  // that block's extremes up to next_ - 1
    };

    void finish_run(const double* high, const double* low, std::size_t count, std::uint64_t filled) {
        highest_.finish_run(high, count, filled);
        lowest_.finish_run(low, count, filled);
    }

    void save(StateWriter& w) const {
        highest_.save(w);
        lowest_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        return highest_.load(r) && lowest_.load(r) && highest_.taken() == lowest_.taken() &&
               highest_.filled() == lowest_.filled();
    }

private:
    std::uint64_t period_;
    HighestWindow highest_;
    LowestWindow lowest_;
};

// Whole series for the states built on a RangePart: stretches of present bars go to
// `stretch(in, out, length)`, which runs bars [0, length) of its arrays as stepping would up to
// the first with a missing input, found as it goes, and returns that bar (or `length`); that bar
// is stepped. A stretch starts only where its first 3 * period bars are present (checked ahead,
// stepped otherwise), so that its windows' extremes can be read from the arrays and rebuilt from
// them at its end; shorter stretches step.
template <typename State, typename Stretch>
void run_stretches(State& state, const RangePart& range, const double* const* in, double* const* out,
                   std::size_t length, Stretch&& stretch) {
    std::size_t bar = 0;
    while (bar < length) {
        if (!range.runs_over(length - bar)) {
            step_bars(state, in, out, bar, length);
            return;
        }
        const std::size_t ahead = bar + 3 * static_cast<std::size_t>(range.period());
        const std::size_t missing = first_missing_bar<3>(in, bar, ahead);
        if (missing < ahead) {
            step_bars(state, in, out, bar, missing + 1);
            bar = missing + 1;
            continue;
        }
        const double* in_at[3] = {in[0] + bar, in[1] + bar, in[2] + bar};
        double* out_at[State::outputs];
        for (std::size_t k = 0; k < State::outputs; ++k) out_at[k] = out[k] + bar;
        bar += stretch(in_at, out_at, length - bar);
        if (bar < length) {
            step_bars(state, in, out, bar, bar + 1);
            ++bar;
        }
    }
}

// Fast %K, in percent: ((close - lowest) / (highest - lowest)) * 100.0, and 50.0 where the range
// is flat (highest == lowest, so the close is at both ends). For doubles and for pairs of them.
template <typename T>
T fast_k(T close, T highest, T lowest) noexcept {
    const T range = highest - lowest;
    return stochastic_detail::unless(range == 0.0, 50.0, ((close - lowest) / range) * 100.0);
}

// Whether x - x, OR-ed over samples, shows none missing: it is +0.0 for a present sample and NaN
// for a missing one.
inline bool none_missing(stochastic_detail::PairMask seen) noexcept { return (seen[0] | seen[1]) == 0; }
inline stochastic_detail::PairMask missing_bits(stochastic_detail::Pair x) noexcept {
    return reinterpret_cast<stochastic_detail::PairMask>(x - x);
}

// Fast %K of bars [first, last) from their closes and ranges (highest[0] is bar first's), two
// bars to a vector, and whether the bars' inputs are all present (the %K from a missing one on
// are then not the bars' values).
inline bool fast_k_run(const double* const* in, const double* highest, const double* lowest, std::size_t first,
                       std::size_t last, double* k) noexcept {
    namespace lanes = stochastic_detail;
    const double *high = in[0] + first, *low = in[1] + first, *close = in[2] + first;
    const std::size_t count = last - first;
    lanes::PairMask seen = {0, 0};
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        const lanes::Pair c = lanes::load(close + i);
        lanes::store(k + i, fast_k(c, lanes::load(highest + i), lanes::load(lowest + i)));
        seen |= missing_bits(lanes::load(high + i)) | missing_bits(lanes::load(low + i)) | missing_bits(c);
    }
    bool present_all = none_missing(seen);
    for (; i < count; ++i) {
        k[i] = fast_k(close[i], highest[i], lowest[i]);
        present_all = present_all && present(high[i]) && present(low[i]) && present(close[i]);
    }
    return present_all;
}

// The window size a saved SmaPart form opens with, read without consuming it.
inline bool saved_window_size(const StateReader& r, std::uint64_t& size) noexcept {
    StateReader ahead = r;
    return ahead.count(size);
}

// STOCHF. Order of operations: fast %K as in `fast_k` over the last `fastk_period` bars' highs and
// lows; fast %D = the SmaPart mean of the last `fastd_period` fast %K values. Both start together
// at the first fast %D. A missing bar (any input missing) clears every window; the next values come
// fastk_period + fastd_period - 1 present bars later.
class StochfState {
public:
    static constexpr const char* name = "stochf";
    static constexpr const char* class_name = "StochfState";
    static constexpr std::size_t inputs = 3, outputs = 2;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 2 && p.reals.empty() && p.counts[0] >= 1 && p.counts[1] >= 1;
    }
    explicit StochfState(const Parameters& p) noexcept
        : range_period_(p.counts[0]), range_(p.counts[0]), d_(p.counts[1]) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            range_.clear();
            d_.clear();
            missing_bar<2>(out);
            return;
        }
        if (!range_.add(in[0], in[1])) {
            missing_bar<2>(out);
            return;
        }
        const double k = fast_k(in[2], range_.highest(), range_.lowest());
        if (!d_.add(k)) {
            missing_bar<2>(out);
            return;
        }
        out[0] = k;
        out[1] = d_.value();
    }

    // Whole series: stretches of present bars step the bars whose range reaches back before them,
    // then take the ranges from the arrays and each stage `block` bars at a time through scratch
    // on the stack (run_stretches).
    void run(const double* const* in, double* const* out, std::size_t length) {
        run_stretches(*this, range_, in, out, length,
                      [this](const double* const* in_at, double* const* out_at, std::size_t count) {
                          return stretch(in_at, out_at, count);
                      });
    }

    void save(StateWriter& w) const {
        range_.save(w);
        d_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t d_size = 0;
        if (!range_.load(r) || !saved_window_size(r, d_size) || !d_.load(r)) return false;
        // A full range has given %K to the average on every bar since it filled.
        return range_.full() == (d_size > 0);
    }

private:
    std::size_t stretch(const double* const* in, double* const* out, std::size_t length) {
        using stochastic_detail::block;
        range_.reserve_run();
        const std::size_t head = static_cast<std::size_t>(range_period_ - 1);
        step_bars(*this, in, out, 0, head);
        const std::uint64_t filled = range_.filled();
        RangePart::Run ranges(range_, in[0], in[1]);
        double highest[block], lowest[block], k[block], d[block];
        std::size_t bar = head;
        while (bar < length) {
            std::size_t count = std::min(block, length - bar);
            ranges.values(count, highest, lowest);
            const bool present_all = fast_k_run(in, highest, lowest, bar, bar + count, k);
            if (!present_all) count = first_missing_bar<3>(in, bar, bar + count) - bar;
            const std::size_t first = d_.add_run(k, count, d);
            double *k_out = out[0] + bar, *d_out = out[1] + bar;
            for (std::size_t i = 0; i < count; ++i) {
                k_out[i] = i < first ? missing_value : k[i];
                d_out[i] = i < first ? missing_value : d[i];
            }
            bar += count;
            if (!present_all) break;
        }
        range_.finish_run(in[0], in[1], bar, filled);
        return bar;
    }

    std::uint64_t range_period_;
    RangePart range_;
    SmaPart d_;
};

// STOCH with simple averages. Order of operations: fast %K as in `fast_k` over the last
// `fastk_period` bars; slow %K = the SmaPart mean of the last `slowk_period` fast %K values; slow
// %D = the SmaPart mean of the last `slowd_period` slow %K values. Both outputs start together at
// the first slow %D. A missing bar (any input missing) clears every window; the next values come
// fastk_period + slowk_period + slowd_period - 2 present bars later.
class StochState {
public:
    static constexpr const char* name = "stoch";
    static constexpr const char* class_name = "StochState";
    static constexpr std::size_t inputs = 3, outputs = 2;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 3 && p.reals.empty() && p.counts[0] >= 1 && p.counts[1] >= 1 && p.counts[2] >= 1;
    }
    explicit StochState(const Parameters& p) noexcept
        : range_period_(p.counts[0]),
          slow_k_period_(p.counts[1]),
          range_(p.counts[0]),
          slow_k_(p.counts[1]),
          slow_d_(p.counts[2]) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            range_.clear();
            slow_k_.clear();
            slow_d_.clear();
            missing_bar<2>(out);
            return;
        }
        if (!range_.add(in[0], in[1]) || !slow_k_.add(fast_k(in[2], range_.highest(), range_.lowest()))) {
            missing_bar<2>(out);
            return;
        }
        const double k = slow_k_.value();
        if (!slow_d_.add(k)) {
            missing_bar<2>(out);
            return;
        }
        out[0] = k;
        out[1] = slow_d_.value();
    }

    // As StochfState's, with a stage more.
    void run(const double* const* in, double* const* out, std::size_t length) {
        run_stretches(*this, range_, in, out, length,
                      [this](const double* const* in_at, double* const* out_at, std::size_t count) {
                          return stretch(in_at, out_at, count);
                      });
    }

    void save(StateWriter& w) const {
        range_.save(w);
        slow_k_.save(w);
        slow_d_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t k_size = 0, d_size = 0;
        if (!range_.load(r) || !saved_window_size(r, k_size) || !slow_k_.load(r)) return false;
        if (!saved_window_size(r, d_size) || !slow_d_.load(r)) return false;
        // Each stage has given a value to the next on every bar since it filled.
        return range_.full() == (k_size > 0) && (k_size == slow_k_period_) == (d_size > 0);
    }

private:
    std::size_t stretch(const double* const* in, double* const* out, std::size_t length) {
        using stochastic_detail::block;
        range_.reserve_run();
        const std::size_t head = static_cast<std::size_t>(range_period_ - 1);
        step_bars(*this, in, out, 0, head);
        const std::uint64_t filled = range_.filled();
        RangePart::Run ranges(range_, in[0], in[1]);
        double highest[block], lowest[block], fast[block], k[block], d[block];
        std::size_t bar = head;
        while (bar < length) {
            std::size_t count = std::min(block, length - bar);
            ranges.values(count, highest, lowest);
            const bool present_all = fast_k_run(in, highest, lowest, bar, bar + count, fast);
            if (!present_all) count = first_missing_bar<3>(in, bar, bar + count) - bar;
            // Slow %D over the slow %K values there are.
            const std::size_t k_first = slow_k_.add_run(fast, count, k);
            const std::size_t first = k_first + slow_d_.add_run(k + k_first, count - k_first, d + k_first);
            double *k_out = out[0] + bar, *d_out = out[1] + bar;
            for (std::size_t i = 0; i < count; ++i) {
                k_out[i] = i < first ? missing_value : k[i];
                d_out[i] = i < first ? missing_value : d[i];
            }
            bar += count;
            if (!present_all) break;
        }
        range_.finish_run(in[0], in[1], bar, filled);
        return bar;
    }

    std::uint64_t range_period_, slow_k_period_;
    RangePart range_;
    SmaPart slow_k_;
    SmaPart slow_d_;
};

}  // namespace quillora::indicators
