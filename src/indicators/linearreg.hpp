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
#include "lane_kernels.hpp"
#include "window.hpp"

namespace quillora::indicators::regression {

// The line's constants for a period n, and m and b from the sums' values s and a.
struct LineConstants {
    double n, sum_x, divisor;

    explicit LineConstants(double period) noexcept
        : n(period), sum_x(n * (n - 1.0) * 0.5), divisor(sum_x * sum_x - n * (n * (n - 1.0) * (n * 2.0 - 1.0) / 6.0)) {}

    // Over doubles, or over the lanes of a vector (each lane the same operations; results through
    // a reference, as a vector returned by value changes the calling convention between builds).
    template <typename T>
    void slope(const T& s, const T& a, T& m) const noexcept {
        m = (n * a - sum_x * s) / divisor;
    }
    template <typename T>
    void intercept(const T& s, const T& m, T& b) const noexcept {
        b = (s - m * sum_x) / n;
    }
    double slope(double s, double a) const noexcept {
        double m;
        slope(s, a, m);
        return m;
    }
    double intercept(double s, double m) const noexcept {
        double b;
        intercept(s, m, b);
        return b;
    }
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
    bool empty() const noexcept { return window_.size() == 0; }
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

// 180 / pi, rounded once (pi as the double nearest it).
inline constexpr double degrees_per_radian = 180.0 / 3.141592653589793;

// Each reads its value off the line's sums, `into` over doubles or lane by lane over vectors.
template <typename Read>
double read_line(const LineConstants& c, double s, double a) noexcept {
    double value;
    Read::into(c, s, a, value);
    return value;
}

struct AtNewest {  // b + m * (n - 1.0)
    template <typename T>
    static void into(const LineConstants& c, const T& s, const T& a, T& value) noexcept {
        T m, b;
        c.slope(s, a, m);
        c.intercept(s, m, b);
        value = b + m * (c.n - 1.0);
    }
};
struct Slope {  // m
    template <typename T>
    static void into(const LineConstants& c, const T& s, const T& a, T& value) noexcept {
        c.slope(s, a, value);
    }
};
struct Intercept {  // b
    template <typename T>
    static void into(const LineConstants& c, const T& s, const T& a, T& value) noexcept {
        T m;
        c.slope(s, a, m);
        c.intercept(s, m, value);
    }
};
struct Angle {  // atan(m) * degrees_per_radian, atan from the C library, a lane at a time
    static void into(const LineConstants& c, double s, double a, double& value) noexcept {
        value = std::atan(c.slope(s, a)) * degrees_per_radian;
    }
    static void into(const LineConstants& c, const LaneVector& s, const LaneVector& a, LaneVector& value) noexcept {
        c.slope(s, a, value);
        for (std::size_t l = 0; l < vector_lanes; ++l) value[l] = std::atan(value[l]) * degrees_per_radian;
    }
};
struct Forecast {  // b + m * n
    template <typename T>
    static void into(const LineConstants& c, const T& s, const T& a, T& value) noexcept {
        T m, b;
        c.slope(s, a, m);
        c.intercept(s, m, b);
        value = b + m * c.n;
    }
};

// The line's sums for a block's symbols side by side, from empty windows, as LeastSquaresLine::add
// takes them, then `Read`'s value: the sample leaving is read `period` bars back in the table.
// Fields: S and A (sum and error each) and the samples held (up to period). A lane whose S or A
// leaves the double range is rebuilt from its window in the table, as add rebuilds it.
template <typename Read>
struct LineLanes {
    static constexpr std::size_t fields = 5, inputs = 1;
    enum Field { samples_sum, samples_error, aged_sum, aged_error, held };

    explicit LineLanes(std::size_t period) noexcept
        : lag(period), line(static_cast<double>(period)), n_halves(split(line.n)) {}
    std::size_t lag;
    LineConstants line;
    Halves n_halves;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value, LaneMask& broken) const noexcept {
        LaneVector y, oldest;
        lane_load(y, rows[0] + symbol);
        lane_load(oldest, rows[1] + symbol);
        LaneMask present, s_finite, a_finite, finite;
        lanes_finite(y, present);
        const LaneMask full = field[held] >= line.n;
        // A.add(S): every kept sample a bar older.
        LaneVector a_sum = field[aged_sum], a_error = field[aged_error];
        lanes_add(a_sum, a_error, field[samples_sum]);
        a_error = a_error + field[samples_error];
        // Once full, A.subtract_product(n, oldest): Dekker's lost part of n * oldest.
        const LaneVector product = line.n * oldest;
        const LaneVector scaled = 134217729.0 * oldest;
        const LaneVector high = scaled - (scaled - oldest), low = oldest - high;
        const LaneVector product_lost =
            (((n_halves.high * high - product) + n_halves.high * low) + n_halves.low * high) + n_halves.low * low;
        LaneVector a_left = a_sum, a_left_error = a_error;
        lanes_add(a_left, a_left_error, -product);
        a_left_error = a_left_error - product_lost;
        // S.add(y), then once full S.add(-oldest).
        LaneVector s_sum = field[samples_sum], s_error = field[samples_error];
        lanes_add(s_sum, s_error, y);
        LaneVector s_left = s_sum, s_left_error = s_error;
        lanes_add(s_left, s_left_error, -oldest);
        a_sum = full ? a_left : a_sum;
        a_error = full ? a_left_error : a_error;
        s_sum = full ? s_left : s_sum;
        s_error = full ? s_left_error : s_error;
        const LaneVector count = full ? field[held] : field[held] + 1.0;
        const LaneVector s = s_sum + s_error, a = a_sum + a_error;
        lanes_finite(s, s_finite);
        lanes_finite(a, a_finite);
        broken = present & ~(s_finite & a_finite);
        LaneVector result;
        Read::into(line, s, a, result);
        lanes_finite(result, finite);
        const LaneVector empty = {-0.0, -0.0, -0.0, -0.0}, none = {};
        value = present & finite & (count >= line.n) ? result : lanes_missing;
        field[samples_sum] = present ? s_sum : empty;
        field[samples_error] = present ? s_error : empty;
        field[aged_sum] = present ? a_sum : empty;
        field[aged_error] = present ? a_error : empty;
        field[held] = present ? count : none;
    }

    // add's rebuild, for the lanes `broken` marks at `bar`: both sums replayed over the samples
    // held, oldest first, read from the table.
    [[gnu::noinline]] void repair(LaneVector* field, const BlockLanes* in, std::size_t symbol, std::size_t bar,
                                  const LaneMask& broken, LaneVector& value) const noexcept {
        for (std::size_t l = 0; l < vector_lanes; ++l) {
            if (broken[l] == 0) continue;
            const Lane lane = in[0].lanes[symbol + l];
            const std::size_t count = lanes_window_bars(field[held][l], bar, line.n);
            CompensatedSum samples, aged;
            for (std::size_t k = bar + 1 - count; k <= bar; ++k) {
                aged.add(samples);
                samples.add(lane.first[k * lane.stride]);
            }
            field[samples_sum][l] = samples.sum();
            field[samples_error][l] = samples.error();
            field[aged_sum][l] = aged.sum();
            field[aged_error][l] = aged.error();
            const double result = read_line<Read>(line, samples.value(), aged.value());
            value[l] = static_cast<double>(count) >= line.n && present(result) ? result : missing_value;
        }
    }
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

    // Tables step their symbols side by side in vector lanes, in either layout: each symbol's
    // batch run waits on its sums from bar to bar.
    static constexpr bool table_lockstep = true;
    // From an empty window only: the samples before the block's first bar are not in the table.
    bool lanes_ready() const noexcept { return line_.empty(); }
    // Leaves the states spent (their windows are not refilled), as table blocks discard them.
    template <typename Derived>
    static void run_lanes(Derived* states, std::size_t count, const BlockLanes* in, const BlockLanes* out,
                          std::size_t bar, std::size_t bars) noexcept {
        using Kernel = LineLanes<Read>;
        LaneFields<Kernel> fields = {};
        for (std::size_t f = Kernel::samples_sum; f <= Kernel::aged_error; ++f)
            for (std::size_t s = 0; s < symbols_per_block; ++s) fields[f][s] = -0.0;
        run_lane_steps(Kernel(static_cast<std::size_t>(states[0].line_.period())), fields, count, in, out[0], bar,
                       bars);
    }

    void step(const double* in, double* out) {
        const double x = in[0];
        if (!present(x)) {
            line_.clear();
            out[0] = missing_value;
            return;
        }
        out[0] =
            line_.add(x) ? finite_or_missing(read_line<Read>(line_.constants(), line_.s(), line_.a())) : missing_value;
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
                               values[k] = finite_or_missing(read_line<Read>(constants, s[k], a[k]));
                       });
    }

    void save(StateWriter& w) const { line_.save(w); }
    [[nodiscard]] bool load(StateReader& r) { return line_.load(r); }

private:
    LeastSquaresLine line_;
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
