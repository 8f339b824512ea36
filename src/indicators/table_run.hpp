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
#include "table_lane.hpp"
#include "tile_transpose.hpp"
#include "worker_pool.hpp"

namespace quillora::indicators {

// Tables smaller than this many elements run on the calling thread: waking workers costs more.
inline constexpr std::size_t parallel_threshold = std::size_t{1} << 16;
// Whether a state's tables step their symbols side by side rather than through each symbol's batch
// run; a state says so with `static constexpr bool table_lockstep = true;`. Both walks give the
// same bits: they only differ in speed.
template <typename S>
inline constexpr bool tables_lockstep = requires { requires S::table_lockstep; };

// A state may instead step side by side only the tables that are row-major (lanes then read their
// rows in place), keeping its batch runs for tables by columns: `table_lanes_by_rows = true`.
template <typename S>
inline constexpr bool tables_lanes_by_rows = requires { requires S::table_lanes_by_rows; };

// A lockstep state may also step a block's symbols in vector lanes once each says it is ready:
// `run_lanes(states, count, inputs, outputs, bar, bars)` then takes bars [bar, bars) of all of them
// (the block's states are discarded after it).
template <typename S>
concept SteppedInLanes = requires(const S& state, S* states, const BlockLanes* lanes, std::size_t n) {
    { state.lanes_ready() } -> std::same_as<bool>;
    S::run_lanes(states, n, lanes, lanes, n, n);
};

namespace table_detail {

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
    bool lockstep;
};

// Bars of one symbol handed to its batch run at a time, where the table's layout does not give them
// contiguous already (a column of a Fortran-order table is one whole run).
inline constexpr std::size_t bars_per_tile = 256;

// The block's symbols, each through its own batch run: fastest for states whose batch run is
// bound by throughput (vector passes, windows read from the array).
template <Indicator S>
void run_block_batch(const TableJob<S>& job, std::size_t first, std::size_t last) {
    const std::size_t count = last - first;
    std::vector<S> states(count, S(job.parameters));
    constexpr std::size_t streams = S::inputs + S::outputs;
    // Each stream of each symbol: where it lies in the table, and where its tile lies in scratch
    // (null when the table holds it contiguous, so the batch run takes it in place).
    struct Stream {
        Lane lane;
        double* scratch;
    };
    Stream table_streams[symbols_per_block][streams];
    bool contiguous = true;
    for (std::size_t s = 0; s < count; ++s) {
        for (std::size_t k = 0; k < S::inputs; ++k) table_streams[s][k].lane = lane_of(job.inputs[k], first + s);
        for (std::size_t k = 0; k < S::outputs; ++k)
            table_streams[s][S::inputs + k].lane = lane_of(job.outputs[k], first + s);
        for (std::size_t k = 0; k < streams; ++k) contiguous = contiguous && table_streams[s][k].lane.stride == 1;
    }
    const std::size_t bars = job.shape.bars;
    const std::size_t tile = contiguous ? bars : bars_per_tile;
    // Runs a whole number of pages apart would share the same few cache sets and evict each other
    // on every row: each starts a cache line further on.
    const std::size_t run_stride = tile + 8;
    std::vector<double> runs(contiguous ? 0 : count * streams * run_stride);
    // A row holds the block's symbols side by side: each strided table is gathered into (and each
    // output scattered from) the symbols' runs a row of the block at a time, the symbol `s` of the
    // block at row[s] and at scratch[s * run_stride].
    for (std::size_t s = 0; s < count; ++s)
        for (std::size_t k = 0; k < streams; ++k) {
            Stream& stream = table_streams[s][k];
            stream.scratch = stream.lane.stride == 1 ? nullptr : runs.data() + (k * count + s) * run_stride;
        }
    for (std::size_t bar = 0; bar < bars; bar += tile) {
        const std::size_t length = std::min(tile, bars - bar);
        for (std::size_t k = 0; k < S::inputs; ++k) {
            const Lane lane = table_streams[0][k].lane;
            if (lane.stride == 1) continue;
            gather_runs(lane.first + bar * lane.stride, lane.stride, length, count, table_streams[0][k].scratch,
                        run_stride);
        }
        for (std::size_t s = 0; s < count; ++s) {
            const double* in[S::inputs];
            double* out[S::outputs];
            for (std::size_t k = 0; k < S::inputs; ++k) {
                const Stream& stream = table_streams[s][k];
                in[k] = stream.scratch != nullptr ? stream.scratch : stream.lane.first + bar;
            }
            for (std::size_t k = 0; k < S::outputs; ++k) {
                const Stream& stream = table_streams[s][S::inputs + k];
                out[k] = stream.scratch != nullptr ? stream.scratch : const_cast<double*>(stream.lane.first) + bar;
            }
            run_series(states[s], in, out, length);
        }
        for (std::size_t k = 0; k < S::outputs; ++k) {
            const Lane lane = table_streams[0][S::inputs + k].lane;
            if (lane.stride == 1) continue;
            scatter_runs(table_streams[0][S::inputs + k].scratch, run_stride, length, count,
                         const_cast<double*>(lane.first) + bar * lane.stride, lane.stride);
        }
    }
}

// The block's symbols stepped side by side, one bar of each in turn: a state whose batch run
// waits on its own chain from bar to bar (a divide, a recursion) then has as many chains in
// flight as the block has symbols, and a row-major table is read in place, a row at a time.
template <Indicator S>
void run_block_lockstep(const TableJob<S>& job, std::size_t first, std::size_t last) {
    const std::size_t count = last - first;
    std::vector<S> states(count, S(job.parameters));
    Lane in_lanes[symbols_per_block][S::inputs];
    Lane out_lanes[symbols_per_block][S::outputs];
    for (std::size_t s = 0; s < count; ++s) {
        for (std::size_t k = 0; k < S::inputs; ++k) in_lanes[s][k] = lane_of(job.inputs[k], first + s);
        for (std::size_t k = 0; k < S::outputs; ++k) out_lanes[s][k] = lane_of(job.outputs[k], first + s);
    }
    const std::size_t bars = job.shape.bars;
    std::size_t bar = 0;
    auto step_row = [&] {
        for (std::size_t s = 0; s < count; ++s) {
            double in[S::inputs];
            double out[S::outputs];
            for (std::size_t k = 0; k < S::inputs; ++k) in[k] = in_lanes[s][k].first[bar * in_lanes[s][k].stride];
            states[s].step(in, out);
            for (std::size_t k = 0; k < S::outputs; ++k)
                const_cast<double*>(out_lanes[s][k].first)[bar * out_lanes[s][k].stride] = out[k];
        }
    };
    if constexpr (SteppedInLanes<S>) {
        auto ready = [&] {
            return std::all_of(states.begin(), states.end(), [](const S& st) { return st.lanes_ready(); });
        };
        for (; bar < bars && !ready(); ++bar) step_row();
        if (bar == bars) return;
        Lane in_columns[S::inputs][symbols_per_block] = {}, out_columns[S::outputs][symbols_per_block] = {};
        BlockLanes in_blocks[S::inputs], out_blocks[S::outputs];
        for (std::size_t k = 0; k < S::inputs; ++k) {
            for (std::size_t s = 0; s < count; ++s) in_columns[k][s] = in_lanes[s][k];
            in_blocks[k] = block_lanes(in_columns[k], count);
        }
        for (std::size_t k = 0; k < S::outputs; ++k) {
            for (std::size_t s = 0; s < count; ++s) out_columns[k][s] = out_lanes[s][k];
            out_blocks[k] = block_lanes(out_columns[k], count);
        }
        S::run_lanes(states.data(), count, in_blocks, out_blocks, bar, bars);
        return;
    }
    for (; bar < bars; ++bar) step_row();
}

template <Indicator S>
void run_block(const TableJob<S>& job, std::size_t first, std::size_t last) {
    if (job.lockstep) {
        run_block_lockstep(job, first, last);
    } else {
        run_block_batch(job, first, last);
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
                             const TableOutput* outputs, unsigned workers, bool lockstep) noexcept {
    if (shape.bars == 0 || shape.series == 0) return true;
    std::size_t parts = std::min<std::size_t>({workers == 0 ? 1 : workers, max_worker_threads + 1, shape.series});
    if (shape.bars * shape.series < parallel_threshold) parts = 1;
    std::atomic<bool> failed{false};
    const table_detail::TableJob<S> job{parameters, shape, inputs, outputs, parts, &failed, lockstep};
    if (parts == 1) {
        table_detail::run_part<S>(&job, 0);
    } else {
        run_parts(parts, {&table_detail::run_part<S>, &job});
    }
    return !failed.load();
}

// The same, each walk where the state asks for it.
template <Indicator S>
[[nodiscard]] bool run_table(const Parameters& parameters, TableShape shape, const TableInput* inputs,
                             const TableOutput* outputs, unsigned workers) noexcept {
    const bool row_major = inputs[0].columns == nullptr;
    return run_table<S>(parameters, shape, inputs, outputs, workers,
                        tables_lockstep<S> || (tables_lanes_by_rows<S> && row_major));
}

}  // namespace quillora::indicators
