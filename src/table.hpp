// Table forms of the four indicators: many series of one length, advanced side by side in vector
// lanes, each series getting exactly the bits its one-series routine gives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillora {

// Where the elements of a table of `bars` x `series` doubles lie: either row-major (element
// (bar, series) at rows[bar * row_stride + series], row_stride >= series), or one contiguous
// column per series (element at columns[series][bar]). Set exactly one of `rows` and `columns`.
struct TableInput {
    const double* rows = nullptr;
    std::size_t row_stride = 0;
    const double* const* columns = nullptr;
};

struct TableOutput {
    double* rows = nullptr;
    std::size_t row_stride = 0;
    double* const* columns = nullptr;
};

struct TableShape {
    std::size_t bars = 0;
    std::size_t series = 0;
};

// The instruction sets the kernels are built for; `automatic` takes the widest the CPU runs.
enum class TableIsa { automatic, baseline, avx2, avx512 };

// Whether outputs bypass the caches on their way to memory (where rows keep register alignment):
// `automatic` streams them when the table is far larger than the last-level cache.
enum class TableStreaming { automatic, never, always };

struct TableOptions {
    // Threads that share the series, the calling thread included; fewer run when the table is too
    // small to pay for them, or while another call has the worker threads.
    unsigned workers = 1;
    TableIsa isa = TableIsa::automatic;
    TableStreaming streaming = TableStreaming::automatic;
};

// Whether kernels for `isa` are built in and the CPU runs them (`automatic` always is).
bool table_isa_available(TableIsa isa) noexcept;

// The instruction set `automatic` resolves to, and a short name for it.
TableIsa table_isa_chosen() noexcept;
const char* table_isa_name(TableIsa isa) noexcept;

// Each routine writes every element of its outputs, series by series exactly as the one-series
// routine of the same indicator would, with the same periods and preconditions (for MACD:
// 1 <= fast_period < slow_period, signal_period >= 1). Inputs and outputs must not overlap.
// An `isa` that is not available runs as `automatic`.
void table_sma(std::uint64_t period, TableShape shape, TableInput data, TableOutput output,
               TableOptions options = {}) noexcept;
void table_ema(std::uint64_t period, TableShape shape, TableInput data, TableOutput output,
               TableOptions options = {}) noexcept;
void table_macd(TableShape shape, TableInput data, std::uint64_t fast_period, std::uint64_t slow_period,
                std::uint64_t signal_period, TableOutput macd_output, TableOutput signal_output,
                TableOutput hist_output, TableOptions options = {}) noexcept;
void table_atr(std::uint64_t period, TableShape shape, TableInput high, TableInput low, TableInput close,
               TableOutput output, TableOptions options = {}) noexcept;

}  // namespace quillora
