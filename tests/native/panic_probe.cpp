// The fatal-report probe: each run ends in the fatal failure that argv names.
//   panic MESSAGE               one report
//   nested FIRST SECOND         SECOND is raised from inside the report of FIRST
//   concurrent [hold]           two threads panic at once; "hold" keeps the process alive
//                               until the second report is written
//   allocation-failed SIZE      the allocation-failure handler, called directly
//   new SIZE                    new char[SIZE], through the replaced operator new
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <string_view>
#include <thread>

#include "fatal_report.hpp"

// Functions that a stack trace should name (these and main) keep their own frames and are exported
// whatever the build's visibility preset: dladdr only sees the dynamic symbol table.
#pragma GCC visibility push(default)
namespace probe {

const char* nested_message = "";

[[gnu::noinline]] void plain_panic(const char* message) { quillora::panic(message); }

void panic_inside_report() { quillora::panic(nested_message); }

// Keeps each report open long enough for the other thread to reach the report lock.
void linger_in_report() {
    const timespec pause{0, 100'000'000};
    nanosleep(&pause, nullptr);
}

[[gnu::noinline]] void panic_on_thread(const char* thread_message) { quillora::panic(thread_message); }

std::atomic<int> aborting_threads{0};

// abort() ends the process once this returns. The first thread to abort waits here, at most five
// seconds, until the second has written its report and aborted too.
extern "C" void hold_first_abort(int) {
    if (aborting_threads.fetch_add(1) > 0) return;
    const timespec pause{0, 10'000'000};
    for (int i = 0; i < 500 && aborting_threads.load() < 2; ++i) nanosleep(&pause, nullptr);
}

void concurrent_panics(bool hold) {
    quillora::set_report_hook_for_testing(linger_in_report);
    if (hold) signal(SIGABRT, hold_first_abort);
    std::latch start(2);
    auto run = [&start](const char* message) {
        start.arrive_and_wait();
        panic_on_thread(message);
    };
    std::thread first(run, "from the first thread");
    std::thread second(run, "from the second thread");
    first.join();
    second.join();
}

[[gnu::noinline]] void allocate_bytes(std::size_t size) {
    char* block = new char[size];
    std::printf("allocated %zu bytes at %p\n", size, static_cast<void*>(block));
    delete[] block;
}

}  // namespace probe

int main(int argc, char** argv) {
    const std::string_view scenario = argc > 1 ? argv[1] : "";
    const char* argument = argc > 2 ? argv[2] : "";
    if (scenario == "panic") probe::plain_panic(argument);
    if (scenario == "nested") {
        probe::nested_message = argc > 3 ? argv[3] : "";
        quillora::set_report_hook_for_testing(probe::panic_inside_report);
        probe::plain_panic(argument);
    }
    if (scenario == "concurrent") probe::concurrent_panics(std::string_view(argument) == "hold");
    if (scenario == "allocation-failed") quillora::allocation_failed(std::strtoull(argument, nullptr, 10));
    if (scenario == "new") probe::allocate_bytes(std::strtoull(argument, nullptr, 10));
    std::fputs("usage: panic_probe panic|nested|concurrent|allocation-failed|new [ARGUMENT...]\n", stderr);
    return 2;
}
#pragma GCC visibility pop
