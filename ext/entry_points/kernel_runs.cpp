// Staging of overlapping and unaligned runs for the kernels.
#include "kernel_runs.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace quillora {
namespace {

bool is_aligned(const ArrayView& view) noexcept {
    return reinterpret_cast<std::uintptr_t>(view.data) % alignof(double) == 0;
}

}  // namespace

KernelRuns::~KernelRuns() {
    if (!any_staged_) return;
    for (std::size_t i = 0; i < input_count_; ++i) std::free(inputs_[i].staged);
    for (std::size_t i = 0; i < output_count_; ++i) std::free(outputs_[i].staged);
}

Status KernelRuns::allocate(Run& run) noexcept {
    const std::size_t bytes = run.length * sizeof(double);
    // The array exists, so its byte count fits; the test guards the multiplication all the same.
    if (run.length <= std::numeric_limits<std::size_t>::max() / sizeof(double))
        run.staged = static_cast<double*>(std::malloc(bytes));
    if (!run.staged)
        return PyErr::with_message(PyExc_MemoryError, "cannot allocate " + std::to_string(bytes) +
                                                          " bytes for a private copy of an overlapping or "
                                                          "unaligned array");
    any_staged_ = true;
    return Status::success();
}

Status KernelRuns::stage(std::span<const ArrayView> inputs, std::span<const ArrayView> outputs) noexcept {
    // Counted as they are set, so that the destructor frees exactly the buffers taken so far.
    for (const ArrayView& input : inputs) {
        bool private_copy = !is_aligned(input);
        for (const ArrayView& output : outputs) private_copy = private_copy || views_overlap(input, output);
        Run& run = inputs_[input_count_++];
        run = {input.data, nullptr, static_cast<std::size_t>(input.length)};
        if (private_copy && run.length > 0)
            if (Status allocated = allocate(run); !allocated.ok()) return allocated;
    }
    for (const ArrayView& output : outputs) {
        Run& run = outputs_[output_count_++];
        run = {output.data, nullptr, static_cast<std::size_t>(output.length)};
        if (!is_aligned(output) && run.length > 0)
            if (Status allocated = allocate(run); !allocated.ok()) return allocated;
    }
    return Status::success();
}

void KernelRuns::copy_inputs() const noexcept {
    for (std::size_t i = 0; i < input_count_; ++i)
        if (const Run& run = inputs_[i]; run.staged) std::memcpy(run.staged, run.caller, run.length * sizeof(double));
}

void KernelRuns::copy_outputs() const noexcept {
    for (std::size_t i = 0; i < output_count_; ++i)
        if (const Run& run = outputs_[i]; run.staged) std::memcpy(run.caller, run.staged, run.length * sizeof(double));
}

}  // namespace quillora
