// The least-squares line through the last `period` samples: LINEARREG (its value at the newest
// bar), LINEARREG_SLOPE, LINEARREG_INTERCEPT (its value at the oldest bar), LINEARREG_ANGLE (the
// slope in degrees) and TSF (its value one bar past the newest).
#pragma once

#include <cmath>
#include <cstdint>

#include "compensated_sum.hpp"
#include "indicator.hpp"
#include "window.hpp"

namespace quillora::indicators::regression {

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
        : window_(period),
          n_(static_cast<double>(period)),
          n_halves_(split(n_)),
          sum_x_(n_ * (n_ - 1.0) * 0.5),
          divisor_(sum_x_ * sum_x_ - n_ * (n_ * (n_ - 1.0) * (n_ * 2.0 - 1.0) / 6.0)) {}

    // Takes a present sample; true once the window is full and `slope`/`intercept` give the line.
    bool add(double y) {
        if (window_.full()) {
            const double oldest = window_.oldest();
            window_.push(y);
            aged_.add(samples_);
            aged_.subtract_product(n_, n_halves_, oldest);
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

    double n() const noexcept { return n_; }
    double slope() const noexcept { return (n_ * a_ - sum_x_ * s_) / divisor_; }
    double intercept(double slope) const noexcept { return (s_ - slope * sum_x_) / n_; }

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

    Window window_;
    double n_;
    Halves n_halves_;
    double sum_x_, divisor_;
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
        out[0] = line_.add(x) ? finite_or_missing(Read{}(line_)) : missing_value;
    }

    void save(StateWriter& w) const { line_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return line_.load(r); }

private:
    LeastSquaresLine line_;
};

// 180 / pi, rounded once (pi as the double nearest it).
inline constexpr double degrees_per_radian = 180.0 / 3.141592653589793;

struct AtNewest {  // b + m * (n - 1.0)
    double operator()(const LeastSquaresLine& l) const noexcept {
        const double m = l.slope();
        return l.intercept(m) + m * (l.n() - 1.0);
    }
};
struct Slope {  // m
    double operator()(const LeastSquaresLine& l) const noexcept { return l.slope(); }
};
struct Intercept {  // b
    double operator()(const LeastSquaresLine& l) const noexcept { return l.intercept(l.slope()); }
};
struct Angle {  // atan(m) * degrees_per_radian, atan from the C library
    double operator()(const LeastSquaresLine& l) const noexcept { return std::atan(l.slope()) * degrees_per_radian; }
};
struct Forecast {  // b + m * n
    double operator()(const LeastSquaresLine& l) const noexcept {
        const double m = l.slope();
        return l.intercept(m) + m * l.n();
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
