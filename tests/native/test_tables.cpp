// Native tests of the table kernels: every series of a table must carry exactly the bits that the
// one-series routine gives it, on every instruction set this CPU runs, in every layout, across
// table widths that exercise full register groups, partial groups and single-lane tails, and
// across every warm-up edge.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "sma.hpp"
#include "table.hpp"
#include "tile_transpose.hpp"

namespace {

using Series = std::vector<double>;
using Columns = std::vector<Series>;  // one Series per symbol

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
const double sentinel = std::bit_cast<double>(std::uint64_t{0x7FF4DEADBEEF0001u});  // a signalling NaN
const double missing = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000u});

int failures = 0;

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

enum class Layout { rows, padded_rows, columns };
const char* layout_name(Layout layout) {
    return layout == Layout::rows ? "rows" : layout == Layout::padded_rows ? "padded rows" : "columns";
}

// A table in one layout, every cell outside the table (guards, row padding) holding `sentinel`
// so that a write outside the table is seen.
class TableBuffer {
public:
    // Rows start `offset` bytes past a 64-byte boundary (a multiple of 8).
    TableBuffer(Layout layout, std::size_t bars, std::size_t series, std::size_t offset)
        : layout_(layout), bars_(bars), series_(series), stride_(series + (layout == Layout::padded_rows ? 3 : 0)) {
        if (layout == Layout::columns) {
            for (std::size_t s = 0; s < series; ++s) columns_.emplace_back(bars + 2, sentinel);
            for (Series& column : columns_) pointers_.push_back(column.data() + 1);
        } else {
            rows_.assign(bars * stride_ + 10, sentinel);
            while (reinterpret_cast<std::uintptr_t>(rows_.data() + first_) % 64 != offset) ++first_;
        }
    }

    double& at(std::size_t bar, std::size_t s) {
        return layout_ == Layout::columns ? columns_[s][bar + 1] : rows_[first_ + bar * stride_ + s];
    }

    void fill(const Columns& values) {
        for (std::size_t s = 0; s < series_; ++s)
            for (std::size_t bar = 0; bar < bars_; ++bar) at(bar, s) = values[s][bar];
    }
    void fill(double value) {
        for (std::size_t s = 0; s < series_; ++s)
            for (std::size_t bar = 0; bar < bars_; ++bar) at(bar, s) = value;
    }

    Series column(std::size_t s) {
        Series out(bars_);
        for (std::size_t bar = 0; bar < bars_; ++bar) out[bar] = at(bar, s);
        return out;
    }

    quillora::TableInput input() {
        if (layout_ == Layout::columns) return {.columns = reinterpret_cast<const double* const*>(pointers_.data())};
        return {.rows = rows_.data() + first_, .row_stride = stride_};
    }
    quillora::TableOutput output() {
        if (layout_ == Layout::columns) return {.columns = pointers_.data()};
        return {.rows = rows_.data() + first_, .row_stride = stride_};
    }

    // Every cell outside the table still holds the sentinel.
    bool untouched_outside() {
        std::size_t inside = 0, kept = 0;
        auto count = [&](const Series& cells) {
            for (double cell : cells) kept += bits(cell) == bits(sentinel);
        };
        if (layout_ == Layout::columns) {
            for (const Series& column : columns_) count(column);
        } else {
            count(rows_);
        }
        inside = bars_ * series_;
        const std::size_t total = layout_ == Layout::columns ? series_ * (bars_ + 2) : rows_.size();
        return kept == total - inside;
    }

private:
    Layout layout_;
    std::size_t bars_, series_, stride_;
    std::size_t first_ = 1;
    Series rows_;
    Columns columns_;
    std::vector<double*> pointers_;
};

struct Setup {
    quillora::TableIsa isa;
    Layout in, out;
    unsigned workers;
    quillora::TableStreaming streaming = quillora::TableStreaming::never;
    std::size_t output_offset = 8;  // bytes past a cache line where output rows start
};

std::string describe(const Setup& setup, const char* what, std::size_t bars, std::size_t series) {
    char text[256];
    std::snprintf(text, sizeof text, "%s on %s, %s in, %s out%s at +%zu, %u workers, %zu bars x %zu series", what,
                  quillora::table_isa_name(setup.isa), layout_name(setup.in), layout_name(setup.out),
                  setup.streaming == quillora::TableStreaming::always ? " streamed" : "", setup.output_offset,
                  setup.workers, bars, series);
    return text;
}

// Runs `table` on `inputs` in the setup's layouts and `one` on each series alone, and compares
// every output series by bits: `table(ins, outs, shape, options)`, `one(series inputs, outs)`.
// Where `arithmetic(output, inputs of the series, outputs of the series, bar)` says a value comes
// out of arithmetic, a NaN may differ in sign and payload: which operand's NaN an operation on
// two NaNs returns is the compiler's choice of operand order, in the one-series routine as here.
// Markers and numbers must match to the bit.
template <class Table, class One, class Arithmetic>
void compare(const Setup& setup, const char* what, const std::vector<Columns>& inputs, int outputs, Table table,
             One one, Arithmetic arithmetic) {
    const std::size_t series = inputs[0].size();
    const std::size_t bars = series == 0 ? 0 : inputs[0][0].size();
    std::vector<TableBuffer> in, out;
    std::vector<quillora::TableInput> table_in;
    std::vector<quillora::TableOutput> table_out;
    for (const Columns& input : inputs) {
        in.emplace_back(setup.in, bars, series, 8);
        in.back().fill(input);
    }
    for (int k = 0; k < outputs; ++k) {
        out.emplace_back(setup.out, bars, series, setup.output_offset);
        out.back().fill(1234.5);
    }
    for (TableBuffer& buffer : in) table_in.push_back(buffer.input());
    for (TableBuffer& buffer : out) table_out.push_back(buffer.output());
    table(table_in, table_out, quillora::TableShape{bars, series},
          quillora::TableOptions{setup.workers, setup.isa, setup.streaming});

    for (int k = 0; k < outputs; ++k) {
        if (!out[k].untouched_outside()) {
            ++failures;
            std::printf("FAILED: %s: output %d written outside the table\n",
                        describe(setup, what, bars, series).c_str(), k);
        }
    }
    for (std::size_t s = 0; s < series; ++s) {
        std::vector<Series> expected(outputs, Series(bars));
        std::vector<const Series*> series_in;
        for (const Columns& input : inputs) series_in.push_back(&input[s]);
        one(series_in, expected);
        for (int k = 0; k < outputs; ++k) {
            const Series actual = out[k].column(s);
            for (std::size_t bar = 0; bar < bars; ++bar) {
                if (bits(actual[bar]) == bits(expected[k][bar])) continue;
                if (std::isnan(actual[bar]) && std::isnan(expected[k][bar]) &&
                    arithmetic(k, series_in, expected, bar)) {
                    continue;
                }
                ++failures;
                std::printf(
                    "FAILED: %s: output %d, series %zu, bar %zu: got %.17g (0x%016llx), expected %.17g (0x%016llx)\n",
                    describe(setup, what, bars, series).c_str(), k, s, bar, actual[bar],
                    static_cast<unsigned long long>(bits(actual[bar])), expected[k][bar],
                    static_cast<unsigned long long>(bits(expected[k][bar])));
                return;
            }
        }
    }
}

void check_sma(const Setup& setup, std::uint64_t period, const Columns& data) {
    char what[64];
    std::snprintf(what, sizeof what, "sma(%llu)", static_cast<unsigned long long>(period));
    compare(
        setup, what, {data}, 1,
        [&](auto& in, auto& out, auto shape, auto options) {
            quillora::table_sma(period, shape, in[0], out[0], options);
        },
        [&](auto& in, auto& out) { quillora::compute_sma(period, *in[0], out[0]); },
        [&](int, auto&, auto&, std::size_t bar) { return period - 1 <= bar; });
}

void check_ema(const Setup& setup, std::uint64_t period, const Columns& data) {
    char what[64];
    std::snprintf(what, sizeof what, "ema(%llu)", static_cast<unsigned long long>(period));
    compare(
        setup, what, {data}, 1,
        [&](auto& in, auto& out, auto shape, auto options) {
            quillora::table_ema(period, shape, in[0], out[0], options);
        },
        [&](auto& in, auto& out) { quillora::compute_ema(period, *in[0], out[0]); },
        [](int, auto&, auto&, std::size_t) { return false; });  // finite samples only: no NaN comes out
}

void check_macd(const Setup& setup, std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, const Columns& data) {
    char what[96];
    std::snprintf(what, sizeof what, "macd(%llu, %llu, %llu)", static_cast<unsigned long long>(fast),
                  static_cast<unsigned long long>(slow), static_cast<unsigned long long>(signal));
    compare(
        setup, what, {data}, 3,
        [&](auto& in, auto& out, auto shape, auto options) {
            quillora::table_macd(shape, in[0], fast, slow, signal, out[0], out[1], out[2], options);
        },
        [&](auto& in, auto& out) { quillora::compute_macd(*in[0], fast, slow, signal, out[0], out[1], out[2]); },
        [&](int k, auto& in, auto& out, std::size_t bar) {
            // Line, signal once due, histogram beside a signal, at bars with a sample.
            const bool processed = bar + 1 >= slow && !std::isnan((*in[0])[bar]);
            if (k == 0) return processed;
            if (k == 1) return processed && bar - (slow - 1) >= signal - 1;
            return processed && !std::isnan(out[1][bar]);
        });
}

void check_atr(const Setup& setup, std::uint64_t period, const Columns& high, const Columns& low,
               const Columns& close) {
    char what[64];
    std::snprintf(what, sizeof what, "atr(%llu)", static_cast<unsigned long long>(period));
    compare(
        setup, what, {high, low, close}, 1,
        [&](auto& in, auto& out, auto shape, auto options) {
            quillora::table_atr(period, shape, in[0], in[1], in[2], out[0], options);
        },
        [&](auto& in, auto& out) { quillora::compute_atr(period, *in[0], *in[1], *in[2], out[0]); },
        [&](int, auto& in, auto&, std::size_t bar) { return period > 0 && period < in[0]->size() && bar >= period; });
}

// Random walks sprinkled, at a rate drawn per series, with NaN of several payloads and signs,
// both infinities and both zeros; some series stay clean and some are mostly odd values.
class TableMaker {
public:
    explicit TableMaker(std::uint64_t seed) : engine_(seed) {}

    Columns make(std::size_t series, std::size_t bars) {
        static constexpr double rates[] = {0.0, 0.0, 0.01, 0.05, 0.2, 0.7};
        static const double odd[] = {
            missing, -missing, std::bit_cast<double>(std::uint64_t{0x7FF8000000000123u}), inf, -inf, 0.0, -0.0};
        Columns columns(series, Series(bars));
        for (Series& column : columns) {
            const double rate = rates[below(std::size(rates))];
            double price = 100.0;
            for (double& value : column) {
                price += std::normal_distribution<double>(0.0, 1.0)(engine_);
                value =
                    std::uniform_real_distribution<double>(0, 1)(engine_) < rate ? odd[below(std::size(odd))] : price;
            }
        }
        return columns;
    }

    // Plausible bars from a walk: high above and low below each close, odd values as in `make`.
    void bars(std::size_t series, std::size_t bars, Columns& high, Columns& low, Columns& close) {
        close = make(series, bars);
        high = make(series, bars);
        low = make(series, bars);
        for (std::size_t s = 0; s < series; ++s) {
            for (std::size_t bar = 0; bar < bars; ++bar) {
                if (high[s][bar] == high[s][bar] && high[s][bar] > 0 && close[s][bar] == close[s][bar]) {
                    high[s][bar] = close[s][bar] + std::fabs(high[s][bar] - 100.0) * 0.01;
                }
                if (low[s][bar] == low[s][bar] && low[s][bar] > 0 && close[s][bar] == close[s][bar]) {
                    low[s][bar] = close[s][bar] - std::fabs(low[s][bar] - 100.0) * 0.01;
                }
            }
        }
    }

    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine_); }

private:
    std::mt19937_64 engine_;
};

std::vector<std::uint64_t> edge_periods(std::size_t bars) {
    std::vector<std::uint64_t> periods{0, 1, 2, 3, 14, huge};
    for (std::size_t p : {bars - 1, bars, bars + 1}) periods.push_back(p);  // bars - 1 wraps for 0 bars
    return periods;
}

struct MacdPeriods {
    std::uint64_t fast, slow, signal;
};

std::vector<MacdPeriods> macd_periods(std::size_t bars) {
    std::vector<MacdPeriods> periods{{1, 2, 1}, {2, 3, 2}, {3, 7, 4}, {12, 26, 9}, {1, 2, huge}, {5, huge, 3}};
    if (bars >= 2) {
        periods.push_back({1, bars, 1});      // the first value on the last bar
        periods.push_back({2, bars + 1, 1});  // none at all
    }
    if (bars >= 4) periods.push_back({2, 3, bars + 1 - 3});  // the signal starts on the last bar
    return periods;
}

void check_table(const Setup& setup, TableMaker& maker, std::size_t series, std::size_t bars) {
    const Columns data = maker.make(series, bars);
    for (std::uint64_t period : edge_periods(bars)) {
        check_sma(setup, period, data);
        check_ema(setup, period, data);
    }
    for (const MacdPeriods& p : macd_periods(bars)) check_macd(setup, p.fast, p.slow, p.signal, data);
    Columns high, low, close;
    maker.bars(series, bars, high, low, close);
    for (std::uint64_t period : edge_periods(bars)) check_atr(setup, period, high, low, close);
}

// MACD seeds again wherever the fast average has become NaN: a NaN in the fast window at the
// first processed bar, and opposite infinities, in some lanes of a block and not in others.
void check_macd_reseeding(const Setup& setup) {
    Columns data(9, Series(40));
    for (std::size_t s = 0; s < data.size(); ++s) {
        for (std::size_t bar = 0; bar < 40; ++bar) data[s][bar] = 1.0 + static_cast<double>((bar * 7 + s * 3) % 11);
    }
    data[1][4] = missing;                   // inside the first fast window
    data[2][10] = inf, data[2][11] = -inf;  // fast and slow become NaN, the fast one seeds again
    data[3][1] = missing;                   // inside the first slow window only: the slow average stays NaN
    data[5][6] = inf;                       // infinite averages whose difference is NaN
    data[7][20] = -0.0, data[7][21] = missing;
    for (const MacdPeriods& p : {MacdPeriods{2, 5, 3}, MacdPeriods{1, 5, 1}, MacdPeriods{3, 4, 2}}) {
        check_macd(setup, p.fast, p.slow, p.signal, data);
    }
}

// Tiles of every small shape (full 4 x 4 blocks, remainders of rows, of symbols and of both) go
// to runs and back with every bit, and nothing outside the tile is written either way.
void check_tile_transposes() {
    constexpr std::size_t row_stride = 13, run_stride = 11;
    const double marked = std::bit_cast<double>(std::uint64_t{0xFFF0000000C0FFEEu});
    for (std::size_t rows = 0; rows <= 9; ++rows)
        for (std::size_t symbols = 0; symbols <= 9; ++symbols) {
            Series table(10 * row_stride), runs(row_stride * run_stride, marked), back(table.size(), marked);
            for (std::size_t i = 0; i < table.size(); ++i)
                table[i] = std::bit_cast<double>(std::uint64_t{0x7FF4000000000000u} + i);
            quillora::gather_runs(table.data(), row_stride, rows, symbols, runs.data(), run_stride);
            quillora::scatter_runs(runs.data(), run_stride, rows, symbols, back.data(), row_stride);
            for (std::size_t r = 0; r < 10; ++r)
                for (std::size_t s = 0; s < row_stride; ++s) {
                    const bool inside = r < rows && s < symbols;
                    const double expected = inside ? table[r * row_stride + s] : marked;
                    if (bits(back[r * row_stride + s]) != bits(expected) ||
                        bits(runs[s * run_stride + r]) != bits(expected)) {
                        std::printf("FAIL tile transpose %zu x %zu at row %zu, symbol %zu\n", rows, symbols, r, s);
                        ++failures;
                        return;
                    }
                }
        }
}

}  // namespace

int main() {
    check_tile_transposes();
    using quillora::TableIsa;
    const Layout layouts[][2] = {{Layout::rows, Layout::rows},
                                 {Layout::columns, Layout::columns},
                                 {Layout::padded_rows, Layout::columns},
                                 {Layout::columns, Layout::padded_rows},
                                 {Layout::padded_rows, Layout::padded_rows}};
    std::size_t paths = 0;
    for (TableIsa isa : {TableIsa::baseline, TableIsa::avx2, TableIsa::avx512}) {
        if (!quillora::table_isa_available(isa)) {
            std::printf("skipped: %s is not available here\n", quillora::table_isa_name(isa));
            continue;
        }
        ++paths;
        TableMaker maker(20261208);
        for (const auto& layout : layouts) {
            const Setup serial{isa, layout[0], layout[1], 1};
            for (std::size_t series : {1, 2, 3, 4, 5, 8, 17, 64}) {
                for (std::size_t bars : {0, 1, 2, 3, 5, 40, 150}) check_table(serial, maker, series, bars);
            }
            // Several blocks of bars: tiles of columns and blocks of rows carry state across.
            check_table(serial, maker, 3, 2100);
            check_table(serial, maker, 67, 300);
            check_macd_reseeding(serial);
            // Threads split the series; each share must still match its series alone, also where
            // rows of a whole number of cache lines lie off a line, so that each row ends in the
            // line where the next one begins.
            for (unsigned workers : {2u, 3u}) {
                for (const auto& [series, offset] : {std::pair<std::size_t, std::size_t>{71, 8}, {72, 8}, {72, 16}}) {
                    check_table({isa, layout[0], layout[1], workers, quillora::TableStreaming::never, offset}, maker,
                                series, 600);
                }
            }
            // Outputs streamed past the caches: whole registers on a line, 16-byte halves off one.
            for (std::size_t offset : {0, 16, 40}) {
                check_table({isa, layout[0], layout[1], 1, quillora::TableStreaming::always, offset}, maker, 29, 150);
            }
            // Streamed rows wide enough to be split between threads, and rows too narrow to split,
            // whose outputs a second thread backs with pages while the first computes.
            check_table({isa, layout[0], layout[1], 2, quillora::TableStreaming::always, 8}, maker, 136, 100);
            check_table({isa, layout[0], layout[1], 2, quillora::TableStreaming::always, 0}, maker, 29, 3000);
        }
    }
    // Tables of columns past the cache, where the kernels pick their own way: column by column.
    TableMaker maker(20261209);
    for (unsigned workers : {1u, 2u}) {
        check_table(
            {TableIsa::automatic, Layout::columns, Layout::columns, workers, quillora::TableStreaming::always, 0},
            maker, 19, 150);
    }
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all table checks passed on %zu instruction set(s)\n", paths);
    return 0;
}
