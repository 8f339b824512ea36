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
    // Lanes past the table start at zeros, which stay numbers and never ask for seeds.
    static std::int64_t idle_state(int) noexcept { return 0; }

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

    // The smoothing factors and their complements, and the marker, in every lane.
    template <int W>
    struct Factors {
        Values<W> fast_alpha, fast_keep, slow_alpha, slow_keep, signal_alpha, signal_keep, none;

        explicit Factors(const MacdJob& job) noexcept {
            const double fast = 2.0 / (static_cast<double>(job.fast_period) + 1.0);
            const double slow = 2.0 / (static_cast<double>(job.slow_period) + 1.0);
            const double signal = 2.0 / (static_cast<double>(job.signal_period) + 1.0);
            fast_alpha = splat<W>(fast), fast_keep = splat<W>(1.0 - fast);
            slow_alpha = splat<W>(slow), slow_keep = splat<W>(1.0 - slow);
            signal_alpha = splat<W>(signal), signal_keep = splat<W>(1.0 - signal);
            none = missing<W>();
        }
    };

    // Both averages of the lanes whose sample is present take the sample, each product rounded
    // before the sum; returns those lanes.
    template <int W>
    [[gnu::always_inline]] static Mask<W> update_averages(const Factors<W>& f, Values<W> x, Values<W>& fast, Values<W>& slow) noexcept {
        const Mask<W> present = ~is_nan<W>(x);
        const Values<W> fast_next = fast * f.fast_keep + x * f.fast_alpha;
        const Values<W> slow_next = slow * f.slow_keep + x * f.slow_alpha;
        fast = present ? fast_next : fast;
        slow = present ? slow_next : slow;
        return present;
    }

    // The line, the signal (a running one blends, a NaN one starts at the line once due) and the
    // histogram of one register at one bar.
    template <int W, class Io>
    [[gnu::always_inline]] static void finish_bar(const Io& io, int g, const Factors<W>& f, Mask<W> present, Values<W> fast, Values<W> slow,
                           Values<W>& signal, bool signal_due, double* macd_row, double* signal_row,
                           double* hist_row) noexcept {
        const Values<W> line = fast - slow;
        const Values<W> blended = signal * f.signal_keep + f.signal_alpha * line;
        const Values<W> started = signal_due ? line : signal;
        const Values<W> next = is_nan<W>(signal) ? started : blended;
        signal = present ? next : signal;
        const Mask<W> running = present & ~is_nan<W>(signal);
        io.put(macd_row, g, present ? line : f.none);
        io.put(signal_row, g, present ? signal : f.none);
        io.put(hist_row, g, running ? line - signal : f.none);
    }

    // One bar at which some lane's fast average is NaN while its sample is present: those lanes
    // take both seeds from their trailing windows instead of the update. Works on the saved states,
    // out of line, so that the common bars keep every average in registers.
    template <int W, int G, class Io>
    [[gnu::noinline, gnu::cold]] static void seeding_bar(const Io& io, const MacdJob& job,
                                                         const Block<MacdLanes>& block, std::size_t bar,
                                                         bool signal_due) noexcept {
        const Factors<W> f(job);
        const double* x_row = block.in[0].at(bar);
#pragma GCC unroll 16
        for (int g = 0; g < G; ++g) {
            Values<W> fast = load<W>(block.state[fast_state] + g * W);
            Values<W> slow = load<W>(block.state[slow_state] + g * W);
            Values<W> signal = load<W>(block.state[signal_state] + g * W);
            const Values<W> x = io.load(x_row, g);
            const Mask<W> seeding = ~is_nan<W>(x) & is_nan<W>(fast);
            const Mask<W> present = update_averages<W>(f, x, fast, slow);
            for (int lane = 0; lane < W; ++lane) {
                if (seeding[lane] == 0 || !io.holds(g, lane)) continue;
                const std::size_t series = io.series(g, lane);
                fast[lane] = trailing_mean(job.data, series, bar, job.fast_period);
                slow[lane] = trailing_mean(job.data, series, bar, job.slow_period);
            }
            finish_bar<W>(io, g, f, present, fast, slow, signal, signal_due, block.out[0].at(bar),
                          block.out[1].at(bar), block.out[2].at(bar));
            store<W>(block.state[fast_state] + g * W, fast);
            store<W>(block.state[slow_state] + g * W, slow);
            store<W>(block.state[signal_state] + g * W, signal);
        }
    }

    template <int W, int G, class Io>
    static void advance(const Io& io, const MacdJob& job, const Block<MacdLanes>& block) noexcept {
        const InRows& data = block.in[0];
        const Factors<W> f(job);
        // No slow window ends before bar slow_period - 1.
        const std::size_t warm_up = smaller(job.slow_period - 1, job.bars);
        std::size_t i = block.begin;
        for (; i < block.end && i < warm_up; ++i) {
            for (int k = 0; k < outputs; ++k) {
                double* y = block.out[k].at(i);
#pragma GCC unroll 16
                for (int g = 0; g < G; ++g) io.put(y, g, f.none);
            }
        }
        // Counted from the warm-up, so that a huge signal period cannot wrap round.
        const std::uint64_t signal_delay = job.signal_period - 1;
        const std::size_t due_from = signal_delay >= job.bars - warm_up ? job.bars : warm_up + signal_delay;

        while (i < block.end) {
            Values<W> fast[G], slow[G], signal[G];
            load_state(block.state[fast_state], fast);
            load_state(block.state[slow_state], slow);
            load_state(block.state[signal_state], signal);
            // Steady: every fast average and every signal is a number, so no lane can need seeds
            // and every signal blends. The common case by far once the signal has started.
            Mask<W> unsteady = is_nan<W>(fast[0]) | is_nan<W>(signal[0]);
#pragma GCC unroll 16
            for (int g = 1; g < G; ++g) unsteady |= is_nan<W>(fast[g]) | is_nan<W>(signal[g]);
            bool steady = !any<W>(unsteady);

            for (; i < block.end; ++i) {
                const double* x_row = data.at(i);
                double* macd_row = block.out[0].at(i);
                double* signal_row = block.out[1].at(i);
                double* hist_row = block.out[2].at(i);
                if (steady) {
                    // Every lane of a register with all its samples takes the same operations as
                    // below without the selects that only missing samples and NaN averages need.
                    // A fast average that turns NaN turns the signal NaN with it, so the signals
                    // alone say whether the next bar is steady.
                    Mask<W> broken{};
#pragma GCC unroll 16
                    for (int g = 0; g < G; ++g) {
                        const Values<W> x = io.load(x_row, g);
                        if (any<W>(is_nan<W>(x))) {
                            const Mask<W> present = update_averages<W>(f, x, fast[g], slow[g]);
                            finish_bar<W>(io, g, f, present, fast[g], slow[g], signal[g], true, macd_row, signal_row,
                                          hist_row);
                        } else {
                            fast[g] = fast[g] * f.fast_keep + x * f.fast_alpha;
                            slow[g] = slow[g] * f.slow_keep + x * f.slow_alpha;
                            const Values<W> line = fast[g] - slow[g];
                            signal[g] = signal[g] * f.signal_keep + f.signal_alpha * line;
                            io.put(macd_row, g, line);
                            io.put(signal_row, g, signal[g]);
                            io.put(hist_row, g, line - signal[g]);
                        }
                        broken |= is_nan<W>(signal[g]);
                    }
                    if (any<W>(broken)) {
                        // A signal that turned NaN has no histogram: the marker replaces the
                        // difference just written.
#pragma GCC unroll 16
                        for (int g = 0; g < G; ++g) {
                            io.put(hist_row, g, is_nan<W>(signal[g]) ? f.none : io.load(hist_row, g));
                        }
                        steady = false;
                    }
                    continue;
                } else {
                    Mask<W> seeding{};
#pragma GCC unroll 16
                    for (int g = 0; g < G; ++g) seeding |= ~is_nan<W>(io.load(x_row, g)) & is_nan<W>(fast[g]);
                    if (any<W>(seeding)) break;
                }
                const bool signal_due = i >= due_from;
                unsteady = Mask<W>{};
#pragma GCC unroll 16
                for (int g = 0; g < G; ++g) {
                    const Mask<W> present = update_averages<W>(f, io.load(x_row, g), fast[g], slow[g]);
                    finish_bar<W>(io, g, f, present, fast[g], slow[g], signal[g], signal_due, macd_row, signal_row,
                                  hist_row);
                    unsteady |= is_nan<W>(fast[g]) | is_nan<W>(signal[g]);
                }
                steady = !any<W>(unsteady);
            }

            save_state(block.state[fast_state], fast);
            save_state(block.state[slow_state], slow);
            save_state(block.state[signal_state], signal);
            if (i < block.end) {
                seeding_bar<W, G>(io, job, block, i, i >= due_from);
                ++i;
            }
        }
    }
};

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
