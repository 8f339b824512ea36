// Wilder's directional movement: the plus and minus directional indicators, the average
// directional movement index (ADX) and its rating (ADXR).
#pragma once

#include <cmath>
#include <cstdint>

#include "indicator.hpp"
#include "trend_parts.hpp"

namespace quillora::indicators {

// The smoothed directional movements and true range of a high, low, close series.
//
// Order of operations, for each bar after the first, from the previous bar's high, low, close:
// up = high - previous high, down = previous low - low; -DM = down if down > 0 and up < down,
// else +DM = up if up > 0 and up > down, the other (or both) 0.0. The true range is
// tr = high - low, then t = |high - previous close| replaces it if t > tr, then
// t = |low - previous close| replaces it if t > tr. The seed sums start at 0.0 and add the
// +DM, -DM and tr of the first `period - 1` bars after the first, in order; each later bar
// smooths s = (s - s / period) + x with the period converted to double once. The values are
// there from that first smoothing on: bar `period` counting the first bar as 0.
//
// Takes one present bar at a time; the states say what a missing bar does.
class DirectionalPart {
public:
    explicit DirectionalPart(std::uint64_t period) noexcept
        : period_(period), period_real_(static_cast<double>(period)) {}

    // Takes a present bar; true once plus(), minus() and range() hold the smoothed sums.
    bool add(double high, double low, double close) noexcept {
        if (run_ == 0) {
            remember(high, low, close);
            run_ = 1;
            return false;
        }
        const double up = high - high_;
        const double down = low_ - low;
        double plus = 0.0, minus = 0.0;
        if (down > 0.0 && up < down) {
            minus = down;
        } else if (up > 0.0 && up > down) {
            plus = up;
        }
        double range = high - low;
        double t = std::fabs(high - close_);
        if (t > range) range = t;
        t = std::fabs(low - close_);
        if (t > range) range = t;
        remember(high, low, close);
        if (run_ < period_) {
            plus_ = plus_ + plus;
            minus_ = minus_ + minus;
            range_ = range_ + range;
            ++run_;
            return false;
        }
        plus_ = plus_ - plus_ / period_real_ + plus;
        minus_ = minus_ - minus_ / period_real_ + minus;
        range_ = range_ - range_ / period_real_ + range;
        ready_ = true;
        return true;
    }
    bool ready() const noexcept { return ready_; }
    // Forgets the bars of an unfinished warm-up (a missing bar inside it).
    void restart_warmup() noexcept {
        if (!ready_) {
            run_ = 0;
            plus_ = minus_ = range_ = 0.0;
        }
    }

    double plus() const noexcept { return plus_; }
    double minus() const noexcept { return minus_; }
    double range() const noexcept { return range_; }

    // A directional indicator from its smoothed movement: 100 * (dm / tr); 0 when the smoothed
    // true range is exactly zero (no range, so no movement either).
    double indicator(double dm) const noexcept { return range_ == 0.0 ? 0.0 : 100.0 * (dm / range_); }

    void save(StateWriter& w) const {
        w.count(run_);
        w.count(ready_ ? 1 : 0);
        w.real(high_);
        w.real(low_);
        w.real(close_);
        w.real(plus_);
        w.real(minus_);
        w.real(range_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        std::uint64_t ready = 0;
        if (!r.count(run_) || run_ > period_ || !r.count(ready) || ready > 1 || (ready == 1 && run_ != period_))
            return false;
        ready_ = ready == 1;
        return r.real(high_) && r.real(low_) && r.real(close_) && r.real(plus_) && r.real(minus_) && r.real(range_);
    }

private:
    void remember(double high, double low, double close) noexcept {
        high_ = high;
        low_ = low;
        close_ = close;
    }

    std::uint64_t period_;
    double period_real_;
    std::uint64_t run_ = 0;  // bars taken in the warm-up: the first, then the seed sums'
    bool ready_ = false;     // smoothed at least once
    double high_ = missing_value, low_ = missing_value, close_ = missing_value;
    double plus_ = 0.0, minus_ = 0.0, range_ = 0.0;
};

// The directional movement index of the smoothed movements: 100 * (|+DM - -DM| / (+DM + -DM)),
// the same as from the two indicators (the true range cancels) with fewer roundings; 0 when both
// movements are exactly zero (no directional movement, so no trend).
inline double directional_index(const DirectionalPart& part) noexcept {
    const double sum = part.plus() + part.minus();
    return sum == 0.0 ? 0.0 : 100.0 * (std::fabs(part.plus() - part.minus()) / sum);
}

// Wilder's average of the directional index: the mean of the first `period` values (sum from 0.0
// in order, sum / period), then average = (average * (period - 1) + x) / period, both periods
// converted to double once.
class DirectionalAverage {
public:
    explicit DirectionalAverage(std::uint64_t period) noexcept
        : period_(period), period_real_(static_cast<double>(period)), kept_(static_cast<double>(period - 1)) {}

    // Takes a value; true once value() holds the average.
    bool add(double x) noexcept {
        if (run_ < period_) {
            sum_ = sum_ + x;
            if (++run_ < period_) return false;
            average_ = sum_ / period_real_;
            return true;
        }
        average_ = (average_ * kept_ + x) / period_real_;
        return true;
    }
    bool seeded() const noexcept { return run_ == period_; }
    bool empty() const noexcept { return run_ == 0; }
    double value() const noexcept { return average_; }
    void restart_seed() noexcept {
        if (run_ < period_) {
            run_ = 0;
            sum_ = 0.0;
        }
    }

    void save(StateWriter& w) const {
        w.count(run_);
        w.real(sum_);
        w.real(average_);
    }
    [[nodiscard]] bool load(StateReader& r) noexcept {
        return r.count(run_) && run_ <= period_ && r.real(sum_) && r.real(average_);
    }

private:
    std::uint64_t period_;
    double period_real_, kept_;
    std::uint64_t run_ = 0;
    double sum_ = 0.0;
    double average_ = missing_value;
};

// The plus (Plus = true) or minus directional indicator: 100 * (smoothed DM / smoothed tr).
// A missing bar before the first value restarts the warm-up; after it, it is skipped (the next
// bar's movements are taken from the last present bar).
template <bool Plus>
class DirectionalIndicatorState {
public:
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 1;
    }
    explicit DirectionalIndicatorState(const Parameters& p) noexcept : part_(p.counts[0]) {}

    void step(const double* in, double* out) noexcept {
        if (!present_bar<3>(in)) {
            part_.restart_warmup();
            out[0] = missing_value;
            return;
        }
        if (!part_.add(in[0], in[1], in[2])) {
            out[0] = missing_value;
            return;
        }
        out[0] = part_.indicator(Plus ? part_.plus() : part_.minus());
    }

    void save(StateWriter& w) const { part_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return part_.load(r); }

private:
    DirectionalPart part_;
};

class PlusDiState : public DirectionalIndicatorState<true> {
public:
    static constexpr const char* name = "plus_di";
    static constexpr const char* class_name = "PlusDiState";
    using DirectionalIndicatorState::DirectionalIndicatorState;
};

class MinusDiState : public DirectionalIndicatorState<false> {
public:
    static constexpr const char* name = "minus_di";
    static constexpr const char* class_name = "MinusDiState";
    using DirectionalIndicatorState::DirectionalIndicatorState;
};

// ADX and, with Rated, ADXR = (ADX + ADX of `period - 1` bars before) / 2.
//
// Order of operations: the directional movements as DirectionalPart says, the index as
// directional_index says, its average as DirectionalAverage says; ADXR adds the ADX of
// `period - 1` present bars before to today's and divides by 2.0.
//
// A missing bar before the movements' first smoothing restarts their warm-up; after it, but
// before the first ADX, it restarts the average's seed (the movements go on); after the first ADX
// it is skipped, and ADXR's lag counts present bars only.
template <bool Rated>
class DirectionalMovementState {
public:
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit DirectionalMovementState(const Parameters& p) noexcept
        : part_(p.counts[0]), average_(p.counts[0]), lag_(Rated ? p.counts[0] : 0) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            part_.restart_warmup();
            average_.restart_seed();
            out[0] = missing_value;
            return;
        }
        if constexpr (Rated) lag_.make_room();
        if (!part_.add(in[0], in[1], in[2]) || !average_.add(directional_index(part_))) {
            out[0] = missing_value;
            return;
        }
        const double adx = average_.value();
        if constexpr (Rated) {
            lag_.push(adx);
            out[0] = lag_.full() ? (adx + lag_.front()) / 2.0 : missing_value;
        } else {
            out[0] = adx;
        }
    }

    void save(StateWriter& w) const {
        part_.save(w);
        average_.save(w);
        if constexpr (Rated) lag_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        if (!part_.load(r) || !average_.load(r) || (!average_.empty() && !part_.ready())) return false;
        if constexpr (Rated) {
            if (!lag_.load(r) || (!lag_.empty() && !average_.seeded())) return false;
        }
        return true;
    }

private:
    DirectionalPart part_;
    DirectionalAverage average_;
    Ring<double> lag_;  // ADXR: the last `period` ADX values
};

class AdxState : public DirectionalMovementState<false> {
public:
    static constexpr const char* name = "adx";
    static constexpr const char* class_name = "AdxState";
    using DirectionalMovementState::DirectionalMovementState;
};

class AdxrState : public DirectionalMovementState<true> {
public:
    static constexpr const char* name = "adxr";
    static constexpr const char* class_name = "AdxrState";
    using DirectionalMovementState::DirectionalMovementState;
};

}  // namespace quillora::indicators
