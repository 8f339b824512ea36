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
#include <cstdint>
#include <span>

#include "arrays.hpp"
#include "py_err.hpp"

namespace quillora {

// Whether two contiguous views share a byte.
inline bool views_overlap(const ArrayView& first, const ArrayView& second) noexcept {
    if (first.length == 0 || second.length == 0) return false;
    const auto first_start = reinterpret_cast<std::uintptr_t>(first.data);
    const auto second_start = reinterpret_cast<std::uintptr_t>(second.data);
    return first_start < second_start + second.length * sizeof(double) &&
           second_start < first_start + first.length * sizeof(double);
}

class KernelRuns {
public:
    static constexpr std::size_t capacity = 3;

    KernelRuns() noexcept = default;
    KernelRuns(const KernelRuns&) = delete;
    KernelRuns& operator=(const KernelRuns&) = delete;
    ~KernelRuns();

    // Contiguous views only, at most `capacity` of each kind, outputs not overlapping each
    // other. MemoryError when a private buffer cannot be had; nothing is written then.
    Status stage(std::span<const ArrayView> inputs, std::span<const ArrayView> outputs) noexcept;

    // Runs `kernel` between copying the staged inputs in and the staged outputs out, so that
    // the copies run where the kernel runs (without the interpreter lock, for most entries).
    template <class Kernel>
    void compute(Kernel&& kernel) noexcept {
        if (any_staged_) copy_inputs();
        kernel();
        if (any_staged_) copy_outputs();
    }

    std::span<const double> input(std::size_t index) const noexcept { return inputs_[index].run(); }
    std::span<double> output(std::size_t index) const noexcept { return outputs_[index].run(); }

private:
    // One array as the kernel sees it: the caller's memory, or a private aligned buffer.
    struct Run {
        char* caller;
        double* staged;
        std::size_t length;

        std::span<double> run() const noexcept {
            if (length == 0) return {};
            return {staged ? staged : reinterpret_cast<double*>(caller), length};
        }
    };

    Status allocate(Run& run) noexcept;
    void copy_inputs() const noexcept;
    void copy_outputs() const noexcept;

    Run inputs_[capacity];
    Run outputs_[capacity];
    std::size_t input_count_ = 0;
    std::size_t output_count_ = 0;
    bool any_staged_ = false;
};

}  // namespace quillora
