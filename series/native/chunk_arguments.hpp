// The arguments of live-data calls: a state shared with Python, and the chunks it runs over,
// checked and kept apart from each other.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "array_checks.hpp"
#include "lock_release.hpp"

namespace quillora::series {

namespace nb = nanobind;

using Input = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Output = nb::ndarray<double, nb::ndim<1>, nb::device::cpu>;
using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

// Chunks at least this long run with the interpreter lock released; shorter ones are done before
// releasing it would pay off.
inline constexpr std::size_t release_threshold = std::size_t{1} << 14;

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
    run_unlocked([&] { body(state); });
}

// An output the chunk is written into in place: a writable, aligned, contiguous 1-D float64 array
// of the chunk's length. Anything else is refused before the state moves.
class ChunkOutput {
public:
    ChunkOutput(nb::handle value, const char* name, std::size_t length) {
        AnyArray any;
        const bool cast = nb::try_cast(value, any, false);
        if (!cast && is_float64_array(value)) fail(name, " must be contiguous, with strides of 8 bytes");
        if (!cast || any.dtype() != nb::dtype<double>() || any.ndim() != 1) {
            throw nb::type_error((std::string(name) + " must be a 1-D float64 array, got " + describe(value)).c_str());
        }
        if (any.shape(0) != length) throw nb::value_error("output length must match the input length");
        if (length > 1 && any.stride(0) != 1) fail(name, " must be contiguous, with strides of 8 bytes");
        if (!is_aligned(any.data())) fail(name, " must be aligned to 8 bytes");
        if (!nb::try_cast(value, array_, false)) fail(name, " is read-only");
        run_ = {array_.data(), length};
    }
    std::span<double> run() const { return run_; }

private:
    [[noreturn]] static void fail(const char* name, const char* why) {
        throw nb::value_error((std::string(name) + why).c_str());
    }
    Output array_;
    std::span<double> run_;
};

inline bool overlap(std::span<const double> a, std::span<const double> b) {
    const auto a_first = reinterpret_cast<std::uintptr_t>(a.data()),
               b_first = reinterpret_cast<std::uintptr_t>(b.data());
    return !a.empty() && !b.empty() && a_first < b_first + b.size_bytes() && b_first < a_first + a.size_bytes();
}

inline void check_apart(std::initializer_list<std::span<double>> outputs) {
    for (auto a = outputs.begin(); a != outputs.end(); ++a) {
        for (auto b = a + 1; b != outputs.end(); ++b) {
            if (overlap(*a, *b)) throw nb::value_error("the outputs must not share memory: each line is kept");
        }
    }
}

// The samples of a chunk as the kernels read them: the caller's memory when it is aligned and
// apart from every output, else a copy, so a call computes as if no argument overlapped.
class ChunkInput {
public:
    ChunkInput(const Input& array, std::initializer_list<std::span<double>> outputs)
        : ChunkInput(array, std::span<const std::span<double>>(outputs.begin(), outputs.size())) {}
    ChunkInput(const Input& array, std::span<const std::span<double>> outputs) : run_(array.data(), array.shape(0)) {
        bool apart = is_aligned(run_.data());
        for (const std::span<double> output : outputs) apart = apart && !overlap(run_, output);
        if (!apart) {
            copy_.resize(run_.size());
            if (!run_.empty()) std::memcpy(copy_.data(), run_.data(), run_.size_bytes());
            run_ = copy_;
        }
    }
    std::span<const double> run() const { return run_; }

private:
    std::span<const double> run_;
    std::vector<double> copy_;
};

}  // namespace quillora::series
