// Exponential moving average in lanes. Each lane runs compute_ema's two phases on its own: the
// search for the first run of `period` finite samples, whose sum grows and restarts as the scalar
// one does, and then the blend. The phases become per-lane masks; once every lane of a block
// blends, the block drops the search altogether.

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

struct EmaLanes {
    static constexpr int inputs = 1;
    static constexpr int outputs = 1;
    // The average, the sum of the current run of finite samples, that run's length, and whether
    // the lane has been seeded (an all-ones mask).
    static constexpr int states = 4;
    enum State { average_state, sum_state, run_state, seeded_state };

    static const TableInput& input(const EmaJob& job, int) noexcept { return job.data; }
    static std::size_t lag(const EmaJob&, int) noexcept { return 0; }
    static const TableOutput& output(const EmaJob& job, int) noexcept { return job.output; }
    static std::int64_t initial_state(int s) noexcept {
        return s == average_state ? missing_bits : s == sum_state ? negative_zero_bits : 0;
    }

    template <int W, int G, class Io>
    static void advance(const Io& io, const EmaJob& job, const Block<EmaLanes>& block) noexcept {
        const InRows& data = block.in[0];
        const OutRows& output = block.out[0];
        const Values<W> none = missing<W>();
        std::size_t i = block.begin;

        // A period of 0 wraps to the largest value here: no seed fits in the series.
        if (job.period - 1 >= job.bars) {
            for (; i < block.end; ++i) {
                double* y = output.at(i);
#pragma GCC unroll 16
                for (int g = 0; g < G; ++g) io.put(y, g, none);
            }
            return;
        }

        const double period = static_cast<double>(job.period);
        const Values<W> divisor = splat<W>(period);
        const Values<W> alpha = splat<W>(2.0 / (period + 1.0));
        const Values<W> keep = splat<W>(1.0 - (2.0 / (period + 1.0)));
        const Mask<W> period_length = splat_bits<W>(static_cast<std::int64_t>(job.period));
        const Values<W> restart = from_bits<W>(splat_bits<W>(negative_zero_bits));

        Values<W> average[G], sum[G];
        Mask<W> run[G], seeded[G];
        load_state(block.state[average_state], average);
        load_state(block.state[sum_state], sum);
        load_state(block.state[run_state], run);
        load_state(block.state[seeded_state], seeded);

        auto all_seeded = [&] {
            Mask<W> waiting = ~seeded[0];
#pragma GCC unroll 16
            for (int g = 1; g < G; ++g) waiting |= ~seeded[g];
            return !any<W>(waiting);
        };

        // Seed search, lane by lane: a finite sample extends the run, any other restarts it; the
        // lane whose run reaches the period divides its sum (a true division) and is seeded.
        // Seeded lanes blend as below meanwhile.
        for (; i < block.end && !all_seeded(); ++i) {
            const double* x_row = data.at(i);
            double* y = output.at(i);
            Mask<W> seeding[G];
            Mask<W> any_seeding{};
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                const Values<W> x = io.load(x_row, g);
                const Mask<W> finite = is_finite<W>(x);
                const Values<W> blended = average[g] * keep + x * alpha;
                average[g] = (seeded[g] & finite) ? blended : average[g];
                sum[g] = finite ? sum[g] + x : restart;
                run[g] = finite ? run[g] + 1 : Mask<W>{};
                seeding[g] = ~seeded[g] & (run[g] == period_length);
                any_seeding |= seeding[g];
            }
            if (any<W>(any_seeding)) {
#pragma GCC unroll 16
                for (int g = 0; g < G; ++g) {
                    average[g] = seeding[g] ? sum[g] / divisor : average[g];
                    seeded[g] |= seeding[g];
                }
            }
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                const Mask<W> finite = is_finite<W>(io.load(x_row, g));
                io.put(y, g, (seeded[g] & finite) ? average[g] : none);
            }
        }

        // Blend: e * (1 - a) + x * a, each product rounded before the sum; a sample that is not
        // finite has no value and leaves the average as it was.
        for (; i < block.end; ++i) {
            const double* x_row = data.at(i);
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                const Values<W> x = io.load(x_row, g);
                const Mask<W> finite = is_finite<W>(x);
                const Values<W> blended = average[g] * keep + x * alpha;
                average[g] = finite ? blended : average[g];
                io.put(y, g, finite ? average[g] : none);
            }
        }

        save_state(block.state[average_state], average);
        save_state(block.state[sum_state], sum);
        save_state(block.state[run_state], run);
        save_state(block.state[seeded_state], seeded);
    }
};

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
