// Any declared indicator over a long table: rows of many symbols in one column per input, each
// symbol's rows computed in the order they appear by a fresh state, as if called on them alone.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <new>
#include <span>
#include <vector>

#include "indicator.hpp"
#include "worker_pool.hpp"

namespace quillora::indicators {

// Where each symbol's rows are: `starts` has one entry per symbol and one past the end. With `order`
// and `codes` empty, symbol g holds rows [starts[g], starts[g + 1]); with `order`, it holds rows
// order[starts[g]] ... order[starts[g + 1] - 1], in that order. With `codes` instead (symbols
// interleaved in short runs), row r belongs to symbol codes[r], and `starts` only counts them.
struct Groups {
    std::span<const std::uint64_t> starts;
    std::span<const std::uint64_t> order;
    std::span<const std::int64_t> codes;
};

// The grouping of `codes` (each in [0, count)): a stable counting sort, one pass to count and one to
// place; or, where the symbols take turns in short runs, the codes as they are (see run_grouped).
struct GroupIndex {
    std::vector<std::uint64_t> starts, order;
    std::span<const std::int64_t> codes;
    Groups groups() const noexcept { return {starts, order, codes}; }
};

inline GroupIndex sort_groups(std::span<const std::int64_t> codes, std::size_t count) {
    GroupIndex index;
    index.starts.assign(count + 1, 0);
    for (const std::int64_t code : codes) ++index.starts[static_cast<std::size_t>(code) + 1];
    for (std::size_t g = 0; g < count; ++g) index.starts[g + 1] += index.starts[g];
    index.order.resize(codes.size());
    std::vector<std::uint64_t> next(index.starts.begin(), index.starts.end() - 1);
    for (std::size_t row = 0; row < codes.size(); ++row)
        index.order[next[static_cast<std::size_t>(codes[row])]++] = row;
    return index;
}

// Runs shorter than this many rows on average count as interleaved.
inline constexpr std::size_t short_run = 8;

inline GroupIndex index_groups(std::span<const std::int64_t> codes, std::size_t count) {
    std::size_t runs = codes.empty() ? 0 : 1;
    for (std::size_t row = 1; row < codes.size(); ++row) runs += codes[row] != codes[row - 1];
    if (runs * short_run < codes.size()) return sort_groups(codes, count);
    GroupIndex index;
    index.starts.assign(count + 1, 0);
    index.codes = codes;
    return index;
}

namespace grouped_detail {

template <Indicator S>
struct GroupJob {
    Parameters parameters;
    Groups groups;
    const double* const* inputs;  // S::inputs columns of all rows
    double* const* outputs;       // S::outputs columns of all rows
    std::size_t parts;
    std::atomic<bool>* failed;
};

// Rows per tile when symbols take turns: a tile's inputs and outputs, sorted by symbol, stay in
// cache while each symbol's rows of the tile run as one run.
inline constexpr std::size_t turn_tile = std::size_t{1} << 16;

// Symbols [first, last) of rows where the symbols take turns in short runs. Each tile of rows is
// sorted by symbol into scratch (a stable counting sort, reading the rows in order), each symbol's
// rows of the tile run through its state, kept from tile to tile, and the outputs go back in the
// rows' order. Gathering one symbol's rows from the whole column instead would miss the cache on
// every row.
template <Indicator S>
void run_turns(const GroupJob<S>& job, std::size_t first, std::size_t last) {
    const std::size_t symbols = last - first;
    std::deque<S> states;
    for (std::size_t g = 0; g < symbols; ++g) states.emplace_back(job.parameters);
    const std::span<const std::int64_t> codes = job.groups.codes;
    const std::size_t tile = std::min(turn_tile, codes.size());
    std::vector<double> scratch((S::inputs + S::outputs) * tile);
    std::vector<std::size_t> starts(symbols + 1), cursor(symbols);
    for (std::size_t begin = 0; begin < codes.size(); begin += tile) {
        const std::size_t end = std::min(codes.size(), begin + tile);
        std::fill(starts.begin(), starts.end(), 0);
        for (std::size_t row = begin; row < end; ++row) {
            const std::size_t g = static_cast<std::size_t>(codes[row]) - first;  // wraps below `first`
            if (g < symbols) ++starts[g + 1];
        }
        for (std::size_t g = 0; g < symbols; ++g) starts[g + 1] += starts[g];
        std::copy(starts.begin(), starts.end() - 1, cursor.begin());
        for (std::size_t row = begin; row < end; ++row) {
            const std::size_t g = static_cast<std::size_t>(codes[row]) - first;
            if (g >= symbols) continue;
            const std::size_t at = cursor[g]++;
            for (std::size_t k = 0; k < S::inputs; ++k) scratch[k * tile + at] = job.inputs[k][row];
        }
        for (std::size_t g = 0; g < symbols; ++g) {
            const std::size_t at = starts[g], rows = starts[g + 1] - at;
            if (rows == 0) continue;
            const double* in[S::inputs];
            double* out[S::outputs];
            for (std::size_t k = 0; k < S::inputs; ++k) in[k] = scratch.data() + k * tile + at;
            for (std::size_t k = 0; k < S::outputs; ++k) out[k] = scratch.data() + (S::inputs + k) * tile + at;
            run_series(states[g], in, out, rows);
        }
        std::copy(starts.begin(), starts.end() - 1, cursor.begin());
        for (std::size_t row = begin; row < end; ++row) {
            const std::size_t g = static_cast<std::size_t>(codes[row]) - first;
            if (g >= symbols) continue;
            const std::size_t at = cursor[g]++;
            for (std::size_t k = 0; k < S::outputs; ++k) job.outputs[k][row] = scratch[(S::inputs + k) * tile + at];
        }
    }
}

template <Indicator S>
void run_groups(const void* context, std::size_t part) noexcept {
    const auto& job = *static_cast<const GroupJob<S>*>(context);
    const std::size_t symbols = job.groups.starts.size() - 1;
    const std::size_t first = symbols * part / job.parts, last = symbols * (part + 1) / job.parts;
    try {
        if (!job.groups.codes.empty()) {
            run_turns(job, first, last);
            return;
        }
        std::vector<double> gathered;
        for (std::size_t g = first; g < last; ++g) {
            const std::uint64_t begin = job.groups.starts[g], end = job.groups.starts[g + 1];
            const std::size_t rows = static_cast<std::size_t>(end - begin);
            S state(job.parameters);
            const double* in[S::inputs];
            double* out[S::outputs];
            if (job.groups.order.empty()) {
                for (std::size_t k = 0; k < S::inputs; ++k) in[k] = job.inputs[k] + begin;
                for (std::size_t k = 0; k < S::outputs; ++k) out[k] = job.outputs[k] + begin;
                run_series(state, in, out, rows);
                continue;
            }
            // Interleaved rows: the symbol's rows are gathered into one run, computed, and put back.
            gathered.resize(rows * (S::inputs + S::outputs));
            const std::uint64_t* order = job.groups.order.data() + begin;
            for (std::size_t k = 0; k < S::inputs; ++k) {
                double* run = gathered.data() + k * rows;
                for (std::size_t r = 0; r < rows; ++r) run[r] = job.inputs[k][order[r]];
                in[k] = run;
            }
            for (std::size_t k = 0; k < S::outputs; ++k) out[k] = gathered.data() + (S::inputs + k) * rows;
            run_series(state, in, out, rows);
            for (std::size_t k = 0; k < S::outputs; ++k)
                for (std::size_t r = 0; r < rows; ++r) job.outputs[k][order[r]] = out[k][r];
        }
    } catch (const std::bad_alloc&) {
        job.failed->store(true, std::memory_order_relaxed);
    }
}

}  // namespace grouped_detail

// Writes every row of the outputs that some symbol holds. Inputs and outputs must not overlap.
// False when memory ran out (outputs are then partly written).
template <Indicator S>
[[nodiscard]] bool run_grouped(const Parameters& parameters, Groups groups, const double* const* inputs,
                               double* const* outputs, std::size_t rows, unsigned workers) noexcept {
    const std::size_t symbols = groups.starts.empty() ? 0 : groups.starts.size() - 1;
    if (symbols == 0) return true;
    std::size_t parts = std::min<std::size_t>({workers == 0 ? 1 : workers, max_worker_threads + 1, symbols});
    if (rows < (std::size_t{1} << 16)) parts = 1;
    // A state per symbol at once holds every symbol's window: where that would be large (long
    // periods, many symbols), the rows are sorted by symbol and each symbol gathered instead.
    GroupIndex sorted;
    if (!groups.codes.empty()) {
        std::uint64_t longest = 1;
        for (const std::uint64_t count : parameters.counts) longest = std::max(longest, count);
        if (longest > (std::uint64_t{1} << 24) / symbols) {
            try {
                sorted = sort_groups(groups.codes, symbols);
            } catch (const std::bad_alloc&) {
                return false;
            }
            groups = sorted.groups();
        }
    }
    std::atomic<bool> failed{false};
    const grouped_detail::GroupJob<S> job{parameters, groups, inputs, outputs, parts, &failed};
    if (parts == 1) {
        grouped_detail::run_groups<S>(&job, 0);
    } else {
        run_parts(parts, {&grouped_detail::run_groups<S>, &job});
    }
    return !failed.load();
}

}  // namespace quillora::indicators
