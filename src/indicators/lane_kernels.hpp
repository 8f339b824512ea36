// The lane kernels of the states whose tables step their symbols side by side (lane_steps.hpp):
// each mirrors its state's own step once warmed up, lane by lane, in the same order of operations.
#pragma once

#include <algorithm>
#include <cstddef>

#include "lane_steps.hpp"
#include "missing_value.hpp"

namespace quillora::indicators {

inline constexpr LaneVector lanes_missing = {missing_value, missing_value, missing_value, missing_value};

// Where each lane holds a number: x - x is +0.0 then, and NaN for NaN or an infinity. (Set through
// a reference: a vector returned by value changes the calling convention between builds.)
[[gnu::always_inline]] inline void lanes_finite(const LaneVector& x, LaneMask& finite) noexcept {
    const LaneVector zero = {};
    finite = (x - x) == zero;
}

// A compensated sum's add(x) in each lane (compensated_sum.hpp): Knuth's two-sum, its lost part
// added to the error.
[[gnu::always_inline]] inline void lanes_add(LaneVector& sum, LaneVector& error, const LaneVector& x) noexcept {
    const LaneVector total = sum + x;
    const LaneVector x_part = total - sum;
    const LaneVector lost = (sum - (total - x_part)) + (x - x_part);
    sum = total;
    error = error + lost;
}

// The bars of its window a lane's repair reads back at `bar`: the `held` samples its fields count,
// never more than `period` nor than the table holds (fields given any doubles stay in bounds).
inline std::size_t lanes_window_bars(double held, std::size_t bar, double period) noexcept {
    const double most = std::min(period, static_cast<double>(bar + 1));
    return held >= 1.0 ? static_cast<std::size_t>(std::min(held, most)) : 0;
}

// money_flow_volume (flows_parts.hpp) in each lane, from a bar's high, low, close and volume:
// ((close - low) - (high - close)) / (high - low) * volume, and 0 where high - low is not above 0.
[[gnu::always_inline]] inline void lanes_money_flow(const LaneVector* bar, LaneVector& flow) noexcept {
    const LaneVector zero = {}, high = bar[0], low = bar[1], close = bar[2], range = high - low;
    flow = range > zero ? ((close - low) - (high - close)) / range * bar[3] : zero;
}

// Wilder's smoothing constants in every lane: the period less one and the period, as doubles.
struct WilderConstants {
    WilderConstants(double kept_real, double period_real) noexcept
        : kept{kept_real, kept_real, kept_real, kept_real},
          period{period_real, period_real, period_real, period_real} {}
    LaneVector kept, period;
};

// RSI's smoothed changes (previous present value, gain, loss) once seeded: a missing sample (not
// finite) leaves a symbol's fields as they are and gives the missing marker. `Rsi` picks RSI's
// value, 100 * (gain / total) or 50, else CMO's, 100 * ((gain - loss) / total) or 0, where total =
// gain + loss is exactly zero.
template <bool Rsi>
struct WilderChangesLanes : WilderConstants {
    static constexpr std::size_t fields = 3, inputs = 1;
    using WilderConstants::WilderConstants;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        const LaneVector zero = {};
        LaneVector x;
        lane_load(x, rows[0] + symbol);
        const auto present = (x - x) == zero;
        const LaneVector change = x - field[0];
        const LaneVector up = change > zero ? change : zero;
        const LaneVector down = change < zero ? -change : zero;
        const LaneVector gain = (field[1] * kept + up) / period;
        const LaneVector loss = (field[2] * kept + down) / period;
        const LaneVector total = gain + loss;
        const LaneVector hundred = {100.0, 100.0, 100.0, 100.0};
        LaneVector result;
        if constexpr (Rsi) {
            const LaneVector fifty = {50.0, 50.0, 50.0, 50.0};
            result = total == zero ? fifty : hundred * (gain / total);
        } else {
            result = total == zero ? zero : hundred * ((gain - loss) / total);
        }
        field[0] = present ? x : field[0];
        field[1] = present ? gain : field[1];
        field[2] = present ? loss : field[2];
        value = present ? result : lanes_missing;
    }
};

// Wilder's average once seeded: average = (average * kept + x) / period for a present sample;
// a missing one leaves it and gives the missing marker.
struct WilderAverageLanes : WilderConstants {
    static constexpr std::size_t fields = 1, inputs = 1;
    using WilderConstants::WilderConstants;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        const LaneVector zero = {};
        LaneVector x;
        lane_load(x, rows[0] + symbol);
        const auto present = (x - x) == zero;
        const LaneVector average = (field[0] * kept + x) / period;
        field[0] = present ? average : field[0];
        value = present ? average : lanes_missing;
    }
};

// DEMA's, TEMA's or TRIX's chain of exponential averages once every one is seeded: each average =
// average * keep + value * alpha, fed the one before it; a missing sample leaves the fields and
// gives the missing marker. The value is 2.0 * e1 - e2, (3.0 * e1 - 3.0 * e2) + e3, or TRIX's
// change of e3 from the previous e3 (a fourth field): ((e3 - previous) / previous) * 100, and 0
// where the previous is zero.
enum class ChainValue { dema, tema, trix };

template <ChainValue Value>
struct EmaChainLanes {
    static constexpr std::size_t chained = Value == ChainValue::dema ? 2 : 3;
    static constexpr std::size_t fields = chained + (Value == ChainValue::trix ? 1 : 0), inputs = 1;
    EmaChainLanes(double keep_real, double alpha_real) noexcept
        : keep{keep_real, keep_real, keep_real, keep_real}, alpha{alpha_real, alpha_real, alpha_real, alpha_real} {}
    LaneVector keep, alpha;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        const LaneVector zero = {};
        LaneVector x;
        lane_load(x, rows[0] + symbol);
        const auto present = (x - x) == zero;
        LaneVector averages[chained];
        LaneVector fed = x;
        for (std::size_t k = 0; k < chained; ++k) {
            averages[k] = field[k] * keep + fed * alpha;
            fed = averages[k];
        }
        LaneVector result;
        if constexpr (Value == ChainValue::dema) {
            const LaneVector two = {2.0, 2.0, 2.0, 2.0};
            result = two * averages[0] - averages[1];
        } else if constexpr (Value == ChainValue::tema) {
            const LaneVector three = {3.0, 3.0, 3.0, 3.0};
            result = (three * averages[0] - three * averages[1]) + averages[2];
        } else {
            const LaneVector hundred = {100.0, 100.0, 100.0, 100.0}, previous = field[3];
            result = previous == zero ? zero : ((averages[2] - previous) / previous) * hundred;
            field[3] = present ? averages[2] : previous;
        }
        for (std::size_t k = 0; k < chained; ++k) field[k] = present ? averages[k] : field[k];
        value = present ? result : lanes_missing;
    }
};

// APO's or PPO's pair of exponential averages of the samples, fast and slow, once both are seeded:
// each average = average * keep + x * alpha with its own constants; a missing sample leaves them
// and gives the missing marker. The value is fast - slow, or for PPO ((fast - slow) / slow) * 100,
// and 0 where slow is zero.
template <bool Relative>
struct EmaPairLanes {
    static constexpr std::size_t fields = 2, inputs = 1;
    EmaPairLanes(double fast_keep_real, double fast_alpha_real, double slow_keep_real, double slow_alpha_real) noexcept
        : fast_keep{fast_keep_real, fast_keep_real, fast_keep_real, fast_keep_real},
          fast_alpha{fast_alpha_real, fast_alpha_real, fast_alpha_real, fast_alpha_real},
          slow_keep{slow_keep_real, slow_keep_real, slow_keep_real, slow_keep_real},
          slow_alpha{slow_alpha_real, slow_alpha_real, slow_alpha_real, slow_alpha_real} {}
    LaneVector fast_keep, fast_alpha, slow_keep, slow_alpha;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        const LaneVector zero = {};
        LaneVector x;
        lane_load(x, rows[0] + symbol);
        const auto present = (x - x) == zero;
        const LaneVector fast = field[0] * fast_keep + x * fast_alpha;
        const LaneVector slow = field[1] * slow_keep + x * slow_alpha;
        LaneVector result;
        if constexpr (Relative) {
            const LaneVector hundred = {100.0, 100.0, 100.0, 100.0};
            result = slow == zero ? zero : ((fast - slow) / slow) * hundred;
        } else {
            result = fast - slow;
        }
        field[0] = present ? fast : field[0];
        field[1] = present ? slow : field[1];
        value = present ? result : lanes_missing;
    }
};

// Whether each of four symbols' `Count` samples at rows[k] + symbol are all present, each loaded.
template <std::size_t Count>
[[gnu::always_inline]] inline void lanes_present(const double* const* rows, std::size_t symbol, LaneVector* samples,
                                                 LaneMask& present) noexcept {
    const LaneVector zero = {};
    lane_load(samples[0], rows[0] + symbol);
    present = (samples[0] - samples[0]) == zero;
    for (std::size_t k = 1; k < Count; ++k) {
        lane_load(samples[k], rows[k] + symbol);
        present = present & ((samples[k] - samples[k]) == zero);
    }
}

// BOP over open, high, low and close: (close - open) / (high - low), and 0 where high - low is not
// above zero; a bar with a missing input gives the missing marker. No fields.
struct BopLanes {
    static constexpr std::size_t fields = 0, inputs = 4;

    [[gnu::always_inline]] void step(LaneVector*, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        LaneVector bar[4];
        LaneMask present;
        lanes_present<4>(rows, symbol, bar, present);
        const LaneVector zero = {}, range = bar[1] - bar[2];
        const LaneVector result = range > zero ? (bar[3] - bar[0]) / range : zero;
        value = present ? result : lanes_missing;
    }
};

// AD over high, low, close and volume: ad = ad + flow, flow = ((close - low) - (high - close)) /
// (high - low) * volume, and 0 where high - low is not above zero; a bar with a missing input
// leaves ad and gives the missing marker. The field is ad.
struct AdLanes {
    static constexpr std::size_t fields = 1, inputs = 4;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        LaneVector bar[4];
        LaneMask present;
        lanes_present<4>(rows, symbol, bar, present);
        LaneVector flow;
        lanes_money_flow(bar, flow);
        const LaneVector ad = field[0] + flow;
        field[0] = present ? ad : field[0];
        value = present ? ad : lanes_missing;
    }
};

// ADOSC over high, low, close and volume once its slow average has its first value: ad = ad + flow
// (AdLanes), fast = fast * fast_keep + ad * fast_alpha, slow likewise, the value fast - slow; a bar
// with a missing input leaves the fields (ad, fast, slow) and gives the missing marker.
struct AdoscLanes {
    static constexpr std::size_t fields = 3, inputs = 4;
    AdoscLanes(double fast_keep_real, double fast_alpha_real, double slow_keep_real, double slow_alpha_real) noexcept
        : fast_keep{fast_keep_real, fast_keep_real, fast_keep_real, fast_keep_real},
          fast_alpha{fast_alpha_real, fast_alpha_real, fast_alpha_real, fast_alpha_real},
          slow_keep{slow_keep_real, slow_keep_real, slow_keep_real, slow_keep_real},
          slow_alpha{slow_alpha_real, slow_alpha_real, slow_alpha_real, slow_alpha_real} {}
    LaneVector fast_keep, fast_alpha, slow_keep, slow_alpha;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        LaneVector bar[4];
        LaneMask present;
        lanes_present<4>(rows, symbol, bar, present);
        LaneVector flow;
        lanes_money_flow(bar, flow);
        const LaneVector ad = field[0] + flow;
        const LaneVector fast = field[1] * fast_keep + ad * fast_alpha;
        const LaneVector slow = field[2] * slow_keep + ad * slow_alpha;
        field[0] = present ? ad : field[0];
        field[1] = present ? fast : field[1];
        field[2] = present ? slow : field[2];
        value = present ? fast - slow : lanes_missing;
    }
};

// VWAP over high, low, close and volume: typical = (high + low + close) / 3; priced = priced +
// typical * volume and volume = volume + the bar's volume; the value priced / volume, missing
// where the volume is 0. A bar with a missing input leaves the fields (priced, volume) and gives
// the missing marker.
struct VwapLanes {
    static constexpr std::size_t fields = 2, inputs = 4;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        LaneVector bar[4];
        LaneMask present;
        lanes_present<4>(rows, symbol, bar, present);
        const LaneVector zero = {}, three = {3.0, 3.0, 3.0, 3.0};
        const LaneVector priced = field[0] + (bar[0] + bar[1] + bar[2]) / three * bar[3];
        const LaneVector volume = field[1] + bar[3];
        field[0] = present ? priced : field[0];
        field[1] = present ? volume : field[1];
        const LaneVector average = priced / volume;
        value = present & (volume != zero) ? average : lanes_missing;
    }
};

// ROC, ROCP, ROCR or MOM: the sample x against b, the one `lag` bars before it, once the `lag`
// samples before x are all present (the field: how many present samples run up to the bar, so a
// missing one starts it again from 0). ROC is ((x - b) / b) * 100, ROCP (x - b) / b, ROCR x / b,
// the ratios missing where b is 0; MOM is x - b. Other bars give the missing marker.
enum class ChangeKind { roc, rocp, rocr, mom };

template <ChangeKind Kind>
struct ChangeLanes {
    static constexpr std::size_t fields = 1, inputs = 1;
    explicit ChangeLanes(std::size_t period) noexcept
        : lag(period),
          period_real{static_cast<double>(period), static_cast<double>(period), static_cast<double>(period),
                      static_cast<double>(period)} {}
    std::size_t lag;
    LaneVector period_real;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        const LaneVector zero = {}, one = {1.0, 1.0, 1.0, 1.0};
        LaneVector x, b;
        lane_load(x, rows[0] + symbol);
        lane_load(b, rows[1] + symbol);
        const auto present = (x - x) == zero;
        LaneVector change;
        LaneMask none = {};  // where b leaves a ratio without a value
        if constexpr (Kind == ChangeKind::roc) {
            const LaneVector hundred = {100.0, 100.0, 100.0, 100.0};
            change = ((x - b) / b) * hundred;
            none = b == zero;
        } else if constexpr (Kind == ChangeKind::rocp) {
            change = (x - b) / b;
            none = b == zero;
        } else if constexpr (Kind == ChangeKind::rocr) {
            change = x / b;
            none = b == zero;
        } else {
            change = x - b;
        }
        value = present & (field[0] >= period_real) & ~none ? change : lanes_missing;
        field[0] = present ? field[0] + one : zero;
    }
};

// OBV over close and volume once started: the balance gains the volume when the close rose above
// the previous present close, loses it when it fell below, else stays; a bar with a missing input
// is skipped and gives the missing marker. The fields are the previous close and the balance.
struct ObvLanes {
    static constexpr std::size_t fields = 2, inputs = 2;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        LaneVector bar[2];
        LaneMask present;
        lanes_present<2>(rows, symbol, bar, present);
        const LaneVector close = bar[0], volume = bar[1], previous = field[0], balance = field[1];
        const LaneVector next = close > previous ? balance + volume : (close < previous ? balance - volume : balance);
        field[0] = present ? close : previous;
        field[1] = present ? next : balance;
        value = present ? next : lanes_missing;
    }
};

// The largest of high - low, |high - previous| and |low - previous|, as TrueRangePart::of.
[[gnu::always_inline]] inline void lanes_true_range(const LaneVector& high, const LaneVector& low,
                                                    const LaneVector& previous, LaneVector& greatest) noexcept {
    using Bits = long long __attribute__((vector_size(32)));
    const Bits magnitude = {0x7fffffffffffffff, 0x7fffffffffffffff, 0x7fffffffffffffff, 0x7fffffffffffffff};
    greatest = high - low;
    const LaneVector high_gap = reinterpret_cast<LaneVector>(reinterpret_cast<Bits>(high - previous) & magnitude);
    greatest = high_gap > greatest ? high_gap : greatest;
    const LaneVector low_gap = reinterpret_cast<LaneVector>(reinterpret_cast<Bits>(low - previous) & magnitude);
    greatest = low_gap > greatest ? low_gap : greatest;
}

// TRANGE over high, low and close: the fields are the previous close and whether there is one
// (1.0 or 0.0: a bar with a missing input clears it). A present bar with a previous close gives
// its true range; every other bar the missing marker.
struct TrueRangeLanes {
    static constexpr std::size_t fields = 2, inputs = 3;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        LaneVector bar[3];
        LaneMask present;
        lanes_present<3>(rows, symbol, bar, present);
        const LaneVector zero = {}, one = {1.0, 1.0, 1.0, 1.0};
        LaneVector greatest;
        lanes_true_range(bar[0], bar[1], field[0], greatest);
        const auto ranged = present & (field[1] != zero);
        field[0] = present ? bar[2] : field[0];
        field[1] = present ? one : zero;
        value = ranged ? greatest : lanes_missing;
    }
};

// NATR once its average is seeded, over high, low and close: the fields are the previous close,
// whether there is one (1.0 or 0.0: a bar with a missing input clears it) and the average true
// range. A bar has a true range when it is present and there is a previous close; the average
// takes it when it is finite, and the value is (atr / close) * 100.0 where the new average is
// finite and the close is not zero. Every other bar gives the missing marker.
struct NatrLanes : WilderConstants {
    static constexpr std::size_t fields = 3, inputs = 3;
    using WilderConstants::WilderConstants;

    [[gnu::always_inline]] void step(LaneVector* field, const double* const* rows, std::size_t symbol,
                                     LaneVector& value) const noexcept {
        const LaneVector zero = {}, previous = field[0];
        LaneVector bar[3];
        LaneMask bar_present;
        lanes_present<3>(rows, symbol, bar, bar_present);
        const LaneVector close = bar[2];
        LaneVector greatest;
        lanes_true_range(bar[0], bar[1], previous, greatest);
        const auto averaged = bar_present & (field[1] != zero) & ((greatest - greatest) == zero);
        const LaneVector average = (field[2] * kept + greatest) / period;
        const LaneVector hundred = {100.0, 100.0, 100.0, 100.0}, one = {1.0, 1.0, 1.0, 1.0};
        const LaneVector percent = (average / close) * hundred;
        field[0] = bar_present ? close : previous;
        field[1] = bar_present ? one : zero;
        field[2] = averaged ? average : field[2];
        value = averaged & ((average - average) == zero) & (close != zero) ? percent : lanes_missing;
    }
};

}  // namespace quillora::indicators
