// Any declared indicator over a long table: rows of many symbols in one column per input, each
// symbol's rows computed in the order they appear by a fresh state, as if called on them alone.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "indicator.hpp"
#include "worker_pool.hpp"

namespace quillora::indicators {

// Where each symbol's rows are: `starts` has one entry per symbol and one past the end. With `order`
// empty, symbol g holds rows [starts[g], starts[g + 1]); otherwise it holds rows order[starts[g]] ...
// order[starts[g + 1] - 1], in that order.
struct Groups {
    std::span<const std::uint64_t> starts;
    std::span<const std::uint64_t> order;
};

// The grouping of `codes` (each in [0, count)): a stable counting sort, one pass to count and one to place.
struct GroupIndex {
    std::vector<std::uint64_t> starts, order;
    Groups groups() const noexcept { return {starts, order}; }
};

inline GroupIndex index_groups(std::span<const std::int64_t> codes, std::size_t count) {
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

template <Indicator S>
void run_groups(const void* context, std::size_t part) noexcept {
    const auto& job = *static_cast<const GroupJob<S>*>(context);
    const std::size_t symbols = job.groups.starts.size() - 1;
    const std::size_t first = symbols * part / job.parts, last = symbols * (part + 1) / job.parts;
    try {
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
