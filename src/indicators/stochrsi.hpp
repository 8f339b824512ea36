// Stochastic RSI (STOCHRSI): where RSI stands within its own range over the last bars, and the
// mean of that.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cmo.hpp"
#include "indicator.hpp"
#include "trima.hpp"
#include "window.hpp"

namespace quillora::indicators {

// The highest and the lowest of the last `period` values, each bar in amortized constant time:
// two queues of (position, value) whose values fall (for the highest) or rise (for the lowest)
// from front to back, so each front is its extreme. Among equal values the newest is kept.
class MonotoneExtremes {
public:
    explicit MonotoneExtremes(std::uint64_t period) noexcept : values_(period), highs_(period), lows_(period) {}

    bool full() const noexcept { return values_.full(); }
    std::uint64_t capacity() const noexcept { return values_.capacity(); }
    std::uint64_t size() const noexcept { return values_.size(); }
    // The i-th kept value, oldest first.
    double at(std::uint64_t i) const noexcept { return values_.at(i); }
    double highest() const noexcept { return highs_.front().value; }
    double lowest() const noexcept { return lows_.front().value; }

    // Adds the newest value. May throw std::bad_alloc while a store grows, and then nothing has
    // changed.
    void push(double v) {
        highs_.reserve_one();
        lows_.reserve_one();
        if (values_.full()) {
            const std::uint64_t oldest = pushed_ - values_.size();
            values_.push(v);
            if (highs_.front().position == oldest) highs_.pop_front();
            if (lows_.front().position == oldest) lows_.pop_front();
        } else {
            values_.push(v);
        }
        enqueue({pushed_++, v});
    }
    // As if each of `count` values were pushed in order: the window in one copy, the queues
    // rebuilt from it.
    void push_run(const double* values, std::uint64_t count) {
        values_.push_run(values, count);
        rebuild();
    }
    void clear() noexcept {
        values_.clear();
        highs_.clear();
        lows_.clear();
        pushed_ = 0;
    }

    // Saved as its values; the queues follow from them. Values that are not present are refused:
    // none is ever pushed, and the order of the queues needs values that compare.
    void save(StateWriter& w) const { values_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!values_.load(r)) return false;
        for (std::uint64_t i = 0; i < values_.size(); ++i)
            if (!present(values_.at(i))) return false;
        rebuild();
        return true;
    }

private:
    struct Entry {
        std::uint64_t position;
        double value;
    };

    // A queue held in a ring that grows with its use, never beyond `capacity` entries.
    class Queue {
    public:
        explicit Queue(std::uint64_t capacity) noexcept : capacity_(capacity) {}
        bool empty() const noexcept { return size_ == 0; }
        const Entry& front() const noexcept { return slots_[start_]; }
        const Entry& back() const noexcept { return slots_[wrap(start_ + size_ - 1)]; }
        // Room for one more, unless the queue already holds `capacity` (then one leaves first).
        void reserve_one() {
            if (size_ < slots_.size() || size_ == capacity_) return;
            const std::uint64_t wanted = std::min<std::uint64_t>(capacity_, std::max<std::uint64_t>(8, 2 * size_));
            std::vector<Entry> larger(static_cast<std::size_t>(wanted));
            for (std::size_t i = 0; i < size_; ++i) larger[i] = slots_[wrap(start_ + i)];
            slots_ = std::move(larger);
            start_ = 0;
        }
        void push_back(Entry e) noexcept {
            slots_[wrap(start_ + size_)] = e;
            ++size_;
        }
        void pop_back() noexcept { --size_; }
        void pop_front() noexcept {
            start_ = wrap(start_ + 1);
            --size_;
        }
        void clear() noexcept {
            start_ = 0;
            size_ = 0;
        }

    private:
        std::size_t wrap(std::size_t slot) const noexcept {
            return slot >= slots_.size() ? slot - slots_.size() : slot;
        }

        std::uint64_t capacity_;
        std::vector<Entry> slots_;
        std::size_t start_ = 0, size_ = 0;
    };

    void rebuild() {
        highs_.clear();
        lows_.clear();
        for (pushed_ = 0; pushed_ < values_.size(); ++pushed_) {
            highs_.reserve_one();
            lows_.reserve_one();
            enqueue({pushed_, values_.at(pushed_)});
        }
    }
    void enqueue(Entry e) noexcept {
        while (!highs_.empty() && highs_.back().value <= e.value) highs_.pop_back();
        highs_.push_back(e);
        while (!lows_.empty() && lows_.back().value >= e.value) lows_.pop_back();
        lows_.push_back(e);
    }

    Window values_;  // kept for the saved form
    Queue highs_, lows_;
    std::uint64_t pushed_ = 0;  // values pushed since the last clear: the next one's position
};

// Order of operations: rsi as RsiPart gives it (Wilder's smoothing, see rsi.hpp; here through the
// same gains and losses open to a batch run, cmo.hpp); over the last `fastk_period` RSI values,
// range = highest - lowest; fastk = ((rsi - lowest) / range) * 100, and 50 when
// range <= highest * 1e-14 (a flat window: RSI over unchanging prices is constant, and its
// computed values differ only by rounding); fastd = the SmaPart mean of the last `fastd_period`
// fastk values. Both outputs start together at the first fastd. A missing sample is skipped by the
// RSI (a seed under way restarts, once seeded the next change spans the gap) and, being a bar
// without an RSI value, empties both windows: the next values come fastk_period + fastd_period - 1
// RSI values later.
class StochrsiState {
public:
    static constexpr const char* name = "stochrsi";
    static constexpr const char* class_name = "StochrsiState";
    static constexpr std::size_t inputs = 1, outputs = 2;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 3 && p.reals.empty() && p.counts[0] >= 2 && p.counts[1] >= 2 && p.counts[2] >= 1;
    }
    explicit StochrsiState(const Parameters& p) noexcept : rsi_(p.counts[0]), range_(p.counts[1]), d_(p.counts[2]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            rsi_.restart_seed();
            clear_windows();
            missing_bar<2>(out);
            return;
        }
        if (!rsi_.add(x)) {
            missing_bar<2>(out);
            return;
        }
        const double rsi = rsi_value(rsi_.gain, rsi_.loss);
        if (!present(rsi)) {
            clear_windows();
            missing_bar<2>(out);
            return;
        }
        range_.push(rsi);
        if (!range_.full()) {
            missing_bar<2>(out);
            return;
        }
        const double highest = range_.highest(), lowest = range_.lowest();
        const double k = fastk(rsi, highest, lowest);
        if (!d_.add(k)) {
            missing_bar<2>(out);
            return;
        }
        out[0] = k;
        out[1] = d_.value();
    }

    // Steps while the RSI seeds and the windows fill, then runs blocks of bars: the RSI of the
    // block into a row after the last fastk_period - 1 RSI values, the window extremes over that
    // row, fastk into a row after the last fastd_period values of fastk, and the running mean over
    // it. A block where the RSI has no value somewhere (its sums overflowed) is stepped instead.
    // Windows longer than the history rows are stepped.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        if (range_.capacity() - 1 > history || d_.window.capacity() > history) {
            step_bars(*this, in, out, 0, length);
            return;
        }
        std::size_t i = 0;
        while (i < length) {
            if (!rsi_.seeded() || !range_.full() || !d_.window.full()) {
                step_bars(*this, in, out, i, i + 1);
                ++i;
                continue;
            }
            const std::size_t count = std::min(block, length - i);
            if (!run_block(in[0] + i, out[0] + i, out[1] + i, count)) step_bars(*this, in, out, i, i + count);
            i += count;
        }
    }

    void save(StateWriter& w) const {
        rsi_.save(w);
        range_.save(w);
        d_.save(w);
    }
    // The range only takes values from a seeded RSI, the mean only from a full range.
    [[nodiscard]] bool load(StateReader& r) {
        if (!rsi_.load(r) || !range_.load(r)) return false;
        StateReader ahead = r;
        std::uint64_t d_size = 0;
        if (!ahead.count(d_size) || !d_.load(r)) return false;
        return (range_.size() == 0 || rsi_.seeded()) && (d_size == 0 || range_.full());
    }

private:
    static constexpr double flat = 1e-14;
    static constexpr std::size_t block = 256, history = 256;

    static double rsi_value(double gain, double loss) noexcept {
        const double total = gain + loss;
        return total == 0.0 ? 50.0 : 100.0 * (gain / total);
    }
    static double fastk(double rsi, double highest, double lowest) noexcept {
        const double range = highest - lowest;
        return range <= highest * flat ? 50.0 : (rsi - lowest) / range * 100.0;
    }

    // Runs `count` present samples with the RSI seeded and both windows full; false (and nothing
    // changed) where an RSI value of the block is missing.
    bool run_block(const double* x, double* k_out, double* d_out, std::size_t count) {
        const std::size_t span = static_cast<std::size_t>(range_.capacity()), lead = span - 1;
        const std::size_t means = static_cast<std::size_t>(d_.window.capacity());
        double rsi[history + block];
        for (std::size_t t = 0; t < lead; ++t) rsi[t] = range_.at(t + 1);
        averages_detail::OpenWilderChanges changes = rsi_;
        changes.run_seeded(x, rsi + lead, count, rsi_value);
        bool all_present = true;
        for (std::size_t j = 0; j < count; ++j) all_present = all_present & present(rsi[lead + j]);
        if (!all_present) return false;
        rsi_ = changes;

        double highest[block], lowest[block];
        if (span <= scanned_span) {
            scan_extremes(rsi, count, span, highest, lowest);
        } else {
            block_extremes(rsi, count, span, highest, lowest);
        }
        double ks[history + block];
        for (std::size_t t = 0; t < means; ++t) ks[t] = d_.window.at(t);
        for (std::size_t j = 0; j < count; ++j) {
            const double k = fastk(rsi[lead + j], highest[j], lowest[j]);
            k_out[j] = k;
            ks[means + j] = k;
        }
        double sum = d_.sum;
        for (std::size_t j = 0; j < count; ++j) {
            sum = sum + ks[means + j] - ks[j];
            d_out[j] = sum;
        }
        const double means_real = d_.length_real;
        for (std::size_t j = 0; j < count; ++j) d_out[j] = d_out[j] / means_real;
        d_.sum = sum;
        d_.window.push_run(ks + means, count);
        range_.push_run(rsi + lead, count);
        return true;
    }

    // The extremes of the windows row[j, j + span) for j < count. Among equal values the newest is
    // kept, as the queues keep it (so of 0.0 and -0.0 the newer).
    static constexpr std::size_t scanned_span = 8;
    // Short windows: every window scanned, oldest to newest, a row of windows at a time.
    static void scan_extremes(const double* row, std::size_t count, std::size_t span, double* highest, double* lowest) {
        for (std::size_t j = 0; j < count; ++j) highest[j] = lowest[j] = row[j];
        for (std::size_t t = 1; t < span; ++t) {
            for (std::size_t j = 0; j < count; ++j) {
                const double v = row[j + t];
                highest[j] = v >= highest[j] ? v : highest[j];
                lowest[j] = v <= lowest[j] ? v : lowest[j];
            }
        }
    }
    // Longer windows: the row cut into pieces of `span`, with the extremes of each piece up to and
    // from each position; a window is the end of one piece and the start of the next.
    static void block_extremes(const double* row, std::size_t count, std::size_t span, double* highest,
                               double* lowest) {
        const std::size_t n = count + span - 1;
        double high_to[history + block], low_to[history + block], high_from[history + block], low_from[history + block];
        for (std::size_t a = 0; a < n; a += span) {
            const std::size_t e = std::min(n, a + span);
            high_to[a] = low_to[a] = row[a];
            for (std::size_t t = a + 1; t < e; ++t) {
                high_to[t] = row[t] >= high_to[t - 1] ? row[t] : high_to[t - 1];
                low_to[t] = row[t] <= low_to[t - 1] ? row[t] : low_to[t - 1];
            }
            high_from[e - 1] = low_from[e - 1] = row[e - 1];
            for (std::size_t t = e - 1; t-- > a;) {
                high_from[t] = row[t] > high_from[t + 1] ? row[t] : high_from[t + 1];
                low_from[t] = row[t] < low_from[t + 1] ? row[t] : low_from[t + 1];
            }
        }
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t end = j + span - 1;
            if (j % span == 0) {
                highest[j] = high_to[end];
                lowest[j] = low_to[end];
            } else {
                highest[j] = high_to[end] >= high_from[j] ? high_to[end] : high_from[j];
                lowest[j] = low_to[end] <= low_from[j] ? low_to[end] : low_from[j];
            }
        }
    }

    void clear_windows() noexcept {
        range_.clear();
        d_.clear();
    }

    averages_detail::OpenWilderChanges rsi_;
    MonotoneExtremes range_;
    averages_detail::OpenMean d_;
};

}  // namespace quillora::indicators
