// Table benchmark: the table kernels against the one-series routines looped over the columns, on a
// cache-resident table and on one far larger than the caches (against the memory floor measured by
// memcpy in the same run), and the two-thread speed-up with threads bound to CPUs.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "sma.hpp"
#include "table.hpp"
#include "worker_pool.hpp"

namespace {

constexpr std::size_t symbols = 64;
constexpr std::uint64_t period = 14;
constexpr std::uint64_t fast_period = 12, slow_period = 26, signal_period = 9;

// A row-major table whose first element lies `offset` bytes past a 64-byte boundary: NumPy hands
// out arrays 16 bytes off a cache line as readily as on one.
struct RowTable {
    std::vector<double> storage;
    double* rows;
    RowTable(std::size_t elements, std::size_t offset) : storage(elements + 16) {
        rows = storage.data();
        while (reinterpret_cast<std::uintptr_t>(rows) % 64 != offset) ++rows;
    }
    double& operator[](std::size_t i) { return rows[i]; }
};

// The same random-walk bars twice: as (bars, symbols) row-major tables and as one contiguous
// column per symbol, the layout the one-series routines take.
struct Bars {
    std::size_t bars;
    RowTable high, low, close;
    std::vector<std::vector<double>> high_columns, low_columns, close_columns;

    Bars(std::size_t n, std::size_t offset)
        : bars(n), high(n * symbols, offset), low(n * symbols, offset), close(n * symbols, offset) {
        std::mt19937_64 engine(20261208);
        std::normal_distribution<double> step(0.0, 1.0);
        for (std::size_t s = 0; s < symbols; ++s) {
            high_columns.emplace_back(n);
            low_columns.emplace_back(n);
            close_columns.emplace_back(n);
            double price = 100.0;
            for (std::size_t i = 0; i < n; ++i) {
                price += step(engine);
                const double h = price + std::fabs(step(engine)), l = price - std::fabs(step(engine));
                close[i * symbols + s] = close_columns[s][i] = price;
                high[i * symbols + s] = high_columns[s][i] = h;
                low[i * symbols + s] = low_columns[s][i] = l;
            }
        }
    }
};

// Outputs in both layouts, written once so that no page fault lands in a timed run.
struct Outputs {
    std::vector<RowTable> rows;
    std::vector<std::vector<double>> columns[3];
    std::vector<double*> column_pointers[3];

    Outputs(std::size_t bars, std::size_t offset) {
        for (int k = 0; k < 3; ++k) {
            rows.emplace_back(bars * symbols, offset);
            for (std::size_t i = 0; i < bars * symbols; ++i) rows[k][i] = 0.0;
            columns[k].assign(symbols, std::vector<double>(bars, 0.0));
            for (auto& column : columns[k]) column_pointers[k].push_back(column.data());
        }
    }
    quillora::TableOutput row_table(int k) { return {.rows = rows[k].rows, .row_stride = symbols}; }
};

std::vector<const double*> pointers(const std::vector<std::vector<double>>& columns) {
    std::vector<const double*> out;
    for (const auto& column : columns) out.push_back(column.data());
    return out;
}

double seconds_of(const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best time of each body, the bodies run in turn within every repetition so that all see the
// same machine state.
std::vector<double> best_times(int repetitions, const std::vector<std::function<void()>>& bodies) {
    std::vector<double> best(bodies.size(), std::numeric_limits<double>::infinity());
    for (int r = 0; r < repetitions; ++r) {
        for (std::size_t b = 0; b < bodies.size(); ++b) best[b] = std::min(best[b], seconds_of(bodies[b]));
    }
    return best;
}

const char* verdict(bool ok) { return ok ? "OK" : "MISS"; }

bool bind_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// Binds the calling thread to `first_cpu` and pool worker k to the CPU after it (part k + 1 always
// runs on worker k).
bool bind_pool(const std::vector<int>& cpus) {
    static std::vector<int> chosen;
    static bool all_bound;
    chosen = cpus;
    all_bound = true;
    quillora::run_parts(cpus.size(), {[](const void*, std::size_t part) noexcept {
                                          if (!bind_to_cpu(chosen[part])) all_bound = false;
                                      },
                                      nullptr});
    return all_bound;
}

struct Indicator {
    const char* name;
    int tables_read, tables_written;
    std::function<void(Bars&, Outputs&, unsigned workers)> rows;     // row-major table kernel
    std::function<void(Bars&, Outputs&, unsigned workers)> columns;  // column table kernel
    std::function<void(Bars&, Outputs&)> core_loop;                   // one-series routine per column
};

std::vector<Indicator> indicators() {
    using quillora::TableInput, quillora::TableShape, quillora::TableOptions;
    auto rows_in = [](RowTable& table) { return TableInput{.rows = table.rows, .row_stride = symbols}; };
    auto columns_in = [](std::vector<const double*>& columns) { return TableInput{.columns = columns.data()}; };
    auto columns_out = [](Outputs& out, int k) { return quillora::TableOutput{.columns = out.column_pointers[k].data()}; };
    return {
        {"sma", 1, 1,
         [=](Bars& b, Outputs& o, unsigned w) {
             quillora::table_sma(period, {b.bars, symbols}, rows_in(b.close), o.row_table(0), TableOptions{w});
         },
         [=](Bars& b, Outputs& o, unsigned w) {
             auto close = pointers(b.close_columns);
             quillora::table_sma(period, {b.bars, symbols}, columns_in(close), columns_out(o, 0), TableOptions{w});
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) quillora::compute_sma(period, b.close_columns[s], o.columns[0][s]);
         }},
        {"ema", 1, 1,
         [=](Bars& b, Outputs& o, unsigned w) {
             quillora::table_ema(period, {b.bars, symbols}, rows_in(b.close), o.row_table(0), TableOptions{w});
         },
         [=](Bars& b, Outputs& o, unsigned w) {
             auto close = pointers(b.close_columns);
             quillora::table_ema(period, {b.bars, symbols}, columns_in(close), columns_out(o, 0), TableOptions{w});
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) quillora::compute_ema(period, b.close_columns[s], o.columns[0][s]);
         }},
        {"macd", 1, 3,
         [=](Bars& b, Outputs& o, unsigned w) {
             quillora::table_macd({b.bars, symbols}, rows_in(b.close), fast_period, slow_period, signal_period,
                                  o.row_table(0), o.row_table(1), o.row_table(2), TableOptions{w});
         },
         [=](Bars& b, Outputs& o, unsigned w) {
             auto close = pointers(b.close_columns);
             quillora::table_macd({b.bars, symbols}, columns_in(close), fast_period, slow_period, signal_period,
                                  columns_out(o, 0), columns_out(o, 1), columns_out(o, 2), TableOptions{w});
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) {
                 quillora::compute_macd(b.close_columns[s], fast_period, slow_period, signal_period, o.columns[0][s],
                                        o.columns[1][s], o.columns[2][s]);
             }
         }},
        {"atr", 3, 1,
         [=](Bars& b, Outputs& o, unsigned w) {
             quillora::table_atr(period, {b.bars, symbols}, rows_in(b.high), rows_in(b.low), rows_in(b.close),
                                 o.row_table(0), TableOptions{w});
         },
         [=](Bars& b, Outputs& o, unsigned w) {
             auto high = pointers(b.high_columns), low = pointers(b.low_columns), close = pointers(b.close_columns);
             quillora::table_atr(period, {b.bars, symbols}, columns_in(high), columns_in(low), columns_in(close),
                                 columns_out(o, 0), TableOptions{w});
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) {
                 quillora::compute_atr(period, b.high_columns[s], b.low_columns[s], b.close_columns[s], o.columns[0][s]);
             }
         }},
    };
}

// Cache-resident table: each indicator at most a quarter of the core loop.
void cache_resident(std::vector<Indicator>& all) {
    constexpr std::size_t bars = 2000;
    constexpr double target = 0.25;
    constexpr int repetitions = 300;
    Bars data(bars, 16);
    Outputs out(bars, 16);
    std::printf("\ncache-resident table, %zu symbols x %zu bars, row-major 16 bytes off a cache line, 1 worker, best of %d\n",
                symbols, bars, repetitions);
    std::printf("  %-6s %12s %12s %8s %8s   %12s %8s\n", "", "core loop", "table", "ratio", "target", "columns",
                "ratio");
    for (Indicator& ind : all) {
        const auto best = best_times(repetitions, {[&] { ind.core_loop(data, out); }, [&] { ind.rows(data, out, 1); },
                                                   [&] { ind.columns(data, out, 1); }});
        const double ratio = best[1] / best[0];
        std::printf("  %-6s %9.1f us %9.1f us %8.3f %8.2f   %9.1f us %8.3f  %s\n", ind.name, best[0] * 1e6,
                    best[1] * 1e6, ratio, target, best[2] * 1e6, best[2] / best[0], verdict(ratio <= target));
    }
}

// Large table: no slower than the larger of the memory floor and half the core loop, and never
// slower than the core loop; rows on a cache line and 16 bytes off one.
void large(std::vector<Indicator>& all) {
    constexpr std::size_t bars = 100'000;
    constexpr int repetitions = 12;
    const std::size_t table_bytes = bars * symbols * sizeof(double);
    std::vector<char> copy_from(table_bytes, 1), copy_to(table_bytes, 2);
    auto copy = [&] { std::memcpy(copy_to.data(), copy_from.data(), table_bytes); };
    std::printf("\nlarge table, %zu symbols x %zu bars (%.1f MB a table), row-major, 1 worker, best of %d\n", symbols,
                bars, table_bytes / 1e6, repetitions);
    std::printf("  target: table <= max(floor, core / 2) and table <= core; floor = memcpy time of the bytes read and written\n");
    std::printf("  %-6s %-10s %10s %10s %10s %8s\n", "", "rows", "core loop", "floor", "table", "ratio");
    for (std::size_t offset : {std::size_t{0}, std::size_t{16}}) {
        Bars data(bars, offset);
        Outputs out(bars, offset);
        for (Indicator& ind : all) {
            const auto best = best_times(repetitions, {copy, [&] { ind.core_loop(data, out); }, [&] { ind.rows(data, out, 1); }});
            // memcpy reads one table and writes one: the floor scales that to the tables touched.
            const double floor = best[0] * (ind.tables_read + ind.tables_written) / 2.0;
            const double ratio = best[2] / std::max(floor, 0.5 * best[1]);
            std::printf("  %-6s %-10s %7.2f ms %7.2f ms %7.2f ms %8.3f  %s (%.3f of core)\n", ind.name,
                        offset == 0 ? "aligned" : "+16 bytes", best[1] * 1e3, floor * 1e3, best[2] * 1e3, ratio,
                        verdict(ratio <= 1.0 && best[2] <= best[1]), best[2] / best[1]);
        }
    }
    std::printf("  memcpy: %.1f GB/s (bytes read + written)\n", 2.0 * table_bytes / 1e9 / best_times(repetitions, {copy})[0]);
    Bars data(bars, 16);
    Outputs out(bars, 16);
    std::printf("  separate columns (no target): ");
    for (Indicator& ind : all) {
        std::printf("%s %.2f ms  ", ind.name, best_times(3, {[&] { ind.columns(data, out, 1); }})[0] * 1e3);
    }
    std::printf("\n");
}

// Two workers against one on the cache-resident table, threads bound to the first two CPUs the
// process may use.
void scaling(std::vector<Indicator>& all, const cpu_set_t& allowed) {
    constexpr std::size_t bars = 2000;
    constexpr double target = 1.8;
    constexpr int repetitions = 300;
    if (CPU_COUNT(&allowed) < 2) {
        std::printf("\ntwo-thread scaling: skipped, fewer than two CPUs available\n");
        return;
    }
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
    }
    if (!bind_pool(cpus)) {
        std::printf("\ntwo-thread scaling: skipped, threads could not be bound to CPUs\n");
        return;
    }
    std::printf("\ntwo-thread scaling, %zu symbols x %zu bars, row-major, threads on CPUs %d and %d, best of %d\n",
                symbols, bars, cpus[0], cpus[1], repetitions);
    for (std::size_t offset : {std::size_t{16}, std::size_t{0}}) {
        Bars data(bars, offset);
        Outputs out(bars, offset);
        for (Indicator& ind : all) {
            const auto best = best_times(repetitions, {[&] { ind.rows(data, out, 1); }, [&] { ind.rows(data, out, 2); }});
            const double speedup = best[0] / best[1];
            std::printf("  %-6s %-10s %9.1f us %9.1f us  speed-up %5.2f (target >= %.1f)  %s\n", ind.name,
                        offset == 0 ? "aligned" : "+16 bytes", best[0] * 1e6, best[1] * 1e6, speedup, target,
                        verdict(speedup >= target));
        }
    }
}

}  // namespace

int main() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) CPU_ZERO(&allowed);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            bind_to_cpu(cpu);
            break;
        }
    }
    std::printf("table kernels on %s; one-series routines looped over %zu columns for comparison\n",
                quillora::table_isa_name(quillora::table_isa_chosen()), symbols);
    std::vector<Indicator> all = indicators();
    cache_resident(all);
    large(all);
    scaling(all, allowed);
    return 0;
}
