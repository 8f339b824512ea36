// Williams' ultimate oscillator: buying pressure over true range on three windows, weighted 4, 2
// and 1 from the shortest window to the longest.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "indicator.hpp"
#include "trend_parts.hpp"

namespace quillora::indicators {

// Order of operations: the three periods are sorted ascending (the weights go by length, not by
// position). Each bar after the first, from the previous close: true low = low if low < previous
// close else previous close, pressure bp = close - true low; true range tr = high - low, then
// t = |previous close - high| replaces it if t > tr, then t = |previous close - low| replaces it
// if t > tr. Each window keeps a pressure sum and a range sum as WindowSums says, the new terms
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
        const TwoLanes t = term(high, low, close, previous_);
        previous_ = close;
        const TwoLanes counted = nonzero(t);
        for (int k = 0; k < 3; ++k) sums_[k].add(t, counted);
        terms_.push(pair(t));
        const std::uint64_t size = terms_.size();
        out[0] = size < periods_[2] ? missing_value : value(sums_[0].value(), sums_[1].value(), sums_[2].value());
        // Each window drops the term that leaves it at the next bar, once it is full.
        for (int k = 0; k < 3; ++k) {
            if (size < periods_[k]) continue;
            const TwoLanes leaving = lanes(terms_.at(size - periods_[k]));
            sums_[k].remove(leaving, nonzero(leaving));
        }
    }

    // Steps until the longest window is full, then runs blocks of bars, two bars at a time in one
    // loop: each bar's term, the three windows' sums with the leaving terms read from a scratch
    // that holds the longest window's terms before the block's, then the two bars' values with
    // their divides two to a register. A window longer than the scratch holds is stepped.
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        std::size_t i = 0;
        for (; i < length && !terms_.full(); ++i) step_bar<3, 1>(*this, in, out, i);
        if (i == length) return;
        if (periods_[2] - 1 > most_history) {
            for (; i < length; ++i) step_bar<3, 1>(*this, in, out, i);
            return;
        }
        const std::size_t history = static_cast<std::size_t>(periods_[2] - 1);
        TwoLanes terms[most_history + block];
        // How many terms ago, per lane, the last non-zero one entered: a window still holds a
        // non-zero term after its removal while that is below the terms it keeps (its lag). One
        // count for the three windows, where each would count its own.
        const TwoLanes lag0 = both(static_cast<double>(periods_[0] - 1));
        const TwoLanes lag1 = both(static_cast<double>(periods_[1] - 1));
        const TwoLanes lag2 = both(static_cast<double>(history));
        TwoLanes age = lag2;
        for (std::size_t k = 0; k < history; ++k) {
            terms[k] = lanes(terms_.at(terms_.size() - history + k));
            age = since_nonzero(age, terms[k]);
        }
        double previous = previous_;
        // Three locals, not an array: the compiler keeps them in registers.
        WindowSums window0 = sums_[0], window1 = sums_[1], window2 = sums_[2];
        const std::size_t drop0 = history - static_cast<std::size_t>(periods_[0] - 1);
        const std::size_t drop1 = history - static_cast<std::size_t>(periods_[1] - 1);
        // Bar j of the block (its term is terms[history + j]): the term enters the three windows,
        // their sums are the bar's, and each window drops the term that leaves it next, window
        // k the one lag k terms before the bar's.
        struct Sums {
            TwoLanes s0, s1, s2;
        };
        auto bar = [&](std::size_t j, const double* high, const double* low, const double* close)
                       __attribute__((always_inline)) {
                           const TwoLanes t = term(high[j], low[j], close[j], previous);
                           previous = close[j];
                           terms[history + j] = t;
                           age = since_nonzero(age, t);
                           window0.add_uncounted(t);
                           window1.add_uncounted(t);
                           window2.add_uncounted(t);
                           const Sums sums{window0.value(), window1.value(), window2.value()};
                           window0.remove_uncounted(terms[drop0 + j]);
                           window1.remove_uncounted(terms[drop1 + j]);
                           window2.remove_uncounted(terms[j]);
                           // While a non-zero term came within the shortest window (lag), every window holds
                           // one; else (flat prices) each keeps its sum only while it holds one.
                           const TwoMask recent = age < lag0;
                           if (!(recent[0] & recent[1])) [[unlikely]] {
                               window0.reset_unless(age < lag0);
                               window1.reset_unless(age < lag1);
                               window2.reset_unless(age < lag2);
                           }
                           return sums;
                       };
        while (i < length) {
            const std::size_t n = std::min(block, length - i);
            const double *high = in[0] + i, *low = in[1] + i, *close = in[2] + i;
            double* result = out[0] + i;
            // Two bars at a time, so that their divides go two to a register; in one loop with
            // the terms and the sums, which the divides leave time for.
            std::size_t j = 0;
            for (; j + 2 <= n; j += 2) {
                const Sums a = bar(j, high, low, close), b = bar(j + 1, high, low, close);
                TwoLanes v = oscillator(ratios(a.s0, b.s0), ratios(a.s1, b.s1), ratios(a.s2, b.s2));
                // A window without range gives a ratio of inf or NaN and so a value that is not
                // finite: only then (or where the value overflows) do the ratios need their test.
                const TwoMask finite = v - v == TwoLanes{0.0, 0.0};
                if (!(finite[0] & finite[1])) [[unlikely]]
                    v = oscillator(tested_ratios(a.s0, b.s0), tested_ratios(a.s1, b.s1), tested_ratios(a.s2, b.s2));
                std::memcpy(result + j, &v, sizeof v);
            }
            if (j < n) {
                const Sums a = bar(j, high, low, close);
                result[j] = value(a.s0, a.s1, a.s2);
            }
            terms_.push_run(terms + history, n, pair);
            // The last `history` terms become the next block's.
            std::memmove(terms, terms + n, history * sizeof(TwoLanes));
            i += n;
        }
        previous_ = previous;
        // Each window's count of non-zero terms: those among the last lag k terms.
        const std::size_t drops[3] = {drop0, drop1, 0};
        WindowSums* windows[3] = {&window0, &window1, &window2};
        for (int k = 0; k < 3; ++k) {
            TwoLanes counts = {0.0, 0.0};
            for (std::size_t at = drops[k]; at < history; ++at) counts = counts + WindowSums::counted(terms[at]);
            windows[k]->resume_counts(counts);
            sums_[k] = *windows[k];
        }
    }

    void save(StateWriter& w) const {
        w.count(has_previous_ ? 1 : 0);
        w.real(previous_);
        terms_.save(w);
        for (int k = 0; k < 3; ++k) {
            w.real(sums_[k].value()[0]);
            w.real(sums_[k].value()[1]);
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
            if (!sums_[k].restore(pressure, range, pressures, ranges)) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t block = 128, most_history = 512;

    struct Periods {
        std::uint64_t values[3];
        std::uint64_t operator[](int k) const noexcept { return values[k]; }
    };
    static Periods sorted(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
        Periods p{{a, b, c}};
        std::sort(p.values, p.values + 3);
        return p;
    }

    // A bar's (pressure, true range) from the previous close.
    static TwoLanes term(double high, double low, double close, double previous) noexcept {
        const double true_low = low < previous ? low : previous;
        double range = high - low;
        double t = std::fabs(previous - high);
        range = t > range ? t : range;
        t = std::fabs(previous - low);
        range = t > range ? t : range;
        return TwoLanes{close - true_low, range};
    }
    static TwoLanes nonzero(TwoLanes t) noexcept { return WindowSums::counted(t); }
    static TwoLanes both(double x) noexcept { return TwoLanes{x, x}; }
    // The terms since the last non-zero one, t included: 0 where t is not zero.
    static TwoLanes since_nonzero(TwoLanes age, TwoLanes t) noexcept {
        return t != TwoLanes{0.0, 0.0} ? TwoLanes{0.0, 0.0} : age + 1.0;
    }

    // The oscillator of the three windows' ratios, lane by lane.
    template <typename T>
    static T oscillator(T r1, T r2, T r3) noexcept {
        T o = T{};  // 0.0
        o = o + 4.0 * r1;
        o = o + 2.0 * r2;
        o = o + r3;
        return 100.0 * (o / 7.0);
    }
    // The ratios of two bars' (pressure, range) sums of one window, without the test for a
    // zero range, and with it.
    static TwoLanes ratios(TwoLanes a, TwoLanes b) noexcept {
        const TwoLanes pressure = {a[0], b[0]}, range = {a[1], b[1]};
        return pressure / range;
    }
    static TwoLanes tested_ratios(TwoLanes a, TwoLanes b) noexcept {
        const TwoLanes pressure = {a[0], b[0]}, range = {a[1], b[1]};
        return range == TwoLanes{0.0, 0.0} ? TwoLanes{0.5, 0.5} : pressure / range;
    }
    static double ratio(TwoLanes sums) noexcept { return sums[1] == 0.0 ? 0.5 : sums[0] / sums[1]; }
    static double value(TwoLanes s1, TwoLanes s2, TwoLanes s3) noexcept {
        return oscillator(ratio(s1), ratio(s2), ratio(s3));
    }
    void clear() noexcept {
        has_previous_ = false;
        terms_.clear();
        for (int k = 0; k < 3; ++k) sums_[k].clear();
    }

    Periods periods_;
    Ring<Pair> terms_;    // the last longest-period (pressure, range) terms
    WindowSums sums_[3];  // each window's (pressure, range) sums
    bool has_previous_ = false;
    double previous_ = missing_value;
};

}  // namespace quillora::indicators
