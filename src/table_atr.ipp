// Average true range in lanes: each lane takes compute_atr's steps in its order, the true range
// with the same NaN-skipping maximum written as per-lane selects.

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

struct AtrLanes {
    static constexpr int inputs = 3;  // high and low of the bar, close of the bar before
    static constexpr int outputs = 1;
    static constexpr int states = 1;  // the sum of the first true ranges, then the average

    static const TableInput& input(const AtrJob& job, int k) noexcept {
        return k == 0 ? job.high : k == 1 ? job.low : job.close;
    }
    static std::size_t lag(const AtrJob&, int k) noexcept { return k == 2 ? 1 : 0; }
    static const TableOutput& output(const AtrJob& job, int) noexcept { return job.output; }
    static std::int64_t initial_state(int) noexcept { return 0; }  // +0.0

    // max(a, b) passing over a NaN a: b when a is NaN, else b when b > a, else a (a tie keeps a).
    template <int W>
    [[gnu::always_inline]] static Values<W> max_skipping_nan(Values<W> a, Values<W> b) noexcept {
        return is_nan<W>(a) ? b : (b > a ? b : a);
    }

    template <int W>
    [[gnu::always_inline]] static Values<W> true_range(Values<W> h, Values<W> l, Values<W> c) noexcept {
        const Values<W> range = h - l;
        const Values<W> high_gap = magnitude<W>(h - c);
        const Values<W> low_gap = magnitude<W>(l - c);
        return max_skipping_nan<W>(max_skipping_nan<W>(range, high_gap), low_gap);
    }

    template <int W, int G, class Io>
    static void advance(const Io& io, const AtrJob& job, const Block<AtrLanes>& block) noexcept {
        const OutRows& output = block.out[0];
        const Values<W> none = missing<W>();
        const std::uint64_t period = job.period;
        std::size_t i = block.begin;

        // Bar 0 has no true range, and without a bar after the first `period` there is no average.
        const std::uint64_t first_average = period == 0 || period >= job.bars ? job.bars : period;
        for (; i < block.end && i == 0; ++i) {
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) io.put(y, g, none);
        }
        if (first_average == job.bars) {
            for (; i < block.end; ++i) {
                double* y = output.at(i);
#pragma GCC unroll 16
                for (int g = 0; g < G; ++g) io.put(y, g, none);
            }
            return;
        }

        const Values<W> divisor = splat<W>(static_cast<double>(period));
        const Values<W> weight = splat<W>(1.0 / static_cast<double>(period));
        Values<W> average[G];
        load_state(block.state[0], average);
        const InRows& high = block.in[0];
        const InRows& low = block.in[1];
        const InRows& close = block.in[2];

        // The first true ranges, summed in order from +0.0.
        for (; i < block.end && i < first_average; ++i) {
            const double *h = high.at(i), *l = low.at(i), *c = close.at(i);
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                average[g] = average[g] + true_range<W>(io.load(h, g), io.load(l, g), io.load(c, g));
                io.put(y, g, none);
            }
        }
        if (i < block.end && i == first_average) {
            const double *h = high.at(i), *l = low.at(i), *c = close.at(i);
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                average[g] = (average[g] + true_range<W>(io.load(h, g), io.load(l, g), io.load(c, g))) / divisor;
                io.put(y, g, average[g]);
            }
            ++i;
        }
        // Smoothing: (TR - A) first, then times the rounded weight, then added to A.
        for (; i < block.end; ++i) {
            const double *h = high.at(i), *l = low.at(i), *c = close.at(i);
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                const Values<W> range = true_range<W>(io.load(h, g), io.load(l, g), io.load(c, g));
                average[g] = average[g] + (range - average[g]) * weight;
                io.put(y, g, average[g]);
            }
        }
        save_state(block.state[0], average);
    }
};

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
