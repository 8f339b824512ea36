// Recursions of a table block's symbols stepped side by side in vector lanes, once every one of them
// is seeded (the kernels are in lane_kernels.hpp). Each lane takes exactly its own symbol's operations in their order
// (IEEE operations lane by lane give the scalar bits), and the symbols' chains (a divide, a blend) overlap, where one
// symbol alone waits on its own from bar to bar.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "table.hpp"
#include "table_lane.hpp"
#include "tile_transpose.hpp"

namespace quillora::indicators {

using LaneVector = double __attribute__((vector_size(32)));
inline constexpr std::size_t vector_lanes = 4, block_vectors = symbols_per_block / vector_lanes;

// What a lane kernel K is: `K::fields` doubles carried per symbol and `K::inputs` samples per bar;
// `kernel.step(fields, rows, symbol, value)`, always inlined, advances four symbols one bar, their
// samples at rows[k] + symbol (read with lane_load), writing their values. Fields are held as
// fields[f][symbol], symbols past the block's count idle.
template <typename K>
using LaneFields = double[std::max<std::size_t>(K::fields, 1)][symbols_per_block];  // a stateless K keeps none

using LaneMask = decltype(LaneVector{} == LaneVector{});

// Four samples read straight into a register, as one vector load: copied as bytes, they may be
// moved in halves, and a register filled in halves and read whole stalls on every read.
[[gnu::always_inline]] inline void lane_load(LaneVector& to, const double* from) noexcept {
    using Unaligned = double __attribute__((vector_size(32), aligned(8), may_alias));
    to = *reinterpret_cast<const Unaligned*>(from);
}

namespace lane_detail {

// Bars a column-major block is moved through at a time, into rows of the block's symbols.
inline constexpr std::size_t tile_bars = 32;

// A kernel with a `lag` member also reads each input `lag` bars back: rows[inputs + k] is input k
// at bar - lag (the current bar's own samples before the table's first `lag` bars, which its
// fields then must not use).
template <typename K>
inline constexpr bool lane_lagged = requires(const K& kernel) { kernel.lag; };

// A kernel whose lanes may need a step it cannot take side by side (a sum rebuilt from its
// window) also reports them: `step(fields, rows, symbol, value, broken)` sets `broken` in each
// such lane, and `repair(fields, in, symbol, bar, broken, value)`, out of line, takes their bar
// one symbol at a time, reading what it needs from the table through `in`.
template <typename K>
inline constexpr bool lane_repaired =
    requires(const K& kernel, LaneVector* fields, const BlockLanes* in, const LaneMask& broken, LaneVector& value) {
        kernel.repair(fields, in, std::size_t{}, std::size_t{}, broken, value);
    };

[[gnu::always_inline]] inline bool lanes_any(const LaneMask& mask) noexcept {
    return (mask[0] | mask[1] | mask[2] | mask[3]) != 0;
}

template <typename K>
[[gnu::always_inline]] inline void run(const K& kernel, LaneFields<K>& fields, std::size_t count, const BlockLanes* in,
                                       const BlockLanes& out, std::size_t bar, std::size_t bars) noexcept {
    constexpr std::size_t width = symbols_per_block, streams = K::inputs * (lane_lagged<K> ? 2 : 1);
    std::size_t lag = 0;
    if constexpr (lane_lagged<K>) lag = kernel.lag;
    LaneVector registers[block_vectors][std::max<std::size_t>(K::fields, 1)];
    for (std::size_t v = 0; v < block_vectors; ++v)
        for (std::size_t f = 0; f < K::fields; ++f)
            std::memcpy(&registers[v][f], fields[f] + v * vector_lanes, sizeof(LaneVector));
    bool rows_in[K::inputs];
    for (std::size_t k = 0; k < K::inputs; ++k) rows_in[k] = in[k].side_by_side && count == width;
    const bool rows_out = out.side_by_side && count == width;
    // The bar a stream reads at bar `at`: its own, or `lag` before it where there is one.
    auto source = [lag](std::size_t stream, std::size_t at) {
        return stream >= K::inputs && at >= lag ? at - lag : at;
    };
    // Lanes past `count` read zeros, never written, and their values are never stored.
    alignas(32) double tiles_in[streams][tile_bars][width] = {};
    alignas(32) double tile_out[tile_bars][width];
    for (; bar < bars; bar += tile_bars) {
        const std::size_t length = std::min(tile_bars, bars - bar);
        for (std::size_t j = 0; j < streams; ++j) {
            const BlockLanes& block = in[j % K::inputs];
            if (rows_in[j % K::inputs]) continue;
            // Spaced runs move as one transpose where the tile's source bars are consecutive.
            if (block.spacing != 0 && source(j, bar) + length - 1 == source(j, bar + length - 1)) {
                scatter_runs(block.lanes[0].first + source(j, bar), block.spacing, length, count, tiles_in[j][0],
                             width);
                continue;
            }
            for (std::size_t s = 0; s < count; ++s) {
                const Lane lane = block.lanes[s];
                for (std::size_t t = 0; t < length; ++t)
                    tiles_in[j][t][s] = lane.first[source(j, bar + t) * lane.stride];
            }
        }
        for (std::size_t t = 0; t < length; ++t) {
            const double* rows[streams];
            for (std::size_t j = 0; j < streams; ++j) {
                const Lane first = in[j % K::inputs].lanes[0];
                rows[j] = rows_in[j % K::inputs] ? first.first + source(j, bar + t) * first.stride : tiles_in[j][t];
            }
            double* values =
                rows_out ? const_cast<double*>(out.lanes[0].first) + (bar + t) * out.lanes[0].stride : tile_out[t];
            for (std::size_t v = 0; v < block_vectors; ++v) {
                LaneVector value;
                if constexpr (lane_repaired<K>) {
                    LaneMask broken;
                    kernel.step(registers[v], rows, v * vector_lanes, value, broken);
                    if (lanes_any(broken)) [[unlikely]]
                        kernel.repair(registers[v], in, v * vector_lanes, bar + t, broken, value);
                } else {
                    kernel.step(registers[v], rows, v * vector_lanes, value);
                }
                std::memcpy(values + v * vector_lanes, &value, sizeof value);
            }
        }
        if (rows_out) continue;
        if (out.spacing != 0) {
            gather_runs(tile_out[0], width, length, count, const_cast<double*>(out.lanes[0].first) + bar, out.spacing);
            continue;
        }
        for (std::size_t s = 0; s < count; ++s) {
            const Lane lane = out.lanes[s];
            for (std::size_t t = 0; t < length; ++t)
                const_cast<double*>(lane.first)[(bar + t) * lane.stride] = tile_out[t][s];
        }
    }
    for (std::size_t v = 0; v < block_vectors; ++v)
        for (std::size_t f = 0; f < K::fields; ++f)
            std::memcpy(fields[f] + v * vector_lanes, &registers[v][f], sizeof(LaneVector));
}

template <typename K>
[[gnu::target("avx2")]] void run_avx2(const K& kernel, LaneFields<K>& fields, std::size_t count, const BlockLanes* in,
                                      const BlockLanes& out, std::size_t bar, std::size_t bars) noexcept {
    run(kernel, fields, count, in, out, bar, bars);
}

template <typename K>
void run_baseline(const K& kernel, LaneFields<K>& fields, std::size_t count, const BlockLanes* in,
                  const BlockLanes& out, std::size_t bar, std::size_t bars) noexcept {
    run(kernel, fields, count, in, out, bar, bars);
}

}  // namespace lane_detail

// Advances `count` (at most symbols_per_block) symbols over bars [bar, bars) with `kernel`, their
// fields in and out through `fields`. Four symbols to a register where the CPU has AVX2, two
// elsewhere; row-major blocks are read and written in place, others a tile of bars at a time.
template <typename K>
void run_lane_steps(const K& kernel, LaneFields<K>& fields, std::size_t count, const BlockLanes* in,
                    const BlockLanes& out, std::size_t bar, std::size_t bars) noexcept {
    if (table_isa_available(TableIsa::avx2)) {
        lane_detail::run_avx2(kernel, fields, count, in, out, bar, bars);
    } else {
        lane_detail::run_baseline(kernel, fields, count, in, out, bar, bars);
    }
}

}  // namespace quillora::indicators
