// The fatal-error routine and the allocation-failure handler: text on file descriptor 2, then abort().
#include "fatal_report.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "report_writer.hpp"
#include "stack_trace.hpp"

namespace quillora {
namespace {

enum class BacktraceSetting : unsigned char { unread = 0, off, brief, full };

// Nothing reads the count in-process; it is there for whoever inspects the core.
std::atomic<std::uint64_t> panic_count{0};
thread_local bool writing_report = false;
std::mutex report_lock;
std::atomic<bool> note_pending{true};
std::atomic<BacktraceSetting> backtrace_setting_cache{BacktraceSetting::unread};
std::atomic<void (*)()> report_hook{nullptr};

// RUST_BACKTRACE is read once per process; when two first reports race, the first stored wins.
BacktraceSetting backtrace_setting() noexcept {
    BacktraceSetting cached = backtrace_setting_cache.load(std::memory_order_acquire);
    if (cached != BacktraceSetting::unread) return cached;
    const char* value = std::getenv("RUST_BACKTRACE");
    const BacktraceSetting read = !value || std::strcmp(value, "0") == 0 ? BacktraceSetting::off
                                  : std::strcmp(value, "full") == 0      ? BacktraceSetting::full
                                                                         : BacktraceSetting::brief;
    if (backtrace_setting_cache.compare_exchange_strong(cached, read, std::memory_order_acq_rel)) {
        return read;
    }
    return cached;
}

}  // namespace

void panic(std::string_view message, std::source_location location) noexcept {
    panic_count.fetch_add(1, std::memory_order_relaxed);
    const NumberText line(location.line());
    const NumberText column(location.column());
    if (writing_report) {
        // The report lock is ours already; taking it again would hang instead of ending.
        write_to_stderr({"panicked at ", location.file_name(), ":", line, ":", column, ":\n", message,
                         "\nthread panicked while processing panic. aborting.\n"});
        std::abort();
    }
    writing_report = true;
    const BacktraceSetting setting = backtrace_setting();
    {
        const std::lock_guard<std::mutex> hold(report_lock);
        write_to_stderr(
            {"\nthread '<unnamed>' panicked at ", location.file_name(), ":", line, ":", column, ":\n", message, "\n"});
        if (auto hook = report_hook.load(std::memory_order_acquire)) hook();
        switch (setting) {
            case BacktraceSetting::unread:
            case BacktraceSetting::off:
                if (note_pending.exchange(false)) {
                    write_to_stderr(
                        {"note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"});
                }
                break;
            case BacktraceSetting::brief:
                write_stack_trace(TraceStyle::brief, __builtin_return_address(0));
                write_to_stderr(
                    {"note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose "
                     "backtrace.\n"});
                break;
            case BacktraceSetting::full: write_stack_trace(TraceStyle::full, __builtin_return_address(0)); break;
        }
    }
    writing_report = false;
    std::abort();
}

void allocation_failed(std::size_t size) noexcept {
    write_to_stderr({"memory allocation of ", NumberText(size), " bytes failed\n"});
    std::abort();
}

void set_report_hook_for_testing(void (*hook)()) noexcept { report_hook.store(hook, std::memory_order_release); }

}  // namespace quillora
