// Table kernels: picks the instruction set, splits the series among threads, and runs the lane
// kernels of table_isa_*.cpp on each share.
#include "table.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "atr.hpp"
#include "macd.hpp"
#include "page_population.hpp"
#include "sma.hpp"
#include "table_job.hpp"
#include "worker_pool.hpp"

namespace quillora {

namespace {

using table_detail::LaneKernels;

struct BuiltIsa {
    TableIsa isa;
    const LaneKernels* kernels;
};

// The instruction sets built into this library, widest first: all that the target has, or one
// alone in instrumented builds, whose every unit of lane kernels takes many minutes to compile.
constexpr BuiltIsa built_isas[] = {
#if defined(QUILLORA_TABLE_HAS_AVX512)
    {TableIsa::avx512, &table_detail::avx512::kernels},
#endif
#if defined(QUILLORA_TABLE_HAS_AVX2)
    {TableIsa::avx2, &table_detail::avx2::kernels},
#endif
#if defined(QUILLORA_TABLE_HAS_BASELINE)
    {TableIsa::baseline, &table_detail::baseline::kernels},
#endif
};
static_assert(std::size(built_isas) > 0, "at least one instruction set of table kernels is built");

const BuiltIsa* built(TableIsa isa) noexcept {
    for (const BuiltIsa& entry : built_isas) {
        if (entry.isa == isa) return &entry;
    }
    return nullptr;
}

bool cpu_runs(TableIsa isa) noexcept {
    if (isa == TableIsa::automatic) return true;
    if (built(isa) == nullptr) return false;
    switch (isa) {
#if defined(QUILLORA_TABLE_X86)
        case TableIsa::avx2: return __builtin_cpu_supports("avx2");
        case TableIsa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512dq");
#endif
        case TableIsa::baseline: return true;
        default: return false;
    }
}

const LaneKernels& kernels_for(TableIsa isa) noexcept {
    if (isa == TableIsa::automatic || !cpu_runs(isa)) isa = table_isa_chosen();
    return *built(isa)->kernels;
}

// Series are handed out in whole cache lines of a row-major output (eight doubles), so that two
// threads never write the same line. Splitting a table smaller than this costs more than it saves.
constexpr std::size_t split_lanes = 8;
constexpr std::size_t min_elements_per_part = 16 * 1024;
// A row-major table larger than the cache is read and written at memory bandwidth, which one
// thread nearly reaches on its own. Threads that each take a narrow slice of every row walk memory
// as a sieve, a few lines taken and the next skipped, and end slower together than one alone; so
// each keeps at least this many series (512 bytes of a row) or the table is not split.
constexpr std::size_t min_streamed_row_part = 64;

struct Shares {
    std::size_t count = 1;
    std::size_t bounds[max_worker_threads + 2] = {};
    std::size_t wrap_first = 0, wrap_last = 0;  // share 0 takes these too
};

// Shares of the series for up to `workers` threads, bounded on the cache lines of the first
// output when it is row-major. Where each of its rows ends in the line that the next row starts
// in (rows off a line, none between them), the series of that line go with share 0, which writes
// the rest of the line; `wrap_ok` says whether the kernels can take them there (no tiles).
Shares share_series(TableShape shape, unsigned workers, const TableOutput& first, bool wrap_ok,
                    bool streamed) noexcept {
    Shares shares;
    std::size_t wanted = workers == 0 ? 1 : workers;
    const std::size_t by_width = streamed && first.columns == nullptr ? shape.series / min_streamed_row_part
                                                                      : (shape.series + split_lanes - 1) / split_lanes;
    const std::size_t by_work = shape.bars * shape.series / min_elements_per_part;
    if (wanted > by_width) wanted = by_width;
    if (wanted > by_work) wanted = by_work;
    if (wanted > max_worker_threads + 1) wanted = max_worker_threads + 1;
    if (wanted < 1) wanted = 1;

    std::size_t shift = 0;
    std::size_t split_end = shape.series;
    const auto address = reinterpret_cast<std::uintptr_t>(first.rows);
    if (first.columns == nullptr && address % sizeof(double) == 0) {
        const std::size_t lead = address % 64 / sizeof(double);
        shift = (split_lanes - lead) % split_lanes;
        const std::size_t last_line = (lead + shape.series - 1) / split_lanes;
        const bool next_row_in_last_line = (lead + first.row_stride) / split_lanes == last_line;
        if (wrap_ok && wanted > 1 && first.row_stride % split_lanes == 0 && next_row_in_last_line &&
            last_line * split_lanes > lead) {
            split_end = last_line * split_lanes - lead;
            shares.wrap_first = split_end;
            shares.wrap_last = shape.series;
        }
    }
    shares.bounds[0] = 0;
    std::size_t count = 0;
    for (std::size_t k = 1; k < wanted; ++k) {
        const std::size_t target = shape.series * k / wanted;
        const std::size_t bound =
            target < shift ? shift : shift + (target - shift + split_lanes / 2) / split_lanes * split_lanes;
        if (bound > shares.bounds[count] && bound < split_end) shares.bounds[++count] = bound;
    }
    shares.bounds[++count] = split_end;
    shares.count = count;
    if (count == 1) {
        shares.bounds[1] = shape.series;
        shares.wrap_first = shares.wrap_last = 0;
    }
    return shares;
}

// The last-level cache one core works with. The kernel's own view of it comes first: in virtual
// machines and on parts with several cache complexes, the C library may report the whole
// package's cache, many times what one core can use.
std::size_t last_level_cache_bytes() noexcept {
    if (std::FILE* file = std::fopen("/sys/devices/system/cpu/cpu0/cache/index3/size", "r")) {
        unsigned long long size = 0;
        char unit = 0;
        const int read = std::fscanf(file, "%llu%c", &size, &unit);
        std::fclose(file);
        if (read >= 1 && size > 0) {
            return static_cast<std::size_t>(size) << (unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : 0);
        }
    }
    const long reported = sysconf(_SC_LEVEL3_CACHE_SIZE);
    return reported > 0 ? static_cast<std::size_t>(reported) : std::size_t{32} << 20;
}

// Whether a table touching `bytes` in all is larger than the last-level cache: its outputs
// would only pass through the cache on their way to memory.
bool worth_streaming(TableStreaming streaming, std::size_t bytes) noexcept {
    if (streaming != TableStreaming::automatic) return streaming == TableStreaming::always;
    static const std::size_t cache_bytes = last_level_cache_bytes();
    return bytes > cache_bytes;
}

std::size_t table_bytes(TableShape shape, int tables) noexcept {
    return shape.bars * shape.series * sizeof(double) * static_cast<std::size_t>(tables);
}

template <class Job>
struct SharedJob {
    void (*kernel)(const Job&, const table_detail::SeriesShare&) noexcept;
    const Job* job;
    const Shares* shares;

    static void run_share(const void* context, std::size_t part) noexcept {
        const auto& self = *static_cast<const SharedJob*>(context);
        const Shares& shares = *self.shares;
        table_detail::SeriesShare share{shares.bounds[part], shares.bounds[part + 1]};
        if (part == 0) share.wrap_first = shares.wrap_first, share.wrap_last = shares.wrap_last;
        self.kernel(*self.job, share);
    }
};

// The outputs of a job, in order.
struct JobOutputs {
    const TableOutput* at[3];
    int count;
};

JobOutputs outputs_of(const table_detail::SmaJob& job) noexcept { return {{&job.output}, 1}; }

JobOutputs outputs_of(const table_detail::MacdJob& job) noexcept { return {{&job.macd, &job.signal, &job.hist}, 3}; }

JobOutputs outputs_of(const table_detail::AtrJob& job) noexcept { return {{&job.output}, 1}; }

// A table past the cache that stays on one thread (its rows too narrow to split) writes outputs
// that are usually new arrays, whose pages the writer would fault in and zero one by one; as much
// time again as the computation. A second thread, if the caller allows one, backs them with pages
// ahead of the writer: chunk by chunk in address order, every output in step, as the kernel
// advances. Only dense row-major outputs: rows with gaps may lie among memory of other arrays.
template <class Job>
struct PopulatedJob {
    SharedJob<Job> shared;
    JobOutputs outputs;
    std::size_t bytes;  // of each output

    static constexpr std::size_t chunk_bytes = std::size_t{1} << 20;

    static void run_part(const void* context, std::size_t part) noexcept {
        const auto& self = *static_cast<const PopulatedJob*>(context);
        if (part == 0) return SharedJob<Job>::run_share(&self.shared, 0);
        for (std::size_t offset = 0; offset < self.bytes; offset += chunk_bytes) {
            const std::size_t length = self.bytes - offset < chunk_bytes ? self.bytes - offset : chunk_bytes;
            for (int k = 0; k < self.outputs.count; ++k) {
                populate_for_writing(reinterpret_cast<char*>(self.outputs.at[k]->rows) + offset, length);
            }
        }
    }
};

template <class Job>
bool dense_rows(const Job& job, TableShape shape) noexcept {
    const JobOutputs outputs = outputs_of(job);
    for (int k = 0; k < outputs.count; ++k) {
        if (outputs.at[k]->columns != nullptr || outputs.at[k]->row_stride != shape.series) return false;
    }
    return true;
}

// `rows_only`: no operand is a set of columns, so the kernels can take a share in two runs.
template <class Job>
void run_shared(void (*kernel)(const Job&, const table_detail::SeriesShare&) noexcept, const Job& job, TableShape shape,
                const TableOutput& first_output, bool rows_only, unsigned workers) noexcept {
    if (shape.series == 0 || shape.bars == 0) return;
    const Shares shares = share_series(shape, workers, first_output, rows_only, job.stream_outputs);
    const SharedJob<Job> shared{kernel, &job, &shares};
    if (shares.count == 1 && workers > 1 && job.stream_outputs && dense_rows(job, shape)) {
        const PopulatedJob<Job> populated{shared, outputs_of(job), shape.bars * shape.series * sizeof(double)};
        return run_parts(2, PartWork{&PopulatedJob<Job>::run_part, &populated});
    }
    run_parts(shares.count, PartWork{&SharedJob<Job>::run_share, &shared});
}

bool rows(const TableInput& operand) noexcept { return operand.columns == nullptr; }

bool rows(const TableOutput& operand) noexcept { return operand.columns == nullptr; }

// A table held as columns and larger than the cache goes column by column through the one-series
// kernel where that kernel keeps pace with memory (SMA, MACD, ATR): each column is then one run
// read and written front to back, while the lanes, taking a tile's height from every column in
// turn, follow more streams than the hardware fetches ahead and end up slower. EMA's chain is
// slower than memory, so its lanes still win.
template <class Job>
struct ColumnJob {
    void (*one_series)(const Job& job, std::size_t series) noexcept;
    const Job* job;
    const Shares* shares;

    static void run_share(const void* context, std::size_t part) noexcept {
        const auto& self = *static_cast<const ColumnJob*>(context);
        for (std::size_t s = self.shares->bounds[part]; s < self.shares->bounds[part + 1]; ++s)
            self.one_series(*self.job, s);
    }
};

template <class Job>
void run_by_column(void (*one_series)(const Job&, std::size_t) noexcept, const Job& job, TableShape shape,
                   const TableOutput& first_output, unsigned workers) noexcept {
    if (shape.series == 0 || shape.bars == 0) return;
    const Shares shares = share_series(shape, workers, first_output, false, false);
    const ColumnJob<Job> shared{one_series, &job, &shares};
    run_parts(shares.count, PartWork{&ColumnJob<Job>::run_share, &shared});
}

std::span<const double> column(const TableInput& operand, std::size_t bars, std::size_t series) noexcept {
    return {operand.columns[series], bars};
}

std::span<double> column(const TableOutput& operand, std::size_t bars, std::size_t series) noexcept {
    return {operand.columns[series], bars};
}

void sma_column(const table_detail::SmaJob& job, std::size_t s) noexcept {
    compute_sma(job.period, column(job.data, job.bars, s), column(job.output, job.bars, s));
}

void macd_column(const table_detail::MacdJob& job, std::size_t s) noexcept {
    compute_macd(column(job.data, job.bars, s), job.fast_period, job.slow_period, job.signal_period,
                 column(job.macd, job.bars, s), column(job.signal, job.bars, s), column(job.hist, job.bars, s));
}

void atr_column(const table_detail::AtrJob& job, std::size_t s) noexcept {
    compute_atr(job.period, column(job.high, job.bars, s), column(job.low, job.bars, s), column(job.close, job.bars, s),
                column(job.output, job.bars, s));
}

// Whether the job goes column by column: all operands columns, the table past the cache, and the
// kernel left to choose (a test that names an instruction set gets its lanes).
bool by_column(bool all_columns, bool streamed, const TableOptions& options) noexcept {
    return all_columns && streamed && options.isa == TableIsa::automatic;
}

}  // namespace

bool table_isa_available(TableIsa isa) noexcept { return cpu_runs(isa); }

TableIsa table_isa_chosen() noexcept {
    // The narrowest built set when the CPU runs none: a one-set build made for another machine.
    static const TableIsa chosen = [] {
        for (const BuiltIsa& entry : built_isas) {
            if (cpu_runs(entry.isa)) return entry.isa;
        }
        return std::end(built_isas)[-1].isa;
    }();
    return chosen;
}

const char* table_isa_name(TableIsa isa) noexcept {
    switch (isa) {
        case TableIsa::automatic: return "automatic";
        case TableIsa::avx2: return "avx2";
        case TableIsa::avx512: return "avx512";
        default:
#if defined(QUILLORA_TABLE_X86)
            return "sse2";
#else
            return "baseline";
#endif
    }
}

void table_sma(std::uint64_t period, TableShape shape, TableInput data, TableOutput output,
               TableOptions options) noexcept {
    const table_detail::SmaJob job{period, shape.bars, data, output,
                                   worth_streaming(options.streaming, table_bytes(shape, 2))};
    if (by_column(!rows(data) && !rows(output), job.stream_outputs, options)) {
        return run_by_column(&sma_column, job, shape, output, options.workers);
    }
    run_shared(kernels_for(options.isa).sma, job, shape, output, rows(data) && rows(output), options.workers);
}

void table_ema(std::uint64_t period, TableShape shape, TableInput data, TableOutput output,
               TableOptions options) noexcept {
    const table_detail::EmaJob job{period, shape.bars, data, output,
                                   worth_streaming(options.streaming, table_bytes(shape, 2))};
    run_shared(kernels_for(options.isa).ema, job, shape, output, rows(data) && rows(output), options.workers);
}

void table_macd(TableShape shape, TableInput data, std::uint64_t fast_period, std::uint64_t slow_period,
                std::uint64_t signal_period, TableOutput macd_output, TableOutput signal_output,
                TableOutput hist_output, TableOptions options) noexcept {
    const table_detail::MacdJob job{
        fast_period,   slow_period, signal_period,
        shape.bars,    data,        macd_output,
        signal_output, hist_output, worth_streaming(options.streaming, table_bytes(shape, 4))};
    const bool rows_only = rows(data) && rows(macd_output) && rows(signal_output) && rows(hist_output);
    const bool all_columns = !rows(data) && !rows(macd_output) && !rows(signal_output) && !rows(hist_output);
    if (by_column(all_columns, job.stream_outputs, options)) {
        return run_by_column(&macd_column, job, shape, macd_output, options.workers);
    }
    run_shared(kernels_for(options.isa).macd, job, shape, macd_output, rows_only, options.workers);
}

void table_atr(std::uint64_t period, TableShape shape, TableInput high, TableInput low, TableInput close,
               TableOutput output, TableOptions options) noexcept {
    const table_detail::AtrJob job{
        period, shape.bars, high, low, close, output, worth_streaming(options.streaming, table_bytes(shape, 4))};
    const bool rows_only = rows(high) && rows(low) && rows(close) && rows(output);
    const bool all_columns = !rows(high) && !rows(low) && !rows(close) && !rows(output);
    if (by_column(all_columns, job.stream_outputs, options)) {
        return run_by_column(&atr_column, job, shape, output, options.workers);
    }
    run_shared(kernels_for(options.isa).atr, job, shape, output, rows_only, options.workers);
}

}  // namespace quillora
