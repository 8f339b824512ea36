// Every declared indicator, batch against stepping: a batch run over a whole series, and batch
// runs over random splits of it, give the bits of stepping one bar at a time, and leave the state
// saved exactly as stepping does. Data with missing runs, infinities and -0.0 crosses the pieces
// the batch runs work in; each indicator runs at every parameter set it accepts from a small list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "indicators/all.hpp"

namespace {

using namespace quillora::indicators;
using Series = std::vector<double>;

int failures = 0;

const std::vector<std::vector<std::uint64_t>> count_choices = {
    {}, {1}, {2}, {3}, {14}, {30}, {3, 10}, {12, 26}, {5, 3}, {2, 3}, {1, 1}, {20, 10}, {14, 5, 3}, {5, 3, 3}, {7, 14, 28}, {1, 1, 1},
};
const std::vector<std::vector<double>> real_choices = {{}, {2.0}, {0.5}, {2.0, 2.0}, {0.5, 1.5}, {0.02, 0.2}};

// Bars of a random walk, one series per input, each its own noise around the walk.
std::vector<Series> walk(std::size_t inputs, std::size_t length, std::mt19937_64& engine) {
    std::normal_distribution<double> step(0.0, 1.0);
    std::vector<Series> series(inputs, Series(length));
    double price = 100.0;
    for (std::size_t i = 0; i < length; ++i) {
        price += step(engine);
        for (std::size_t k = 0; k < inputs; ++k) series[k][i] = price + (k == 0 ? 1.0 : -1.0) * std::abs(step(engine));
    }
    return series;
}

// Missing runs, infinities, flat stretches, signed zeros and sums that overflow, at random places.
void spoil(std::vector<Series>& series, std::mt19937_64& engine) {
    const std::size_t length = series[0].size();
    std::uniform_int_distribution<std::size_t> place(0, length - 1), input(0, series.size() - 1), run(1, 40);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), -0.0, 0.0, 1e308, -1e308};
    for (int n = 0; n < 35; ++n) {
        const std::size_t at = place(engine), span = run(engine);
        const double value = specials[n % 7];
        Series& target = series[input(engine)];
        for (std::size_t i = at; i < std::min(length, at + span); ++i) target[i] = value;
    }
    for (int n = 0; n < 5; ++n) {
        const std::size_t at = place(engine), span = run(engine) * 10;
        for (Series& s : series)
            for (std::size_t i = at; i < std::min(length, at + span); ++i) s[i] = s[at];
    }
    // Zeros of both signs among values below and above them, at random, in one input and then in
    // all: the zeros compare equal and differ in their bits, so a window's extreme or a tie shows
    // which of equal values a run keeps. One stretch opens the series, where sums start from
    // nothing (a volume that has not traded yet) and can come back to exactly zero.
    const double around_zero[] = {0.0, -0.0, 0.0, -0.0, -1.0, 1.0};
    std::uniform_int_distribution<int> pick(0, 5);
    for (int n = 0; n < 8; ++n) {
        const std::size_t at = n == 1 ? 0 : place(engine), span = run(engine) * 5;
        const std::size_t only = input(engine);
        for (std::size_t k = 0; k < series.size(); ++k) {
            if (n % 2 == 0 && k != only) continue;
            for (std::size_t i = at; i < std::min(length, at + span); ++i) series[k][i] = around_zero[pick(engine)];
        }
    }
}

template <Indicator S>
struct Outputs {
    std::vector<Series> values;
    StateWriter saved;
};

template <Indicator S, typename Run>
Outputs<S> run_with(const Parameters& parameters, const std::vector<Series>& in, Run&& run) {
    S state(parameters);
    Outputs<S> result{std::vector<Series>(S::outputs, Series(in[0].size())), {}};
    const double* inputs[S::inputs];
    double* outputs[S::outputs];
    for (std::size_t k = 0; k < S::inputs; ++k) inputs[k] = in[k].data();
    for (std::size_t k = 0; k < S::outputs; ++k) outputs[k] = result.values[k].data();
    run(state, inputs, outputs, in[0].size());
    state.save(result.saved);
    return result;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

template <Indicator S>
void compare(const char* how, const Parameters& p, const Outputs<S>& got, const Outputs<S>& stepped) {
    std::string what = std::string(S::name) + " (";
    for (auto c : p.counts) what += std::to_string(c) + " ";
    for (auto r : p.reals) what += std::to_string(r) + " ";
    what += std::string(") ") + how;
    for (std::size_t k = 0; k < S::outputs; ++k) {
        const Series &a = got.values[k], &b = stepped.values[k];
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) {
                std::printf("FAILED: %s: output %zu bar %zu: %.17g, stepping gives %.17g\n", what.c_str(), k, i, a[i], b[i]);
                ++failures;
                return;
            }
        }
    }
    if (got.saved.counts != stepped.saved.counts || !same_bits(got.saved.reals, stepped.saved.reals)) {
        std::printf("FAILED: %s: the saved state differs from stepping's\n", what.c_str());
        ++failures;
    }
}

template <Indicator S>
void check_indicator(std::mt19937_64& engine) {
    int accepted = 0;
    for (const auto& counts : count_choices) {
        for (const auto& reals : real_choices) {
            const Parameters p{counts, reals};
            if (!S::valid(p)) continue;
            ++accepted;
            for (int variant = 0; variant < 3; ++variant) {
                std::vector<Series> in = walk(S::inputs, variant == 0 ? 300 : 20000, engine);
                if (variant != 1) spoil(in, engine);
                const auto stepped = run_with<S>(p, in, [](S& s, auto in_, auto out_, std::size_t n) {
                    step_bars(s, in_, out_, 0, n);
                });
                compare<S>("whole", p, run_with<S>(p, in, [](S& s, auto in_, auto out_, std::size_t n) {
                    run_series(s, in_, out_, n);
                }), stepped);
                compare<S>("split", p, run_with<S>(p, in, [&engine](S& s, auto in_, auto out_, std::size_t n) {
                    std::uniform_int_distribution<std::size_t> cut(0, 3000);
                    for (std::size_t first = 0; first < n;) {
                        const std::size_t last = std::min(n, first + cut(engine));
                        const double* in_at[S::inputs];
                        double* out_at[S::outputs];
                        for (std::size_t k = 0; k < S::inputs; ++k) in_at[k] = in_[k] + first;
                        for (std::size_t k = 0; k < S::outputs; ++k) out_at[k] = out_[k] + first;
                        run_series(s, in_at, out_at, last - first);
                        first = last;
                    }
                }), stepped);
            }
        }
    }
    if (accepted == 0) {
        std::printf("FAILED: %s accepts none of the parameter sets tried\n", S::name);
        ++failures;
    }
}

template <Indicator... States>
void check_all(IndicatorList<States...>, std::mt19937_64& engine) {
    (check_indicator<States>(engine), ...);
}

}  // namespace

int main() {
    std::mt19937_64 engine(20261209);
    check_all(AllIndicators{}, engine);
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
