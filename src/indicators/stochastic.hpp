// Stochastic oscillators: where the close sits in the range of the last highs and lows, raw
// (STOCHF's fast %K) and smoothed by simple averages (fast %D; STOCH's slow %K and %D).
#pragma once

#include <cstdint>

#include "indicator.hpp"
#include "parts.hpp"
#include "window_extremes.hpp"

namespace quillora::indicators {

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

// Fast %K, in percent: ((close - lowest) / (highest - lowest)) * 100.0, and 50.0 where the range
// is flat (highest == lowest, so the close is at both ends).
inline double fast_k(double close, double highest, double lowest) noexcept {
    const double range = highest - lowest;
    return range == 0.0 ? 50.0 : ((close - lowest) / range) * 100.0;
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
    explicit StochfState(const Parameters& p) noexcept : range_(p.counts[0]), d_(p.counts[1]) {}

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
        : slow_k_period_(p.counts[1]), range_(p.counts[0]), slow_k_(p.counts[1]), slow_d_(p.counts[2]) {}

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
    std::uint64_t slow_k_period_;
    RangePart range_;
    SmaPart slow_k_;
    SmaPart slow_d_;
};

}  // namespace quillora::indicators
