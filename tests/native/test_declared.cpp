// Every declared indicator, batch against stepping: a batch run over a whole series, batch runs
// over random splits of it, and each column of a table in either layout give the bits of stepping
// one bar at a time, and the series runs leave the state saved exactly as stepping does. Data with missing runs,
// infinities and -0.0 crosses the pieces the batch runs work in; each indicator runs at every parameter set it accepts
// from a small list.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "indicators/all.hpp"
#include "indicators/table_run.hpp"

namespace {

using namespace quillora::indicators;
using Series = std::vector<double>;
using quillora::TableInput;
using quillora::TableOutput;
using quillora::TableShape;

int failures = 0;

const std::vector<std::vector<std::uint64_t>> count_choices = {
    {},     {1},    {2},    {3},      {14},       {30},      {3, 10},     {12, 26},
    {5, 3}, {2, 3}, {1, 1}, {20, 10}, {14, 5, 3}, {5, 3, 3}, {7, 14, 28}, {1, 1, 1},
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

// Missing runs, infinities, flat stretches, signed zeros, and sums and differences that overflow, at
// random places.
void spoil(std::vector<Series>& series, std::mt19937_64& engine) {
    const std::size_t length = series[0].size();
    std::uniform_int_distribution<std::size_t> place(0, length - 1), input(0, series.size() - 1), run(1, 40);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               -0.0,
                               0.0,
                               1e308,
                               -1e308};
    for (int n = 0; n < 35; ++n) {
        const std::size_t at = place(engine), span = run(engine);
        const double value = specials[n % 7];
        Series& target = series[input(engine)];
        for (std::size_t i = at; i < std::min(length, at + span); ++i) target[i] = value;
    }
    // Swings between the largest values, whose differences overflow to infinities.
    for (int n = 0; n < 2; ++n) {
        const std::size_t at = place(engine), span = run(engine);
        Series& target = series[input(engine)];
        for (std::size_t i = at; i < std::min(length, at + span); ++i) target[i] = (i - at) % 2 == 0 ? 1e308 : -1e308;
    }
    for (int n = 0; n < 5; ++n) {
        const std::size_t at = place(engine), span = run(engine) * 10;
        for (Series& s : series)
            for (std::size_t i = at; i < std::min(length, at + span); ++i) s[i] = s[at];
    }
    // Stretches of 0.0 and -0.0 at random in some of the inputs: values equal with different
    // bits, so which of equal values a window's extreme or a sum keeps shows in the results.
    std::bernoulli_distribution coin(0.5);
    for (int n = 0; n < 6; ++n) {
        const std::size_t at = place(engine), span = run(engine);
        for (Series& s : series) {
            if (series.size() > 1 && coin(engine)) continue;
            for (std::size_t i = at; i < std::min(length, at + span); ++i) s[i] = coin(engine) ? -0.0 : 0.0;
        }
    }
    // Stretches where every input is huge at once: sums over the inputs of one bar overflow.
    for (int n = 0; n < 3; ++n) {
        const std::size_t at = place(engine), span = run(engine);
        const double huge = n % 2 == 0 ? 1e308 : -1e308;
        for (Series& s : series)
            for (std::size_t i = at; i < std::min(length, at + span); ++i) s[i] = huge;
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
    // Stretches where one input follows another (a close at the low, a high equal to the low):
    // terms that are zero on one side only, ties between inputs.
    if (series.size() > 1) {
        for (int n = 0; n < 5; ++n) {
            const std::size_t at = place(engine), span = run(engine) * 10;
            const std::size_t to = input(engine), from = (to + 1 + input(engine) % (series.size() - 1)) % series.size();
            for (std::size_t i = at; i < std::min(length, at + span); ++i) series[to][i] = series[from][i];
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
                std::printf("FAILED: %s: output %zu bar %zu: %.17g, stepping gives %.17g\n", what.c_str(), k, i, a[i],
                            b[i]);
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

// How a table's symbols lie: side by side in rows, in evenly spaced runs (one column-major array),
// or in runs that are not (the columns of a polars frame; here reversed).
enum class Layout { rows, columns, scattered_columns };

// Symbols of a table: the series, then the series with its bars shifted, each its own state;
// `layout` places them and `lockstep` picks the walk over the table's blocks.
template <Indicator S>
void compare_table(const Parameters& p, const std::vector<Series>& in, Layout layout, bool lockstep) {
    constexpr std::size_t symbols = 19;  // a whole block of symbols stepped together, and part of one
    const std::size_t bars = in[0].size();
    auto shifted = [&](std::size_t k, std::size_t symbol, std::size_t bar) {
        return in[k][(bar + 97 * symbol) % bars];
    };
    const bool row_major = layout == Layout::rows;
    // Where a symbol's element lies in its table's memory.
    auto at = [&](std::size_t symbol, std::size_t bar) {
        if (row_major) return bar * symbols + symbol;
        return (layout == Layout::columns ? symbol : symbols - 1 - symbol) * bars + bar;
    };
    std::vector<Series> inputs(S::inputs, Series(bars * symbols)), outputs(S::outputs, Series(bars * symbols));
    std::vector<std::vector<const double*>> in_columns(S::inputs);
    std::vector<std::vector<double*>> out_columns(S::outputs);
    for (std::size_t k = 0; k < S::inputs; ++k)
        for (std::size_t symbol = 0; symbol < symbols; ++symbol)
            for (std::size_t bar = 0; bar < bars; ++bar) inputs[k][at(symbol, bar)] = shifted(k, symbol, bar);
    TableInput table_in[S::inputs];
    TableOutput table_out[S::outputs];
    for (std::size_t k = 0; k < S::inputs; ++k) {
        for (std::size_t symbol = 0; symbol < symbols; ++symbol)
            in_columns[k].push_back(inputs[k].data() + at(symbol, 0));
        table_in[k] =
            row_major ? TableInput{inputs[k].data(), symbols, nullptr} : TableInput{nullptr, 0, in_columns[k].data()};
    }
    for (std::size_t k = 0; k < S::outputs; ++k) {
        for (std::size_t symbol = 0; symbol < symbols; ++symbol)
            out_columns[k].push_back(outputs[k].data() + at(symbol, 0));
        table_out[k] = row_major ? TableOutput{outputs[k].data(), symbols, nullptr}
                                 : TableOutput{nullptr, 0, out_columns[k].data()};
    }
    if (!run_table<S>(p, TableShape{bars, symbols}, table_in, table_out, 2, lockstep)) {
        std::printf("FAILED: %s: the table ran out of memory\n", S::name);
        ++failures;
        return;
    }
    for (std::size_t symbol = 0; symbol < symbols; ++symbol) {
        std::vector<Series> column(S::inputs, Series(bars));
        for (std::size_t k = 0; k < S::inputs; ++k)
            for (std::size_t bar = 0; bar < bars; ++bar) column[k][bar] = shifted(k, symbol, bar);
        const auto stepped =
            run_with<S>(p, column, [](S& st, auto in_, auto out_, std::size_t n) { step_bars(st, in_, out_, 0, n); });
        for (std::size_t k = 0; k < S::outputs; ++k) {
            for (std::size_t bar = 0; bar < bars; ++bar) {
                const double got = outputs[k][at(symbol, bar)];
                if (std::memcmp(&got, &stepped.values[k][bar], sizeof got) != 0) {
                    std::printf(
                        "FAILED: %s: %s table, %s, symbol %zu output %zu bar %zu: %.17g, stepping gives %.17g\n",
                        S::name, row_major ? "row-major" : (layout == Layout::columns ? "column" : "scattered column"),
                        lockstep ? "lockstep" : "batch runs", symbol, k, bar, got, stepped.values[k][bar]);
                    ++failures;
                    return;
                }
            }
        }
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
                const auto stepped =
                    run_with<S>(p, in, [](S& s, auto in_, auto out_, std::size_t n) { step_bars(s, in_, out_, 0, n); });
                compare<S>(
                    "whole", p,
                    run_with<S>(p, in, [](S& s, auto in_, auto out_, std::size_t n) { run_series(s, in_, out_, n); }),
                    stepped);
                if (variant == 2) {
                    for (const bool lockstep : {false, true}) {
                        for (const Layout layout : {Layout::rows, Layout::columns, Layout::scattered_columns})
                            compare_table<S>(p, in, layout, lockstep);
                    }
                }
                compare<S>("split", p,
                           run_with<S>(p, in,
                                       [&engine](S& s, auto in_, auto out_, std::size_t n) {
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
                                       }),
                           stepped);
                // Batch runs and stepping taking turns, as live updates follow a batch: what a
                // batch run leaves in the state beyond its saved form must step on as stepping's.
                compare<S>("turns", p,
                           run_with<S>(p, in,
                                       [&engine](S& s, auto in_, auto out_, std::size_t n) {
                                           std::uniform_int_distribution<std::size_t> cut(0, 600);
                                           bool batch = true;
                                           for (std::size_t first = 0; first < n; batch = !batch) {
                                               const std::size_t last = std::min(n, first + cut(engine));
                                               if (batch) {
                                                   const double* in_at[S::inputs];
                                                   double* out_at[S::outputs];
                                                   for (std::size_t k = 0; k < S::inputs; ++k)
                                                       in_at[k] = in_[k] + first;
                                                   for (std::size_t k = 0; k < S::outputs; ++k)
                                                       out_at[k] = out_[k] + first;
                                                   run_series(s, in_at, out_at, last - first);
                                               } else {
                                                   step_bars(s, in_, out_, first, last);
                                               }
                                               first = last;
                                           }
                                       }),
                           stepped);
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

// The lane kernels without AVX2 (two symbols to a register) against the same kernels with it, on
// the same block of spoiled samples and fields: tables reach only one of them on a given CPU.
template <typename K>
void compare_lane_builds(const char* name, const K& kernel, std::mt19937_64& engine) {
    if (!quillora::table_isa_available(quillora::TableIsa::avx2)) return;
    constexpr std::size_t bars = 3000, count = 13;  // part of a block, read through tiles
    std::vector<Series> in = walk(K::inputs, bars * count, engine);
    spoil(in, engine);
    Lane in_lanes[K::inputs][symbols_per_block] = {}, out_lanes[2][symbols_per_block] = {};
    BlockLanes in_blocks[K::inputs];
    std::vector<Series> out(2, Series(bars * count));
    for (std::size_t k = 0; k < K::inputs; ++k) {
        for (std::size_t s = 0; s < count; ++s) in_lanes[k][s] = {in[k].data() + s * bars, 1};
        in_blocks[k] = block_lanes(in_lanes[k], count);
    }
    LaneFields<K> fields[2] = {};
    for (std::size_t f = 0; f < K::fields; ++f)
        for (std::size_t s = 0; s < count; ++s) fields[0][f][s] = fields[1][f][s] = in[0][s * bars] * (f + 1.0);
    for (int build = 0; build < 2; ++build) {
        for (std::size_t s = 0; s < count; ++s) out_lanes[build][s] = {out[build].data() + s * bars, 1};
        const BlockLanes out_block = block_lanes(out_lanes[build], count);
        if (build == 0) {
            lane_detail::run_baseline(kernel, fields[0], count, in_blocks, out_block, 0, bars);
        } else {
            lane_detail::run_avx2(kernel, fields[1], count, in_blocks, out_block, 0, bars);
        }
    }
    if (!same_bits(out[0], out[1]) || std::memcmp(fields[0], fields[1], sizeof fields[0]) != 0) {
        std::printf("FAILED: %s lanes: the builds without and with AVX2 differ\n", name);
        ++failures;
    }
}

int main() {
    std::mt19937_64 engine(20261209);
    check_all(AllIndicators{}, engine);
    compare_lane_builds("rsi", WilderChangesLanes<true>(13.0, 14.0), engine);
    compare_lane_builds("cmo", WilderChangesLanes<false>(13.0, 14.0), engine);
    compare_lane_builds("rma", WilderAverageLanes(2.0, 3.0), engine);
    compare_lane_builds("natr", NatrLanes(13.0, 14.0), engine);
    compare_lane_builds("dema", EmaChainLanes<ChainValue::dema>(0.8, 0.2), engine);
    compare_lane_builds("tema", EmaChainLanes<ChainValue::tema>(0.8, 0.2), engine);
    compare_lane_builds("trix", EmaChainLanes<ChainValue::trix>(0.8, 0.2), engine);
    compare_lane_builds("ppo", EmaPairLanes<true>(0.8, 0.2, 0.9, 0.1), engine);
    compare_lane_builds("bop", BopLanes{}, engine);
    compare_lane_builds("ad", AdLanes{}, engine);
    compare_lane_builds("obv", ObvLanes{}, engine);
    compare_lane_builds("trange", TrueRangeLanes{}, engine);
    compare_lane_builds("adosc", AdoscLanes(0.5, 0.5, 0.8, 0.2), engine);
    compare_lane_builds("vwap", VwapLanes{}, engine);
    compare_lane_builds("roc", ChangeLanes<ChangeKind::roc>(7), engine);
    compare_lane_builds("mom", ChangeLanes<ChangeKind::mom>(7), engine);
    compare_lane_builds("sum", SumLanes(7), engine);
    compare_lane_builds("cmf", CmfLanes(7), engine);
    compare_lane_builds("linearreg", regression::LineLanes<regression::AtNewest>(7), engine);
    compare_lane_builds("linearreg_angle", regression::LineLanes<regression::Angle>(7), engine);
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
