// Population variance and standard deviation over a trailing window (VAR, STDDEV).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "indicator.hpp"
#include "vector_pair.hpp"
#include "window.hpp"

namespace quillora::indicators {

// The population variance of the last `period` present samples, O(1) per sample (amortized).
//
// The sum-of-squares form (mean of squares minus squared mean) cancels away the digits the
// variance lives in when the mean is large against the spread (prices around 1e6 with a spread of
// 1 keep about 4 of 16 digits). This part keeps the window's mean and its sum of squared
// deviations M2 instead, both measured from a shift K, a sample of the window: differences of
// nearby prices are exact, so nothing is rounded at the price's magnitude. Each new sample
// replaces the oldest with the sliding form of Welford's update, and the window is re-measured
// from its samples every `period` replacements, so rounding cannot pile up over a long series nor
// K drift far from the prices. It is re-measured early when most of what the updates added to M2
// has cancelled since (their magnitudes summed, the noise, exceed 16 * M2), because their rounding
// would then outweigh what is left, as when the samples that carried the spread leave a
// tight window; such early re-measures are at least max(1, period / 8) replacements apart, so
// even data built to trigger them costs O(1) per sample.
//
// Order of operations, n = period as a double, every step one rounding:
//   measure (when the window fills, after `period` replacements, or early as above): K = the
//     newest sample; s = 0.0, s = s + (x_i - K) over the window oldest first; m = s / n;
//     q = 0.0, e = (x_i - K) - m, q = q + e * e over the window oldest first; M2 = q; noise = 0.0.
//   replacing the oldest sample o by x: a = x - K; b = o - K; d = a - b; m' = m + d / n;
//     u = d * ((a - m') + (b - m)); M2 = M2 + u; noise = noise + |u|; m = m'; then measure if
//     this was the `period`-th replacement since the last measure, or if at least
//     max(1, period / 8) replacements have passed and noise > 16.0 * M2.
//   a window of `period` equal samples (each equal to the one before, compared with ==): K = x,
//     m = 0.0, M2 = 0.0, noise = 0.0 (what a measure gives), as a measure.
//   variance = M2 / n, and 0.0 where that is below zero (rounding in M2).
// `clear` forgets the window (a missing sample entered it).
class VariancePart {
public:
    explicit VariancePart(std::uint64_t period) noexcept
        : window_(period),
          period_(period),
          early_(std::max<std::uint64_t>(1, period / 8)),
          period_real_(static_cast<double>(period)) {}

    // Takes a present sample; true once `value()` holds the variance of a full window. May throw
    // std::bad_alloc while the window grows, and then nothing has changed.
    bool add(double x) {
        const bool was_full = window_.full();
        const bool repeated = window_.size() > 0 && x == window_.newest();
        const double oldest = was_full ? window_.oldest() : 0.0;
        window_.push(x);
        equal_run_ = repeated ? std::min(equal_run_ + 1, period_) : 1;
        if (!was_full) {
            if (!window_.full()) return false;
            measure();
            return true;
        }
        if (equal_run_ == period_) {
            shift_ = x;
            mean_ = 0.0;
            m2_ = 0.0;
            noise_ = 0.0;
            replaced_ = 0;
            return true;
        }
        const double a = x - shift_;
        const double b = oldest - shift_;
        const double d = a - b;
        const double mean = mean_ + d / period_real_;
        const double u = d * ((a - mean) + (b - mean_));
        m2_ = m2_ + u;
        noise_ = noise_ + std::fabs(u);
        mean_ = mean;
        ++replaced_;
        if (replaced_ == period_ || (replaced_ >= early_ && noise_ > 16.0 * m2_)) measure();
        return true;
    }
    double value() const noexcept {
        const double variance = m2_ / period_real_;
        return variance < 0.0 ? 0.0 : variance;
    }

    // As `add` on each of the samples x[from], ..., x[length - 1], all present, where the window
    // is full and holds x[from - period], ..., x[from - 1] (from >= period): calls
    // each_bar(i, m2, quotient) after each sample, in order, with M2 after it (`value` is then
    // variance_of(m2)) and quotient = lane(i) / n, lane(i) called before it. The update's d / n
    // takes one lane of a two-lane divide and lane(i) the other, so a caller divides an earlier
    // bar's M2 (or sum) without a divide of its own: the divider, shared with the square root,
    // is what these loops are short of. The window's samples are read from x, and the state is
    // written back once at the end. With `Stops`, x may hold missing samples from x[from] on: the
    // run ends before the first, and the bar it ends at is returned (length without).
    // Inlined into its caller, so that the caller's locals the callbacks touch stay in registers.
    template <bool Stops, typename Lane, typename EachBar>
    [[gnu::always_inline]] inline std::size_t run_full(const double* x, std::size_t from, std::size_t length, Lane lane,
                                                       EachBar each_bar) {
        const std::size_t period = static_cast<std::size_t>(period_);
        const std::size_t early = static_cast<std::size_t>(early_);
        const double n = period_real_;
        const vector_pair::Pair count = {n, n};
        // Not clamped to `period` inside the loop: a run at or past it is all the test needs.
        std::size_t equal_run = static_cast<std::size_t>(equal_run_), replaced = static_cast<std::size_t>(replaced_);
        double shift = shift_, mean = mean_, sum2 = m2_, noise = noise_;
        // Each block of bars is scanned before its loop, two samples at a time: where no sample
        // equals the one before it, every run of equal samples in it is 1 long and the loop
        // leaves that test out; with `Stops`, a missing sample ends the run there.
        const auto bar = [&](std::size_t i, auto tests_equal) __attribute__((always_inline)) {
            const double xi = x[i];
            const double a = xi - shift;
            const double b = x[i - period] - shift;
            const double d = a - b;
            const vector_pair::Pair quotient = vector_pair::Pair{d, lane(i)} / count;
            if constexpr (decltype(tests_equal)::value) equal_run = xi == x[i - 1] ? equal_run + 1 : 1;
            if (decltype(tests_equal)::value && equal_run >= period) {
                shift = xi;
                mean = 0.0;
                sum2 = 0.0;
                noise = 0.0;
                replaced = 0;
            } else {
                const double next = mean + quotient[0];
                const double u = d * ((a - next) + (b - mean));
                sum2 = sum2 + u;
                noise = noise + std::fabs(u);
                mean = next;
                ++replaced;
                if (replaced == period || (replaced >= early && noise > 16.0 * sum2)) {
                    const double* w = x + (i + 1 - period);
                    double s = 0.0;
                    for (std::size_t j = 0; j < period; ++j) s = s + (w[j] - xi);
                    mean = s / n;
                    double q = 0.0;
                    for (std::size_t j = 0; j < period; ++j) {
                        const double e = (w[j] - xi) - mean;
                        q = q + e * e;
                    }
                    shift = xi;
                    sum2 = q;
                    noise = 0.0;
                    replaced = 0;
                }
            }
            each_bar(i, sum2, quotient[1]);
        };
        constexpr std::size_t block = 64;
        std::size_t first = from;
        while (first < length) {
            std::size_t last = std::min(length, first + block);
            const Scan scan = scan_block<Stops>(x, first, last);
            if (Stops && scan.missing) {
                while (first < last && present(x[first])) bar(first++, std::true_type{});
                break;
            }
            if (scan.repeats) {
                for (std::size_t i = first; i < last; ++i) bar(i, std::true_type{});
            } else {
                for (std::size_t i = first; i < last; ++i) bar(i, std::false_type{});
                equal_run = 1;
            }
            first = last;
        }
        const std::size_t end = first;
        window_.push_run(x + from, end - from);
        equal_run_ = std::min(equal_run, period);
        replaced_ = replaced;
        shift_ = shift;
        mean_ = mean;
        m2_ = sum2;
        noise_ = noise;
        return end;
    }
    struct Scan {
        bool repeats, missing;
    };
    // Whether x[i] == x[i - 1] for any i in [first, last), first >= 1, and with `Stops` whether any
    // x[i] is missing (x - x is +0.0 for a present sample, NaN otherwise), two at a time.
    template <bool Stops>
    static Scan scan_block(const double* x, std::size_t first, std::size_t last) noexcept {
        vector_pair::PairMask repeated = {0, 0}, missing = {0, 0};
        std::size_t i = first;
        for (; i + 2 <= last; i += 2) {
            const vector_pair::Pair now = vector_pair::load(x + i);
            repeated |= now == vector_pair::load(x + i - 1);
            if constexpr (Stops) missing |= reinterpret_cast<vector_pair::PairMask>(now - now);
        }
        Scan scan{(repeated[0] | repeated[1]) != 0, Stops && (missing[0] | missing[1]) != 0};
        for (; i < last; ++i) {
            scan.repeats = scan.repeats || x[i] == x[i - 1];
            scan.missing = scan.missing || (Stops && !present(x[i]));
        }
        return scan;
    }
    // As above with nothing in the second lane: each_bar(i, m2).
    template <bool Stops, typename EachBar>
    [[gnu::always_inline]] inline std::size_t run_full(const double* x, std::size_t from, std::size_t length,
                                                       EachBar each_bar) {
        return run_full<Stops>(
            x, from, length, [](std::size_t) { return 0.0; },
            [&each_bar](std::size_t i, double m2, double) { each_bar(i, m2); });
    }
    // The variance `value` gives for M2 = m2.
    double variance_of(double m2) const noexcept {
        const double variance = m2 / period_real_;
        return variance < 0.0 ? 0.0 : variance;
    }
    std::uint64_t period() const noexcept { return period_; }
    double period_real() const noexcept { return period_real_; }
    bool full() const noexcept { return window_.full(); }
    // The sample the next `add` replaces; only when full.
    double oldest() const noexcept { return window_.oldest(); }

    void clear() noexcept {
        window_.clear();
        equal_run_ = 0;
        replaced_ = 0;
        shift_ = 0.0;
        mean_ = 0.0;
        m2_ = 0.0;
        noise_ = 0.0;
    }

    void save(StateWriter& w) const {
        window_.save(w);
        w.count(equal_run_);
        w.count(replaced_);
        w.real(shift_);
        w.real(mean_);
        w.real(m2_);
        w.real(noise_);
    }
    // Refuses what `add` cannot leave: a run that is not the window's run of equal newest
    // samples, replacements before it filled or as many as a measure resets, accumulators before
    // it filled, a full window of equal samples not measured as one.
    [[nodiscard]] bool load(StateReader& r) {
        if (!window_.load(r) || !r.count(equal_run_) || !r.count(replaced_)) return false;
        if (!r.real(shift_) || !r.real(mean_) || !r.real(m2_) || !r.real(noise_)) return false;
        const std::uint64_t size = window_.size();
        for (std::uint64_t i = 0; i < size; ++i)
            if (!present(window_.at(i))) return false;
        std::uint64_t run = size > 0 ? 1 : 0;
        while (run < size && window_.at(size - 1 - run) == window_.newest()) ++run;
        if (equal_run_ != run || replaced_ >= period_) return false;
        const bool zero = mean_ == 0.0 && m2_ == 0.0 && noise_ == 0.0;
        if (!window_.full()) return replaced_ == 0 && shift_ == 0.0 && zero;
        if (equal_run_ == period_) return replaced_ == 0 && shift_ == window_.newest() && zero;
        return !(noise_ < 0.0) && (replaced_ > 0 || noise_ == 0.0);
    }

private:
    void measure() noexcept {
        const double shift = window_.newest();
        const std::uint64_t size = window_.size();
        double s = 0.0;
        for (std::uint64_t i = 0; i < size; ++i) s = s + (window_.at(i) - shift);
        const double mean = s / period_real_;
        double q = 0.0;
        for (std::uint64_t i = 0; i < size; ++i) {
            const double e = (window_.at(i) - shift) - mean;
            q = q + e * e;
        }
        shift_ = shift;
        mean_ = mean;
        m2_ = q;
        noise_ = 0.0;
        replaced_ = 0;
    }

    Window window_;
    std::uint64_t period_;
    std::uint64_t early_;  // the fewest replacements before an early measure
    double period_real_;
    std::uint64_t equal_run_ = 0;  // newest samples equal to each other, at most `period_`
    std::uint64_t replaced_ = 0;   // replacements since the last measure, below `period_`
    double shift_ = 0.0;           // K
    double mean_ = 0.0;            // the window's mean minus K
    double m2_ = 0.0;              // the sum of squared deviations from the mean
    double noise_ = 0.0;           // |updates to M2| summed since the last measure
};

namespace variance_detail {

using vector_pair::load;
using vector_pair::Pair;
using vector_pair::PairMask;
using vector_pair::store;

// How many bars after its own a bar's M2 is divided (in that later bar's update): far enough that
// the divide does not wait on the recurrence.
constexpr std::size_t lag = 8;

// The correctly rounded square root of each lane (with SSE2 one instruction: std::sqrt keeps a
// scalar call for errno, which stops a loop from vectorizing).
inline Pair sqrt(Pair v) noexcept {
#if defined(__SSE2__)
    return _mm_sqrt_pd(v);
#else
    return Pair{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

// v < 0.0 ? 0.0 : v in one instruction (max returns its second operand unless the first is
// greater, so -0.0 and NaN pass as they are).
inline double not_below_zero(double v) noexcept {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_max_sd(_mm_setzero_pd(), _mm_set_sd(v)));
#else
    return v < 0.0 ? 0.0 : v;
#endif
}
inline Pair not_below_zero(Pair v) noexcept {
#if defined(__SSE2__)
    return _mm_max_pd(_mm_setzero_pd(), v);
#else
    const Pair zero = {0.0, 0.0};
    return v < zero ? zero : v;
#endif
}

// The variance of M2 m over n, two at a time.
inline Pair variance(Pair m, Pair n) noexcept { return not_below_zero(m / n); }

// v[i] = the variance of M2 v[i] over n, M2 / n and 0.0 below zero, for i in [first, last), two
// at a time.
inline void variances(double* v, std::size_t first, std::size_t last, double n) noexcept {
    const Pair count = {n, n};
    std::size_t i = first;
    for (; i + 2 <= last; i += 2) store(v + i, variance(load(v + i), count));
    for (; i < last; ++i) {
        const double variance = v[i] / n;
        v[i] = variance < 0.0 ? 0.0 : variance;
    }
}

// v[i] = sqrt(variance) * factor, the variance of M2 v[i] over n, for i in [first, last), two at a
// time.
inline void deviations(double* v, std::size_t first, std::size_t last, double n, double factor) noexcept {
    const Pair count = {n, n}, f = {factor, factor};
    std::size_t i = first;
    for (; i + 2 <= last; i += 2) store(v + i, sqrt(variance(load(v + i), count)) * f);
    for (; i < last; ++i) {
        const double variance = v[i] / n;
        v[i] = std::sqrt(variance < 0.0 ? 0.0 : variance) * factor;
    }
}

// A whole series for a state over a window of `period` samples: bars are stepped until `period`
// present samples precede one in the array, then read(x, v, bar, length) takes the bars from it
// on while they are present and returns where it stopped (a missing sample, stepped next).
template <typename State, typename Read>
void run_series_with(State& state, std::uint64_t period, const double* const* in, double* const* out,
                     std::size_t length, Read read) {
    const double* x = in[0];
    std::uint64_t clean = 0;  // present samples just before `bar`, within the array
    std::size_t bar = 0;
    while (bar < length) {
        if (clean < period) {
            step_bars(state, in, out, bar, bar + 1);
            clean = present(x[bar]) ? clean + 1 : 0;
            ++bar;
            continue;
        }
        bar = read(x, out[0], bar, length);
        clean = 0;
    }
}

}  // namespace variance_detail

// VAR: the population variance of the last `period` samples (the VariancePart above). A missing
// sample clears the window; the next value comes `period` present samples later.
class VarState {
public:
    static constexpr const char* name = "var";
    static constexpr const char* class_name = "VarState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit VarState(const Parameters& p) noexcept : variance_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            variance_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] = variance_.add(x) ? variance_.value() : missing_value;
    }

    // Whole series: once `period` present samples precede a bar in the array, the bars from it
    // on read their window from x up to the next missing sample, which is stepped with the bars
    // after it until `period` present ones precede the next. Missing samples are looked for block
    // by block in the loop's own scan, not in a pass of their own ahead of it.
    void run(const double* const* in, double* const* out, std::size_t length) {
        variance_detail::run_series_with(*this, variance_.period(), in, out, length,
                                         [this](const double* x, double* v, std::size_t from, std::size_t last) {
                                             return run_read(x, v, from, last);
                                         });
    }

    void save(StateWriter& w) const { variance_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return variance_.load(r); }

private:
    // v[i] holds M2 until bar i + lag divides it in its update's divide.
    std::size_t run_read(const double* x, double* v, std::size_t from, std::size_t length) {
        constexpr std::size_t lag = variance_detail::lag;
        const std::size_t lagged = std::min(length, from + lag);
        std::size_t end = variance_.run_full<true>(x, from, lagged, [v](std::size_t i, double m2) { v[i] = m2; });
        if (end == lagged && end < length) {
            end = variance_.run_full<true>(
                x, lagged, length, [v](std::size_t i) { return v[i - lag]; },
                [v](std::size_t i, double m2, double variance) {
                    v[i - lag] = variance_detail::not_below_zero(variance);
                    v[i] = m2;
                });
        }
        variance_detail::variances(v, end > from + lag ? end - lag : from, end, variance_.period_real());
        return end;
    }

    VariancePart variance_;
};

// STDDEV: sqrt(variance) * nbdev, the variance as in VAR (sqrt correctly rounded). A missing
// sample clears the window; the next value comes `period` present samples later.
class StddevState {
public:
    static constexpr const char* name = "stddev";
    static constexpr const char* class_name = "StddevState";
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.size() == 1 && p.counts[0] >= 2 && present(p.reals[0]);
    }
    explicit StddevState(const Parameters& p) noexcept : variance_(p.counts[0]), nbdev_(p.reals[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            variance_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] = variance_.add(x) ? std::sqrt(variance_.value()) * nbdev_ : missing_value;
    }

    // As VAR's.
    void run(const double* const* in, double* const* out, std::size_t length) {
        variance_detail::run_series_with(*this, variance_.period(), in, out, length,
                                         [this](const double* x, double* v, std::size_t from, std::size_t last) {
                                             return run_read(x, v, from, last);
                                         });
    }

    void save(StateWriter& w) const { variance_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return variance_.load(r); }

private:
    // v[i] holds M2 until bar i + lag divides it in its update's divide; the square roots are
    // taken two bars at a time, every other bar.
    std::size_t run_read(const double* x, double* v, std::size_t from, std::size_t length) {
        constexpr std::size_t lag = variance_detail::lag;
        using variance_detail::Pair;
        const std::size_t lagged = std::min(length, from + lag);
        std::size_t end = variance_.run_full<true>(x, from, lagged, [v](std::size_t i, double m2) { v[i] = m2; });
        std::size_t paired = from;  // bars before it hold their deviation, the rest M2
        if (end == lagged && end < length) {
            const Pair factor = {nbdev_, nbdev_};
            double earlier = 0.0;
            end = variance_.run_full<true>(
                x, lagged, length, [v](std::size_t i) { return v[i - lag]; },
                [v, lagged, factor, &earlier](std::size_t i, double m2, double variance) {
                    if (((i - lagged) & 1) != 0) {
                        const Pair both = {earlier, variance};
                        variance_detail::store(v + (i - lag - 1),
                                               variance_detail::sqrt(variance_detail::not_below_zero(both)) * factor);
                    }
                    earlier = variance;
                    v[i] = m2;
                });
            paired = from + ((end - lagged) & ~std::size_t{1});
        }
        variance_detail::deviations(v, paired, end, variance_.period_real(), nbdev_);
        return end;
    }

    VariancePart variance_;
    double nbdev_;
};

}  // namespace quillora::indicators
