// RSI's smoothed changes for a table block's symbols side by side in vector lanes, once every one
// of them is seeded. Each lane takes exactly its own symbol's operations in their order (IEEE
// operations lane by lane give the scalar bits), and the symbols' divides overlap, where one
// symbol alone waits on its own from bar to bar.
#pragma once

#include <cstddef>
#include <cstring>

#include "missing_value.hpp"
#include "table.hpp"
#include "table_lane.hpp"

namespace quillora::indicators {

// A seeded symbol's previous present value and its smoothed gain and loss.
struct WilderAverages {
    double previous, gain, loss;
};

// What a symbol's value is from its averages: RSI's share of the gains, or CMO's balance.
enum class WilderValue { rsi, cmo };

namespace wilder_detail {

using Vector = double __attribute__((vector_size(32)));
inline constexpr std::size_t vector_lanes = 4, vectors = symbols_per_block / vector_lanes;

// Bars [bar, bars) of the block: a missing sample (not finite) leaves its lane's averages as they
// are and gives the missing marker, as the symbol's own step does once seeded.
template <WilderValue Value>
[[gnu::always_inline]] inline void run(WilderAverages* averages, std::size_t count, double period_real,
                                       double kept_real, const BlockLanes& in, const BlockLanes& out, std::size_t bar,
                                       std::size_t bars) noexcept {
    constexpr std::size_t width = symbols_per_block;
    const Vector zero = {}, kept = {kept_real, kept_real, kept_real, kept_real};
    const Vector period = {period_real, period_real, period_real, period_real};
    const Vector missing = {missing_value, missing_value, missing_value, missing_value};
    const Vector fifty = {50.0, 50.0, 50.0, 50.0}, hundred = {100.0, 100.0, 100.0, 100.0};
    alignas(32) double lanes[3][width] = {};  // previous, gain, loss; lanes past `count` stay idle
    for (std::size_t s = 0; s < count; ++s) {
        lanes[0][s] = averages[s].previous;
        lanes[1][s] = averages[s].gain;
        lanes[2][s] = averages[s].loss;
    }
    Vector previous[vectors], gain[vectors], loss[vectors];
    for (std::size_t v = 0; v < vectors; ++v) {
        std::memcpy(&previous[v], lanes[0] + v * vector_lanes, sizeof(Vector));
        std::memcpy(&gain[v], lanes[1] + v * vector_lanes, sizeof(Vector));
        std::memcpy(&loss[v], lanes[2] + v * vector_lanes, sizeof(Vector));
    }
    const bool row_in = in.side_by_side && count == width, row_out = out.side_by_side && count == width;
    alignas(32) double samples[width] = {}, values[width];
    for (; bar < bars; ++bar) {
        const double* x_row = samples;
        if (row_in) {
            x_row = in.lanes[0].first + bar * in.lanes[0].stride;
        } else {
            for (std::size_t s = 0; s < count; ++s) samples[s] = in.lanes[s].first[bar * in.lanes[s].stride];
        }
        double* value_row = row_out ? const_cast<double*>(out.lanes[0].first) + bar * out.lanes[0].stride : values;
        for (std::size_t v = 0; v < vectors; ++v) {
            Vector x;
            std::memcpy(&x, x_row + v * vector_lanes, sizeof x);
            const auto present = (x - x) == zero;
            const Vector change = x - previous[v];
            const Vector up = change > zero ? change : zero;
            const Vector down = change < zero ? -change : zero;
            const Vector next_gain = (gain[v] * kept + up) / period;
            const Vector next_loss = (loss[v] * kept + down) / period;
            const Vector total = next_gain + next_loss;
            Vector value;
            if constexpr (Value == WilderValue::rsi) {
                value = total == zero ? fifty : hundred * (next_gain / total);
            } else {
                value = total == zero ? zero : hundred * ((next_gain - next_loss) / total);
            }
            previous[v] = present ? x : previous[v];
            gain[v] = present ? next_gain : gain[v];
            loss[v] = present ? next_loss : loss[v];
            value = present ? value : missing;
            std::memcpy(value_row + v * vector_lanes, &value, sizeof value);
        }
        if (!row_out)
            for (std::size_t s = 0; s < count; ++s)
                const_cast<double*>(out.lanes[s].first)[bar * out.lanes[s].stride] = values[s];
    }
    for (std::size_t v = 0; v < vectors; ++v) {
        std::memcpy(lanes[0] + v * vector_lanes, &previous[v], sizeof(Vector));
        std::memcpy(lanes[1] + v * vector_lanes, &gain[v], sizeof(Vector));
        std::memcpy(lanes[2] + v * vector_lanes, &loss[v], sizeof(Vector));
    }
    for (std::size_t s = 0; s < count; ++s) averages[s] = {lanes[0][s], lanes[1][s], lanes[2][s]};
}

template <WilderValue Value>
[[gnu::target("avx2")]] void run_avx2(WilderAverages* averages, std::size_t count, double period_real, double kept,
                                      const BlockLanes& in, const BlockLanes& out, std::size_t bar,
                                      std::size_t bars) noexcept {
    run<Value>(averages, count, period_real, kept, in, out, bar, bars);
}

template <WilderValue Value>
void run_baseline(WilderAverages* averages, std::size_t count, double period_real, double kept, const BlockLanes& in,
                  const BlockLanes& out, std::size_t bar, std::size_t bars) noexcept {
    run<Value>(averages, count, period_real, kept, in, out, bar, bars);
}

}  // namespace wilder_detail

// Advances `count` (at most symbols_per_block) seeded symbols over bars [bar, bars), their
// averages in and out through `averages`; `period_real` and `kept` are the period and the period
// less one as doubles. Four symbols to a register where the CPU has AVX2, two elsewhere.
template <WilderValue Value>
void run_wilder_lanes(WilderAverages* averages, std::size_t count, double period_real, double kept,
                      const BlockLanes& in, const BlockLanes& out, std::size_t bar, std::size_t bars) noexcept {
    if (table_isa_available(TableIsa::avx2)) {
        wilder_detail::run_avx2<Value>(averages, count, period_real, kept, in, out, bar, bars);
    } else {
        wilder_detail::run_baseline<Value>(averages, count, period_real, kept, in, out, bar, bars);
    }
}

}  // namespace quillora::indicators
