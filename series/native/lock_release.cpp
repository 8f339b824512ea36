// The exit hook and the count of calls that run with the interpreter lock released.
#include "lock_release.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace nb = nanobind;

namespace quillora::series {
namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable idle;
    std::size_t in_flight = 0;
    bool exiting = false;
};

// Never destroyed: calls may still pass through it while static destructors run.
Gate& gate() noexcept {
    static Gate* const the_gate = new Gate;
    return *the_gate;
}

void on_exit() {
    Gate& g = gate();
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.exiting = true;
    }
    {
        nb::gil_scoped_release released;
        std::unique_lock<std::mutex> lock(g.mutex);
        g.idle.wait(lock, [&] { return g.in_flight == 0; });
    }
    // Non-daemon threads are joined before atexit hooks run: any thread left is a daemon one whose
    // references stay held when the interpreter goes. Without one, a leak report is a real leak.
    const nb::object threading = nb::module_::import_("threading");
    if (nb::cast<int>(threading.attr("active_count")()) > 1) nb::set_leak_warnings(false);
}

}  // namespace

bool enter_unlocked_call() noexcept {
    Gate& g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.exiting) return false;
    ++g.in_flight;
    return true;
}

void leave_unlocked_call() noexcept {
    Gate& g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (--g.in_flight == 0) g.idle.notify_all();
}

void install_exit_hook() { nb::module_::import_("atexit").attr("register")(nb::cpp_function(&on_exit)); }

}  // namespace quillora::series
