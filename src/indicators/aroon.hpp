// Aroon: how many bars ago, within the last `period` + 1, the highest high and the lowest low
// were, as a percentage of the period; and the oscillator, up minus down.
#pragma once

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

    // Saved as the window's bars; the extremes follow from them.
    void save(StateWriter& w) const { bars_.save(w); }
    [[nodiscard]] bool load(StateReader& r) {
        if (!bars_.load(r)) return false;
        highs_.clear();
        lows_.clear();
        next_ = 0;
        for (std::uint64_t i = 0; i < bars_.size(); ++i) {
            const Pair bar = bars_.at(i);
            if (!present(bar.first) || !present(bar.second)) return false;
            enter(bar.first, bar.second);
        }
        return true;
    }

private:
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

    void save(StateWriter& w) const { part_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return part_.load(r); }

private:
    AroonPart part_;
};

}  // namespace quillora::indicators
