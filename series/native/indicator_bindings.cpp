// One generic binding serves every declared indicator: the live class (update, run, reset, save,
// load), and the static entry points `series` and `table` that the package's functions call.
#include "indicator_bindings.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "chunk_arguments.hpp"
#include "indicators/all.hpp"
#include "indicators/core_kernels.hpp"
#include "indicators/grouped_run.hpp"
#include "indicators/table_run.hpp"
#include "table_arguments.hpp"

namespace quillora::series {
namespace {

using indicators::Indicator;
using indicators::Parameters;

// The parameters a state was built from, kept for reset and saving.
struct Settings {
    std::vector<std::uint64_t> counts;
    std::vector<double> reals;
    Parameters parameters() const noexcept { return {counts, reals}; }
};

template <Indicator S>
Settings checked_settings(std::vector<std::uint64_t> counts, std::vector<double> reals) {
    Settings settings{std::move(counts), std::move(reals)};
    if (!S::valid(settings.parameters())) {
        throw nb::value_error((std::string("parameters out of range for ") + S::name).c_str());
    }
    return settings;
}

template <Indicator S>
struct LiveIndicator : Settings, Live<S> {
    explicit LiveIndicator(Settings settings, nb::object values)
        : Settings(std::move(settings)), Live<S>(S(parameters())), values_type(std::move(values)) {}
    // The tuple class (a named tuple) a bar of several outputs comes back as; None for a plain tuple.
    nb::object values_type;
};

nb::tuple as_tuple(nb::handle value, const char* what) {
    if (!nb::isinstance<nb::tuple>(value))
        fail_type(std::string(what) + " must be a tuple of arrays, got " + describe(value));
    return nb::borrow<nb::tuple>(value);
}

[[noreturn]] void refuse_saved(const char* class_name) {
    throw nb::value_error(
        (std::string("cannot restore ") + class_name + ": the saved state is damaged or from another version").c_str());
}

// The chunk arguments of one call: inputs of one length, outputs of that length apart from each other,
// inputs read from copies where they overlap an output.
template <Indicator S>
struct Chunk {
    std::vector<ChunkOutput> outputs;
    std::vector<ChunkInput> inputs;
    std::array<const double*, S::inputs> in{};
    std::array<double*, S::outputs> out{};
    std::size_t length = 0;

    Chunk(nb::handle input_arrays, nb::handle output_arrays) {
        const nb::tuple given_inputs = as_tuple(input_arrays, "inputs"),
                        given_outputs = as_tuple(output_arrays, "outputs");
        if (given_inputs.size() != S::inputs || given_outputs.size() != S::outputs) {
            fail_value(std::string(S::name) + " takes " + std::to_string(S::inputs) + " input and " +
                       std::to_string(S::outputs) + " output arrays");
        }
        std::vector<Input> arrays;
        for (std::size_t k = 0; k < S::inputs; ++k) {
            Input array;
            if (!nb::try_cast(given_inputs[k], array, false)) {
                fail_type("inputs must be 1-D contiguous float64 arrays, got " + describe(given_inputs[k]));
            }
            if (k > 0 && array.shape(0) != arrays[0].shape(0)) fail_value("all inputs must have the same length");
            arrays.push_back(array);
        }
        length = arrays[0].shape(0);
        outputs.reserve(S::outputs);
        std::vector<std::span<double>> runs;
        for (std::size_t k = 0; k < S::outputs; ++k) {
            outputs.emplace_back(given_outputs[k], "output", length);
            runs.push_back(outputs.back().run());
        }
        for (std::size_t a = 0; a < runs.size(); ++a)
            for (std::size_t b = a + 1; b < runs.size(); ++b)
                if (overlap(runs[a], runs[b])) fail_value("the outputs must not share memory: each line is kept");
        inputs.reserve(S::inputs);
        for (std::size_t k = 0; k < S::inputs; ++k) {
            inputs.emplace_back(arrays[k], std::span<const std::span<double>>(runs));
            in[k] = inputs.back().run().data();
        }
        for (std::size_t k = 0; k < S::outputs; ++k) out[k] = runs[k].data();
    }
};

std::vector<std::uint64_t> saved_counts(nb::handle value, const char* class_name) {
    if (!nb::isinstance<nb::tuple>(value)) refuse_saved(class_name);
    std::vector<std::uint64_t> counts;
    for (nb::handle item : value) {
        std::uint64_t count = 0;
        if (!nb::isinstance<nb::int_>(item) || nb::isinstance<nb::bool_>(item) || !nb::try_cast(item, count, false))
            refuse_saved(class_name);
        counts.push_back(count);
    }
    return counts;
}

// A new tuple of `length` empty places, of `values_type` (a subclass of tuple without fields of its
// own, as a named tuple is) or plain: allocated as tuple's own constructor allocates a subclass,
// where calling the class would cost more than the step.
PyObject* new_values(nb::handle values_type, std::size_t length) {
    if (values_type.is_none()) return PyTuple_New(static_cast<Py_ssize_t>(length));
    auto* type = reinterpret_cast<PyTypeObject*>(values_type.ptr());
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return allocate(type, static_cast<Py_ssize_t>(length));
}

template <Indicator S>
nb::object outputs_of(const std::array<double, S::outputs>& out, nb::handle values_type) {
    if constexpr (S::outputs == 1) {
        return nb::float_(out[0]);
    } else {
        PyObject* values = new_values(values_type, S::outputs);
        if (values == nullptr) throw nb::python_error();
        nb::object owned = nb::steal(values);
        for (std::size_t k = 0; k < S::outputs; ++k) {
            PyObject* value = PyFloat_FromDouble(out[k]);
            if (value == nullptr) throw nb::python_error();
            PyTuple_SetItem(values, static_cast<Py_ssize_t>(k), value);
        }
        return owned;
    }
}

template <Indicator S, std::size_t... K>
void bind_update(nb::class_<LiveIndicator<S>>& cls, std::index_sequence<K...>) {
    cls.def("update", [](LiveIndicator<S>& live, decltype(K, double())... values) {
        const std::array<double, S::inputs> in{values...};
        std::array<double, S::outputs> out;
        state_of(live).step(in.data(), out.data());
        return outputs_of<S>(out, live.values_type);
    });
}

using Keys = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The rows of a long table grouped by symbol: `keys` holds each symbol's first row and one past
// the last (rows of a symbol contiguous), or each row's symbol code in [0, symbols).
indicators::GroupIndex take_groups(const Keys& keys, std::size_t symbols, bool contiguous, std::size_t rows) {
    const std::span<const std::int64_t> values(keys.data(), keys.shape(0));
    indicators::GroupIndex index;
    if (contiguous) {
        if (values.size() != symbols + 1 || values.front() != 0 || static_cast<std::size_t>(values.back()) != rows)
            fail_value("starts must run from 0 to the row count, one more than the symbols");
        for (std::size_t g = 0; g < symbols; ++g)
            if (values[g + 1] < values[g]) fail_value("starts must not decrease");
        index.starts.assign(values.begin(), values.end());
        return index;
    }
    if (values.size() != rows) fail_value("codes must have one entry per row");
    for (const std::int64_t code : values)
        if (code < 0 || static_cast<std::uint64_t>(code) >= symbols) fail_value("codes must lie in [0, symbols)");
    return indicators::index_groups(values, symbols);
}

template <Indicator S, typename Class>
void bind_grouped(Class& cls) {
    cls.def_static(
        "grouped",
        [](std::vector<std::uint64_t> counts, std::vector<double> reals, nb::handle inputs, nb::handle outputs,
           Keys keys, std::size_t symbols, bool contiguous, int workers) {
            const Settings settings = checked_settings<S>(std::move(counts), std::move(reals));
            if (workers < 1) fail_value("workers must be at least 1, got " + std::to_string(workers));
            Chunk<S> chunk(inputs, outputs);
            const indicators::GroupIndex index = take_groups(keys, symbols, contiguous, chunk.length);
            bool done = false;
            run_unlocked([&] {
                done = indicators::run_grouped<S>(settings.parameters(), index.groups(), chunk.in.data(),
                                                  chunk.out.data(), chunk.length, static_cast<unsigned>(workers));
            });
            if (!done) throw std::bad_alloc();
        },
        nb::arg("counts"), nb::arg("reals"), nb::arg("inputs"), nb::arg("outputs"), nb::arg("keys"), nb::arg("symbols"),
        nb::arg("contiguous"), nb::arg("workers") = 1);
}

// The core's kernels, for long tables only: their other modes have entry points of their own.
template <Indicator S>
struct CoreKernel {};

template <Indicator S>
void bind_core_kernel(nb::module_& module) {
    nb::class_<CoreKernel<S>> cls(module, S::class_name);
    bind_grouped<S>(cls);
}

template <Indicator... States>
void bind_core_kernels(nb::module_& module, indicators::IndicatorList<States...>) {
    (bind_core_kernel<States>(module), ...);
}

template <Indicator S>
void bind_indicator(nb::module_& module) {
    using LiveS = LiveIndicator<S>;
    nb::class_<LiveS> cls(module, S::class_name, nb::is_final());
    cls.def(
           "__init__",
           [](LiveS* self, std::vector<std::uint64_t> counts, std::vector<double> reals, nb::handle values) {
               const bool tuple_class = PyType_Check(values.ptr()) &&
                                        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(values.ptr()), &PyTuple_Type);
               if (!values.is_none() && !tuple_class) fail_type("values must be None or a subclass of tuple");
               new (self) LiveS(checked_settings<S>(std::move(counts), std::move(reals)), nb::borrow(values));
           },
           nb::arg("counts"), nb::arg("reals"), nb::arg("values") = nb::none())
        .def_prop_ro("counts", [](const LiveS& live) { return live.counts; })
        .def_prop_ro("reals", [](const LiveS& live) { return live.reals; })
        .def(
            "run",
            [](LiveS& live, nb::handle inputs, nb::handle outputs) {
                Chunk<S> chunk(inputs, outputs);
                run_chunk(live, chunk.length, [&](S& state) {
                    indicators::run_series(state, chunk.in.data(), chunk.out.data(), chunk.length);
                });
            },
            nb::arg("inputs"), nb::arg("outputs"))
        .def("reset", [](LiveS& live) { state_of(live) = S(live.parameters()); })
        .def(
            "save",
            [](LiveS& live) {
                indicators::StateWriter writer;
                state_of(live).save(writer);
                nb::bytes reals(writer.reals.data(), writer.reals.size() * sizeof(double));
                nb::tuple counts = nb::steal<nb::tuple>(PyTuple_New(writer.counts.size()));
                for (std::size_t k = 0; k < writer.counts.size(); ++k)
                    PyTuple_SetItem(counts.ptr(), k, PyLong_FromUnsignedLongLong(writer.counts[k]));
                return nb::make_tuple(counts, reals);
            },
            nb::sig("def save(self) -> tuple[tuple[int, ...], bytes]"))
        .def(
            "load",
            [](LiveS& live, nb::handle counts, nb::handle reals) {
                const std::vector<std::uint64_t> saved = saved_counts(counts, S::class_name);
                if (!nb::isinstance<nb::bytes>(reals)) refuse_saved(S::class_name);
                const nb::bytes packed = nb::borrow<nb::bytes>(reals);
                if (packed.size() % sizeof(double) != 0) refuse_saved(S::class_name);
                std::vector<double> doubles(packed.size() / sizeof(double));
                if (!doubles.empty()) std::memcpy(doubles.data(), packed.data(), packed.size());
                S state(live.parameters());
                indicators::StateReader reader(saved, doubles);
                if (!state.load(reader) || !reader.finished()) refuse_saved(S::class_name);
                state_of(live) = std::move(state);
            },
            nb::arg("counts"), nb::arg("reals"))
        .def_static(
            "series",
            [](std::vector<std::uint64_t> counts, std::vector<double> reals, nb::handle inputs, nb::handle outputs) {
                const Settings settings = checked_settings<S>(std::move(counts), std::move(reals));
                Chunk<S> chunk(inputs, outputs);
                S state(settings.parameters());
                auto body = [&] { indicators::run_series(state, chunk.in.data(), chunk.out.data(), chunk.length); };
                if (chunk.length < release_threshold) {
                    body();
                } else {
                    run_unlocked(body);
                }
            },
            nb::arg("counts"), nb::arg("reals"), nb::arg("inputs"), nb::arg("outputs"))
        .def_static(
            "table",
            [](std::vector<std::uint64_t> counts, std::vector<double> reals, nb::handle inputs, nb::handle outputs,
               int workers) {
                const Settings settings = checked_settings<S>(std::move(counts), std::move(reals));
                const nb::tuple given_inputs = as_tuple(inputs, "inputs"), given_outputs = as_tuple(outputs, "outputs");
                if (given_inputs.size() != S::inputs || given_outputs.size() != S::outputs) {
                    fail_value(std::string(S::name) + " takes " + std::to_string(S::inputs) + " input and " +
                               std::to_string(S::outputs) + " output tables");
                }
                std::vector<Table> input_tables, output_tables;
                for (std::size_t k = 0; k < S::inputs; ++k)
                    input_tables.push_back(take_table(given_inputs[k], S::inputs == 1 ? "data" : "inputs", false));
                for (std::size_t k = 0; k < S::outputs; ++k)
                    output_tables.push_back(take_table(given_outputs[k], "output", true));
                const Prepared call = prepare(input_tables, output_tables, workers);
                bool done = false;
                run_unlocked([&] {
                    done = indicators::run_table<S>(settings.parameters(), call.shape, call.inputs.data(),
                                                    call.outputs.data(), call.options.workers);
                });
                if (!done) throw std::bad_alloc();
            },
            nb::arg("counts"), nb::arg("reals"), nb::arg("inputs"), nb::arg("outputs"), nb::arg("workers") = 1);
    bind_update<S>(cls, std::make_index_sequence<S::inputs>());
    bind_grouped<S>(cls);
}

template <Indicator... States>
void bind_all(nb::module_& module, indicators::IndicatorList<States...>) {
    (bind_indicator<States>(module), ...);
}

}  // namespace

void bind_declared_indicators(nb::module_& module) {
    bind_all(module, indicators::AllIndicators{});
    bind_core_kernels(module, indicators::CoreKernels{});
}

}  // namespace quillora::series
