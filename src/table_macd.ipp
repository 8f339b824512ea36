// MACD in lanes. The fast, slow and signal averages of each lane follow compute_macd step for
// step: a NaN sample leaves the lane untouched, and a fast average that is NaN is seeded again
// from the trailing windows. Seeding reads a window of the lane's own series, so it runs lane by
// lane in scalar code; it happens once per series unless the data keeps spoiling it.

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

struct MacdLanes {
    static constexpr int inputs = 1;
    static constexpr int outputs = 3;
    static constexpr int states = 3;
    enum State { fast_state, slow_state, signal_state };

    static const TableInput& input(const MacdJob& job, int) noexcept { return job.data; }
    static std::size_t lag(const MacdJob&, int) noexcept { return 0; }
    static const TableOutput& output(const MacdJob& job, int k) noexcept {
        return k == 0 ? job.macd : k == 1 ? job.signal : job.hist;
    }
    static std::int64_t initial_state(int) noexcept { return missing_bits; }

    // Mean of the `period` samples of one series ending at bar `last`, summed newest first from
    // -0.0, exactly as compute_macd seeds.
    static double trailing_mean(const TableInput& data, std::size_t series, std::size_t last,
                                std::uint64_t period) noexcept {
        double sum = -0.0;
        if (data.columns != nullptr) {
            const double* column = data.columns[series];
            for (std::uint64_t back = 0; back < period; ++back) sum = sum + column[last - back];
        } else {
            for (std::uint64_t back = 0; back < period; ++back) {
                sum = sum + data.rows[(last - back) * data.row_stride + series];
            }
        }
        return sum / static_cast<double>(period);
    }

    template <int W>
    struct Seeds {
        Values<W> fast, slow;
    };

    // The averages of the lanes in `seeding` seeded from their trailing windows ending at `bar`, the
    // other lanes' as they are. Kept out of line so the averages stay in registers on the hot path.
    template <int W>
    [[gnu::noinline, gnu::cold]] static Seeds<W> seed(const TableInput& data, std::size_t first_series, std::size_t bar,
                                                      std::uint64_t fast_period, std::uint64_t slow_period,
                                                      Mask<W> seeding, Values<W> fast, Values<W> slow) noexcept {
        for (int lane = 0; lane < W; ++lane) {
            if (seeding[lane] == 0) continue;
            const std::size_t series = first_series + static_cast<std::size_t>(lane);
            fast[lane] = trailing_mean(data, series, bar, fast_period);
            slow[lane] = trailing_mean(data, series, bar, slow_period);
        }
        return {fast, slow};
    }

    template <int W, int G, class Stores>
    static void advance(const MacdJob& job, const Block<MacdLanes>& block) noexcept {
        const InRows& data = block.in[0];
        const Values<W> none = missing<W>();
        // No slow window ends before bar slow_period - 1.
        const std::size_t warm_up = smaller(job.slow_period - 1, job.bars);
        std::size_t i = block.begin;
        for (; i < block.end && i < warm_up; ++i) {
            for (int k = 0; k < outputs; ++k) {
                double* y = block.out[k].at(i);
                for (int g = 0; g < G; ++g) Stores::template put<W>(y + g * W, none);
            }
        }
        if (i >= block.end) return;

        const double fast_alpha = 2.0 / (static_cast<double>(job.fast_period) + 1.0);
        const double slow_alpha = 2.0 / (static_cast<double>(job.slow_period) + 1.0);
        const double signal_alpha = 2.0 / (static_cast<double>(job.signal_period) + 1.0);
        const Values<W> fast_a = splat<W>(fast_alpha), fast_keep = splat<W>(1.0 - fast_alpha);
        const Values<W> slow_a = splat<W>(slow_alpha), slow_keep = splat<W>(1.0 - slow_alpha);
        const Values<W> signal_a = splat<W>(signal_alpha), signal_keep = splat<W>(1.0 - signal_alpha);
        Values<W> fast[G], slow[G], signal[G];
        load_state(block.state[fast_state], fast);
        load_state(block.state[slow_state], slow);
        load_state(block.state[signal_state], signal);

        // One bar for every register of the block; `Due` says whether a NaN signal starts here.
        auto step = [&]<bool Due>(std::size_t bar) {
            const double* x_row = data.at(bar);
            double* macd_row = block.out[0].at(bar);
            double* signal_row = block.out[1].at(bar);
            double* hist_row = block.out[2].at(bar);
#pragma GCC unroll 4
            for (int g = 0; g < G; ++g) {
                // Both averages update wherever the sample is present; lanes whose fast average is
                // NaN take fresh seeds instead. The products are rounded before each sum.
                const Values<W> x = load<W>(x_row + g * W);
                const Mask<W> present = ~is_nan<W>(x);
                const Mask<W> seeding = present & is_nan<W>(fast[g]);
                const Values<W> fast_next = fast[g] * fast_keep + x * fast_a;
                const Values<W> slow_next = slow[g] * slow_keep + x * slow_a;
                fast[g] = present ? fast_next : fast[g];
                slow[g] = present ? slow_next : slow[g];
                if (any<W>(seeding)) [[unlikely]] {
                    const Seeds<W> seeds = seed<W>(job.data, block.first_series + g * W, bar, job.fast_period,
                                                   job.slow_period, seeding, fast[g], slow[g]);
                    fast[g] = seeds.fast;
                    slow[g] = seeds.slow;
                }

                const Values<W> line = fast[g] - slow[g];
                // A running signal blends; one that is NaN starts at the line once it is due.
                const Values<W> blended = signal[g] * signal_keep + signal_a * line;
                const Values<W> next = is_nan<W>(signal[g]) ? (Due ? line : signal[g]) : blended;
                signal[g] = present ? next : signal[g];
                const Mask<W> running = present & ~is_nan<W>(signal[g]);
                Stores::template put<W>(macd_row + g * W, present ? line : none);
                Stores::template put<W>(signal_row + g * W, present ? signal[g] : none);
                Stores::template put<W>(hist_row + g * W, running ? line - signal[g] : none);
            }
        };
        // Counted from the warm-up, so that a huge signal period cannot wrap round.
        const std::uint64_t signal_delay = job.signal_period - 1;
        const std::size_t due_from = signal_delay >= job.bars - warm_up ? job.bars : warm_up + signal_delay;
        for (; i < block.end && i < due_from; ++i) step.template operator()<false>(i);
        for (; i < block.end; ++i) step.template operator()<true>(i);

        save_state(block.state[fast_state], fast);
        save_state(block.state[slow_state], slow);
        save_state(block.state[signal_state], signal);
    }
};

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
