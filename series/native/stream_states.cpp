// Live-data states of quillora_series. Each type wraps a resumable state of the indicator library,
// so a stream computes with the very kernels of the batch routines.
#include "stream_states.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "array_checks.hpp"
#include "atr.hpp"
#include "chunk_arguments.hpp"
#include "ema.hpp"
#include "lock_release.hpp"
#include "macd.hpp"
#include "sma.hpp"

namespace nb = nanobind;

namespace quillora::series {
namespace {

// The layout of saved states: a state saved in another layout is refused, never misread. Format 1
// did not name the indicator; only MACD's layout of it tells which state it was.
constexpr std::uint64_t snapshot_format = 2;
constexpr std::uint64_t untagged_format = 1;

// More samples than a live state can have seen (292 years at a billion a second): a saved count
// above it is forged, and would wrap the count, restarting the warm-up mid-stream.
constexpr std::uint64_t largest_count = (std::uint64_t{1} << 63) - 1;

// Doubles travel in saved states as raw bytes, so every bit (NaN payloads, -0.0) survives any
// pickle protocol.
nb::bytes pack(std::initializer_list<double> scalars, const std::vector<double>& samples = {}) {
    std::vector<double> all(scalars);
    all.insert(all.end(), samples.begin(), samples.end());
    return nb::bytes(all.data(), all.size() * sizeof(double));
}

[[noreturn]] void refuse_snapshot(const char* type_name,
                                  const std::string& why = "the saved state is damaged or from another version") {
    throw nb::value_error((std::string("cannot restore ") + type_name + ": " + why).c_str());
}

// A saved state's fields: (tag, format, counts..., doubles), each checked for its type before
// anything is built from it.
struct Saved {
    std::vector<std::uint64_t> counts;
    nb::bytes packed;
};

std::uint64_t count_field(nb::handle field, const char* type_name) {
    std::uint64_t count = 0;
    if (!nb::isinstance<nb::int_>(field) || nb::isinstance<nb::bool_>(field) || !nb::try_cast(field, count, false)) {
        refuse_snapshot(type_name);
    }
    return count;
}

// `legacy` marks the one untagged layout of format 1 that still tells its indicator apart.
Saved read_snapshot(nb::handle saved, const char* tag, const char* type_name, std::size_t counts, bool legacy) {
    if (!nb::isinstance<nb::tuple>(saved)) {
        refuse_snapshot(type_name, std::string("expected the tuple that snapshot() gives, got ") + describe(saved));
    }
    const nb::tuple fields = nb::borrow<nb::tuple>(saved);
    std::size_t first = 0;  // the first count
    if (fields.size() > 0 && nb::isinstance<nb::str>(fields[0])) {
        if (!fields[0].equal(nb::str(tag))) {
            refuse_snapshot(type_name, "the saved state is of another indicator (" +
                                           std::string(nb::repr(fields[0]).c_str()) + ", not '" + tag + "')");
        }
        if (fields.size() != counts + 3 || count_field(fields[1], type_name) != snapshot_format)
            refuse_snapshot(type_name);
        first = 2;
    } else if (legacy && fields.size() == counts + 2 && count_field(fields[0], type_name) == untagged_format) {
        first = 1;
    } else {
        refuse_snapshot(type_name);
    }
    Saved result;
    for (std::size_t k = 0; k < counts; ++k) result.counts.push_back(count_field(fields[first + k], type_name));
    if (!nb::isinstance<nb::bytes>(fields[first + counts])) refuse_snapshot(type_name);
    result.packed = nb::borrow<nb::bytes>(fields[first + counts]);
    return result;
}

// The doubles of a saved state: exactly `scalars` and `samples` more, the size checked before
// anything is allocated.
std::vector<double> unpack(const nb::bytes& packed, std::uint64_t scalars, std::uint64_t samples,
                           const char* type_name) {
    if (packed.size() % sizeof(double) != 0 || packed.size() / sizeof(double) < scalars ||
        packed.size() / sizeof(double) - scalars != samples) {
        refuse_snapshot(type_name);
    }
    std::vector<double> values(packed.size() / sizeof(double));
    std::memcpy(values.data(), packed.data(), packed.size());
    return values;
}

// A period and a count that a live state built by the package can have.
void check_counts(std::uint64_t period, std::uint64_t count, const char* type_name) {
    if (period == 0 || count > largest_count) refuse_snapshot(type_name);
}

// SMA and EMA share their whole surface; they differ only in what a saved state holds. `save` gives
// the state's count and its packed doubles; `restore` rebuilds a state from period, count and the
// packed doubles, or nothing.
template <typename State, typename Save, typename Restore>
void bind_moving_average(nb::module_& module, const char* name, const char* tag, Save save, Restore restore) {
    using LiveState = Live<State>;
    using Snapshot = std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint64_t, nb::bytes>;
    nb::class_<LiveState>(module, name, nb::is_final())
        .def(
            "__init__", [](LiveState* self, std::uint64_t period) { new (self) LiveState(State(period)); },
            nb::arg("period"))
        .def_prop_ro("period", [](const LiveState& live) { return live.state.period(); })
        .def(
            "update",
            [](LiveState& live, double value) {
                double result;
                state_of(live).run({&value, 1}, {&result, 1});
                return result;
            },
            nb::arg("value"))
        .def(
            "run",
            [](LiveState& live, Input data, nb::handle output) {
                const ChunkOutput out(output, "output", data.shape(0));
                const ChunkInput in(data, {out.run()});
                run_chunk(live, in.run().size(), [&](State& state) { state.run(in.run(), out.run()); });
            },
            nb::arg("data"), nb::arg("output"))
        .def("reset", [](LiveState& live) { state_of(live) = State(live.state.period()); })
        .def("snapshot",
             [save, tag](LiveState& live) {
                 const State& state = state_of(live);
                 auto [count, packed] = save(state);
                 return Snapshot(tag, snapshot_format, state.period(), count, std::move(packed));
             })
        .def_static("restore", [name, tag, restore](nb::handle snapshot) {
            const Saved saved = read_snapshot(snapshot, tag, name, 2, false);
            const std::uint64_t period = saved.counts[0], count = saved.counts[1];
            check_counts(period, count, name);
            auto state = restore(period, count, saved.packed);
            if (!state) refuse_snapshot(name);
            return LiveState(std::move(*state));
        });
}

void bind_sma(nb::module_& module) {
    bind_moving_average<SmaState>(
        module, "SmaState", "sma",
        [](const SmaState& state) { return std::pair(state.seen(), pack({state.sum()}, state.recent_samples())); },
        [](std::uint64_t period, std::uint64_t seen, const nb::bytes& packed) {
            const std::vector<double> values = unpack(packed, 1, std::min(period, seen), "SmaState");
            return SmaState::restore(period, seen, values[0], std::span(values).subspan(1));
        });
}

void bind_ema(nb::module_& module) {
    bind_moving_average<EmaState>(
        module, "EmaState", "ema",
        [](const EmaState& state) { return std::pair(state.finite_run(), pack({state.seed_sum(), state.average()})); },
        [](std::uint64_t period, std::uint64_t finite_run, const nb::bytes& packed) {
            const std::vector<double> values = unpack(packed, 2, 0, "EmaState");
            return EmaState::restore(period, finite_run, values[0], values[1]);
        });
}

void bind_macd(nb::module_& module) {
    using LiveMacd = Live<MacdState>;
    using Snapshot =
        std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, nb::bytes>;
    nb::class_<LiveMacd>(module, "MacdState", nb::is_final())
        .def(
            "__init__",
            [](LiveMacd* self, std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) {
                // The periods are checked before they get here; this keeps a wrong call from the
                // kernel's preconditions all the same.
                if (!(1 <= fast && fast < slow && signal >= 1)) {
                    throw nb::value_error("MACD periods must satisfy 1 <= fast < slow and signal >= 1");
                }
                new (self) LiveMacd(MacdState(fast, slow, signal));
            },
            nb::arg("fast"), nb::arg("slow"), nb::arg("signal"))
        .def_prop_ro("fast", [](const LiveMacd& live) { return live.state.fast_period(); })
        .def_prop_ro("slow", [](const LiveMacd& live) { return live.state.slow_period(); })
        .def_prop_ro("signal", [](const LiveMacd& live) { return live.state.signal_period(); })
        .def(
            "update",
            [](LiveMacd& live, double value) {
                double line, signal, hist;
                state_of(live).run({&value, 1}, {&line, 1}, {&signal, 1}, {&hist, 1});
                return std::make_tuple(line, signal, hist);
            },
            nb::arg("value"))
        .def(
            "run",
            [](LiveMacd& live, Input data, nb::handle macd_output, nb::handle signal_output, nb::handle hist_output) {
                const std::size_t length = data.shape(0);
                const ChunkOutput line(macd_output, "macd_output", length),
                    signal(signal_output, "signal_output", length), hist(hist_output, "hist_output", length);
                check_apart({line.run(), signal.run(), hist.run()});
                const ChunkInput in(data, {line.run(), signal.run(), hist.run()});
                run_chunk(live, length,
                          [&](MacdState& state) { state.run(in.run(), line.run(), signal.run(), hist.run()); });
            },
            nb::arg("data"), nb::arg("macd_output"), nb::arg("signal_output"), nb::arg("hist_output"))
        .def("reset",
             [](LiveMacd& live) {
                 const MacdState& state = state_of(live);
                 live.state = MacdState(state.fast_period(), state.slow_period(), state.signal_period());
             })
        .def("snapshot",
             [](LiveMacd& live) {
                 const MacdState& state = state_of(live);
                 return Snapshot("macd", snapshot_format, state.fast_period(), state.slow_period(),
                                 state.signal_period(), state.seen(),
                                 pack({state.fast_average(), state.slow_average(), state.signal_average()},
                                      state.recent_samples()));
             })
        .def_static("restore", [](nb::handle snapshot) {
            const Saved saved = read_snapshot(snapshot, "macd", "MacdState", 4, true);
            const std::uint64_t fast = saved.counts[0], slow = saved.counts[1], signal = saved.counts[2],
                                seen = saved.counts[3];
            if (!(1 <= fast && fast < slow && signal >= 1)) refuse_snapshot("MacdState");
            check_counts(slow, seen, "MacdState");
            const std::vector<double> values = unpack(saved.packed, 3, std::min(slow - 1, seen), "MacdState");
            auto state = MacdState::restore(fast, slow, signal, seen, values[0], values[1], values[2],
                                            std::span(values).subspan(3));
            if (!state) refuse_snapshot("MacdState");
            return LiveMacd(std::move(*state));
        });
}

void bind_atr(nb::module_& module) {
    using LiveAtr = Live<AtrState>;
    using Snapshot = std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint64_t, nb::bytes>;
    nb::class_<LiveAtr>(module, "AtrState", nb::is_final())
        .def(
            "__init__", [](LiveAtr* self, std::uint64_t period) { new (self) LiveAtr(AtrState(period)); },
            nb::arg("period"))
        .def_prop_ro("period", [](const LiveAtr& live) { return live.state.period(); })
        .def(
            "update",
            [](LiveAtr& live, double high, double low, double close) {
                double result;
                state_of(live).run({&high, 1}, {&low, 1}, {&close, 1}, {&result, 1});
                return result;
            },
            nb::arg("high"), nb::arg("low"), nb::arg("close"))
        .def(
            "run",
            [](LiveAtr& live, Input high, Input low, Input close, nb::handle output) {
                const std::size_t length = high.shape(0);
                if (low.shape(0) != length || close.shape(0) != length) {
                    throw nb::value_error("high, low and close must have the same length");
                }
                const ChunkOutput out(output, "output", length);
                const ChunkInput high_run(high, {out.run()}), low_run(low, {out.run()}), close_run(close, {out.run()});
                run_chunk(live, length, [&](AtrState& state) {
                    state.run(high_run.run(), low_run.run(), close_run.run(), out.run());
                });
            },
            nb::arg("high"), nb::arg("low"), nb::arg("close"), nb::arg("output"))
        .def("reset", [](LiveAtr& live) { state_of(live) = AtrState(live.state.period()); })
        .def("snapshot",
             [](LiveAtr& live) {
                 const AtrState& state = state_of(live);
                 return Snapshot("atr", snapshot_format, state.period(), state.seen(),
                                 pack({state.sum(), state.average(), state.previous_close()}));
             })
        .def_static("restore", [](nb::handle snapshot) {
            const Saved saved = read_snapshot(snapshot, "atr", "AtrState", 2, false);
            const std::uint64_t period = saved.counts[0], seen = saved.counts[1];
            check_counts(period, seen, "AtrState");
            const std::vector<double> values = unpack(saved.packed, 3, 0, "AtrState");
            return LiveAtr(AtrState::restore(period, seen, values[0], values[1], values[2]));
        });
}

}  // namespace

void bind_stream_states(nb::module_& module) {
    bind_sma(module);
    bind_ema(module);
    bind_macd(module);
    bind_atr(module);
}

}  // namespace quillora::series
