#include "page_population.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older headers lack the name
#endif
#endif

namespace quillora {

void populate_for_writing(void* begin, std::size_t bytes) noexcept {
#if defined(__linux__)
    // Set once a kernel has refused the request: it will refuse every later one too.
    static std::atomic<bool> refused{false};
    if (bytes == 0 || refused.load(std::memory_order_relaxed)) return;
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) / page * page;
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(begin) + bytes;
    if (madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
        refused.store(true, std::memory_order_relaxed);
    }
#else
    (void)begin;
    (void)bytes;
#endif
}

}  // namespace quillora
