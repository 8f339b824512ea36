// Aroon: how many bars ago, within the last `period` + 1, the highest high and the lowest low
// were, as a percentage of the period; and the oscillator, up minus down.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "indicator.hpp"
#include "trend_parts.hpp"

namespace quillora::indicators {

// Order of operations: the window is the bar and the `period` bars before it. The newest highest
// high and the newest lowest low in it (a tie goes to the later bar) are `up_age` and `down_age`
// bars old; with factor = 100.0 / period (period converted once), up = factor * (period - up_age),
// down = factor * (period - down_age), and the oscillator = factor * (down_age - up_age), each
// difference taken exactly in integers and converted to double. A missing bar clears the window,
// so the next value comes `period` bars after the next present one.
class AroonPart {
public:
    explicit AroonPart(std::uint64_t period) noexcept
        : period_(period),
          factor_(100.0 / static_cast<double>(period)),
          // A window of 2**64 bars cannot fill; saturating keeps its size in range.
          bars_(period == std::numeric_limits<std::uint64_t>::max() ? period : period + 1),
          highs_(bars_.capacity()),
          lows_(bars_.capacity()) {}

    // Takes a present bar (or forgets the window at a missing one); true once the window is full.
    bool add(double high, double low) {
        bars_.make_room();
        highs_.make_room();
        lows_.make_room();
        bars_.push(Pair{high, low});
        enter(high, low);
        return bars_.full();
    }
    void clear() noexcept {
        bars_.clear();
        highs_.clear();
        lows_.clear();
        next_ = 0;
    }

    double up() const noexcept { return factor_ * static_cast<double>(period_ - up_age()); }
    double down() const noexcept { return factor_ * static_cast<double>(period_ - down_age()); }
    double oscillator() const noexcept {
        const std::uint64_t up = up_age(), down = down_age();
        return down >= up ? factor_ * static_cast<double>(down - up) : factor_ * -static_cast<double>(up - down);
    }

    // Whether run_full takes the next bars: the window is full and short enough for its scratch.
    bool runs_full() const noexcept { return bars_.full() && bars_.capacity() <= most_bars; }

    // Takes `length` present bars once runs_full(), a block of period + 1 bars at a time (van
    // Herk, Gil and Werman): a bar's window is a suffix of the previous block and a prefix of its
    // own, so its newest extreme is the newer of two, the running extreme of its block so far and
    // the extreme of the previous block's suffix, kept from when that block ended. The tie rule
    // is the queues': of equal values the newer bar. The high and the negated low go side by side
    // in one register (a low is lower exactly where its negation is higher, equal where equal),
    // and every choice is a mask: where the extreme is goes with the prices. Hands each bar's
    // period - up age and period - down age to sink(i, up, down).
    template <typename Sink>
    void run_full(const double* high, const double* low, std::size_t length, Sink&& sink) {
        const std::size_t bars = static_cast<std::size_t>(bars_.capacity());
        // Bars are numbered from the window's oldest before the run (0) on; bar i of the run is
        // bars + i, and its window starts at i + 1.
        Suffixes suffixes;
        suffixes.take(bars, 0, [this](std::size_t k) { return bars_.at(k); });
        for (std::size_t start = 0; start < length; start += bars) {
            const std::size_t n = std::min(bars, length - start);
            TwoLanes extreme = {-infinity, -infinity};
            TwoMask extreme_at = {0, 0};
            for (std::size_t q = 0; q < n; ++q) {
                const std::size_t i = start + q;
                const std::int64_t bar = static_cast<std::int64_t>(bars + i);
                const TwoLanes x = {high[i], -low[i]};
                const TwoMask newer = x >= extreme;
                extreme_at = newer ? TwoMask{bar, bar} : extreme_at;
                extreme = newer ? x : extreme;
                const TwoMask at = extreme >= suffixes.extreme[q + 1] ? extreme_at : suffixes.at[q + 1];
                const std::int64_t first = static_cast<std::int64_t>(i + 1);
                sink(i, at[0] - first, at[1] - first);
            }
            if (n == bars)
                suffixes.take(bars, bars + start,
                              [high, low, start](std::size_t k) { return Pair{high[start + k], low[start + k]}; });
        }
        bars_.push_each(length, [high, low](std::uint64_t i) { return Pair{high[i], low[i]}; });
        rebuild();
    }
    double factor() const noexcept { return factor_; }

    // Saved as the window's bars; the extremes follow from them.
    void save(StateWriter& w) const { bars_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!bars_.load(r)) return false;
        for (std::uint64_t i = 0; i < bars_.size(); ++i) {
            const Pair bar = bars_.at(i);
            if (!present(bar.first) || !present(bar.second)) return false;
        }
        rebuild();
        return true;
    }

private:
    static constexpr std::size_t most_bars = 512;
    static constexpr double infinity = std::numeric_limits<double>::infinity();

    // The extremes of every suffix of a block of bars (from position k to the end), the highest
    // high and the lowest low as (high, -low), the newest of equal values, with the bars they are
    // at; past the end, values no bar loses to.
    struct Suffixes {
        TwoLanes extreme[most_bars + 1];
        TwoMask at[most_bars + 1];

        // The block of `bars` bars bar(0), ..., bar(bars - 1), numbered from `first` on.
        template <typename Bar>
        void take(std::size_t bars, std::size_t first, Bar bar) noexcept {
            extreme[bars] = TwoLanes{-infinity, -infinity};
            const std::int64_t last = static_cast<std::int64_t>(first + bars - 1);
            TwoLanes e = lanes(bar(bars - 1)) * TwoLanes{1.0, -1.0};
            TwoMask e_at = {last, last};
            extreme[bars - 1] = e;
            at[bars - 1] = e_at;
            for (std::size_t k = bars - 1; k-- > 0;) {
                const std::int64_t b = static_cast<std::int64_t>(first + k);
                const TwoLanes x = lanes(bar(k)) * TwoLanes{1.0, -1.0};
                // An older bar takes over only when strictly beyond.
                const TwoMask beyond = x > e;
                e_at = beyond ? TwoMask{b, b} : e_at;
                e = beyond ? x : e;
                extreme[k] = e;
                at[k] = e_at;
            }
        }
    };

    // The queues of the window's bars, numbered afresh.
    void rebuild() {
        highs_.clear();
        lows_.clear();
        next_ = 0;
        for (std::uint64_t i = 0; i < bars_.size(); ++i) enter(bars_.at(i).first, bars_.at(i).second);
    }

    struct Extreme {
        std::uint64_t bar;
        double value;
    };
    // Keeps, per side, the bars no later bar of the window matches or beats: the front is the
    // window's extreme, and a later equal value replaces an earlier one.
    void enter(double high, double low) {
        const std::uint64_t bar = next_++;
        // Bars that left the window go first, so neither side ever holds more than the window.
        if (bar >= period_) {
            const std::uint64_t first = bar - period_;
            while (!highs_.empty() && highs_.front().bar < first) highs_.pop_front();
            while (!lows_.empty() && lows_.front().bar < first) lows_.pop_front();
        }
        while (!highs_.empty() && highs_.back().value <= high) highs_.pop_back();
        highs_.push_back(Extreme{bar, high});
        while (!lows_.empty() && lows_.back().value >= low) lows_.pop_back();
        lows_.push_back(Extreme{bar, low});
    }
    std::uint64_t up_age() const noexcept { return next_ - 1 - highs_.front().bar; }
    std::uint64_t down_age() const noexcept { return next_ - 1 - lows_.front().bar; }

    std::uint64_t period_;
    double factor_;
    Ring<Pair> bars_;  // (high, low) of the window's bars
    Ring<Extreme> highs_, lows_;
    std::uint64_t next_ = 0;  // bars taken since the window last started
};

// Outputs (aroondown, aroonup).
class AroonState {
public:
    static constexpr const char* name = "aroon";
    static constexpr const char* class_name = "AroonState";
    static constexpr std::size_t inputs = 2, outputs = 2;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit AroonState(const Parameters& p) noexcept : part_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<2>(in)) {
            part_.clear();
            missing_bar<2>(out);
            return;
        }
        if (!part_.add(in[0], in[1])) {
            missing_bar<2>(out);
            return;
        }
        out[0] = part_.down();
        out[1] = part_.up();
    }

    // Steps until the window is full, then runs it a block at a time.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        std::size_t i = 0;
        for (; i < length && !part_.runs_full(); ++i) step_bar<2, 2>(*this, in, out, i);
        if (i == length) return;
        double* down = out[0] + i;
        double* up = out[1] + i;
        const double factor = part_.factor();
        part_.run_full(in[0] + i, in[1] + i, length - i,
                       [down, up, factor](std::size_t j, std::int64_t up_count, std::int64_t down_count) {
                           down[j] = factor * static_cast<double>(down_count);
                           up[j] = factor * static_cast<double>(up_count);
                       });
    }

    void save(StateWriter& w) const { part_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return part_.load(r); }

private:
    AroonPart part_;
};

class AroonoscState {
public:
    static constexpr const char* name = "aroonosc";
    static constexpr const char* class_name = "AroonoscState";
    static constexpr std::size_t inputs = 2, outputs = 1;

    static bool valid(const Parameters& p) noexcept { return AroonState::valid(p); }
    explicit AroonoscState(const Parameters& p) noexcept : part_(p.counts[0]) {}

    void step(const double* in, double* out) {
        if (!present_bar<2>(in)) {
            part_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] = part_.add(in[0], in[1]) ? part_.oscillator() : missing_value;
    }

    // Steps until the window is full, then runs it a block at a time. (down age - up age is
    // up count - down count, and its double the same as the oscillator's, sign included.)
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        std::size_t i = 0;
        for (; i < length && !part_.runs_full(); ++i) step_bar<2, 1>(*this, in, out, i);
        if (i == length) return;
        double* result = out[0] + i;
        const double factor = part_.factor();
        part_.run_full(in[0] + i, in[1] + i, length - i,
                       [result, factor](std::size_t j, std::int64_t up_count, std::int64_t down_count) {
                           result[j] = factor * static_cast<double>(up_count - down_count);
                       });
    }

    void save(StateWriter& w) const { part_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return part_.load(r); }

private:
    AroonPart part_;
};

}  // namespace quillora::indicators
