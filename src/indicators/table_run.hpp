// Any declared indicator over a table of symbols: each symbol its own state, run over its bars
// exactly as the series would be, the symbols shared among the worker threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>
#include <vector>

#include "indicator.hpp"
#include "table.hpp"
#include "worker_pool.hpp"

namespace quillora::indicators {

// Tables smaller than this many elements run on the calling thread: waking workers costs more.
inline constexpr std::size_t parallel_threshold = std::size_t{1} << 16;
// Symbols advanced together, a tile of bars at a time: one cache line of a row-major row.
inline constexpr std::size_t symbols_per_block = 8;

namespace table_detail {

// One symbol of a table argument: element `bar` at first[bar * stride].
struct Lane {
    const double* first;
    std::size_t stride;
};

inline Lane lane_of(const TableInput& table, std::size_t symbol) noexcept {
    if (table.columns != nullptr) return {table.columns[symbol], 1};
    return {table.rows + symbol, table.row_stride};
}
inline Lane lane_of(const TableOutput& table, std::size_t symbol) noexcept {
    if (table.columns != nullptr) return {table.columns[symbol], 1};
    return {table.rows + symbol, table.row_stride};
}

template <Indicator S>
struct TableJob {
    Parameters parameters;
    TableShape shape;
    const TableInput* inputs;
    const TableOutput* outputs;
    std::size_t parts;
    std::atomic<bool>* failed;
};

// Bars of one symbol handed to its batch run at a time, where the table's layout does not give them
// contiguous already (a column of a Fortran-order table is one whole run).
inline constexpr std::size_t bars_per_tile = 1024;

template <Indicator S>
void run_block(const TableJob<S>& job, std::size_t first, std::size_t last) {
    const std::size_t count = last - first;
    std::vector<S> states(count, S(job.parameters));
    Lane in_lanes[symbols_per_block][S::inputs];
    Lane out_lanes[symbols_per_block][S::outputs];
    bool contiguous = true;
    for (std::size_t s = 0; s < count; ++s) {
        for (std::size_t k = 0; k < S::inputs; ++k) {
            in_lanes[s][k] = lane_of(job.inputs[k], first + s);
            contiguous = contiguous && in_lanes[s][k].stride == 1;
        }
        for (std::size_t k = 0; k < S::outputs; ++k) {
            out_lanes[s][k] = lane_of(job.outputs[k], first + s);
            contiguous = contiguous && out_lanes[s][k].stride == 1;
        }
    }
    const std::size_t bars = job.shape.bars;
    const std::size_t tile = contiguous ? bars : bars_per_tile;
    // Every symbol's tile of inputs and outputs, each a run of its own: gathered from the rows in
    // one pass (a row holds the block's symbols side by side) and scattered back in one.
    constexpr std::size_t streams = S::inputs + S::outputs;
    std::vector<double> runs(contiguous ? 0 : count * streams * tile);
    auto run_of = [&](std::size_t s, std::size_t stream) { return runs.data() + (s * streams + stream) * tile; };
    for (std::size_t bar = 0; bar < bars; bar += tile) {
        const std::size_t length = std::min(tile, bars - bar);
        for (std::size_t i = 0; i < length; ++i)
            for (std::size_t s = 0; s < count; ++s)
                for (std::size_t k = 0; k < S::inputs; ++k) {
                    const Lane lane = in_lanes[s][k];
                    if (lane.stride != 1) run_of(s, k)[i] = lane.first[(bar + i) * lane.stride];
                }
        for (std::size_t s = 0; s < count; ++s) {
            const double* in[S::inputs];
            double* out[S::outputs];
            for (std::size_t k = 0; k < S::inputs; ++k) {
                const Lane lane = in_lanes[s][k];
                in[k] = lane.stride == 1 ? lane.first + bar : run_of(s, k);
            }
            for (std::size_t k = 0; k < S::outputs; ++k) {
                const Lane lane = out_lanes[s][k];
                out[k] = lane.stride == 1 ? const_cast<double*>(lane.first) + bar : run_of(s, S::inputs + k);
            }
            run_series(states[s], in, out, length);
        }
        for (std::size_t i = 0; i < length; ++i)
            for (std::size_t s = 0; s < count; ++s)
                for (std::size_t k = 0; k < S::outputs; ++k) {
                    const Lane lane = out_lanes[s][k];
                    if (lane.stride != 1)
                        const_cast<double*>(lane.first)[(bar + i) * lane.stride] = run_of(s, S::inputs + k)[i];
                }
    }
}

template <Indicator S>
void run_part(const void* context, std::size_t part) noexcept {
    const auto& job = *static_cast<const TableJob<S>*>(context);
    const std::size_t symbols = job.shape.series;
    const std::size_t first = symbols * part / job.parts, last = symbols * (part + 1) / job.parts;
    try {
        for (std::size_t block = first; block < last; block += symbols_per_block)
            run_block(job, block, std::min(last, block + symbols_per_block));
    } catch (const std::bad_alloc&) {
        job.failed->store(true, std::memory_order_relaxed);
    }
}

}  // namespace table_detail

// Writes every output element; each symbol gets the bits of a fresh state run over its bars.
// Inputs and outputs must not overlap. False when memory ran out for a window (outputs are then
// partly written).
template <Indicator S>
[[nodiscard]] bool run_table(const Parameters& parameters, TableShape shape, const TableInput* inputs,
                             const TableOutput* outputs, unsigned workers) noexcept {
    if (shape.bars == 0 || shape.series == 0) return true;
    std::size_t parts = std::min<std::size_t>({workers == 0 ? 1 : workers, max_worker_threads + 1, shape.series});
    if (shape.bars * shape.series < parallel_threshold) parts = 1;
    std::atomic<bool> failed{false};
    const table_detail::TableJob<S> job{parameters, shape, inputs, outputs, parts, &failed};
    if (parts == 1) {
        table_detail::run_part<S>(&job, 0);
    } else {
        run_parts(parts, {&table_detail::run_part<S>, &job});
    }
    return !failed.load();
}

}  // namespace quillora::indicators
