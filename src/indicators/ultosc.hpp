// Williams' ultimate oscillator: buying pressure over true range on three windows, weighted 4, 2
// and 1 from the shortest window to the longest.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "indicator.hpp"
#include "trend_parts.hpp"

namespace quillora::indicators {

// Order of operations: the three periods are sorted ascending (the weights go by length, not by
// position). Each bar after the first, from the previous close: true low = low if low < previous
// close else previous close, pressure bp = close - true low; true range tr = high - low, then
// t = |previous close - high| replaces it if t > tr, then t = |previous close - low| replaces it
// if t > tr. Each window keeps a pressure sum and a range sum as WindowSum says, the new terms
// added before the value and the terms leaving next removed after it. The value is
// o = 0.0; o = o + 4.0 * r1; o = o + 2.0 * r2; o = o + r3; 100.0 * (o / 7.0), with
// rk = pressure sum / range sum of window k, and 0.5 (the middle) when that range sum is exactly
// zero. A missing bar clears the windows and the previous close, so the next value comes the
// longest period after the next present bar.
class UltoscState {
public:
    static constexpr const char* name = "ultosc";
    static constexpr const char* class_name = "UltoscState";
    static constexpr std::size_t inputs = 3, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 3 && p.reals.empty() && p.counts[0] >= 1 && p.counts[1] >= 1 && p.counts[2] >= 1;
    }
    explicit UltoscState(const Parameters& p) noexcept
        : periods_(sorted(p.counts[0], p.counts[1], p.counts[2])), terms_(periods_[2]) {}

    void step(const double* in, double* out) {
        if (!present_bar<3>(in)) {
            clear();
            out[0] = missing_value;
            return;
        }
        terms_.make_room();
        const double high = in[0], low = in[1], close = in[2];
        if (!has_previous_) {
            previous_ = close;
            has_previous_ = true;
            out[0] = missing_value;
            return;
        }
        const double true_low = low < previous_ ? low : previous_;
        const double pressure = close - true_low;
        double range = high - low;
        double t = std::fabs(previous_ - high);
        if (t > range) range = t;
        t = std::fabs(previous_ - low);
        if (t > range) range = t;
        previous_ = close;

        // The three windows one after the other, not in a loop the compiler may keep rolled.
        enter(0, pressure, range);
        enter(1, pressure, range);
        enter(2, pressure, range);
        terms_.push(Pair{pressure, range});
        const std::uint64_t size = terms_.size();
        out[0] = size < periods_[2] ? missing_value : value();
        leave(0, size);
        leave(1, size);
        leave(2, size);
    }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_);
        terms_.save(w);
        for (int k = 0; k < 3; ++k) {
            w.real(pressure_[k].value());
            w.real(range_[k].value());
        }
    }
    [[nodiscard]] bool load(StateReader& r) {
        std::uint64_t has_previous = 0;
        if (!r.count(has_previous) || has_previous > 1 || !r.real(previous_) || !terms_.load(r)) return false;
        has_previous_ = has_previous == 1;
        if (!has_previous_ && !terms_.empty()) return false;
        const std::uint64_t size = terms_.size();
        for (int k = 0; k < 3; ++k) {
            double pressure = 0.0, range = 0.0;
            if (!r.real(pressure) || !r.real(range)) return false;
            // Between bars window k sums the last period - 1 terms once it has been full.
            const std::uint64_t held = size < periods_[k] ? size : periods_[k] - 1;
            std::uint64_t pressures = 0, ranges = 0;
            for (std::uint64_t i = size - held; i < size; ++i) {
                pressures += terms_.at(i).first != 0.0;
                ranges += terms_.at(i).second != 0.0;
            }
            if (!pressure_[k].restore(pressure, pressures) || !range_[k].restore(range, ranges)) return false;
        }
        return true;
    }

private:
    struct Periods {
        std::uint64_t values[3];
        std::uint64_t operator[](int k) const noexcept { return values[k]; }
    };
    static Periods sorted(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
        Periods p{{a, b, c}};
        std::sort(p.values, p.values + 3);
        return p;
    }

    void enter(int k, double pressure, double range) noexcept {
        pressure_[k].add(pressure);
        range_[k].add(range);
    }
    // Drops from window k the term that leaves it at the next bar, once the window is full.
    void leave(int k, std::uint64_t size) noexcept {
        if (size < periods_[k]) return;
        const Pair& leaving = terms_.at(size - periods_[k]);
        pressure_[k].remove(leaving.first);
        range_[k].remove(leaving.second);
    }
    double value() const noexcept {
        double o = 0.0;
        o = o + 4.0 * ratio(0);
        o = o + 2.0 * ratio(1);
        o = o + ratio(2);
        return 100.0 * (o / 7.0);
    }
    double ratio(int k) const noexcept {
        const double range = range_[k].value();
        return range == 0.0 ? 0.5 : pressure_[k].value() / range;
    }
    void clear() noexcept {
        has_previous_ = false;
        terms_.clear();
        for (int k = 0; k < 3; ++k) {
            pressure_[k].clear();
            range_[k].clear();
        }
    }

    Periods periods_;
    Ring<Pair> terms_;  // the last longest-period (pressure, range) terms
    WindowSum pressure_[3], range_[3];
    bool has_previous_ = false;
    double previous_ = missing_value;
};

}  // namespace quillora::indicators
