// Simple moving average in lanes: each lane carries one series' window sum through the same
// steps as compute_sma, in the same order.

namespace quillora::table_detail::QUILLORA_TABLE_ISA {
namespace {

struct SmaLanes {
    static constexpr int inputs = 2;  // the newest sample and the one leaving the window
    static constexpr int outputs = 1;
    static constexpr int states = 1;  // the window sum

    static const TableInput& input(const SmaJob& job, int) noexcept { return job.data; }
    static std::size_t lag(const SmaJob& job, int k) noexcept { return k == 0 ? 0 : job.period; }
    static const TableOutput& output(const SmaJob& job, int) noexcept { return job.output; }
    static std::int64_t initial_state(int) noexcept { return negative_zero_bits; }

    template <int W, int G, class Io>
    static void advance(const Io& io, const SmaJob& job, const Block<SmaLanes>& block) noexcept {
        // A period of 0 wraps to the largest value here, so it never leaves the warm-up.
        const std::uint64_t last_warm_up = job.period - 1;
        const Values<W> reciprocal = splat<W>(1.0 / static_cast<double>(job.period));
        const Values<W> none = missing<W>();
        const InRows& newest = block.in[0];
        const InRows& oldest = block.in[1];
        const OutRows& output = block.out[0];

        Values<W> sum[G];
        load_state(block.state[0], sum);
        std::size_t i = block.begin;

        // Warm-up: the first window fills; no mean yet.
        for (; i < block.end && i < last_warm_up; ++i) {
            const double* x = newest.at(i);
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                sum[g] = sum[g] + io.load(x, g);
                io.put(y, g, none);
            }
        }
        if (i < block.end && i == last_warm_up) {
            const double* x = newest.at(i);
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                sum[g] = sum[g] + io.load(x, g);
                io.put(y, g, sum[g] * reciprocal);
            }
            ++i;
        }
        // Slide: the difference is rounded before it joins the sum.
        for (; i < block.end; ++i) {
            const double* x = newest.at(i);
            const double* x_old = oldest.at(i);
            double* y = output.at(i);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                const Values<W> change = io.load(x, g) - io.load(x_old, g);
                sum[g] = sum[g] + change;
                io.put(y, g, sum[g] * reciprocal);
            }
        }
        save_state(block.state[0], sum);
    }
};

}  // namespace
}  // namespace quillora::table_detail::QUILLORA_TABLE_ISA
