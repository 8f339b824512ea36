// Wilder's directional movement: the plus and minus directional indicators, the average
// directional movement index (ADX) and its rating (ADXR).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
        const Movement m = movement(high, low, high_, low_, close_);
        remember(high, low, close);
        if (run_ < period_) {
            plus_ = plus_ + m.dm[0];
            minus_ = minus_ + m.dm[1];
            range_ = range_ + m.range;
            ++run_;
            return false;
        }
        const TwoLanes dm = smooth(TwoLanes{plus_, minus_}, m.dm, period_real_);
        plus_ = dm[0];
        minus_ = dm[1];
        range_ = smooth(range_, m.range, period_real_);
        ready_ = true;
        return true;
    }

    // Takes `length` present bars once ready(), with the previous bar and the sums in registers,
    // and hands each bar's smoothed sums to sink(i, plus, minus, range).
    template <typename Sink>
    void run_ready(const double* high, const double* low, const double* close, std::size_t length,
                   Sink&& sink) noexcept {
        double previous_high = high_, previous_low = low_, previous_close = close_;
        TwoLanes dm = {plus_, minus_};
        double range = range_;
        const double period = period_real_;  // a local: the sink's stores may alias the state
        for (std::size_t i = 0; i < length; ++i) {
            const Movement m = movement(high[i], low[i], previous_high, previous_low, previous_close);
            dm = smooth(dm, m.dm, period);
            range = smooth(range, m.range, period);
            previous_high = high[i];
            previous_low = low[i];
            previous_close = close[i];
            sink(i, dm[0], dm[1], range);
        }
        remember(previous_high, previous_low, previous_close);
        plus_ = dm[0];
        minus_ = dm[1];
        range_ = range;
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
    static double indicator(double dm, double range) noexcept { return range == 0.0 ? 0.0 : 100.0 * (dm / range); }
    // Two of them at once.
    static TwoLanes indicator(TwoLanes dm, TwoLanes range) noexcept {
        const TwoLanes zero = {0.0, 0.0};
        return where(range != zero, 100.0 * (dm / range));
    }

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
    struct Movement {
        TwoLanes dm;  // +DM, -DM
        double range;
    };
    // A bar's movements and true range from the previous bar. The two movements are the same
    // test mirrored (+DM: up > 0 and up > down; -DM: down > 0 and down > up), made on both at
    // once with a mask, not a branch: which way a bar moved is as unpredictable as the prices.
    // (A bar cannot pass both, so -DM taking precedence needs no test.)
    static Movement movement(double high, double low, double previous_high, double previous_low,
                             double previous_close) noexcept {
        const TwoLanes moves = {high - previous_high, previous_low - low};
        const TwoLanes mirrored = {moves[1], moves[0]};
        const TwoLanes zero = {0.0, 0.0};
        double range = high - low;
        double t = std::fabs(high - previous_close);
        range = t > range ? t : range;
        t = std::fabs(low - previous_close);
        range = t > range ? t : range;
        return Movement{where((moves > zero) & (moves > mirrored), moves), range};
    }
    // +DM and -DM side by side: one divide for both.
    template <typename T>
    static T smooth(T sum, T x, double period) noexcept {
        return sum - sum / period + x;
    }

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
// movements are exactly zero (no directional movement, so no trend). Movements that overflowed
// give the missing marker: fabs clears the sign of the NaN they make, and where two NaNs of either
// sign meet in the average the compiler's operand order would pick the result's bits.
inline double directional_index(double plus, double minus) noexcept {
    const double sum = plus + minus;
    if (sum == 0.0) return 0.0;
    const double index = 100.0 * (std::fabs(plus - minus) / sum);
    return index == index ? index : missing_value;
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
        average_ = next(average_, x);
        return true;
    }
    // The seeded average after `average`, taking x: for a caller that keeps it in a register and
    // hands it back with resume().
    double next(double average, double x) const noexcept { return (average * kept_ + x) / period_real_; }
    void resume(double average) noexcept { average_ = average; }
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
        out[0] = DirectionalPart::indicator(Plus ? part_.plus() : part_.minus(), part_.range());
    }

    // Steps through the warm-up, then runs the smoothing with the sums in registers.
    void run_present(const double* const* in, double* const* out, std::size_t length) noexcept {
        std::size_t i = 0;
        for (; i < length && !part_.ready(); ++i) step_bar<3, 1>(*this, in, out, i);
        // The smoothings a block at a time into scratch, then the block's divides: off the
        // smoothings' chain, they do not queue before its divides.
        double movement[block], range[block];
        while (i < length) {
            const std::size_t n = std::min(block, length - i);
            part_.run_ready(in[0] + i, in[1] + i, in[2] + i, n,
                            [&movement, &range](std::size_t j, double plus, double minus, double tr) {
                                movement[j] = Plus ? plus : minus;
                                range[j] = tr;
                            });
            double* result = out[0] + i;
            std::size_t j = 0;
            for (; j + 2 <= n; j += 2) {
                TwoLanes dm, tr;
                std::memcpy(&dm, movement + j, sizeof dm);
                std::memcpy(&tr, range + j, sizeof tr);
                const TwoLanes value = DirectionalPart::indicator(dm, tr);
                std::memcpy(result + j, &value, sizeof value);
            }
            if (j < n) result[j] = DirectionalPart::indicator(movement[j], range[j]);
            i += n;
        }
    }

    void save(StateWriter& w) const { part_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return part_.load(r); }

private:
    static constexpr std::size_t block = 512;

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
        if (!part_.add(in[0], in[1], in[2]) || !average_.add(directional_index(part_.plus(), part_.minus()))) {
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

    // Steps until the first ADX, then runs the smoothings and the average in registers. ADXR
    // takes its ADX a block at a time into a scratch, lagging each by the block itself or, for
    // the first `period - 1` bars of a block, by the values kept in the state.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        std::size_t i = 0;
        for (; i < length && !average_.seeded(); ++i) step_bar<3, 1>(*this, in, out, i);
        if (i == length) return;
        if constexpr (!Rated) {
            run_average(in, out[0] + i, i, length - i);
        } else {
            const std::uint64_t period = lag_.capacity();
            double adx[block];
            while (i < length) {
                const std::size_t n = std::min(block, length - i);
                lag_.reserve_for(n);
                run_average(in, adx, i, n);
                double* result = out[0] + i;
                const std::uint64_t kept = lag_.size();
                // Bar j's lagged ADX is entry kept + j - (period - 1) of the kept values followed
                // by the block's, and there is none before the kept values fill.
                std::size_t j = 0;
                for (; j < n && j + 1 < period; ++j) {
                    const std::uint64_t at = kept + j;
                    result[j] = at + 1 < period ? missing_value : (adx[j] + lag_.at(at + 1 - period)) / 2.0;
                }
                const std::size_t lag = static_cast<std::size_t>(period - 1);
                for (; j < n; ++j) result[j] = (adx[j] + adx[j - lag]) / 2.0;
                lag_.push_run(adx, n);
                i += n;
            }
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
    static constexpr std::size_t block = 512;

    // The ADX of bars [first, first + length) of a run, the average seeded, into `adx`.
    void run_average(const double* const* in, double* adx, std::size_t first, std::size_t length) noexcept {
        double average = average_.value();
        const DirectionalAverage form = average_;  // a copy: the stores to `adx` may alias the state
        part_.run_ready(in[0] + first, in[1] + first, in[2] + first, length,
                        [adx, &average, form](std::size_t j, double plus, double minus, double) {
                            average = form.next(average, directional_index(plus, minus));
                            adx[j] = average;
                        });
        average_.resume(average);
    }

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
