// Table benchmark: the table kernels against the one-series routines looped over the columns, on a
// cache-resident table and on one far larger than the caches, each beside the time that copying
// the same bytes takes there (no kernel can beat it), and the two-thread speed-up with threads
// bound to CPUs beside the speed-up of copying the same bytes with the same split.
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
#include <string>
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
    RowTable* row_inputs(int k) { return k == 0 ? &close : k == 1 ? &high : &low; }
};

// Outputs in both layouts, written once so that no page fault lands in a timed run, and the
// contiguous columns a user of the one-series routines gathers a row-major table's columns into.
struct Outputs {
    std::vector<RowTable> rows;
    std::vector<std::vector<double>> columns[3];
    std::vector<double*> column_pointers[3];
    std::vector<std::vector<double>> gathered_in, gathered_out;

    Outputs(std::size_t bars, std::size_t offset)
        : gathered_in(3, std::vector<double>(bars, 0.0)), gathered_out(3, std::vector<double>(bars, 0.0)) {
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
// same machine state. With `settle`, each timed run follows an untimed run of the same body, so
// that its data lies where that body leaves it (with threads: in the caches of their own cores).
std::vector<double> best_times(int repetitions, const std::vector<std::function<void()>>& bodies, bool settle = false) {
    std::vector<double> best(bodies.size(), std::numeric_limits<double>::infinity());
    for (int r = 0; r < repetitions; ++r) {
        for (std::size_t b = 0; b < bodies.size(); ++b) {
            if (settle) bodies[b]();
            best[b] = std::min(best[b], seconds_of(bodies[b]));
        }
    }
    return best;
}

std::string load_average() {
    char text[64] = "unknown";
    if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fgets(text, sizeof text, file) == nullptr) std::strcpy(text, "unknown");
        std::fclose(file);
    }
    std::string out = text;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out.substr(0, out.find(' ', out.find(' ', out.find(' ') + 1) + 1));
}

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
    std::function<void(Bars&, Outputs&)> core_loop;                  // one-series routine per column
    // The one-series routine per column of the row-major table: each column gathered into a
    // contiguous run, computed, and its outputs scattered back into the row-major outputs.
    std::function<void(Bars&, Outputs&)> core_gathered;
};

void gather(const RowTable& table, std::size_t bars, std::size_t s, std::vector<double>& column) {
    for (std::size_t i = 0; i < bars; ++i) column[i] = table.rows[i * symbols + s];
}

void scatter(const std::vector<double>& column, std::size_t bars, std::size_t s, RowTable& table) {
    for (std::size_t i = 0; i < bars; ++i) table.rows[i * symbols + s] = column[i];
}

std::vector<Indicator> indicators() {
    using quillora::TableInput, quillora::TableShape, quillora::TableOptions;
    auto rows_in = [](RowTable& table) { return TableInput{.rows = table.rows, .row_stride = symbols}; };
    auto columns_in = [](std::vector<const double*>& columns) { return TableInput{.columns = columns.data()}; };
    auto columns_out = [](Outputs& out, int k) {
        return quillora::TableOutput{.columns = out.column_pointers[k].data()};
    };
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
             for (std::size_t s = 0; s < symbols; ++s)
                 quillora::compute_sma(period, b.close_columns[s], o.columns[0][s]);
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) {
                 gather(b.close, b.bars, s, o.gathered_in[0]);
                 quillora::compute_sma(period, o.gathered_in[0], o.gathered_out[0]);
                 scatter(o.gathered_out[0], b.bars, s, o.rows[0]);
             }
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
             for (std::size_t s = 0; s < symbols; ++s)
                 quillora::compute_ema(period, b.close_columns[s], o.columns[0][s]);
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) {
                 gather(b.close, b.bars, s, o.gathered_in[0]);
                 quillora::compute_ema(period, o.gathered_in[0], o.gathered_out[0]);
                 scatter(o.gathered_out[0], b.bars, s, o.rows[0]);
             }
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
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) {
                 gather(b.close, b.bars, s, o.gathered_in[0]);
                 quillora::compute_macd(o.gathered_in[0], fast_period, slow_period, signal_period, o.gathered_out[0],
                                        o.gathered_out[1], o.gathered_out[2]);
                 for (int k = 0; k < 3; ++k) scatter(o.gathered_out[k], b.bars, s, o.rows[k]);
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
                 quillora::compute_atr(period, b.high_columns[s], b.low_columns[s], b.close_columns[s],
                                       o.columns[0][s]);
             }
         },
         [](Bars& b, Outputs& o) {
             for (std::size_t s = 0; s < symbols; ++s) {
                 gather(b.high, b.bars, s, o.gathered_in[0]);
                 gather(b.low, b.bars, s, o.gathered_in[1]);
                 gather(b.close, b.bars, s, o.gathered_in[2]);
                 quillora::compute_atr(period, o.gathered_in[0], o.gathered_in[1], o.gathered_in[2], o.gathered_out[0]);
                 scatter(o.gathered_out[0], b.bars, s, o.rows[0]);
             }
         }},
    };
}

// The time `tables` tables of the run take to go through memory once each, read or written: a
// copy reads one and writes one.
double floor_of(double copy_seconds, const Indicator& ind) {
    return copy_seconds * (ind.tables_read + ind.tables_written) / 2.0;
}

// Cache-resident table: each indicator at most a quarter of the core loop. A kernel cannot beat
// the copy of its bytes at this size; where that copy alone takes more than the target, the target
// is out of reach on this machine, and the verdict says so.
void cache_resident(std::vector<Indicator>& all) {
    constexpr std::size_t bars = 2000;
    constexpr double target = 0.25;
    constexpr int repetitions = 300;
    const std::size_t table_bytes = bars * symbols * sizeof(double);
    std::vector<char> copy_from(table_bytes, 1), copy_to(table_bytes, 2);
    auto copy = [&] { std::memcpy(copy_to.data(), copy_from.data(), table_bytes); };
    Bars data(bars, 16);
    Outputs out(bars, 16);
    std::printf(
        "\ncache-resident table, %zu symbols x %zu bars (%.1f MB a table), row-major 16 bytes off a cache line, "
        "1 worker, best of %d\n",
        symbols, bars, table_bytes / 1e6, repetitions);
    std::printf(
        "  core loop: the one-series routine over contiguous columns (no gather); gathered: over the row-major\n"
        "  table's columns, each gathered into a contiguous run and its outputs scattered back; copy floor:\n"
        "  memcpy of the bytes the indicator reads and writes, at this size\n");
    std::printf("  %-6s %11s %11s %11s %11s %7s %7s %7s   %s\n", "", "core loop", "gathered", "copy floor", "table",
                "ratio", "floor", "target", "separate columns, ratio");
    for (Indicator& ind : all) {
        const auto best =
            best_times(repetitions, {copy, [&] { ind.core_loop(data, out); }, [&] { ind.core_gathered(data, out); },
                                     [&] { ind.rows(data, out, 1); }, [&] { ind.columns(data, out, 1); }});
        const double floor = floor_of(best[0], ind);
        const double ratio = best[3] / best[1];
        const char* verdict = ratio <= target            ? "OK"
                              : floor / best[1] > target ? "BOUND (the copy floor misses too)"
                                                         : "MISS";
        std::printf(
            "  %-6s %8.1f us %8.1f us %8.1f us %8.1f us %7.3f %7.3f %7.2f   %7.1f us %5.3f  %s (%.3f of gathered)\n",
            ind.name, best[1] * 1e6, best[2] * 1e6, floor * 1e6, best[3] * 1e6, ratio, floor / best[1], target,
            best[4] * 1e6, best[4] / best[1], verdict, best[3] / best[2]);
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
    std::printf(
        "  target: table <= max(floor, core / 2) and table <= core; floor = memcpy time of the bytes read and "
        "written\n");
    std::printf("  %-6s %-10s %10s %10s %10s %10s %8s\n", "", "rows", "core loop", "gathered", "floor", "table",
                "ratio");
    for (std::size_t offset : {std::size_t{0}, std::size_t{16}}) {
        Bars data(bars, offset);
        Outputs out(bars, offset);
        for (Indicator& ind : all) {
            const auto best =
                best_times(repetitions, {copy, [&] { ind.core_loop(data, out); }, [&] { ind.core_gathered(data, out); },
                                         [&] { ind.rows(data, out, 1); }});
            const double floor = floor_of(best[0], ind);
            const double ratio = best[3] / std::max(floor, 0.5 * best[1]);
            std::printf("  %-6s %-10s %7.2f ms %7.2f ms %7.2f ms %7.2f ms %8.3f  %s (%.3f of core)\n", ind.name,
                        offset == 0 ? "aligned" : "+16 bytes", best[1] * 1e3, best[2] * 1e3, floor * 1e3, best[3] * 1e3,
                        ratio, ratio <= 1.0 && best[3] <= best[1] ? "OK" : "MISS", best[3] / best[1]);
        }
    }
    std::printf("  memcpy: %.1f GB/s (bytes read + written)\n",
                2.0 * table_bytes / 1e9 / best_times(repetitions, {copy})[0]);
    Bars data(bars, 16);
    Outputs out(bars, 16);
    std::printf("  separate columns (no target): ");
    for (Indicator& ind : all) {
        std::printf("%s %.2f ms  ", ind.name, best_times(3, {[&] { ind.columns(data, out, 1); }})[0] * 1e3);
    }
    std::printf("\n");
}

// The series [first, last) of a row-major table, and for a share that takes them the series
// [wrap_first, symbols) too: the split the table kernels make of a table's rows among threads
// (whole cache lines of the output; where each row ends in the line where the next begins, that
// line with the share that writes the rows' starts).
struct RowShare {
    std::size_t first, last, wrap_first;
};

std::vector<RowShare> row_shares(const double* first_row, unsigned workers) {
    if (workers < 2) return {{0, symbols, symbols}};
    const std::size_t lead = reinterpret_cast<std::uintptr_t>(first_row) % 64 / sizeof(double);
    const std::size_t shift = (8 - lead) % 8;
    const std::size_t wrap_first = lead == 0 ? symbols : (lead + symbols - 1) / 8 * 8 - lead;
    const std::size_t middle = shift + (symbols / 2 - shift + 4) / 8 * 8;
    return {{0, middle, wrap_first}, {middle, wrap_first, symbols}};
}

// Copies the bytes an indicator moves over one share of a row-major table: each output row
// segment takes the sum of the input row segments (one or three), so that every input is read
// once, eight doubles at a time.
typedef double Chunk __attribute__((vector_size(64), aligned(8)));

__attribute__((target_clones("avx512f", "avx2", "default"))) void move_share(const double* const* in, int inputs,
                                                                             double* const* out, int outputs,
                                                                             std::size_t bars, std::size_t first,
                                                                             std::size_t last) {
    for (std::size_t row = 0; row < bars * symbols; row += symbols) {
        std::size_t s = first;
        for (; s + 8 <= last; s += 8) {
            Chunk v = *reinterpret_cast<const Chunk*>(in[0] + row + s);
            if (inputs == 3) {
                v = v + *reinterpret_cast<const Chunk*>(in[1] + row + s) +
                    *reinterpret_cast<const Chunk*>(in[2] + row + s);
            }
            *reinterpret_cast<Chunk*>(out[0] + row + s) = v;
            if (outputs == 3) {
                *reinterpret_cast<Chunk*>(out[1] + row + s) = v;
                *reinterpret_cast<Chunk*>(out[2] + row + s) = v;
            }
        }
        for (; s < last; ++s) {
            double v = in[0][row + s];
            if (inputs == 3) v = v + in[1][row + s] + in[2][row + s];
            for (int k = 0; k < outputs; ++k) out[k][row + s] = v;
        }
    }
}

struct MoveJob {
    const double* in[3];
    int inputs;
    double* out[3];
    int outputs;
    std::size_t bars;
    std::vector<RowShare> shares;

    void run(std::size_t part) const {
        const RowShare& share = shares[part];
        move_share(in, inputs, out, outputs, bars, share.first, share.last);
        move_share(in, inputs, out, outputs, bars, share.wrap_first, symbols);
    }
};

void move_rows(const MoveJob& job) {
    quillora::run_parts(job.shares.size(), {[](const void* context, std::size_t part) noexcept {
                                                static_cast<const MoveJob*>(context)->run(part);
                                            },
                                            &job});
}

// Two workers against one on the cache-resident table, threads bound to the first two CPUs the
// process may use; beside them the same bytes copied with the same split of the rows, the
// speed-up the memory system allows this table's layout. Each mode is timed after a call of its
// own: alternating modes without it would move half the table between the cores' caches on every
// call, and time that move instead.
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
    std::printf(
        "\ntwo-thread scaling, %zu symbols x %zu bars, threads on CPUs %d and %d, each mode timed after a call of "
        "its own, best of %d\n",
        symbols, bars, cpus[0], cpus[1], repetitions);
    std::printf("  copy: the same bytes copied with the same split of the rows, 1 and 2 threads\n");
    std::printf("  %-6s %-10s %10s %10s %8s   %10s %10s %8s\n", "", "rows", "1 worker", "2 workers", "speed-up",
                "copy 1", "copy 2", "speed-up");
    for (std::size_t offset : {std::size_t{16}, std::size_t{0}}) {
        Bars data(bars, offset);
        Outputs out(bars, offset);
        for (Indicator& ind : all) {
            MoveJob one{{}, ind.tables_read, {}, ind.tables_written, bars, row_shares(out.rows[0].rows, 1)};
            for (int k = 0; k < ind.tables_read; ++k) one.in[k] = data.row_inputs(k)->rows;
            for (int k = 0; k < ind.tables_written; ++k) one.out[k] = out.rows[k].rows;
            MoveJob two = one;
            two.shares = row_shares(out.rows[0].rows, 2);
            const auto best = best_times(repetitions,
                                         {[&] { ind.rows(data, out, 1); }, [&] { ind.rows(data, out, 2); },
                                          [&] { move_rows(one); }, [&] { move_rows(two); }},
                                         true);
            const double speedup = best[0] / best[1], copy_speedup = best[2] / best[3];
            const char* verdict = speedup >= target       ? "OK"
                                  : copy_speedup < target ? "BOUND (the copy misses too)"
                                                          : "MISS";
            std::printf("  %-6s %-10s %7.1f us %7.1f us %8.2f   %7.1f us %7.1f us %8.2f  %s\n", ind.name,
                        offset == 0 ? "aligned" : "+16 bytes", best[0] * 1e6, best[1] * 1e6, speedup, best[2] * 1e6,
                        best[3] * 1e6, copy_speedup, verdict);
        }
    }
    Bars data(bars, 16);
    Outputs out(bars, 16);
    std::printf("  separate columns (no target):");
    for (Indicator& ind : all) {
        const auto best =
            best_times(repetitions, {[&] { ind.columns(data, out, 1); }, [&] { ind.columns(data, out, 2); }}, true);
        std::printf("  %s %.2f", ind.name, best[0] / best[1]);
    }
    std::printf("\n");
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
    std::printf("table kernels on %s; one-series routines looped over %zu columns for comparison; load average %s\n",
                quillora::table_isa_name(quillora::table_isa_chosen()), symbols, load_average().c_str());
    std::vector<Indicator> all = indicators();
    cache_resident(all);
    large(all);
    scaling(all, allowed);
    std::printf("\nload average at the end: %s\n", load_average().c_str());
    return 0;
}
