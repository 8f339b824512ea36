// Stochastic RSI (STOCHRSI): where RSI stands within its own range over the last bars, and the
// mean of that.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "indicator.hpp"
#include "parts.hpp"
#include "rsi.hpp"
#include "window.hpp"

namespace quillora::indicators {

// The highest and the lowest of the last `period` values, each bar in amortized constant time:
// two queues of (position, value) whose values fall (for the highest) or rise (for the lowest)
// from front to back, so each front is its extreme. Among equal values the newest is kept.
class MonotoneExtremes {
public:
    explicit MonotoneExtremes(std::uint64_t period) noexcept : values_(period), highs_(period), lows_(period) {}

    bool full() const noexcept { return values_.full(); }
    std::uint64_t size() const noexcept { return values_.size(); }
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
    void clear() noexcept {
        values_.clear();
        highs_.clear();
        lows_.clear();
        pushed_ = 0;
    }

    // Saved as its values; the queues follow from them.
    void save(StateWriter& w) const { values_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!values_.load(r)) return false;
        highs_.clear();
        lows_.clear();
        for (pushed_ = 0; pushed_ < values_.size(); ++pushed_) {
            highs_.reserve_one();
            lows_.reserve_one();
            enqueue({pushed_, values_.at(pushed_)});
        }
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

// Order of operations: rsi as RsiPart gives it (Wilder's smoothing, see rsi.hpp); over the last
// `fastk_period` RSI values, range = highest - lowest; fastk = ((rsi - lowest) / range) * 100, and
// 50 when range <= highest * 1e-14 (a flat window: RSI over unchanging prices is constant, and its
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
        const double rsi = rsi_.value();
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
        const double range = highest - lowest;
        const double k = range <= highest * flat ? 50.0 : (rsi - lowest) / range * 100.0;
        if (!d_.add(k)) {
            missing_bar<2>(out);
            return;
        }
        out[0] = k;
        out[1] = d_.value();
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

    void clear_windows() noexcept {
        range_.clear();
        d_.clear();
    }

    RsiPart rsi_;
    MonotoneExtremes range_;
    SmaPart d_;
};

}  // namespace quillora::indicators
