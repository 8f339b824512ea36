// The runs of doubles a kernel works on: aligned, and no input sharing memory with an output.
//
// NumPy accepts float64 arrays at any byte offset, and nothing stops a caller from passing one
// array as both input and output ("computed in place" invites it). The kernels read and write
// through double* and read an input after writing outputs, so after the checks each input that
// shares bytes with an output, or is not 8-byte aligned, is read from a private copy, and each
// output that is not aligned is computed into a private buffer and copied out afterwards. The
// result is as if no argument overlapped, as NumPy's ufuncs promise. The usual call (aligned,
// separate arrays) costs only the address tests.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>

#include "arrays.hpp"
#include "py_err.hpp"

namespace quillora {

// Whether two contiguous views share a byte.
bool views_overlap(const ArrayView& first, const ArrayView& second) noexcept;

class KernelRuns {
public:
    static constexpr std::size_t capacity = 3;

    // Contiguous views only, at most `capacity` of each kind, outputs not overlapping each
    // other. MemoryError when a private buffer cannot be had; nothing is written then.
    static Result<KernelRuns> stage(std::span<const ArrayView> inputs, std::span<const ArrayView> outputs) noexcept;

    // Runs `kernel` between copying the staged inputs in and the staged outputs out, so that
    // the copies run where the kernel runs (without the interpreter lock, for most entries).
    template <class Kernel>
    void compute(Kernel&& kernel) noexcept {
        copy_inputs();
        kernel();
        copy_outputs();
    }

    std::span<const double> input(std::size_t index) const noexcept { return inputs_[index].run(); }
    std::span<double> output(std::size_t index) const noexcept { return outputs_[index].run(); }

private:
    struct FreeBuffer {
        void operator()(double* buffer) const noexcept { std::free(buffer); }
    };

    // One array as the kernel sees it: the caller's memory, or a private aligned buffer.
    struct Run {
        char* caller = nullptr;
        std::size_t length = 0;
        std::unique_ptr<double, FreeBuffer> staged;

        std::span<double> run() const noexcept;
    };

    static Status stage_run(Run& run, const ArrayView& view, bool needs_private_buffer) noexcept;
    void copy_inputs() noexcept;
    void copy_outputs() noexcept;

    Run inputs_[capacity];
    Run outputs_[capacity];
};

}  // namespace quillora
