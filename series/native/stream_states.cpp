// Live-data states of quillora_series. Each type wraps a resumable state of the indicator library,
// so a stream computes with the very kernels of the batch routines.
#include "stream_states.hpp"

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
#include <nanobind/stl/tuple.h>

#include "atr.hpp"
#include "ema.hpp"
#include "macd.hpp"
#include "sma.hpp"

namespace nb = nanobind;

namespace quillora::series {
namespace {

using Input = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Output = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The layout of saved states: a state saved in another layout is refused, never misread.
constexpr std::uint64_t snapshot_format = 1;

// Chunks at least this long run with the interpreter lock released; shorter ones are done before
// releasing it would pay off.
constexpr std::size_t release_threshold = std::size_t{1} << 14;

// A library state as a Python object. While a long chunk runs with the interpreter lock released,
// another thread can reach the same object; `busy` is set and tested with the lock held, so such a
// call is refused instead of racing the run.
template <typename State>
struct Live {
    explicit Live(State initial) : state(std::move(initial)) {}
    State state;
    bool busy = false;
};

template <typename State>
State& state_of(Live<State>& live) {
    if (live.busy) {
        throw std::runtime_error("this indicator is being updated on another thread");
    }
    return live.state;
}

// Runs `body` on the state, with the interpreter lock released when the chunk is long.
template <typename State, typename Body>
void run_chunk(Live<State>& live, std::size_t length, Body&& body) {
    State& state = state_of(live);
    if (length < release_threshold) {
        body(state);
        return;
    }
    live.busy = true;
    // Declared before the release, so it ends after the lock is back.
    struct Done {
        bool& busy;
        ~Done() { busy = false; }
    } done{live.busy};
    nb::gil_scoped_release released;
    body(state);
}

std::span<const double> run_of(const Input& array) { return {array.data(), array.shape(0)}; }

std::span<double> run_of(Output& array, std::size_t length) {
    if (array.shape(0) != length) {
        throw nb::value_error("output length must match the input length");
    }
    return {array.data(), length};
}

// Doubles travel in saved states as raw bytes, so every bit (NaN payloads, -0.0) survives any
// pickle protocol.
nb::bytes pack(std::initializer_list<double> scalars, const std::vector<double>& samples = {}) {
    std::vector<double> all(scalars);
    all.insert(all.end(), samples.begin(), samples.end());
    return nb::bytes(all.data(), all.size() * sizeof(double));
}

[[noreturn]] void refuse_snapshot(const char* type_name) {
    throw nb::value_error(
        (std::string("cannot restore ") + type_name + ": the saved state is damaged or from another version").c_str());
}

// The doubles of a saved state: at least `scalars` of them.
std::vector<double> unpack(const nb::bytes& packed, std::size_t scalars, const char* type_name) {
    if (packed.size() % sizeof(double) != 0 || packed.size() / sizeof(double) < scalars) {
        refuse_snapshot(type_name);
    }
    std::vector<double> values(packed.size() / sizeof(double));
    std::memcpy(values.data(), packed.data(), packed.size());
    return values;
}

void check_format(std::uint64_t format, const char* type_name) {
    if (format != snapshot_format) {
        refuse_snapshot(type_name);
    }
}

// SMA and EMA share their whole surface; they differ only in what a saved state holds. `save` gives
// the state's count and its packed doubles; `restore` rebuilds a state from them, or nothing.
template <typename State, typename Save, typename Restore>
void bind_moving_average(nb::module_& module, const char* name, Save save, Restore restore) {
    using LiveState = Live<State>;
    using Snapshot = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, nb::bytes>;
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
            [](LiveState& live, Input data, Output output) {
                const auto in = run_of(data);
                const auto out = run_of(output, in.size());
                run_chunk(live, in.size(), [&](State& state) { state.run(in, out); });
            },
            nb::arg("data"), nb::arg("output"))
        .def("reset", [](LiveState& live) { state_of(live) = State(live.state.period()); })
        .def("snapshot",
             [save](LiveState& live) {
                 const State& state = state_of(live);
                 auto [count, packed] = save(state);
                 return Snapshot(snapshot_format, state.period(), count, std::move(packed));
             })
        .def_static("restore", [name, restore](const Snapshot& saved) {
            const auto& [format, period, count, packed] = saved;
            check_format(format, name);
            auto state = restore(period, count, packed);
            if (!state) refuse_snapshot(name);
            return LiveState(std::move(*state));
        });
}

void bind_sma(nb::module_& module) {
    bind_moving_average<SmaState>(
        module, "SmaState",
        [](const SmaState& state) { return std::pair(state.seen(), pack({state.sum()}, state.recent_samples())); },
        [](std::uint64_t period, std::uint64_t seen, const nb::bytes& packed) {
            const std::vector<double> values = unpack(packed, 1, "SmaState");
            return SmaState::restore(period, seen, values[0], std::span(values).subspan(1));
        });
}

void bind_ema(nb::module_& module) {
    bind_moving_average<EmaState>(
        module, "EmaState",
        [](const EmaState& state) { return std::pair(state.finite_run(), pack({state.seed_sum(), state.average()})); },
        [](std::uint64_t period, std::uint64_t finite_run, const nb::bytes& packed) {
            const std::vector<double> values = unpack(packed, 2, "EmaState");
            return values.size() == 2 ? EmaState::restore(period, finite_run, values[0], values[1]) : std::nullopt;
        });
}

void bind_macd(nb::module_& module) {
    using LiveMacd = Live<MacdState>;
    using Snapshot = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, nb::bytes>;
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
            [](LiveMacd& live, Input data, Output macd_output, Output signal_output, Output hist_output) {
                const auto in = run_of(data);
                const auto line = run_of(macd_output, in.size());
                const auto signal = run_of(signal_output, in.size());
                const auto hist = run_of(hist_output, in.size());
                run_chunk(live, in.size(), [&](MacdState& state) { state.run(in, line, signal, hist); });
            },
            nb::arg("data"), nb::arg("macd_output"), nb::arg("signal_output"), nb::arg("hist_output"))
        .def("reset",
             [](LiveMacd& live) {
                 const MacdState& state = state_of(live);
                 live.state = MacdState(state.fast_period(), state.slow_period(), state.signal_period());
             })
        .def(
            "snapshot",
            [](LiveMacd& live) {
                const MacdState& state = state_of(live);
                return Snapshot(
                    snapshot_format, state.fast_period(), state.slow_period(), state.signal_period(), state.seen(),
                    pack({state.fast_average(), state.slow_average(), state.signal_average()}, state.recent_samples()));
            })
        .def_static("restore", [](const Snapshot& saved) {
            const auto& [format, fast, slow, signal, seen, packed] = saved;
            check_format(format, "MacdState");
            const std::vector<double> values = unpack(packed, 3, "MacdState");
            auto state = MacdState::restore(fast, slow, signal, seen, values[0], values[1], values[2],
                                            std::span(values).subspan(3));
            if (!state) refuse_snapshot("MacdState");
            return LiveMacd(std::move(*state));
        });
}

void bind_atr(nb::module_& module) {
    using LiveAtr = Live<AtrState>;
    using Snapshot = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, nb::bytes>;
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
            [](LiveAtr& live, Input high, Input low, Input close, Output output) {
                const auto high_run = run_of(high);
                const auto low_run = run_of(low);
                const auto close_run = run_of(close);
                if (low_run.size() != high_run.size() || close_run.size() != high_run.size()) {
                    throw nb::value_error("high, low and close must have the same length");
                }
                const auto out = run_of(output, high_run.size());
                run_chunk(live, out.size(), [&](AtrState& state) { state.run(high_run, low_run, close_run, out); });
            },
            nb::arg("high"), nb::arg("low"), nb::arg("close"), nb::arg("output"))
        .def("reset", [](LiveAtr& live) { state_of(live) = AtrState(live.state.period()); })
        .def("snapshot",
             [](LiveAtr& live) {
                 const AtrState& state = state_of(live);
                 return Snapshot(snapshot_format, state.period(), state.seen(),
                                 pack({state.sum(), state.average(), state.previous_close()}));
             })
        .def_static("restore", [](const Snapshot& saved) {
            const auto& [format, period, seen, packed] = saved;
            check_format(format, "AtrState");
            const std::vector<double> values = unpack(packed, 3, "AtrState");
            if (values.size() != 3) refuse_snapshot("AtrState");
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
