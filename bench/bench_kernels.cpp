// Kernel benchmark: each indicator routine timed against a bare loop that carries only the
// routine's own floating-point dependency chain, over one million samples of a random walk.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "sma.hpp"

namespace {

constexpr std::size_t sample_count = 1'000'000;
constexpr int repetitions = 25;
constexpr double target_ratio = 1.2;
constexpr std::uint64_t period = 14;

// Results go here so that no loop can be dropped; a volatile read of the factors keeps the
// compiler from folding them into the baselines.
volatile double sink;
volatile double factor_source = 2.0 / 15.0;

struct Bars {
    std::vector<double> high, low, close;
};

Bars random_walk(std::size_t n) {
    std::mt19937_64 engine(7);
    std::normal_distribution<double> step(0.0, 1.0);
    Bars bars{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price += step(engine);
        bars.close[i] = price;
        bars.high[i] = price + std::fabs(step(engine));
        bars.low[i] = price - std::fabs(step(engine));
    }
    return bars;
}

double seconds_of(auto&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(stop - start).count();
}

// Best time per sample of a routine and of its baseline, run alternately so that both see the
// same machine state.
void report(const char* name, auto&& routine, auto&& baseline) {
    double best_routine = std::numeric_limits<double>::infinity();
    double best_baseline = best_routine;
    for (int r = 0; r < repetitions; ++r) {
        best_routine = std::min(best_routine, seconds_of(routine));
        best_baseline = std::min(best_baseline, seconds_of(baseline));
    }
    const double routine_ns = best_routine * 1e9 / sample_count;
    const double baseline_ns = best_baseline * 1e9 / sample_count;
    const double ratio = routine_ns / baseline_ns;
    std::printf("%-8s %12.3f %12.3f %8.3f  %s\n", name, routine_ns, baseline_ns, ratio,
                ratio <= target_ratio ? "OK" : "SLOW");
}

}  // namespace

int main() {
    const Bars bars = random_walk(sample_count);
    const std::span<const double> data = bars.close;
    std::vector<double> out(sample_count), signal_out(sample_count), hist_out(sample_count);

    const double alpha = factor_source;
    const double keep = 1.0 - alpha;
    const double weight = factor_source;

    std::printf("%zu samples, best of %d, target ratio %.1f\n", sample_count, repetitions, target_ratio);
    std::printf("%-8s %12s %12s %8s  %s\n", "routine", "ns/element", "baseline", "ratio", "verdict");

    report(
        "sma",
        [&] {
            quillora::compute_sma(period, data, out);
            sink = out.back();
        },
        [&] {
            double sum = -0.0;
            for (const double x : data) sum = sum + x;
            sink = sum;
        });

    report(
        "ema",
        [&] {
            quillora::compute_ema(period, data, out);
            sink = out.back();
        },
        [&] {
            double average = data[0];
            for (const double x : data) average = average * keep + x * alpha;
            sink = average;
        });

    report(
        "macd",
        [&] {
            quillora::compute_macd(data, 12, 26, 9, out, signal_out, hist_out);
            sink = hist_out.back();
        },
        [&] {
            double fast = data[0], slow = data[0], signal = 0.0;
            for (const double x : data) {
                fast = fast * keep + x * alpha;
                slow = slow * keep + x * weight;
                signal = signal * alpha + x * keep;
            }
            sink = fast + slow + signal;
        });

    report(
        "atr",
        [&] {
            quillora::compute_atr(period, bars.high, bars.low, bars.close, out);
            sink = out.back();
        },
        [&] {
            double average = data[0];
            for (const double x : data) average = average + (x - average) * weight;
            sink = average;
        });
    return 0;
}
