// Declared indicators without Python: batch runs (`run_series`) against stepping one bar at a time,
// over one million bars of a random walk, timed by the thread's CPU time.
// `bench_declared NAME [COUNTS [REALS]]`, the lists comma-separated ("14,3,3", "2.0,2.0"; "-" for
// none), prints one line:
//     NAME batch_ns_per_bar step_ns_per_bar bare_chain_ns_per_bar
// the last "-" where the indicator has no bare chain listed (bare_chains/).
// `bench_declared` alone runs every indicator at the first parameters of a small list it accepts.
// `bench_declared --tables [NAME ...]` times tables of 64 symbols x 2,000 bars instead, in both
// layouts and both walks, and prints per indicator
//     NAME rows_batch_us rows_lockstep_us columns_batch_us columns_lockstep_us walk
// the last the walk the indicator's tables take ("rows lockstep": lockstep where row-major, else batch).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bare_chains/averages.hpp"
#include "bare_chains/flows.hpp"
#include "bare_chains/regression.hpp"
#include "bare_chains/smoothed.hpp"
#include "bare_chains/trend.hpp"
#include "bare_chains/windowed.hpp"
#include "indicators/all.hpp"
#include "indicators/table_run.hpp"

namespace {

using namespace quillora::indicators;
using quillora::TableInput;
using quillora::TableOutput;
using quillora::TableShape;
using quillora::bench::BareChain;
using quillora::bench::Bars;

constexpr std::size_t bar_count = 1'000'000;

// The calling thread's CPU time: on a shared machine, time spent waiting for the CPU is not counted.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}
constexpr int repetitions = 15;

// high, low, close, volume-like series around one walk; one-input indicators take the third.
std::vector<std::vector<double>> bars() {
    std::mt19937_64 engine(7);
    std::normal_distribution<double> step(0.0, 1.0);
    std::vector<std::vector<double>> series(4, std::vector<double>(bar_count));
    double price = 100.0;
    for (std::size_t i = 0; i < bar_count; ++i) {
        price += step(engine);
        series[0][i] = price + 0.5 + std::abs(step(engine));
        series[1][i] = price - 0.5 - std::abs(step(engine));
        series[2][i] = price + 0.25 * step(engine);
        series[3][i] = 1000.0 + 100.0 * std::abs(step(engine));
    }
    return series;
}

template <Indicator S>
double time_run(const Parameters& p, const std::vector<std::vector<double>>& data, bool batch) {
    std::vector<std::vector<double>> results(S::outputs, std::vector<double>(bar_count));
    const double* inputs[S::inputs];
    double* outputs[S::outputs];
    for (std::size_t k = 0; k < S::inputs; ++k) inputs[k] = data[S::inputs == 1 ? 2 : k].data();
    for (std::size_t k = 0; k < S::outputs; ++k) outputs[k] = results[k].data();
    double best = 1e30;
    for (int r = 0; r < repetitions; ++r) {
        S state(p);
        const double start = thread_seconds();
        if (batch) {
            run_series(state, inputs, outputs, bar_count);
        } else {
            step_bars(state, inputs, outputs, 0, bar_count);
        }
        best = std::min(best, thread_seconds() - start);
    }
    volatile double sink = results[0][bar_count - 1];
    (void)sink;
    return best * 1e9 / bar_count;
}

// The bare chain of the indicator `name`, timed like its batch run; negative where none is listed.
double time_bare_chain(std::string_view name, const Parameters& p, const Bars& data) {
    for (const std::vector<BareChain>* chains :
         {&quillora::bench::smoothed_chains, &quillora::bench::windowed_chains, &quillora::bench::trend_chains,
          &quillora::bench::averages_chains, &quillora::bench::flows_chains, &quillora::bench::regression_chains}) {
        for (const BareChain& chain : *chains) {
            if (name != chain.name) continue;
            std::vector<double> out(bar_count);
            double best = 1e30;
            for (int r = 0; r < repetitions; ++r) {
                const double start = thread_seconds();
                chain.run(data, p, out.data());
                best = std::min(best, thread_seconds() - start);
            }
            volatile double sink = out[bar_count - 1];
            (void)sink;
            return best * 1e9 / bar_count;
        }
    }
    return -1.0;
}

constexpr std::size_t table_bars = 2000, table_symbols = 64;

// One table call, both layouts of the same bars: `rows` (C order) or `columns` (Fortran order).
template <Indicator S>
double time_table(const Parameters& p, const std::vector<std::vector<double>>& data, bool rows, bool lockstep) {
    const std::size_t elements = table_bars * table_symbols;
    std::vector<std::vector<double>> tables(S::inputs, std::vector<double>(elements));
    std::vector<std::vector<double>> results(S::outputs, std::vector<double>(elements));
    std::vector<TableInput> inputs(S::inputs);
    std::vector<TableOutput> outputs(S::outputs);
    for (std::size_t k = 0; k < S::inputs; ++k) {
        const std::vector<double>& series = data[S::inputs == 1 ? 2 : k];
        for (std::size_t s = 0; s < table_symbols; ++s)
            for (std::size_t bar = 0; bar < table_bars; ++bar)
                tables[k][rows ? bar * table_symbols + s : s * table_bars + bar] = series[s * table_bars + bar];
    }
    std::vector<std::vector<const double*>> input_columns(S::inputs);
    std::vector<std::vector<double*>> output_columns(S::outputs);
    for (std::size_t k = 0; k < S::inputs; ++k) {
        for (std::size_t s = 0; s < table_symbols; ++s) input_columns[k].push_back(tables[k].data() + s * table_bars);
        inputs[k] = rows ? TableInput{tables[k].data(), table_symbols, nullptr}
                         : TableInput{nullptr, 0, input_columns[k].data()};
    }
    for (std::size_t k = 0; k < S::outputs; ++k) {
        for (std::size_t s = 0; s < table_symbols; ++s) output_columns[k].push_back(results[k].data() + s * table_bars);
        outputs[k] = rows ? TableOutput{results[k].data(), table_symbols, nullptr}
                          : TableOutput{nullptr, 0, output_columns[k].data()};
    }
    double best = 1e30;
    for (int r = 0; r < 5 * repetitions; ++r) {
        const double start = thread_seconds();
        if (!run_table<S>(p, TableShape{table_bars, table_symbols}, inputs.data(), outputs.data(), 1, lockstep))
            std::abort();
        best = std::min(best, thread_seconds() - start);
    }
    volatile double sink = results[0][elements - 1];
    (void)sink;
    return best * 1e6;
}

template <Indicator S>
bool bench_table(std::string_view wanted, const std::vector<std::uint64_t>& counts, const std::vector<double>& reals,
                 const std::vector<std::vector<double>>& data) {
    if (!wanted.empty() && wanted != S::name) return false;
    const Parameters p{counts, reals};
    if (!S::valid(p)) return !wanted.empty();
    std::printf("%s %.1f %.1f %.1f %.1f %s\n", S::name, time_table<S>(p, data, true, false),
                time_table<S>(p, data, true, true), time_table<S>(p, data, false, false),
                time_table<S>(p, data, false, true),
                tables_lockstep<S> ? "lockstep" : (tables_lanes_by_rows<S> ? "rows lockstep" : "batch"));
    std::fflush(stdout);
    return true;
}

template <typename T>
std::vector<T> parse_list(const char* text) {
    std::vector<T> values;
    if (text == nullptr || std::string_view(text) == "-") return values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) values.push_back(static_cast<T>(std::strtod(item.c_str(), nullptr)));
    return values;
}

template <Indicator S>
bool bench_one(std::string_view wanted, const std::vector<std::uint64_t>& counts, const std::vector<double>& reals,
               const std::vector<std::vector<double>>& data) {
    if (!wanted.empty() && wanted != S::name) return false;
    const Parameters p{counts, reals};
    if (!S::valid(p)) {
        if (!wanted.empty()) std::printf("%s does not accept these parameters\n", S::name);
        return !wanted.empty();
    }
    const double batch = time_run<S>(p, data, true), stepped = time_run<S>(p, data, false);
    const double chain = time_bare_chain(S::name, p, data);
    if (chain < 0.0) {
        std::printf("%s %.3f %.3f -\n", S::name, batch, stepped);
    } else {
        std::printf("%s %.3f %.3f %.3f\n", S::name, batch, stepped, chain);
    }
    std::fflush(stdout);
    return true;
}

const std::vector<std::vector<std::uint64_t>> default_counts = {{},        {14},       {12, 26},    {3, 10}, {5, 3},
                                                                {5, 3, 3}, {14, 5, 3}, {7, 14, 28}, {20, 10}};
const std::vector<std::vector<double>> default_reals = {{}, {2.0}, {2.0, 2.0}, {0.02, 0.2}};

template <Indicator S>
void bench_first_accepted(const std::vector<std::vector<double>>& data) {
    for (const auto& counts : default_counts)
        for (const auto& reals : default_reals)
            if (bench_one<S>("", counts, reals, data)) return;
}

template <Indicator... States>
void bench_all(IndicatorList<States...>, const std::vector<std::vector<double>>& data) {
    (bench_first_accepted<States>(data), ...);
}

template <Indicator S>
void bench_table_first_accepted(std::string_view wanted, const std::vector<std::vector<double>>& data) {
    if (!wanted.empty() && wanted != S::name) return;
    for (const auto& counts : default_counts)
        for (const auto& reals : default_reals)
            if (S::valid(Parameters{counts, reals})) {
                bench_table<S>("", counts, reals, data);
                return;
            }
}

template <Indicator... States>
void bench_tables(IndicatorList<States...>, std::string_view wanted, const std::vector<std::vector<double>>& data) {
    (bench_table_first_accepted<States>(wanted, data), ...);
}

template <Indicator... States>
bool bench_named(IndicatorList<States...>, std::string_view name, const std::vector<std::uint64_t>& counts,
                 const std::vector<double>& reals, const std::vector<std::vector<double>>& data) {
    return (bench_one<States>(name, counts, reals, data) || ...);
}

}  // namespace

int main(int argc, char** argv) {
    const auto data = bars();
    if (argc < 2) {
        bench_all(AllIndicators{}, data);
        return 0;
    }
    if (std::string_view(argv[1]) == "--tables") {
        if (argc == 2) bench_tables(AllIndicators{}, "", data);
        for (int a = 2; a < argc; ++a) bench_tables(AllIndicators{}, argv[a], data);
        return 0;
    }
    if (!bench_named(AllIndicators{}, argv[1], parse_list<std::uint64_t>(argc > 2 ? argv[2] : nullptr),
                     parse_list<double>(argc > 3 ? argv[3] : nullptr), data)) {
        std::printf("no indicator named %s\n", argv[1]);
        return 1;
    }
    return 0;
}
