// Native tests of the indicator kernels: worked examples and edge cases checked by bits, a
// randomized sweep against plain reference versions of the four algorithms, and chunked runs
// against one pass.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <source_location>
#include <span>
#include <string_view>
#include <vector>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "missing_value.hpp"
#include "sma.hpp"

namespace {

using Series = std::vector<double>;

constexpr double missing = quillora::missing_value;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();

// Expected value of a position whose NaN comes out of arithmetic: the payload and sign of such a
// NaN are the hardware's choice, so any NaN matches it. Every other expected value, the
// missing-value marker included, must match to the bit.
const double computed_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000DADu});

int failures = 0;

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

bool same(double actual, double expected) {
    if (bits(expected) == bits(computed_nan)) {
        return std::isnan(actual);
    }
    return bits(actual) == bits(expected);
}

void fail(std::source_location where, std::string_view what) {
    ++failures;
    std::printf("%s:%u: FAILED: %.*s\n", where.file_name(), static_cast<unsigned>(where.line()),
                static_cast<int>(what.size()), what.data());
}

void check(bool ok, std::string_view what, std::source_location where = std::source_location::current()) {
    if (!ok) {
        fail(where, what);
    }
}

// Compares by bits (see `same`); `tolerance` > 0 relaxes numbers, never NaN markers.
void check_series(const Series& actual, const Series& expected, std::string_view what, double tolerance = 0.0,
                  std::source_location where = std::source_location::current()) {
    if (actual.size() != expected.size()) {
        fail(where, what);
        std::printf("    length %zu, expected %zu\n", actual.size(), expected.size());
        return;
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        const bool numbers = !std::isnan(actual[i]) && !std::isnan(expected[i]);
        const bool ok =
            tolerance > 0.0 && numbers ? std::fabs(actual[i] - expected[i]) <= tolerance : same(actual[i], expected[i]);
        if (!ok) {
            fail(where, what);
            std::printf("    index %zu: got %.17g (0x%016llx), expected %.17g (0x%016llx)\n", i, actual[i],
                        static_cast<unsigned long long>(bits(actual[i])), expected[i],
                        static_cast<unsigned long long>(bits(expected[i])));
            return;
        }
    }
}

// An output run that starts as garbage between two guard values, so a test sees both a
// position left unwritten and a write outside the run.
class GuardedOutput {
public:
    explicit GuardedOutput(std::size_t n) : buffer_(n, 1234.5) {
        buffer_.insert(buffer_.begin(), -4321.0);
        buffer_.push_back(-4321.0);
    }
    std::span<double> run() { return std::span<double>(buffer_).subspan(1, buffer_.size() - 2); }
    Series values() const {
        check(buffer_.front() == -4321.0 && buffer_.back() == -4321.0, "writes stay inside the output run");
        return Series(buffer_.begin() + 1, buffer_.end() - 1);
    }

private:
    Series buffer_;
};

Series run_sma(std::uint64_t period, const Series& data) {
    GuardedOutput out(data.size());
    quillora::compute_sma(period, data, out.run());
    return out.values();
}

Series run_ema(std::uint64_t period, const Series& data) {
    GuardedOutput out(data.size());
    quillora::compute_ema(period, data, out.run());
    return out.values();
}

struct Macd {
    Series line, signal, hist;
};

Macd run_macd(const Series& data, std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) {
    GuardedOutput line(data.size()), signal_line(data.size()), hist(data.size());
    quillora::compute_macd(data, fast, slow, signal, line.run(), signal_line.run(), hist.run());
    return {line.values(), signal_line.values(), hist.values()};
}

Series run_atr(std::uint64_t period, const Series& high, const Series& low, const Series& close) {
    GuardedOutput out(close.size());
    quillora::compute_atr(period, high, low, close, out.run());
    return out.values();
}

Series all_missing(std::size_t n) { return Series(n, missing); }

// ---- Reference versions: the algorithms written out plainly, markers filled first. ----

// The result of one operation; a NaN there is a computed one (see `computed_nan`).
double op(double result) { return std::isnan(result) ? computed_nan : result; }

Series reference_sma(std::uint64_t p, const Series& x) {
    const std::size_t n = x.size();
    Series y(n, missing);
    if (p == 0 || p > n) {
        return y;
    }
    double s = -0.0;
    for (std::size_t i = 0; i < p; ++i) s = op(s + x[i]);
    const double r = 1.0 / static_cast<double>(p);
    y[p - 1] = op(s * r);
    for (std::size_t k = p; k < n; ++k) {
        const double d = op(x[k] - x[k - p]);
        s = op(s + d);
        y[k] = op(s * r);
    }
    return y;
}

Series reference_ema(std::uint64_t p, const Series& x) {
    const std::size_t n = x.size();
    Series y(n, missing);
    if (p == 0 || p > n) {
        return y;
    }
    for (std::size_t j = 0; j + p <= n; ++j) {
        bool all_finite = true;
        for (std::size_t i = j; i < j + p; ++i) all_finite = all_finite && std::isfinite(x[i]);
        if (!all_finite) continue;
        double s = -0.0;
        for (std::size_t i = j; i < j + p; ++i) s = op(s + x[i]);
        double e = op(s / static_cast<double>(p));
        y[j + p - 1] = e;
        const double a = 2.0 / (static_cast<double>(p) + 1.0);
        const double b = 1.0 - a;
        for (std::size_t i = j + p; i < n; ++i) {
            if (std::isfinite(x[i])) {
                e = op(op(e * b) + op(x[i] * a));
                y[i] = e;
            }
        }
        break;
    }
    return y;
}

Macd reference_macd(const Series& x, std::uint64_t fast_p, std::uint64_t slow_p, std::uint64_t signal_p) {
    const std::size_t n = x.size();
    Macd out{Series(n, missing), Series(n, missing), Series(n, missing)};
    const double af = 2.0 / (static_cast<double>(fast_p) + 1.0), bf = 1.0 - af;
    const double as = 2.0 / (static_cast<double>(slow_p) + 1.0), bs = 1.0 - as;
    const double ag = 2.0 / (static_cast<double>(signal_p) + 1.0), bg = 1.0 - ag;
    // slow_p + signal_p - 2 in exact arithmetic: a sum past the largest integer is never reached.
    const bool start_fits = signal_p <= huge - slow_p;
    double f = missing, s = missing, g = missing;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(x[i])) continue;
        if (i < slow_p - 1) continue;
        if (std::isnan(f)) {
            double fs = -0.0, ss = -0.0;
            for (std::size_t k = 0; k < fast_p; ++k) fs = op(fs + x[i - k]);
            for (std::size_t k = 0; k < slow_p; ++k) ss = op(ss + x[i - k]);
            f = op(fs / static_cast<double>(fast_p));
            s = op(ss / static_cast<double>(slow_p));
        } else {
            f = op(op(f * bf) + op(x[i] * af));
            s = op(op(s * bs) + op(x[i] * as));
        }
        const double m = op(f - s);
        out.line[i] = m;
        if (!std::isnan(g)) {
            g = op(op(g * bg) + op(ag * m));
        } else if (start_fits && i + 2 >= slow_p + signal_p) {
            g = m;
        }
        out.signal[i] = g;
        out.hist[i] = std::isnan(g) ? missing : op(m - g);
    }
    return out;
}

double reference_max(double a, double b) {
    if (std::isnan(a)) return b;
    if (b > a) return b;
    return a;
}

Series reference_atr(std::uint64_t period, const Series& high, const Series& low, const Series& close) {
    const std::size_t n = close.size();
    Series y(n, missing);
    if (period == 0 || period >= n) {
        return y;
    }
    auto tr = [&](std::size_t i) {
        const double range = op(high[i] - low[i]);
        const double high_gap = op(std::fabs(op(high[i] - close[i - 1])));
        const double low_gap = op(std::fabs(op(low[i] - close[i - 1])));
        return reference_max(reference_max(range, high_gap), low_gap);
    };
    double sum = 0.0;
    for (std::size_t i = 1; i <= period; ++i) sum = op(sum + tr(i));
    double a = op(sum / static_cast<double>(period));
    y[period] = a;
    const double r = 1.0 / static_cast<double>(period);
    for (std::size_t j = period + 1; j < n; ++j) {
        a = op(a + op(op(tr(j) - a) * r));
        y[j] = a;
    }
    return y;
}

// ---- Worked examples and edge cases. ----

void test_sma() {
    check_series(run_sma(3, {1, 2, 3, 4, 5}), {missing, missing, 2, 3, 4}, "sma period 3");
    // 5 times the rounded reciprocal of 3, not 5 / 3.
    check_series(run_sma(3, {1, 2, 2}), {missing, missing, 1.6666666666666665}, "sma mean uses reciprocal");
    // The sum is carried, not the input copied: 1e16 + (1 - 1e16) is 0.
    check_series(run_sma(1, {1e16, 1}), {1e16, 0.0}, "sma period 1 carries the sum");
    check_series(run_sma(2, {1, inf, 2, 3, 4}), {missing, inf, inf, computed_nan, computed_nan},
                 "sma infinity leaving the window");
    check_series(run_sma(2, {1, missing, 2, 3}), {missing, computed_nan, computed_nan, computed_nan},
                 "sma NaN stays in the sum");
    check_series(run_sma(2, {-0.0, -0.0, 1}), {missing, -0.0, 0.5}, "sma first window of -0.0");
    check_series(run_sma(4, {1, 2, 3, 4}), {missing, missing, missing, 2.5}, "sma period equal to length");
}

void test_ema() {
    check_series(run_ema(3, {1, 2, 3, 4, 5}), {missing, missing, 2, 3, 4}, "ema period 3");
    // The seed is 5 / 3, a true division.
    check_series(run_ema(3, {1, 2, 2}), {missing, missing, 1.6666666666666667}, "ema seed divides");
    // e * (1 - a) + x * a, where e + a * (x - e) would give 2.333333333333333.
    check_series(run_ema(2, {1, 1, 3}), {missing, 1, 2.3333333333333335}, "ema blend order");
    check_series(run_ema(3, {1, 2, missing, 4, 5, 6, 7, 8}), {missing, missing, missing, missing, missing, 5, 6, 7},
                 "ema seed window after a NaN");
    check_series(run_ema(2, {1, inf, 2, 3, -inf, 4, missing, 5}),
                 {missing, missing, missing, 2.5, missing, 3.5, missing, 4.5}, "ema skips non-finite samples");
    check_series(run_ema(1, {3, missing, -0.0, 5}), {3, missing, 0.0, 5}, "ema period 1 blends -0.0 to +0.0");
    check_series(run_ema(2, {-0.0, -0.0}), {missing, -0.0}, "ema seed window of -0.0");
    check_series(run_ema(2, {1, missing, 2, inf, 3}), all_missing(5), "ema without a finite window");
    check_series(run_ema(3, {1, 2, inf}), all_missing(3), "ema period equal to length, non-finite");
    check_series(run_ema(3, {1, 2, 6}), {missing, missing, 3}, "ema period equal to length");
}

void test_macd() {
    // Worked example, periods 2, 3, 2; the table is rounded to six decimals.
    const Macd worked = run_macd({1, 2, 4, 8, 16, 32}, 2, 3, 2);
    check_series(worked.line, {missing, missing, 0.666667, 1.166667, 2.194444, 4.300926}, "macd line", 5e-7);
    check_series(worked.signal, {missing, missing, missing, 1.166667, 1.851852, 3.484568}, "macd signal", 5e-7);
    check_series(worked.hist, {missing, missing, missing, 0, 0.342593, 0.816358}, "macd histogram", 5e-7);
    // Seeds summed newest first and divided; the signal starts at the line itself.
    check(bits(worked.line[2]) == bits((-0.0 + 4 + 2) / 2 - (-0.0 + 4 + 2 + 1) / 3.0), "macd seeds exact");
    check(bits(worked.signal[3]) == bits(worked.line[3]) && bits(worked.hist[3]) == bits(0.0),
          "macd signal starts at the line");

    // A missing input: markers at its index, then the series goes on as if it were absent.
    const Macd gap = run_macd({1, 2, 4, 8, missing, 16, 32}, 2, 3, 2);
    check_series(gap.line, {missing, missing, 0.666667, 1.166667, missing, 2.194444, 4.300926}, "macd gap line", 5e-7);
    check_series(gap.signal, {missing, missing, missing, 1.166667, missing, 1.851852, 3.484568}, "macd gap signal",
                 5e-7);
    check_series(gap.hist, {missing, missing, missing, 0, missing, 0.342593, 0.816358}, "macd gap histogram", 5e-7);
    check_series(
        gap.line,
        {worked.line[0], worked.line[1], worked.line[2], worked.line[3], missing, worked.line[4], worked.line[5]},
        "macd gap is the series without the NaN");

    // The fast window is clean at index 3 but the slow one is not: S stays NaN for good.
    const Macd stuck = run_macd({1, missing, 3, 4, 5, 6}, 2, 3, 2);
    check_series(stuck.line, {missing, missing, computed_nan, computed_nan, computed_nan, computed_nan},
                 "macd slow stays NaN: line");
    check_series(stuck.signal, {missing, missing, missing, computed_nan, computed_nan, computed_nan},
                 "macd slow stays NaN: signal");
    check_series(stuck.hist, all_missing(6), "macd slow stays NaN: histogram");

    // A huge signal period never starts the signal line, whatever the slow period.
    const Series ramp{1, 2, 4, 8, 16, 32, 64, 128};
    for (std::uint64_t slow : {std::uint64_t{3}, std::uint64_t{8}}) {
        for (std::uint64_t signal : {huge, huge - 1, huge - slow + 2, huge - slow + 3}) {
            const Macd late = run_macd(ramp, 2, slow, signal);
            check_series(late.line, run_macd(ramp, 2, slow, 1).line, "macd line ignores the signal period");
            check_series(late.signal, all_missing(ramp.size()), "macd huge signal period: signal");
            check_series(late.hist, all_missing(ramp.size()), "macd huge signal period: histogram");
        }
    }

    // Signal period 1: the signal is the line and the histogram zero from index slow - 1 on.
    const Macd instant = run_macd(ramp, 2, 3, 1);
    for (std::size_t i = 2; i < ramp.size(); ++i) {
        check(bits(instant.signal[i]) == bits(instant.line[i]) && bits(instant.hist[i]) == bits(0.0),
              "macd signal period 1");
    }

    for (std::uint64_t slow : {std::uint64_t{9}, std::uint64_t{100}, huge}) {
        const Macd short_series = run_macd(ramp, 1, slow, 1);
        check_series(short_series.line, all_missing(8), "macd series shorter than the slow period");
        check_series(short_series.signal, all_missing(8), "macd series shorter than the slow period");
        check_series(short_series.hist, all_missing(8), "macd series shorter than the slow period");
    }
    // Seeds start from -0.0: a fast window of -0.0 beside a slow one holding +0.0 gives -0.0 - 0.0.
    check(bits(run_macd({0.0, -0.0, -0.0}, 2, 3, 1).line[2]) == bits(-0.0), "macd seed sums start at -0.0");

    // Two infinite averages of the same sign give a NaN line; the fast average then turns NaN
    // (inf * 0 with fast period 1) and both are seeded again.
    const Macd infinite = run_macd({1, 2, inf, 5, 6}, 1, 2, 1);
    check_series(infinite.line, {missing, 0.5, computed_nan, computed_nan, 0.5}, "macd infinite averages");
}

void test_atr() {
    const Series high{10, 11, 12, 11.5, 13}, low{9, 10, 10.5, 10, 11}, close{9.5, 10.5, 11, 11, 12.5};
    check_series(run_atr(2, high, low, close), {missing, missing, 1.5, 1.5, 1.75}, "atr worked example");
    check_series(run_atr(4, high, low, close), {missing, missing, missing, missing, 1.625}, "atr period N - 1");
    // Bar 0's high and low and the last close never enter.
    check_series(run_atr(2, {99, 11, 12, 11.5, 13}, {-99, 10, 10.5, 10, 11}, {9.5, 10.5, 11, 11, -7}),
                 {missing, missing, 1.5, 1.5, 1.75}, "atr ignores bar 0 range and last close");
    check_series(run_atr(2, {10, missing, 12, 11.5, 13}, low, close), {missing, missing, 1.0, 1.25, 1.625},
                 "atr NaN high leaves the low gap");
    // A NaN previous close leaves only the range.
    check_series(run_atr(1, {10, 11, 12}, {9, 10, 11}, {missing, 5, 7}), {missing, 1, 7},
                 "atr NaN close leaves the range");
    check_series(run_atr(2, {10, missing, 12, 11.5, 13}, {9, missing, 10.5, 10, 11}, {missing, 10.5, 11, 11, 12.5}),
                 {missing, missing, computed_nan, computed_nan, computed_nan}, "atr NaN true range in the mean");
    check_series(run_atr(1, {10, 11, inf, 11.5, 13}, low, close), {missing, 1.5, inf, computed_nan, computed_nan},
                 "atr infinite true range");
    check_series(run_atr(1, {5}, {4}, {4.5}), {missing}, "atr single bar");
    // The first sum starts at +0.0: a lone true range of -0.0 (range -0.0 - 0.0, NaN gaps) gives +0.0.
    check_series(run_atr(1, {0, -0.0}, {0, 0.0}, {missing, 0}), {missing, 0.0}, "atr sum starts at +0.0");
}

// Periods 0, n, n + 1 and the largest for every routine; empty runs for every period.
void test_degenerate_periods() {
    const Series data{4, 8, 15, 16, 23, 42};
    const std::size_t n = data.size();
    for (std::uint64_t period : {std::uint64_t{0}, std::uint64_t{n + 1}, huge}) {
        check_series(run_sma(period, data), all_missing(n), "sma period out of range");
        check_series(run_ema(period, data), all_missing(n), "ema period out of range");
        check_series(run_atr(period, data, data, data), all_missing(n), "atr period out of range");
    }
    check_series(run_atr(n, data, data, data), all_missing(n), "atr period equal to length");
    for (std::uint64_t period : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, huge}) {
        check_series(run_sma(period, {}), {}, "sma empty");
        check_series(run_ema(period, {}), {}, "ema empty");
        check_series(run_atr(period, {}, {}, {}), {}, "atr empty");
        const Macd empty = run_macd({}, 1, period < 2 ? 2 : period, period == 0 ? 1 : period);
        check(empty.line.empty() && empty.signal.empty() && empty.hist.empty(), "macd empty");
    }
}

// ---- Randomized sweep against the reference versions. ----

class SeriesMaker {
public:
    explicit SeriesMaker(std::uint64_t seed) : engine_(seed) {}

    std::uint64_t below(std::uint64_t bound) {
        return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(engine_);
    }

    // Plain numbers mixed with NaN, both infinities and both zeros at a rate chosen per series.
    // NaN inputs come with either sign and another payload too, so an input NaN passed through
    // where the marker belongs does not go unseen.
    Series series(std::size_t n) {
        static constexpr double special_rates[] = {0.0, 0.03, 0.1, 0.4};
        const double rate = special_rates[below(4)];
        Series out(n);
        for (double& value : out) {
            if (std::uniform_real_distribution<double>(0, 1)(engine_) < rate) {
                static constexpr double specials[] = {missing, -missing, other_nan, inf, -inf, -0.0, 0.0};
                value = specials[below(7)];
            } else if (below(3) == 0) {
                value = static_cast<double>(below(11)) - 5.0;
            } else {
                value = std::uniform_real_distribution<double>(-100, 100)(engine_);
            }
        }
        return out;
    }

    // Mostly in range, sometimes at or past the edges.
    std::uint64_t period(std::size_t n) {
        switch (below(8)) {
            case 0: return 0;
            case 1: return huge - below(3);
            case 2: return n + below(3);
            default: return 1 + below(n + 1);
        }
    }

private:
    static constexpr double other_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000123u});
    std::mt19937_64 engine_;
};

void test_against_reference() {
    SeriesMaker make(20240531);
    for (int round = 0; round < 4000; ++round) {
        const std::size_t n = make.below(48);
        const Series data = make.series(n);

        const std::uint64_t period = make.period(n);
        check_series(run_sma(period, data), reference_sma(period, data), "sma against reference");
        check_series(run_ema(period, data), reference_ema(period, data), "ema against reference");

        const Series low = make.series(n), close = make.series(n);
        Series high = make.series(n);
        if (make.below(2) == 0) {
            for (std::size_t i = 0; i < n; ++i) high[i] = low[i] + std::fabs(high[i]);  // plausible bars
        }
        check_series(run_atr(period, high, low, close), reference_atr(period, high, low, close),
                     "atr against reference");

        const std::uint64_t fast = 1 + make.below(n + 2);
        const std::uint64_t slow = make.below(10) == 0 ? huge : fast + 1 + make.below(n + 2);
        const std::uint64_t signal = make.below(6) == 0 ? huge - make.below(n + 2) : 1 + make.below(n + 2);
        const Macd actual = run_macd(data, fast, slow, signal);
        const Macd expected = reference_macd(data, fast, slow, signal);
        check_series(actual.line, expected.line, "macd line against reference");
        check_series(actual.signal, expected.signal, "macd signal against reference");
        check_series(actual.hist, expected.hist, "macd histogram against reference");
    }
}

// ---- Chunked runs: any split of a series, with a restore from the state's parts on the way,
// writes the bits of one pass over the whole series. ----

// Chunk boundaries over [0, n): empty chunks, single samples and long runs mixed.
std::vector<std::size_t> random_cuts(SeriesMaker& make, std::size_t n) {
    std::vector<std::size_t> cuts{0};
    while (cuts.back() < n) {
        cuts.push_back(std::min(n, cuts.back() + make.below(make.below(2) == 0 ? 3 : n + 1)));
    }
    return cuts;
}

void test_chunked_runs_match_one_pass() {
    SeriesMaker make(20250611);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = make.below(40);
        const Series data = make.series(n), high = make.series(n), low = make.series(n), close = make.series(n);
        const std::uint64_t period = make.period(n);
        const std::uint64_t fast = 1 + make.below(n + 2);
        const std::uint64_t slow = make.below(10) == 0 ? huge : fast + 1 + make.below(n + 2);
        const std::uint64_t signal = make.below(6) == 0 ? huge - make.below(3) : 1 + make.below(n + 2);
        const std::vector<std::size_t> cuts = random_cuts(make, n);
        const std::size_t restart = make.below(cuts.size());

        quillora::SmaState sma(period);
        quillora::EmaState ema(period);
        quillora::AtrState atr(period);
        quillora::MacdState macd(fast, slow, signal);
        Series sma_out, ema_out, atr_out;
        Macd macd_out;
        auto append = [](Series& to, const GuardedOutput& chunk) {
            const Series values = chunk.values();
            to.insert(to.end(), values.begin(), values.end());
        };
        for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
            if (c == restart) {
                sma = *quillora::SmaState::restore(sma.period(), sma.seen(), sma.sum(), sma.recent_samples());
                ema = *quillora::EmaState::restore(ema.period(), ema.finite_run(), ema.seed_sum(), ema.average());
                atr = quillora::AtrState::restore(atr.period(), atr.seen(), atr.sum(), atr.average(),
                                                  atr.previous_close());
                macd = *quillora::MacdState::restore(macd.fast_period(), macd.slow_period(), macd.signal_period(),
                                                     macd.seen(), macd.fast_average(), macd.slow_average(),
                                                     macd.signal_average(), macd.recent_samples());
            }
            const std::size_t from = cuts[c], count = cuts[c + 1] - cuts[c];
            auto in = [&](const Series& s) { return std::span<const double>(s).subspan(from, count); };
            GuardedOutput sma_chunk(count), ema_chunk(count), atr_chunk(count);
            GuardedOutput line_chunk(count), signal_chunk(count), hist_chunk(count);
            sma.run(in(data), sma_chunk.run());
            ema.run(in(data), ema_chunk.run());
            atr.run(in(high), in(low), in(close), atr_chunk.run());
            macd.run(in(data), line_chunk.run(), signal_chunk.run(), hist_chunk.run());
            append(sma_out, sma_chunk);
            append(ema_out, ema_chunk);
            append(atr_out, atr_chunk);
            append(macd_out.line, line_chunk);
            append(macd_out.signal, signal_chunk);
            append(macd_out.hist, hist_chunk);
        }
        check_series(sma_out, run_sma(period, data), "sma in chunks");
        check_series(ema_out, run_ema(period, data), "ema in chunks");
        check_series(atr_out, run_atr(period, high, low, close), "atr in chunks");
        const Macd one_pass = run_macd(data, fast, slow, signal);
        check_series(macd_out.line, one_pass.line, "macd line in chunks");
        check_series(macd_out.signal, one_pass.signal, "macd signal in chunks");
        check_series(macd_out.hist, one_pass.hist, "macd histogram in chunks");
        check(sma.recent_samples().size() == std::min<std::uint64_t>(period, n) &&
                  macd.recent_samples().size() == std::min<std::uint64_t>(slow - 1, n),
              "kept samples bounded by the window");
    }
}

// Parts that do not fit together restore nothing.
void test_restore_refuses_mismatched_parts() {
    const Series two{1.0, 2.0};
    check(!quillora::SmaState::restore(3, 5, 0.0, two), "sma keeps min(seen, period) samples");
    check(!quillora::SmaState::restore(3, 1, 0.0, two), "sma cannot keep more samples than seen");
    check(!quillora::EmaState::restore(3, 4, 0.0, 0.0), "ema run longer than the period");
    check(!quillora::MacdState::restore(3, 3, 1, 2, 0.0, 0.0, 0.0, two), "macd fast below slow");
    check(!quillora::MacdState::restore(2, 3, 1, 5, 0.0, 0.0, 0.0, Series{1.0}), "macd keeps slow - 1 samples");
    check(quillora::MacdState::restore(2, 3, 1, 5, 0.0, 0.0, 0.0, two).has_value(), "macd parts that fit");
}

}  // namespace

int main() {
    test_sma();
    test_ema();
    test_macd();
    test_atr();
    test_degenerate_periods();
    test_against_reference();
    test_chunked_runs_match_one_pass();
    test_restore_refuses_mismatched_parts();
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
