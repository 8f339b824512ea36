// The least-squares line through the last `period` samples: LINEARREG (its value at the newest
// bar), LINEARREG_SLOPE, LINEARREG_INTERCEPT (its value at the oldest bar), LINEARREG_ANGLE (the
// slope in degrees) and TSF (its value one bar past the newest).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "compensated_sum.hpp"
#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators::regression {

// The line's constants for a period n, and m and b from the sums' values s and a.
struct LineConstants {
    double n, sum_x, divisor;

    explicit LineConstants(double period) noexcept
        : n(period), sum_x(n * (n - 1.0) * 0.5), divisor(sum_x * sum_x - n * (n * (n - 1.0) * (n * 2.0 - 1.0) / 6.0)) {}

    double slope(double s, double a) const noexcept { return (n * a - sum_x * s) / divisor; }
    double intercept(double s, double slope) const noexcept { return (s - slope * sum_x) / n; }
};

// The line's slope m and intercept b over a window with x = 0 at the oldest sample, from two
// compensated running sums (compensated_sum.hpp): S, the sum of the samples, and A, the sum of
// each sample times its age (bars before the newest; 0 for the newest). Kept this way they stay
// within an ulp of the window's own sums however long the series runs, at O(1) a bar.
//
// Order of operations, per present sample y: while the window is short of `period` samples,
// A.add(S) (every kept sample one bar older), then S.add(y). Once full, with `oldest` the sample
// leaving: A.add(S), A.subtract_product(n, oldest) (it leaves at age n - 1, plus the bar all have
// aged), S.add(y), S.add(-oldest). Should S or A then read NaN or infinite, both are rebuilt from
// the window, cleared and replayed oldest first as while filling. The line, with n the period as
// a double, s = S.sum + S.error and a = A.sum + A.error, and the constants
//   sum_x = n * (n - 1.0) * 0.5, sum_x2 = n * (n - 1.0) * (n * 2.0 - 1.0) / 6.0,
//   divisor = sum_x * sum_x - n * sum_x2,
// is m = (n * a - sum_x * s) / divisor and b = (s - m * sum_x) / n. (Ages run against x, hence
// the divisor's sign.) A missing sample clears the window and both sums.
class LeastSquaresLine {
public:
    explicit LeastSquaresLine(std::uint64_t period) noexcept
        : window_(period), line_(static_cast<double>(period)), n_halves_(split(line_.n)) {}

    // Takes a present sample; true once the window is full and `slope`/`intercept` give the line.
    bool add(double y) {
        if (window_.full()) {
            const double oldest = window_.oldest();
            window_.push(y);
            aged_.add(samples_);
            aged_.subtract_product(line_.n, n_halves_, oldest);
            samples_.add(y);
            samples_.add(-oldest);
        } else {
            window_.push(y);  // may grow (and throw) before anything has changed
            aged_.add(samples_);
            samples_.add(y);
        }
        double s = samples_.value(), a = aged_.value();
        if (!present(s) || !present(a)) {
            rebuild();
            s = samples_.value();
            a = aged_.value();
        }
        s_ = s;
        a_ = a;
        return window_.full();
    }
    void clear() noexcept {
        window_.clear();
        samples_.clear();
        aged_.clear();
    }

    const LineConstants& constants() const noexcept { return line_; }
    double s() const noexcept { return s_; }
    double a() const noexcept { return a_; }
    std::uint64_t period() const noexcept { return window_.capacity(); }
    bool full() const noexcept { return window_.full(); }

    // Takes the present samples x[first, last), the window full before x[first] and the sample
    // leaving with x[i] at x[i - period] (so first >= period), as add would; emit(start, count,
    // s, a) gets the sums' values of bars start to start + count - 1, a block at a time. The
    // window catches up at the end. A and S run side by side in the lanes of one register, sum
    // and error each: a bar's operations on A and on S pair up in order, and where only A has one
    // (adding S's error, taking the product's lost part) S's lane adds -0.0 or takes 0.0 away,
    // which leave every double as it is.
    template <typename Emit>
    void run_full(const double* x, std::size_t first, std::size_t last, Emit emit) {
        const std::size_t lag = static_cast<std::size_t>(window_.capacity());
        const double n = line_.n;
        const Halves n_halves = n_halves_;
        Lanes sum = {aged_.sum(), samples_.sum()}, error = {aged_.error(), samples_.error()};
        double s = s_, a = a_;
        // The products n * oldest and their lost parts depend on no sum: a block of them first,
        // two lanes at a time, keeps their long latency out of the sums' loop.
        constexpr std::size_t block = 256;
        double products[block], products_lost[block], s_values[block], a_values[block];
        for (std::size_t start = first; start < last; start += block) {
            const std::size_t count = std::min(block, last - start);
            const double* leaving_samples = x + (start - lag);
            for (std::size_t k = 0; k < count; ++k) {
                const double product = n * leaving_samples[k];
                products[k] = product;
                products_lost[k] = CompensatedSum::product_lost(n_halves, leaving_samples[k], product);
            }
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t i = start + k;
                // A.add(S.sum), S.add(y); then A's error takes S's error as it was.
                const Lanes joining = {sum[1], x[i]};
                const double samples_error = error[1];
                const Lanes joined = sum + joining;
                error = error + lost_parts(sum, joining, joined);
                error = error + Lanes{samples_error, -0.0};
                // A.add(-product), S.add(-oldest); then A's error takes the product's lost part.
                const Lanes leaving = {-products[k], -leaving_samples[k]};
                const Lanes left = joined + leaving;
                error = error + lost_parts(joined, leaving, left);
                error = error - Lanes{products_lost[k], 0.0};
                sum = left;
                const Lanes values = sum + error;
                a = values[0];
                s = values[1];
                if (!present_bits(s) || !present_bits(a)) [[unlikely]] {
                    const Sums sums = rebuilt(x + (i + 1 - lag), lag);
                    sum = Lanes{sums.aged.sum(), sums.samples.sum()};
                    error = Lanes{sums.aged.error(), sums.samples.error()};
                    s = sums.samples.value();
                    a = sums.aged.value();
                }
                s_values[k] = s;
                a_values[k] = a;
            }
            emit(start, count, s_values, a_values);
        }
        aged_ = CompensatedSum(sum[0], error[0]);
        samples_ = CompensatedSum(sum[1], error[1]);
        s_ = s;
        a_ = a;
        window_.push_run(x + first, last - first);
    }

    void save(StateWriter& w) const {
        window_.save(w);
        samples_.save(w);
        aged_.save(w);
    }
    [[nodiscard]] bool load(StateReader& r) {
        return window_.load(r) && all_present(window_) && samples_.load(r) && aged_.load(r);
    }

private:
    void rebuild() noexcept {
        samples_.clear();
        aged_.clear();
        for (std::uint64_t i = 0; i < window_.size(); ++i) {
            aged_.add(samples_);
            samples_.add(window_.at(i));
        }
    }
    // The same over `count` samples from `x`, oldest first. Out of line and by value, so the run's
    // sums never leave their registers.
    struct Sums {
        CompensatedSum samples, aged;
    };
    [[gnu::noinline]] static Sums rebuilt(const double* x, std::size_t count) noexcept {
        Sums sums;
        for (std::size_t k = 0; k < count; ++k) {
            sums.aged.add(sums.samples);
            sums.samples.add(x[k]);
        }
        return sums;
    }

    Window window_;
    LineConstants line_;
    Halves n_halves_;
    CompensatedSum samples_, aged_;
    double s_ = missing_value, a_ = missing_value;  // the sums' values after the last sample
};

// A value of the line, or the missing marker where it left the double range.
inline double finite_or_missing(double v) noexcept { return present(v) ? v : missing_value; }

// The states differ only in what they read off the line.
template <typename Read>
class LineState {
public:
    static constexpr std::size_t inputs = 1, outputs = 1;

    static bool valid(const Parameters& p) noexcept {
        return p.counts.size() == 1 && p.reals.empty() && p.counts[0] >= 2;
    }
    explicit LineState(const Parameters& p) noexcept : line_(p.counts[0]) {}

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            line_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] = line_.add(x) ? finite_or_missing(Read::of(line_.constants(), line_.s(), line_.a())) : missing_value;
    }

    // The first `period` bars are stepped (the samples leaving their windows are in the state's),
    // the rest run over the caller's array, the line read off each block's sums in a pass of its
    // own (no division or call inside the sums' loop).
    void run_present(const double* const* in, double* const* out, std::size_t length) {
        const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(line_.period(), length));
        step_bars(*this, in, out, 0, head);
        if (head == length) return;
        double* result = out[0];
        const LineConstants constants = line_.constants();
        line_.run_full(in[0], head, length,
                       [result, constants](std::size_t start, std::size_t count, const double* s, const double* a) {
                           double* values = result + start;
                           for (std::size_t k = 0; k < count; ++k)
                               values[k] = finite_or_missing(Read::of(constants, s[k], a[k]));
                       });
    }

    void save(StateWriter& w) const { line_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return line_.load(r); }

private:
    LeastSquaresLine line_;
};

// 180 / pi, rounded once (pi as the double nearest it).
inline constexpr double degrees_per_radian = 180.0 / 3.141592653589793;

struct AtNewest {  // b + m * (n - 1.0)
    static double of(const LineConstants& c, double s, double a) noexcept {
        const double m = c.slope(s, a);
        return c.intercept(s, m) + m * (c.n - 1.0);
    }
};
struct Slope {  // m
    static double of(const LineConstants& c, double s, double a) noexcept { return c.slope(s, a); }
};
struct Intercept {  // b
    static double of(const LineConstants& c, double s, double a) noexcept { return c.intercept(s, c.slope(s, a)); }
};
struct Angle {  // atan(m) * degrees_per_radian, atan from the C library
    static double of(const LineConstants& c, double s, double a) noexcept {
        return std::atan(c.slope(s, a)) * degrees_per_radian;
    }
};
struct Forecast {  // b + m * n
    static double of(const LineConstants& c, double s, double a) noexcept {
        const double m = c.slope(s, a);
        return c.intercept(s, m) + m * c.n;
    }
};

}  // namespace quillora::indicators::regression

namespace quillora::indicators {

// Order of operations: regression::LeastSquaresLine, then b + m * (n - 1.0).
class LinearregState : public regression::LineState<regression::AtNewest> {
public:
    static constexpr const char* name = "linearreg";
    static constexpr const char* class_name = "LinearregState";
    using LineState::LineState;
};

// Order of operations: regression::LeastSquaresLine's m.
class LinearregSlopeState : public regression::LineState<regression::Slope> {
public:
    static constexpr const char* name = "linearreg_slope";
    static constexpr const char* class_name = "LinearregSlopeState";
    using LineState::LineState;
};

// Order of operations: regression::LeastSquaresLine's b.
class LinearregInterceptState : public regression::LineState<regression::Intercept> {
public:
    static constexpr const char* name = "linearreg_intercept";
    static constexpr const char* class_name = "LinearregInterceptState";
    using LineState::LineState;
};

// Order of operations: regression::LeastSquaresLine, then atan(m) * (180 / pi as one double).
class LinearregAngleState : public regression::LineState<regression::Angle> {
public:
    static constexpr const char* name = "linearreg_angle";
    static constexpr const char* class_name = "LinearregAngleState";
    using LineState::LineState;
};

// Order of operations: regression::LeastSquaresLine, then b + m * n.
class TsfState : public regression::LineState<regression::Forecast> {
public:
    static constexpr const char* name = "tsf";
    static constexpr const char* class_name = "TsfState";
    using LineState::LineState;
};

}  // namespace quillora::indicators
