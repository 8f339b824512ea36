// Staging of overlapping and unaligned runs for the kernels.
#include "kernel_runs.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace quillora {
namespace {

std::uintptr_t address(const char* pointer) noexcept { return reinterpret_cast<std::uintptr_t>(pointer); }

bool is_aligned(const ArrayView& view) noexcept { return address(view.data) % alignof(double) == 0; }

std::size_t byte_count(const ArrayView& view) noexcept {
    return static_cast<std::size_t>(view.length) * sizeof(double);
}

}  // namespace

bool views_overlap(const ArrayView& first, const ArrayView& second) noexcept {
    if (first.length == 0 || second.length == 0) return false;
    const std::uintptr_t first_start = address(first.data), second_start = address(second.data);
    return first_start < second_start + byte_count(second) && second_start < first_start + byte_count(first);
}

std::span<double> KernelRuns::Run::run() const noexcept {
    if (length == 0) return {};
    if (staged) return {staged.get(), length};
    return {reinterpret_cast<double*>(caller), length};
}

Status KernelRuns::stage_run(Run& run, const ArrayView& view, bool needs_private_buffer) noexcept {
    run.caller = view.data;
    run.length = static_cast<std::size_t>(view.length);
    if (!needs_private_buffer || run.length == 0) return Status::success();
    // The array exists, so its byte count fits; the test guards the multiplication all the same.
    if (run.length <= std::numeric_limits<std::size_t>::max() / sizeof(double))
        run.staged.reset(static_cast<double*>(std::malloc(byte_count(view))));
    if (!run.staged)
        return PyErr::with_message(PyExc_MemoryError, "cannot allocate " + std::to_string(byte_count(view)) +
                                                           " bytes for a private copy of an overlapping or "
                                                           "unaligned array");
    return Status::success();
}

Result<KernelRuns> KernelRuns::stage(std::span<const ArrayView> inputs,
                                     std::span<const ArrayView> outputs) noexcept {
    KernelRuns runs;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        bool shares_an_output = false;
        for (const ArrayView& output : outputs) shares_an_output = shares_an_output || views_overlap(inputs[i], output);
        if (Status staged = stage_run(runs.inputs_[i], inputs[i], shares_an_output || !is_aligned(inputs[i]));
            !staged.ok())
            return staged.take_error();
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (Status staged = stage_run(runs.outputs_[i], outputs[i], !is_aligned(outputs[i])); !staged.ok())
            return staged.take_error();
    }
    return runs;
}

void KernelRuns::copy_inputs() noexcept {
    for (Run& run : inputs_)
        if (run.staged) std::memcpy(run.staged.get(), run.caller, run.length * sizeof(double));
}

void KernelRuns::copy_outputs() noexcept {
    for (Run& run : outputs_)
        if (run.staged) std::memcpy(run.caller, run.staged.get(), run.length * sizeof(double));
}

}  // namespace quillora
